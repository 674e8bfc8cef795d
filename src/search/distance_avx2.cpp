// The AVX2+FMA kernels. Each function carries target("avx2,fma") so the rest
// of the library builds for the x86-64 baseline; compute_distance calls these
// only after the processor reported both features.

#include <immintrin.h>

#include <cmath>

#include "search/distance.h"
#include "search/kernel_order.h"

#define TS_AVX2_FMA __attribute__((target("avx2,fma")))

namespace tessarin {

using kernel_order::reduce4;
using kernel_order::unfused_mul;

namespace {

// t[l] = acc[l] + acc[l+4], then (t[0] + t[2]) + (t[1] + t[3]).
TS_AVX2_FMA inline float reduce8(__m256 acc) {
  return reduce4(_mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1)));
}

// The per-metric terms: fused into the lane sums for full groups of eight,
// unfused (rounded product, then add) for the tail.
struct DotTerm {
  TS_AVX2_FMA static __m256 fuse(const float* a, const float* b, __m256 acc) {
    return _mm256_fmadd_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b), acc);
  }
  static float tail(float a, float b) { return unfused_mul(a, b); }
};

struct SquaredDifferenceTerm {
  TS_AVX2_FMA static __m256 fuse(const float* a, const float* b, __m256 acc) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
    return _mm256_fmadd_ps(d, d, acc);
  }
  static float tail(float a, float b) {
    const float d = a - b;
    return unfused_mul(d, d);
  }
};

// One 8-lane accumulator; four groups per iteration, each fused into the
// accumulator in ascending group order; then the reduction and the tail.
template <typename Term>
TS_AVX2_FMA float accumulate(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  const size_t full = n & ~size_t{7};
  size_t i = 0;
  for (; i + 32 <= full; i += 32) {
    acc = Term::fuse(a + i, b + i, acc);
    acc = Term::fuse(a + i + 8, b + i + 8, acc);
    acc = Term::fuse(a + i + 16, b + i + 16, acc);
    acc = Term::fuse(a + i + 24, b + i + 24, acc);
  }
  for (; i < full; i += 8) acc = Term::fuse(a + i, b + i, acc);
  float s = reduce8(acc);
  for (; i < n; ++i) s = s + Term::tail(a[i], b[i]);
  return s;
}

}  // namespace

TS_AVX2_FMA float compute_dot_avx2(const float* a, const float* b, size_t n) {
  return accumulate<DotTerm>(a, b, n);
}

TS_AVX2_FMA float compute_l2_squared_avx2(const float* a, const float* b, size_t n) {
  return accumulate<SquaredDifferenceTerm>(a, b, n);
}

TS_AVX2_FMA float compute_l2_norm(const float* v, size_t n) {
  return std::sqrt(compute_dot_avx2(v, v, n));
}

}  // namespace tessarin
