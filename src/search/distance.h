// Distance kernels: the metric names, the one distance function every search
// and index path calls (compute_distance), its instruction-set paths, and the
// preparation of a vector for a metric (prepare_vector).
//
// Kernel paths. Two paths exist and exactly one is active per process: the
// AVX2+FMA path when the processor reports both AVX2 and FMA, otherwise the
// SSE path (the x86-64 baseline). The choice is detected on first use and
// cached in one atomic byte; every later call costs one relaxed load. The two
// paths may differ in the last bits; each one follows its own fixed order of
// floating-point operations, so a score is reproducible to the bit on a path:
//
//   SSE dot:   acc[0..3] = +0; for each full group g of 4, ascending, for each
//              lane l: acc[l] = acc[l] + (a[4g+l] * b[4g+l])   (mul, then add)
//              s = (acc[0] + acc[2]) + (acc[1] + acc[3])
//              tail (last n mod 4, ascending): s = s + (a[i] * b[i])
//   SSE L2:    as SSE dot with the term d * d, d = a[i] - b[i] (each rounded).
//   AVX2 dot:  acc[0..7] = +0; per full group of 8: acc[l] = fma(a, b, acc[l])
//              t[l] = acc[l] + acc[l+4] (l < 4); s = (t[0] + t[2]) + (t[1] + t[3])
//              tail (last n mod 8): s = s + (a[i] * b[i]), NOT fused.
//   AVX2 L2:   d = a - b per lane (rounded), acc[l] = fma(d, d, acc[l]); same
//              reduction; tail d = a[i] - b[i]; s = s + (d * d), not fused.
//   Norm:      AVX2 path: sqrtf of the AVX2 dot of v with itself.
//              SSE path: strictly sequential s = s + (v[i] * v[i]), then sqrtf.
//
// Unrolling of the main loops never changes these orders: every group goes
// through the one accumulator in ascending group order. No product is ever
// contracted into an FMA where the order above says "not fused".
//
// Scores: Cosine and Dot report the dot product (higher is better), L2 the
// squared euclidean distance (lower is better); nothing is square-rooted,
// negated or rescaled. Cosine is the dot product only because both sides went
// through prepare_vector.
//
// Thread safety: every function is pure and may run on any number of threads
// at once. The path cache may be filled twice by racing first calls, with the
// same value. set_kernel_path_for_testing is for single-threaded test setup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "metric.h"

namespace tessarin {

// ---- Metric names ---------------------------------------------------------

// Parses a metric argument: the text is lower-cased, then "cosine" gives
// kCosine, "dot" kDot, "l2" and "euclidean" kL2. Any other text fails with an
// InvalidInput error whose text() is exactly
//   "Invalid metric '<text as given>'. Expected: cosine, dot, l2"
// This text is raised as it stands (a plain ValueError), so callers must use
// error().text(), not error().message() (which would add the "Invalid input: "
// prefix of a DbError).
[[nodiscard]] Result<Metric> parse_metric(std::string_view text);

// The display name: "Cosine", "Dot" or "L2" (used in messages).
std::string_view format_metric(Metric metric);

// The lower-case name: "cosine", "dot" or "l2" (the Python `metric` property
// and the export header).
std::string_view lowercase_metric_name(Metric metric);

// True for kCosine and kDot, whose higher scores are better; false for kL2.
constexpr bool higher_is_better(Metric metric) { return metric != Metric::kL2; }

// ---- Distance -------------------------------------------------------------

// The score of b against a under `metric`: the dot product for kCosine and
// kDot, the squared euclidean distance for kL2, on the active kernel path.
// REQUIRES: b holds at least n floats (callers check dimensions; b is exactly
// as long as a in every caller).
float compute_distance(Metric metric, const float* a, const float* b, size_t n);

// REQUIRES: b.size() == a.size().
inline float compute_distance(Metric metric, std::span<const float> a, std::span<const float> b) {
  return compute_distance(metric, a.data(), b.data(), a.size());
}

// The index of the first NaN or infinite component of v; nullopt when all
// are finite. (Stored vectors must be finite: a NaN first component is the
// vector file's free-slot marker.)
std::optional<size_t> first_non_finite(std::span<const float> v);

// Returns a new vector of v's length prepared for `metric`: for kCosine v
// scaled to unit length (all zeros when its norm is below 2^-23, all NaN when
// a component is NaN); for kDot and kL2 an unchanged copy.
std::vector<float> prepare_vector(Metric metric, std::span<const float> v);
// The same values written to out[0 .. v.size()) (out may not overlap v).
void prepare_vector_into(Metric metric, std::span<const float> v, float* out);

// ---- Kernel paths (exposed for prepare_vector, tests and benchmarks) ------

enum class KernelPath : uint8_t {
  kSse = 1,
  kAvx2Fma = 2,
};

// The active path (detected and cached on first use).
KernelPath active_kernel_path();

// True when this processor can run the AVX2+FMA path.
bool cpu_supports_avx2_fma();

// Test hook: forces `path` for the whole process. Returns false (and changes
// nothing) when path is kAvx2Fma on a processor without AVX2 and FMA.
// reset_kernel_path_for_testing() returns to the detected path.
bool set_kernel_path_for_testing(KernelPath path);
void reset_kernel_path_for_testing();

// The individual kernels, each in the order documented above. The _avx2
// functions REQUIRE cpu_supports_avx2_fma().
float compute_dot_sse(const float* a, const float* b, size_t n);
float compute_l2_squared_sse(const float* a, const float* b, size_t n);
float compute_dot_avx2(const float* a, const float* b, size_t n);
float compute_l2_squared_avx2(const float* a, const float* b, size_t n);

// The euclidean norm on the AVX2+FMA path (sqrtf of compute_dot_avx2(v, v)).
// REQUIRES: cpu_supports_avx2_fma().
float compute_l2_norm(const float* v, size_t n);

// The euclidean norm on the SSE path: strictly sequential sum of squares.
float compute_l2_norm_sequential(const float* v, size_t n);

}  // namespace tessarin
