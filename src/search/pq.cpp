// Product quantisation: the lane kernels, the deterministic k-means, training,
// encoding and distance tables.
//
// k-means (train_kmeans; points p[0..n-1] of d floats, k centroids). No
// random numbers are drawn.
//   Seeding. Centroid 0 = p[0]. mind[j] = FLT_MAX for every j. For i = 1 ..
//   k-1: for j ascending, mind[j] = the smaller of mind[j] and the squared
//   distance from p[j] to centroid i-1 (a NaN distance leaves it); total =
//   sum of mind[j] in ascending j from -0.0. If total <= 0, centroid i =
//   p[i mod n]. Otherwise target = (f32(i) / f32(k)) * total, and a walk
//   j = 0, 1, ... with s = +0.0, s = s + mind[j], stops at the first j with
//   s >= target (j = n-1 when it never does); centroid i = p[j]. Points may
//   be chosen more than once (always when n < k).
//   Lloyd, exactly `iterations` times, no convergence test: assign every
//   point to its nearest centroid (pq.h); sums = k x d zeros, counts = k
//   zeros; for every point j ascending: counts[a] += 1 and sums[a*d + t] +=
//   p[j][t]; a centroid with counts[c] > 0 becomes sums[c*d + t] /
//   f32(counts[c]), an empty one keeps its value (it is not re-seeded).
//
// Points are held component-major inside the k-means (component t of point
// j at t*n + j), the codebook component-major per sub-vector, so that the
// lane kernels below put different points (or centroids) in the lanes of a
// register and run each lane's sum in exactly the scalar order.

#include "search/pq.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "search/distance.h"
#include "search/kernel_order.h"
#include "sync/pool.h"
#include "storage/vectors.h"

namespace tessarin {

using kernel_order::unfused_mul;

namespace {

constexpr float kFarthest = std::numeric_limits<float>::max();  // 3.4028235e38

// Vectors encoded per pool task: about a millisecond of work at dimension
// 384, so scheduling costs nothing and the pool still balances.
constexpr size_t kEncodeChunk = 64;

// Points per assignment block: the block's components and its running
// minima stay in L1 while every centroid passes over them.
constexpr size_t kAssignBlock = 256;

// ---- Lane kernels ---------------------------------------------------------
// For r < count, the sum over t = 0 .. len-1 ascending, from -0.0, of
// Term(x[t], rows[t*stride + r]) goes to sink(r, sums): four rows at a
// time as an SSE register (rows r .. r+3), the last count mod 4 one by one
// as a float; on the AVX2 kernel path first eight rows at a time. Each lane
// holds a different row and performs exactly the scalar sequence of rounded
// operations (AVX2 alone enables no fused multiply-add, and the products
// pass the barrier of kernel_order.h besides), so all forms agree to the
// bit.

#define TS_AVX2 __attribute__((target("avx2")))

// x * y rounded, eight lanes; never fused with a following add.
TS_AVX2 inline __m256 unfused_mul_wide(__m256 x, __m256 y) {
  __m256 p = _mm256_mul_ps(x, y);
  __asm__("" : "+x"(p));
  return p;
}

struct SquaredDifference {
  TS_AVX2 static __m256 term(__m256 x, __m256 y) {
    const __m256 d = _mm256_sub_ps(x, y);
    return unfused_mul_wide(d, d);
  }
  static __m128 term(__m128 x, __m128 y) {
    const __m128 d = _mm_sub_ps(x, y);
    return unfused_mul(d, d);
  }
  static float term(float x, float y) {
    const float d = x - y;
    return unfused_mul(d, d);
  }
};

struct Product {
  TS_AVX2 static __m256 term(__m256 x, __m256 y) { return unfused_mul_wide(x, y); }
  static __m128 term(__m128 x, __m128 y) { return unfused_mul(x, y); }
  static float term(float x, float y) { return unfused_mul(x, y); }
};

template <typename Term, typename Sink>
[[gnu::always_inline]] inline void row_sums(const float* x, size_t len, const float* rows,
                                            size_t stride, size_t count, Sink&& sink) {
  const __m128 start = _mm_set1_ps(-0.0f);
  size_t r = 0;
  for (; r + 16 <= count; r += 16) {  // four independent accumulators
    __m128 a0 = start, a1 = start, a2 = start, a3 = start;
    const float* p = rows + r;
    for (size_t t = 0; t < len; ++t, p += stride) {
      const __m128 xt = _mm_set1_ps(x[t]);
      a0 = _mm_add_ps(a0, Term::term(xt, _mm_loadu_ps(p)));
      a1 = _mm_add_ps(a1, Term::term(xt, _mm_loadu_ps(p + 4)));
      a2 = _mm_add_ps(a2, Term::term(xt, _mm_loadu_ps(p + 8)));
      a3 = _mm_add_ps(a3, Term::term(xt, _mm_loadu_ps(p + 12)));
    }
    sink(r, a0);
    sink(r + 4, a1);
    sink(r + 8, a2);
    sink(r + 12, a3);
  }
  for (; r + 4 <= count; r += 4) {
    __m128 a = start;
    const float* p = rows + r;
    for (size_t t = 0; t < len; ++t, p += stride) {
      a = _mm_add_ps(a, Term::term(_mm_set1_ps(x[t]), _mm_loadu_ps(p)));
    }
    sink(r, a);
  }
  for (; r < count; ++r) {
    float s = -0.0f;
    for (size_t t = 0; t < len; ++t) s = s + Term::term(x[t], rows[t * stride + r]);
    sink(r, s);
  }
}

// Stores every sum at out[r].
struct StoreSums {
  TS_AVX2 void operator()(size_t r, __m256 sums) const { _mm256_storeu_ps(out + r, sums); }
  void operator()(size_t r, __m128 sums) const { _mm_storeu_ps(out + r, sums); }
  void operator()(size_t r, float sum) const { out[r] = sum; }
  float* out;
};

// The running nearest centroid of each row: a distance strictly below
// best[r] replaces best[r] and index[r] with `centroid` (NaN never does).
struct KeepNearer {
  TS_AVX2 void operator()(size_t r, __m256 dist) const {
    const __m256 old = _mm256_loadu_ps(best + r);
    const __m256i closer = _mm256_castps_si256(_mm256_cmp_ps(dist, old, _CMP_LT_OQ));
    _mm256_storeu_ps(best + r, _mm256_min_ps(dist, old));  // dist < old ? dist : old
    const __m256i kept = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + r));
    const __m256i chosen = _mm256_blendv_epi8(kept, _mm256_set1_epi32(centroid), closer);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(index + r), chosen);
  }
  void operator()(size_t r, __m128 dist) const {
    const __m128 old = _mm_loadu_ps(best + r);
    const __m128i closer = _mm_castps_si128(_mm_cmplt_ps(dist, old));
    _mm_storeu_ps(best + r, _mm_min_ps(dist, old));  // dist < old ? dist : old
    const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index + r));
    const __m128i chosen = _mm_or_si128(_mm_and_si128(closer, _mm_set1_epi32(centroid)),
                                        _mm_andnot_si128(closer, kept));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(index + r), chosen);
  }
  void operator()(size_t r, float dist) const {
    if (dist < best[r]) {
      best[r] = dist;
      index[r] = centroid;
    }
  }
  float* best;
  int32_t* index;
  int32_t centroid;
};

// A sink that receives rows counted from `by`.
template <typename Sink>
struct Shifted {
  template <typename Sums>
  void operator()(size_t r, Sums sums) const {
    sink(by + r, sums);
  }
  const Sink& sink;
  size_t by;
};

// row_sums with eight rows in the lanes of an AVX2 register (each lane
// still the scalar order, so the bits are row_sums'), the rest by row_sums.
// A call, not inlined: only this function is compiled for AVX2.
template <typename Term, typename Sink>
TS_AVX2 void row_sums_avx2(const float* x, size_t len, const float* rows, size_t stride,
                           size_t count, const Sink& sink) {
  const __m256 start = _mm256_set1_ps(-0.0f);
  size_t r = 0;
  for (; r + 32 <= count; r += 32) {  // four independent accumulators
    __m256 a0 = start, a1 = start, a2 = start, a3 = start;
    const float* p = rows + r;
    for (size_t t = 0; t < len; ++t, p += stride) {
      const __m256 xt = _mm256_set1_ps(x[t]);
      a0 = _mm256_add_ps(a0, Term::term(xt, _mm256_loadu_ps(p)));
      a1 = _mm256_add_ps(a1, Term::term(xt, _mm256_loadu_ps(p + 8)));
      a2 = _mm256_add_ps(a2, Term::term(xt, _mm256_loadu_ps(p + 16)));
      a3 = _mm256_add_ps(a3, Term::term(xt, _mm256_loadu_ps(p + 24)));
    }
    sink(r, a0);
    sink(r + 8, a1);
    sink(r + 16, a2);
    sink(r + 24, a3);
  }
  for (; r + 8 <= count; r += 8) {
    __m256 a = start;
    const float* p = rows + r;
    for (size_t t = 0; t < len; ++t, p += stride) {
      a = _mm256_add_ps(a, Term::term(_mm256_set1_ps(x[t]), _mm256_loadu_ps(p)));
    }
    sink(r, a);
  }
  if (r < count) row_sums<Term>(x, len, rows + r, stride, count - r, Shifted<Sink>{sink, r});
}

// True when the lane kernels may use AVX2 (the processor's kernel path;
// tests force the SSE one through set_kernel_path_for_testing).
bool wide_lanes() { return active_kernel_path() == KernelPath::kAvx2Fma; }

// row_sums on the lanes `wide` asks for; the sums are the same either way.
template <typename Term, typename Sink>
inline void lane_sums(bool wide, const float* x, size_t len, const float* rows, size_t stride,
                      size_t count, const Sink& sink) {
  if (wide) {
    row_sums_avx2<Term>(x, len, rows, stride, count, sink);
  } else {
    row_sums<Term>(x, len, rows, stride, count, sink);
  }
}

// ---- Nearest centroids ----------------------------------------------------

// out[t*n + j] = first[j*row_stride + t] for j < n, t < len: n sub-vectors of
// len floats, one every row_stride floats, copied component-major.
void gather_component_major(const float* first, size_t row_stride, size_t n, size_t len,
                            float* out) {
  for (size_t j = 0; j < n; ++j) {
    for (size_t t = 0; t < len; ++t) out[t * n + j] = first[j * row_stride + t];
  }
}

// out[j * out_stride] = the nearest of the k centroids (rows of d floats,
// centroid c at [c*d, +d)) to point j, for the n points stored
// component-major (component t of point j at points[t*n + j]). Centroids
// meet a block of points in ascending order, so per point this is exactly
// the nearest-centroid rule of pq.h.
void assign_points(bool wide, const float* points, size_t n, size_t d, const float* centroids,
                   size_t k, uint8_t* out, size_t out_stride) {
  float best[kAssignBlock];
  int32_t index[kAssignBlock];
  for (size_t j0 = 0; j0 < n; j0 += kAssignBlock) {
    const size_t count = std::min(kAssignBlock, n - j0);
    std::fill_n(best, count, kFarthest);
    std::fill_n(index, count, 0);
    for (size_t c = 0; c < k; ++c) {
      lane_sums<SquaredDifference>(wide, centroids + c * d, d, points + j0, n, count,
                                   KeepNearer{best, index, static_cast<int32_t>(c)});
    }
    for (size_t r = 0; r < count; ++r) out[(j0 + r) * out_stride] = static_cast<uint8_t>(index[r]);
  }
}

// ---- k-means --------------------------------------------------------------

// The k-means of the file comment over n component-major points.
// REQUIRES: d >= 1, 1 <= k <= 256.
std::vector<float> kmeans_component_major(const std::vector<float>& points, size_t n, size_t d,
                                          size_t k, size_t iterations, bool wide) {
  std::vector<float> centroids(k * d, 0.0f);
  if (n == 0) return centroids;
  auto copy_point = [&](size_t j, size_t c) {
    for (size_t t = 0; t < d; ++t) centroids[c * d + t] = points[t * n + j];
  };

  copy_point(0, 0);
  std::vector<float> dist(n);
  std::vector<float> mind(n, kFarthest);
  for (size_t i = 1; i < k; ++i) {
    lane_sums<SquaredDifference>(wide, &centroids[(i - 1) * d], d, points.data(), n, n,
                                 StoreSums{dist.data()});
    for (size_t j = 0; j < n; ++j) {
      if (dist[j] < mind[j]) mind[j] = dist[j];  // false for NaN
    }
    float total = -0.0f;
    for (size_t j = 0; j < n; ++j) total = total + mind[j];
    size_t chosen = i % n;
    if (total > 0.0f) {  // mind is never NaN, so this is "not total <= 0"
      const float target = (static_cast<float>(i) / static_cast<float>(k)) * total;
      chosen = n - 1;
      float s = 0.0f;
      for (size_t j = 0; j < n; ++j) {
        s = s + mind[j];
        if (s >= target) {
          chosen = j;
          break;
        }
      }
    }
    copy_point(chosen, i);
  }

  std::vector<uint8_t> assignment(n);
  std::vector<float> sums(k * d);
  std::vector<uint64_t> counts(k);
  for (size_t iteration = 0; iteration < iterations; ++iteration) {
    assign_points(wide, points.data(), n, d, centroids.data(), k, assignment.data(), 1);
    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), uint64_t{0});
    for (size_t j = 0; j < n; ++j) ++counts[assignment[j]];
    // Component-major walk: every sums cell still receives its points in
    // ascending j, which is all the order asks.
    for (size_t t = 0; t < d; ++t) {
      const float* column = points.data() + t * n;
      for (size_t j = 0; j < n; ++j) sums[assignment[j] * d + t] += column[j];
    }
    for (size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      const float count = static_cast<float>(counts[c]);
      for (size_t t = 0; t < d; ++t) centroids[c * d + t] = sums[c * d + t] / count;
    }
  }
  return centroids;
}

// The 256 x L centroids of sub-vector m, trained on sub-vector m of the
// first `n` vectors of `vectors`.
std::vector<float> train_subquantizer(size_t m, std::span<const float> vectors, size_t n,
                                      const PqConfig& config) {
  const size_t dim = config.dimension(), len = config.subvector_len();
  std::vector<float> points(n * len);
  gather_component_major(vectors.data() + m * len, dim, n, len, points.data());
  return kmeans_component_major(points, n, len, config.num_centroids(), config.iterations(),
                                wide_lanes());
}

}  // namespace

// ---- Configuration --------------------------------------------------------

uint64_t choose_num_subquantizers(uint64_t dimension) {
  for (const uint64_t m : {48, 32, 16, 8}) {
    if (dimension % m == 0) return m;
  }
  return dimension;
}

Result<PqConfig> PqConfig::create(uint64_t dimension, uint64_t num_subquantizers) {
  TS_RETURN_IF_ERROR(validate_dimensions(dimension));
  if (num_subquantizers == 0 || dimension % num_subquantizers != 0) {
    return DbError::InvalidInput("Dimension " + std::to_string(dimension) +
                                 " must be divisible by num_subquantizers " +
                                 std::to_string(num_subquantizers));
  }
  return PqConfig(dimension, num_subquantizers);
}

// ---- Codebook -------------------------------------------------------------

PqCodebook::PqCodebook(std::vector<float> centroids, uint64_t num_subquantizers,
                       uint64_t subvector_len, bool inner_product)
    : centroids_(std::move(centroids)),
      components_(centroids_.size()),
      num_subquantizers_(num_subquantizers),
      subvector_len_(subvector_len),
      inner_product_(inner_product) {
  const size_t len = subvector_len;
  for (size_t m = 0; m < num_subquantizers; ++m) {
    for (size_t c = 0; c < kPqNumCentroids; ++c) {
      for (size_t t = 0; t < len; ++t) {
        components_[(m * len + t) * kPqNumCentroids + c] =
            centroids_[(m * kPqNumCentroids + c) * len + t];
      }
    }
  }
}

PqCodebook train_pq(const PqConfig& config, std::span<const float> vectors, bool inner_product) {
  const size_t dim = config.dimension(), subquantizers = config.num_subquantizers();
  const size_t book_size = config.num_centroids() * config.subvector_len();
  assert(vectors.size() % dim == 0);
  const size_t n = vectors.size() / dim;
  std::vector<float> centroids(subquantizers * book_size, 0.0f);
  if (n > 0) {
    const size_t training = std::min<size_t>(n, config.max_training_vectors());
    // One task per sub-vector, each writing its own codebook's place.
    parallel_for_chunks(subquantizers, 1, [&](size_t begin, size_t end) {
      for (size_t m = begin; m < end; ++m) {
        const std::vector<float> book = train_subquantizer(m, vectors, training, config);
        std::copy(book.begin(), book.end(),
                  centroids.begin() + static_cast<ptrdiff_t>(m * book_size));
      }
    });
  }
  return PqCodebook(std::move(centroids), subquantizers, config.subvector_len(), inner_product);
}

// ---- Encoding and distance tables -----------------------------------------

PqCodes encode_pq_parallel(const PqCodebook& codebook, std::span<const float> vectors) {
  const size_t dim = codebook.dimension(), subquantizers = codebook.num_subquantizers();
  const size_t len = codebook.subvector_len(), book_size = kPqNumCentroids * len;
  assert(vectors.size() % dim == 0);
  const size_t n = vectors.size() / dim;
  std::vector<uint8_t> bytes(n * subquantizers);
  const bool wide = wide_lanes();
  parallel_for_chunks(n, kEncodeChunk, [&](size_t begin, size_t end) {
    // Sub-vector m of the chunk's vectors, component-major, meets the 256
    // centroids of m as one block of points.
    const size_t count = end - begin;
    std::vector<float> points(count * len);
    for (size_t m = 0; m < subquantizers; ++m) {
      gather_component_major(vectors.data() + begin * dim + m * len, dim, count, len,
                             points.data());
      assign_points(wide, points.data(), count, len, codebook.centroids().data() + m * book_size,
                    kPqNumCentroids, bytes.data() + begin * subquantizers + m, subquantizers);
    }
  });
  return PqCodes(std::move(bytes), n, subquantizers);
}

std::vector<float> build_adc_table(const PqCodebook& codebook, std::span<const float> query) {
  std::vector<float> table(codebook.num_subquantizers() * kPqNumCentroids);
  build_adc_table_into(codebook, query, table);
  return table;
}

void build_adc_table_into(const PqCodebook& codebook, std::span<const float> query,
                          std::span<float> table) {
  const size_t subquantizers = codebook.num_subquantizers(), len = codebook.subvector_len();
  assert(query.size() == codebook.dimension() && table.size() == subquantizers * kPqNumCentroids);
  const bool wide = wide_lanes();
  for (size_t m = 0; m < subquantizers; ++m) {
    const float* sub = query.data() + m * len;
    const float* components = &codebook.components_[m * len * kPqNumCentroids];
    const StoreSums store{&table[m * kPqNumCentroids]};
    if (codebook.inner_product()) {
      lane_sums<Product>(wide, sub, len, components, kPqNumCentroids, kPqNumCentroids, store);
    } else {
      lane_sums<SquaredDifference>(wide, sub, len, components, kPqNumCentroids, kPqNumCentroids,
                                   store);
    }
  }
}

namespace {

// Four adc_distance sums of the codes c[0..3], interleaved, reading kStep
// code bytes of each at a time (8 when M is a multiple of 8, else 1).
template <size_t kStep>
[[gnu::always_inline]] inline void adc_four(const float* row, size_t m_count,
                                            const uint8_t* const* c, float* out) {
  float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t m = 0; m < m_count; m += kStep) {
    uint64_t w[4] = {0, 0, 0, 0};  // byte k is the code byte m + k
    for (size_t l = 0; l < 4; ++l) std::memcpy(&w[l], c[l] + m, kStep);
    for (size_t k = 0; k < kStep; ++k, row += kPqNumCentroids) {
      for (size_t l = 0; l < 4; ++l) s[l] = s[l] + row[(w[l] >> (8 * k)) & 0xFF];
    }
  }
  for (size_t l = 0; l < 4; ++l) out[l] = s[l];
}

}  // namespace

void adc_distances(std::span<const float> table, const uint8_t* codes, size_t stride,
                   std::span<const uint32_t> nodes, float* out) {
  const size_t m_count = table.size() / kPqNumCentroids;
  size_t j = 0;
  for (; j + 4 <= nodes.size(); j += 4) {
    const uint8_t* c[4];
    for (size_t l = 0; l < 4; ++l) c[l] = codes + size_t{nodes[j + l]} * stride;
    if (m_count % 8 == 0) {
      adc_four<8>(table.data(), m_count, c, out + j);
    } else {
      adc_four<1>(table.data(), m_count, c, out + j);
    }
  }
  for (; j < nodes.size(); ++j) {
    out[j] = adc_distance(table, {codes + size_t{nodes[j]} * stride, m_count});
  }
}

std::vector<float> train_kmeans(std::span<const float> points, size_t d, size_t k,
                                size_t iterations) {
  k = std::min<size_t>(k, kPqNumCentroids);
  if (d == 0 || k == 0) return {};
  assert(points.size() % d == 0);
  const size_t n = points.size() / d;
  std::vector<float> component_major(n * d);
  gather_component_major(points.data(), d, n, d, component_major.data());
  return kmeans_component_major(component_major, n, d, k, iterations, wide_lanes());
}

}  // namespace tessarin
