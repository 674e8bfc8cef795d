// Metric names, path choice, the SSE kernels and prepare_vector.
// The AVX2+FMA kernels live in distance_avx2.cpp.

#include "search/distance.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "search/kernel_order.h"

namespace tessarin {

using kernel_order::reduce4;
using kernel_order::unfused_mul;

// ---- Metric names ---------------------------------------------------------

namespace {

// Full Unicode lower-casing maps a non-ASCII character either to text that
// still holds a non-ASCII character (e.g. U+0130 to "i" + U+0307) or, for
// U+212A KELVIN SIGN alone, to the ASCII "k", a letter none of the accepted
// names contains. So a text with any non-ASCII byte can never lower-case to an
// accepted name, and lower-casing A-Z is all the matching needs.
bool ascii_lower_equals(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;  // also every byte >= 0x80
  }
  return true;
}

}  // namespace

Result<Metric> parse_metric(std::string_view text) {
  if (ascii_lower_equals(text, "cosine")) return Metric::kCosine;
  if (ascii_lower_equals(text, "dot")) return Metric::kDot;
  if (ascii_lower_equals(text, "l2") || ascii_lower_equals(text, "euclidean")) return Metric::kL2;
  return DbError::InvalidInput("Invalid metric '" + std::string(text) +
                               "'. Expected: cosine, dot, l2");
}

namespace {
constexpr std::string_view kDisplayNames[kMetricVariantCount] = {"Cosine", "Dot", "L2"};
constexpr std::string_view kLowerCaseNames[kMetricVariantCount] = {"cosine", "dot", "l2"};

size_t metric_index(Metric metric) {
  return std::min<size_t>(static_cast<size_t>(metric), kMetricVariantCount - 1);
}
}  // namespace

std::string_view format_metric(Metric metric) { return kDisplayNames[metric_index(metric)]; }

std::string_view lowercase_metric_name(Metric metric) {
  return kLowerCaseNames[metric_index(metric)];
}

// ---- Path choice ----------------------------------------------------------

namespace {

// 0 = not yet detected, else a KernelPath value.
std::atomic<uint8_t> g_kernel_path{0};

KernelPath detected_kernel_path() {
  return cpu_supports_avx2_fma() ? KernelPath::kAvx2Fma : KernelPath::kSse;
}

inline bool use_avx2() {
  uint8_t path = g_kernel_path.load(std::memory_order_relaxed);
  if (__builtin_expect(path == 0, 0)) {
    path = static_cast<uint8_t>(detected_kernel_path());
    g_kernel_path.store(path, std::memory_order_relaxed);
  }
  return path == static_cast<uint8_t>(KernelPath::kAvx2Fma);
}

}  // namespace

bool cpu_supports_avx2_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

KernelPath active_kernel_path() {
  return use_avx2() ? KernelPath::kAvx2Fma : KernelPath::kSse;
}

bool set_kernel_path_for_testing(KernelPath path) {
  if (path == KernelPath::kAvx2Fma && !cpu_supports_avx2_fma()) return false;
  g_kernel_path.store(static_cast<uint8_t>(path), std::memory_order_relaxed);
  return true;
}

void reset_kernel_path_for_testing() { g_kernel_path.store(0, std::memory_order_relaxed); }

// ---- SSE kernels ----------------------------------------------------------
// One 4-lane accumulator; the main loop takes four groups (L2: two) per
// iteration, each added into the accumulator in ascending group order.

float compute_dot_sse(const float* a, const float* b, size_t n) {
  __m128 acc = _mm_setzero_ps();
  const size_t full = n & ~size_t{3};
  size_t i = 0;
  for (; i + 16 <= full; i += 16) {
    acc = _mm_add_ps(acc, unfused_mul(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    acc = _mm_add_ps(acc, unfused_mul(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
    acc = _mm_add_ps(acc, unfused_mul(_mm_loadu_ps(a + i + 8), _mm_loadu_ps(b + i + 8)));
    acc = _mm_add_ps(acc, unfused_mul(_mm_loadu_ps(a + i + 12), _mm_loadu_ps(b + i + 12)));
  }
  for (; i < full; i += 4) {
    acc = _mm_add_ps(acc, unfused_mul(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  }
  float s = reduce4(acc);
  for (; i < n; ++i) s = s + unfused_mul(a[i], b[i]);
  return s;
}

namespace {

inline __m128 squared_difference(const float* a, const float* b) {
  const __m128 d = _mm_sub_ps(_mm_loadu_ps(a), _mm_loadu_ps(b));
  return unfused_mul(d, d);
}

}  // namespace

float compute_l2_squared_sse(const float* a, const float* b, size_t n) {
  __m128 acc = _mm_setzero_ps();
  const size_t full = n & ~size_t{3};
  size_t i = 0;
  for (; i + 8 <= full; i += 8) {
    acc = _mm_add_ps(acc, squared_difference(a + i, b + i));
    acc = _mm_add_ps(acc, squared_difference(a + i + 4, b + i + 4));
  }
  for (; i < full; i += 4) acc = _mm_add_ps(acc, squared_difference(a + i, b + i));
  float s = reduce4(acc);
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    s = s + unfused_mul(d, d);
  }
  return s;
}

float compute_l2_norm_sequential(const float* v, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s = s + unfused_mul(v[i], v[i]);
  return std::sqrt(s);
}

// ---- Dispatch -------------------------------------------------------------

float compute_distance(Metric metric, const float* a, const float* b, size_t n) {
  const bool avx2 = use_avx2();
  if (metric == Metric::kL2) {
    return avx2 ? compute_l2_squared_avx2(a, b, n) : compute_l2_squared_sse(a, b, n);
  }
  return avx2 ? compute_dot_avx2(a, b, n) : compute_dot_sse(a, b, n);
}

std::optional<size_t> first_non_finite(std::span<const float> v) {
  // A float is not finite exactly when its exponent bits are all ones. The
  // OR over the whole vector vectorises; the index is looked for only when
  // there is one.
  constexpr uint32_t kExponent = 0x7F800000u;
  uint32_t any = 0;
  for (float x : v) any |= (std::bit_cast<uint32_t>(x) & kExponent) == kExponent;
  if (any == 0) return std::nullopt;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i])) return i;
  }
  return std::nullopt;
}

std::vector<float> prepare_vector(Metric metric, std::span<const float> v) {
  if (metric != Metric::kCosine) return std::vector<float>(v.begin(), v.end());
  std::vector<float> out(v.size());
  prepare_vector_into(metric, v, out.data());
  return out;
}

void prepare_vector_into(Metric metric, std::span<const float> v, float* out) {
  if (metric != Metric::kCosine) {
    std::copy(v.begin(), v.end(), out);
    return;
  }
  // Below the f32 machine epsilon a vector is treated as zero; a NaN norm is
  // not below it, so a NaN component makes every output component NaN.
  constexpr float kMinNorm = std::numeric_limits<float>::epsilon();
  static_assert(kMinNorm == 0x1p-23f);
  const float norm = use_avx2() ? compute_l2_norm(v.data(), v.size())
                                : compute_l2_norm_sequential(v.data(), v.size());
  if (norm < kMinNorm) {
    std::fill(out, out + v.size(), 0.0f);
    return;
  }
  const float inv = 1.0f / norm;
  for (size_t i = 0; i < v.size(); ++i) out[i] = v[i] * inv;
}

}  // namespace tessarin
