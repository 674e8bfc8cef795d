// Node level draw: the top layer of a graph node as a pure function of its
// vector slot and the level multiplier `ml`, so a slot lands on the same
// layer whether it enters the graph by single insertion or by a full build,
// and on whichever thread draws it.
//
//   key    = the 32-byte ChaCha key expanded from the 64-bit slot by the PCG32
//            steps of rand_core's seed_from_u64 (expand_seed below)
//   block  = ChaCha12 (6 double rounds) over the standard constants, that
//            key, block counter 0 and stream 0 (words 12..15 all zero)
//   x      = block word 0 + block word 1 * 2^32 (the first 64-bit output)
//   u      = (x >> 11) * 2^-53, in [0, 1)
//   level  = level_from_uniform(u, ml)
//
// Thread safety: pure functions of their arguments; no state, no locks.
#pragma once

#include <array>
#include <cstdint>

namespace tessarin {

// Highest level a node can have; a graph therefore has at most 33 layers of
// its own nodes' levels.
inline constexpr uint8_t kMaxNodeLevel = 32;

// Double rounds of the generator behind draw_level (ChaCha12).
inline constexpr unsigned kLevelDrawDoubleRounds = 6;

// The ChaCha block function: `double_rounds` column-and-diagonal round pairs
// over the 16 input words, then the input added back word by word
// (modulo 2^32). Word layout of `input`: 0..3 the constants, 4..11 the key,
// 12..15 counter and nonce/stream words as the caller arranges them.
// ChaCha20 is 10 double rounds, ChaCha12 is 6.
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 16>& input, unsigned double_rounds);

// The eight little-endian key words expanded from `seed`: eight PCG32 steps
// state = state * 6364136223846793005 + 11634580027462260723 (mod 2^64),
// word = rotr32(uint32(((state >> 18) ^ state) >> 27), state >> 59).
std::array<uint32_t, 8> expand_seed(uint64_t seed);

// floor(-ln(u) * ml) in double precision, 0 when that is negative or NaN,
// 255 when above 255, then at most kMaxNodeLevel. u = 0 with a positive ml
// gives kMaxNodeLevel; ml <= 0 (or NaN) always gives 0.
uint8_t level_from_uniform(double u, double ml);

// The level of the node of `slot` under the multiplier `ml`: 0 ..= 32.
uint8_t draw_level(uint64_t slot, double ml);

}  // namespace tessarin
