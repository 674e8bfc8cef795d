// The level draw: the ChaCha block function against the published ChaCha20
// vectors, and draw_level against a seed expansion and level formula written
// here from their description.
#include "search/hnsw/level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace tessarin {
namespace {

constexpr unsigned kChaCha20DoubleRounds = 10;

std::array<uint32_t, 16> chacha_input(const uint8_t key[32], uint32_t w12, uint32_t w13, uint32_t w14,
                                      uint32_t w15) {
  std::array<uint32_t, 16> in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) {
    in[4 + i] = uint32_t{key[4 * i]} | uint32_t{key[4 * i + 1]} << 8 | uint32_t{key[4 * i + 2]} << 16 |
                uint32_t{key[4 * i + 3]} << 24;
  }
  in[12] = w12;
  in[13] = w13;
  in[14] = w14;
  in[15] = w15;
  return in;
}

TEST(HnswLevelTest, ChaCha20BlockMatchesRfc8439) {
  // RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00 00 00 09 00 00
  // 00 4a 00 00 00 00.
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  const auto out = chacha_block(chacha_input(key, 1, 0x09000000, 0x4a000000, 0), kChaCha20DoubleRounds);
  const std::array<uint32_t, 16> expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(out, expected);
}

TEST(HnswLevelTest, ChaCha20ZeroKeyKeystream) {
  const uint8_t key[32] = {};
  const auto out = chacha_block(chacha_input(key, 0, 0, 0, 0), kChaCha20DoubleRounds);
  uint8_t bytes[64];
  std::memcpy(bytes, out.data(), sizeof bytes);  // little-endian host
  const uint8_t expected[64] = {
      0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
      0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
      0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
      0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
}

// The seed expansion as described: a PCG32 step per 4-byte chunk of the key,
// each output written little-endian.
void expand_key_bytes(uint64_t seed, uint8_t key[32]) {
  uint64_t state = seed;
  for (int chunk = 0; chunk < 8; ++chunk) {
    state = state * 6364136223846793005ull + 11634580027462260723ull;
    const uint32_t x = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const unsigned r = static_cast<unsigned>(state >> 59);
    const uint32_t word = (x >> r) | (x << ((32 - r) & 31));
    for (int b = 0; b < 4; ++b) key[4 * chunk + b] = static_cast<uint8_t>(word >> (8 * b));
  }
}

uint8_t expected_level(uint64_t slot, double ml) {
  uint8_t key[32];
  expand_key_bytes(slot, key);
  const auto block = chacha_block(chacha_input(key, 0, 0, 0, 0), 6);
  const uint64_t first = block[0] + (uint64_t{block[1]} << 32);
  const double u = std::ldexp(static_cast<double>(first >> 11), -53);
  double f = std::floor(-std::log(u) * ml);
  if (std::isnan(f) || f < 0) f = 0;
  if (f > 255) f = 255;
  return static_cast<uint8_t>(std::min(f, 32.0));
}

TEST(HnswLevelTest, DrawLevelMatchesTheDescribedDraw) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<uint64_t> slots = {0, 1, 2, 3, 7, 42, 1000, 65535, 1ull << 32, 0xdeadbeefcafef00dull,
                                       ~0ull};
  const std::vector<double> mls = {0.0, -1.0, 0.25, 1 / std::log(16.0), 1 / std::log(2.0), 3.0, 40.0,
                                   1e300, nan};
  for (uint64_t slot : slots) {
    for (double ml : mls) {
      EXPECT_EQ(draw_level(slot, ml), expected_level(slot, ml)) << "slot " << slot << " ml " << ml;
    }
  }
  // Large ml values reach the cap; the same slot always draws the same level.
  EXPECT_EQ(draw_level(42, 1e300), kMaxNodeLevel);
  EXPECT_EQ(draw_level(42, 3.0), draw_level(42, 3.0));
}

TEST(HnswLevelTest, LevelsFollowTheGeometricLaw) {
  // With ml = 1/ln(16) a level of at least 1 has probability 1/16, at least
  // 2 has 1/256: a wrong bit extraction or logarithm shows here.
  const double ml = 1 / std::log(16.0);
  int at_least_1 = 0;
  int at_least_2 = 0;
  const int n = 200000;
  for (int slot = 0; slot < n; ++slot) {
    const uint8_t level = draw_level(static_cast<uint64_t>(slot), ml);
    at_least_1 += level >= 1;
    at_least_2 += level >= 2;
  }
  EXPECT_NEAR(at_least_1 / double(n), 1 / 16.0, 0.003);
  EXPECT_NEAR(at_least_2 / double(n), 1 / 256.0, 0.0007);
}

TEST(HnswLevelTest, LevelFromUniformClampsInOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double u, ml;
    uint8_t level;
  };
  const Case cases[] = {
      {0.0, 1.0, 32},                // -ln 0 = inf: 255, then 32
      {0.0, 0.0, 0},                 // inf * 0 = NaN
      {0.0, -1.0, 0},                // -inf
      {0.5, -2.0, 0},                // negative
      {0.5, 0.0, 0},                 // ml 0
      {0.5, nan, 0},                 //
      {0.5, inf, 32},                //
      {std::exp(-3.5), 1.0, 3},      // floor
      {std::exp(-100.0), 1.0, 32},   // between 32 and 255
      {std::exp(-300.0), 1.0, 32},   // above 255
      {0.999999, 1.0, 0},            //
  };
  for (const Case& c : cases) {
    EXPECT_EQ(level_from_uniform(c.u, c.ml), c.level) << "u " << c.u << " ml " << c.ml;
  }
}

}  // namespace
}  // namespace tessarin
