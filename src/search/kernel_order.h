// Internal to the distance kernels (distance.cpp, distance_avx2.cpp) and the
// quantiser's lane kernels (pq.cpp): the helpers that pin the documented
// order of floating-point operations.
//
// The compiler may contract a multiply followed by an add into one FMA
// (GCC's default -ffp-contract=fast in C++ mode, whenever FMA is enabled for
// the function, e.g. the AVX2 kernels or a build with -march=native). The
// kernels' order says "multiply (rounded), then add" in several places, so
// every such product passes through an empty asm statement: the value must be
// materialised rounded in a register, and no contraction can cross it. It
// costs no instruction.
#pragma once

#include <immintrin.h>

namespace tessarin::kernel_order {

// x * y rounded to f32; never fused with a following add.
inline float unfused_mul(float x, float y) {
  float p = x * y;
  __asm__("" : "+x"(p));
  return p;
}

// Lane-wise x * y rounded to f32; never fused with a following add.
inline __m128 unfused_mul(__m128 x, __m128 y) {
  __m128 p = _mm_mul_ps(x, y);
  __asm__("" : "+x"(p));
  return p;
}

// (v[0] + v[2]) + (v[1] + v[3]).
inline float reduce4(__m128 v) {
  const __m128 t = _mm_add_ps(v, _mm_movehl_ps(v, v));  // [v0+v2, v1+v3, ..]
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
}

}  // namespace tessarin::kernel_order
