// The level draw: the ChaCha block function against the published ChaCha20
// vectors, and draw_level against a seed expansion and level formula written
// here from their description.
#include "search/hnsw/level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace tessarin {
namespace {

// Constants, the key bytes as little-endian words, then words 12..15.
std::array<uint32_t, 16> chacha_input(const uint8_t key[32], std::array<uint32_t, 4> tail) {
  std::array<uint32_t, 16> in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::memcpy(&in[4], key, 32);  // little-endian host
  std::copy(tail.begin(), tail.end(), in.begin() + 12);
  return in;
}

TEST(HnswLevelTest, ChaCha20Vectors) {
  // RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00.
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(chacha_block(chacha_input(key, {1, 0x09000000, 0x4a000000, 0}), 10),
            (std::array<uint32_t, 16>{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2}));
  // All-zero key and nonce, counter 0: the keystream's first 64 bytes.
  const uint8_t zero[32] = {};
  const auto out = chacha_block(chacha_input(zero, {0, 0, 0, 0}), 10);
  const uint8_t expected[64] = {
      0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
      0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
      0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
      0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  EXPECT_EQ(0, std::memcmp(out.data(), expected, sizeof expected));
}

// The draw as described: PCG32 steps fill the key 4 bytes at a time, one
// ChaCha12 block, the first 64-bit output, the logarithm and the clamps.
uint8_t described_level(uint64_t slot, double ml) {
  uint8_t key[32];
  uint64_t state = slot;
  for (int chunk = 0; chunk < 8; ++chunk) {
    state = state * 6364136223846793005ull + 11634580027462260723ull;
    const uint32_t x = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const unsigned r = static_cast<unsigned>(state >> 59);
    const uint32_t word = (x >> r) | (x << ((32 - r) & 31));
    for (int b = 0; b < 4; ++b) key[4 * chunk + b] = static_cast<uint8_t>(word >> (8 * b));
  }
  const auto block = chacha_block(chacha_input(key, {0, 0, 0, 0}), 6);
  const uint64_t first = block[0] + (uint64_t{block[1]} << 32);
  double f = std::floor(-std::log(std::ldexp(static_cast<double>(first >> 11), -53)) * ml);
  if (std::isnan(f) || f < 0) f = 0;
  return static_cast<uint8_t>(std::min(std::min(f, 255.0), 32.0));
}

TEST(HnswLevelTest, DrawLevelMatchesTheDescribedDraw) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (uint64_t slot : {0ull, 1ull, 2ull, 7ull, 42ull, 65535ull, 1ull << 32, 0xdeadbeefcafef00dull, ~0ull}) {
    for (double ml : {0.0, -1.0, 0.25, 1 / std::log(16.0), 3.0, 40.0, 1e300, nan}) {
      EXPECT_EQ(draw_level(slot, ml), described_level(slot, ml)) << "slot " << slot << " ml " << ml;
    }
  }
  // Over many slots, P(level >= 1) = 1/16 for ml = 1/ln 16.
  int raised = 0;
  for (uint64_t slot = 0; slot < 100000; ++slot) raised += draw_level(slot, 1 / std::log(16.0)) >= 1;
  EXPECT_NEAR(raised / 100000.0, 1 / 16.0, 0.004);
}

TEST(HnswLevelTest, LevelFromUniformClampsInOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double u, ml;
    uint8_t level;
  } cases[] = {
      {0.0, 1.0, 32},               // -ln 0 = inf: 255, then 32
      {0.0, 0.0, 0},                // inf * 0 = NaN
      {0.0, -1.0, 0},               // -inf
      {0.5, -2.0, 0},               {0.5, 0.0, 0},
      {0.5, std::nan(""), 0},       {0.5, inf, 32},
      {std::exp(-3.5), 1.0, 3},     // floor
      {std::exp(-100.0), 1.0, 32},  // between 32 and 255
      {std::exp(-300.0), 1.0, 32},  // above 255
  };
  for (const auto& c : cases) EXPECT_EQ(level_from_uniform(c.u, c.ml), c.level) << c.u << " " << c.ml;
}

}  // namespace
}  // namespace tessarin
