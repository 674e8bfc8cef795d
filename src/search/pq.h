// Product quantisation: the short codes with which the full parallel graph
// build ranks candidate neighbours before it re-ranks the best of them
// exactly.
//
// A vector of `dimension` floats is cut into `num_subquantizers` (M) equal
// sub-vectors of `subvector_len` (L) floats; sub-vector m is
// v[m*L .. (m+1)*L). Each sub-vector has its own codebook of 256 centroids,
// trained by a deterministic k-means on the first (at most 10 000) vectors,
// and a vector's code is one byte per sub-vector: the index of the nearest
// centroid. A query is compared with codes through a distance table of
// M x 256 floats (build_adc_table), after which one approximate distance is
// M lookups and additions (adc_distance).
//
// Reproducibility. Every result is a pure function of the inputs, to the
// bit: it never depends on the pool's thread count, on scheduling or on the
// processor. Training splits the sub-vector indices and encoding the vectors
// over the worker pool (sync/pool.h); each task writes only its own part
// of the output. All floating-point work is f32 in the order written below
// and never fused into multiply-add (see kernel_order.h):
//   squared distance of two sub-vectors x, y of length L:
//       s = -0.0; for t = 0 .. L-1 ascending: s = s + ((x[t] - y[t]) * (x[t] - y[t]))
//   dot product (inner-product tables only):
//       s = -0.0; for t = 0 .. L-1 ascending: s = s + (x[t] * y[t])
//   nearest centroid (training and encoding): best = FLT_MAX, index 0; for
//       c ascending, a distance strictly below best replaces both. Ties keep
//       the lower index; a NaN or infinite distance never wins, so a
//       sub-vector with a NaN component codes as 0.
// The k-means order of operations is written out in pq.cpp.
//
// Ownership: PqCodebook and PqCodes own their arrays and are immutable once
// made. They live for one full build; nothing persists them.
//
// Thread safety: every function is safe to call from any thread, also from
// inside pool tasks; a const PqCodebook or PqCodes may be read by any number
// of threads at once (the build does so from all pool threads).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "error.h"

namespace tessarin {

// Centroids per sub-vector codebook: one code byte indexes them, and the
// distance table's stride is fixed at this count.
inline constexpr uint64_t kPqNumCentroids = 256;
// Lloyd iterations of the k-means (no convergence test).
inline constexpr uint64_t kPqIterations = 10;
// At most this many vectors, the first ones in the given order, train.
inline constexpr uint64_t kPqMaxTrainingVectors = 10000;

// M for a dimension: the first of 48, 32, 16, 8 that divides it, else the
// dimension itself (then every sub-vector is one component).
uint64_t choose_num_subquantizers(uint64_t dimension);

// The parameters of one quantiser.
// Invariant: 1 <= dimension <= 65536, num_subquantizers >= 1 divides it.
class PqConfig {
 public:
  // A config splitting `dimension` floats into `num_subquantizers` parts.
  // Fails with InvalidInput "Dimension {d} must be divisible by
  // num_subquantizers {M}" when M is 0 or does not divide d (a caller's
  // error: choose_num_subquantizers never gives such an M), and with the
  // vector file's dimension errors when d is 0 or above 65536, so that no
  // quantiser is ever sized from an absurd dimension.
  [[nodiscard]] static Result<PqConfig> create(uint64_t dimension, uint64_t num_subquantizers);

  uint64_t dimension() const { return dimension_; }
  uint64_t num_subquantizers() const { return num_subquantizers_; }
  uint64_t subvector_len() const { return dimension_ / num_subquantizers_; }
  uint64_t num_centroids() const { return kPqNumCentroids; }
  uint64_t iterations() const { return kPqIterations; }
  uint64_t max_training_vectors() const { return kPqMaxTrainingVectors; }

 private:
  PqConfig(uint64_t dimension, uint64_t num_subquantizers)
      : dimension_(dimension), num_subquantizers_(num_subquantizers) {}

  uint64_t dimension_;
  uint64_t num_subquantizers_;
};

class PqCodes;

// The trained quantiser.
class PqCodebook {
 public:
  // All centroids, M x 256 x L floats: centroid c of sub-vector m is
  // [(m*256 + c)*L, +L), so the codebooks follow one another in ascending m.
  std::span<const float> centroids() const { return centroids_; }
  uint64_t num_subquantizers() const { return num_subquantizers_; }
  uint64_t num_centroids() const { return kPqNumCentroids; }
  uint64_t subvector_len() const { return subvector_len_; }
  uint64_t dimension() const { return num_subquantizers_ * subvector_len_; }
  // Set for Cosine and Dot: distance tables then hold dot products (larger
  // is closer) instead of squared distances (smaller is closer). Training
  // and encoding always use squared distance.
  bool inner_product() const { return inner_product_; }

 private:
  friend PqCodebook train_pq(const PqConfig&, std::span<const float>, bool);
  friend void build_adc_table_into(const PqCodebook&, std::span<const float>, std::span<float>);
  // Takes the centroids in the layout of centroids() and derives components_.
  PqCodebook(std::vector<float> centroids, uint64_t num_subquantizers, uint64_t subvector_len,
             bool inner_product);

  std::vector<float> centroids_;  // M x 256 x L, layout above
  // The same values component-major per sub-vector: component t of
  // centroid c of sub-vector m at (m*L + t)*256 + c, so that a distance
  // table meets consecutive centroids in the lanes of one vector register.
  std::vector<float> components_;
  uint64_t num_subquantizers_;  // M >= 1
  uint64_t subvector_len_;      // L >= 1
  bool inner_product_;
};

// The codes of n vectors, in input order.
class PqCodes {
 public:
  uint64_t count() const { return count_; }
  uint64_t code_len() const { return code_len_; }  // = M
  // All codes, n x M bytes: the code of vector i is [i*M, (i+1)*M).
  std::span<const uint8_t> bytes() const { return bytes_; }
  // REQUIRES: i < count().
  std::span<const uint8_t> code(uint64_t i) const {
    assert(i < count_);
    return std::span<const uint8_t>(bytes_).subspan(i * code_len_, code_len_);
  }

 private:
  friend PqCodes encode_pq_parallel(const PqCodebook&, std::span<const float>);
  PqCodes(std::vector<uint8_t> bytes, uint64_t count, uint64_t code_len)
      : bytes_(std::move(bytes)), count_(count), code_len_(code_len) {}

  std::vector<uint8_t> bytes_;
  uint64_t count_;
  uint64_t code_len_;
};

// Trains a codebook on `vectors` (n = vectors.size() / dimension vectors of
// `config.dimension()` floats each, one after another). Sub-vector m is
// trained on sub-vector m of vectors 0 .. min(n, 10000)-1 in their given
// order by train_kmeans with k = 256. With no vectors the centroids are all
// zeros, of the same size. The training set is read in place: only each
// task's sub-vectors are copied.
// REQUIRES: vectors.size() is a multiple of config.dimension().
PqCodebook train_pq(const PqConfig& config, std::span<const float> vectors, bool inner_product);

// The code of every vector of `vectors` (n x dimension floats), in order.
// REQUIRES: vectors.size() is a multiple of codebook.dimension().
PqCodes encode_pq_parallel(const PqCodebook& codebook, std::span<const float> vectors);

// The distance table of a query: M x 256 floats, entry m*256 + c comparing
// sub-vector m of the query with centroid c of sub-vector m (squared
// distance, or the dot product when codebook.inner_product()).
// REQUIRES: query.size() == codebook.dimension().
std::vector<float> build_adc_table(const PqCodebook& codebook, std::span<const float> query);
// The same table written into `table` (a caller's reusable buffer).
// REQUIRES: as build_adc_table; table.size() == M * 256.
void build_adc_table_into(const PqCodebook& codebook, std::span<const float> query,
                          std::span<float> table);

// The approximate distance of one code under a distance table: s = +0.0,
// then s = s + table[m*256 + code[m]] for m ascending. Compare results in
// the table's direction (larger is closer for inner-product tables).
// REQUIRES: table.size() >= code.size() * 256 (a table and a code from the
// same codebook).
inline float adc_distance(std::span<const float> table, std::span<const uint8_t> code) {
  assert(table.size() >= code.size() * kPqNumCentroids);
  const float* row = table.data();
  float s = 0.0f;
  for (const uint8_t c : code) {
    s = s + row[c];
    row += kPqNumCentroids;
  }
  return s;
}

// adc_distance of several codes at once: out[j] = adc_distance(table, the
// code of nodes[j]), where the code of node x is the M = table.size() / 256
// bytes at codes + x * stride (stride >= M; a caller may pad codes to
// whole cache lines). Sums run four at a time, interleaved, each still
// added in ascending m from +0.0, so every value is bit for bit
// adc_distance's; the interleaving only hides the latency of each sum's
// chain of additions (and, when M is a multiple of 8, codes are read eight
// bytes at a time).
// REQUIRES: every code lies inside `codes`; out holds nodes.size() floats.
void adc_distances(std::span<const float> table, const uint8_t* codes, size_t stride,
                   std::span<const uint32_t> nodes, float* out);

// The deterministic k-means of one sub-vector codebook: k centroids of d
// floats (k x d, centroid c at [c*d, +d)) for the n = points.size() / d
// points of `points` (row after row), after `iterations` Lloyd iterations.
// No points: k x d zeros. Seeding and iterations are described in pq.cpp.
// REQUIRES: d >= 1, k <= 256 (an assignment is one byte; a larger k is
// taken as 256), points.size() a multiple of d.
std::vector<float> train_kmeans(std::span<const float> points, size_t d, size_t k,
                                size_t iterations);

}  // namespace tessarin
