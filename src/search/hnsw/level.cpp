#include "search/hnsw/level.h"

#include <bit>
#include <cmath>

namespace tessarin {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<uint32_t, 4> kChaChaConstants = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, unsigned double_rounds) {
  std::array<uint32_t, 16> x = input;
  for (unsigned i = 0; i < double_rounds; ++i) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

std::array<uint32_t, 8> expand_seed(uint64_t seed) {
  constexpr uint64_t kMultiplier = 6364136223846793005ull;
  constexpr uint64_t kIncrement = 11634580027462260723ull;
  std::array<uint32_t, 8> key{};
  uint64_t state = seed;
  for (uint32_t& word : key) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    word = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return key;
}

uint8_t level_from_uniform(double u, double ml) {
  double f = std::floor(-std::log(u) * ml);
  // The clamps apply in this order: NaN and negatives to 0, then 255 (the
  // byte range), then the level cap.
  if (!(f >= 0.0)) f = 0.0;
  if (f > 255.0) f = 255.0;
  const auto level = static_cast<uint8_t>(f);
  return level > kMaxNodeLevel ? kMaxNodeLevel : level;
}

uint8_t draw_level(uint64_t slot, double ml) {
  std::array<uint32_t, 16> input{};
  for (size_t i = 0; i < 4; ++i) input[i] = kChaChaConstants[i];
  const std::array<uint32_t, 8> key = expand_seed(slot);
  for (size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
  // Words 12..15: block counter 0 and stream 0, both 64-bit.
  const std::array<uint32_t, 16> block = chacha_block(input, kLevelDrawDoubleRounds);
  const uint64_t x = uint64_t{block[0]} | (uint64_t{block[1]} << 32);
  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
  return level_from_uniform(u, ml);
}

}  // namespace tessarin
