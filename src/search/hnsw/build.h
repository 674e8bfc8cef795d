// The full parallel build of the graph index: a new HnswGraph over all given
// records at once, linked in batches on the worker pool, with product
// quantisation (search/pq.h) ranking the candidates and exact distances
// choosing the neighbours among them. (The single insertion of insert.h
// serves a graph that only lags behind; this is a different algorithm.)
//
// Steps of build_graph, for items 0 .. n-1 (node i is item i):
//   setup   level of node i = draw_level(slot, ml); max_level = the largest;
//           entry point = the lowest index at max_level; the layer table
//           (max_level + 1 layers of BuildCells); the vectors
//           (load_vectors_parallel); a codebook trained on them
//           (choose_num_subquantizers(dim) sub-vectors, 256 centroids, 10
//           iterations, at most 10 000 training vectors, inner-product
//           tables unless the metric is L2) and the code of every vector.
//   insert  batches of kBuildBatchSize consecutive nodes (build_batches),
//           one after another; the nodes of a batch are linked in parallel
//           and see each other's links as they appear. Per node i (vector
//           q, level L), unless it is the entry point with an empty layer-0
//           list at that moment:
//             ADC table of q; greedy descent on approximate distances from
//             the entry point through layers max_level .. L+1;
//             on each layer l = L .. 0: beam search of ef = ef_construction
//             on approximate distances (see build.cpp for the exact list
//             discipline); the results sorted by approximate distance
//             (stable), re-ranked by exact distance (stable, node i left
//             out); node i's list on l := the first M of them (M = m above
//             layer 0, m_max0 on it), followed by the back-links other
//             nodes made to i there before; each chosen node gets i appended
//             unless it has it (back-links are neither capped nor pruned,
//             so lists grow beyond M); the next layer starts from the best
//             approximate result, which may be i itself.
//   repair  no work; its time is that of two consecutive clock reads.
//   Then, for n > 999, the build profile (write_build_profile) goes to the
//   profile stream, and the cells become the graph's neighbour lists.
//
// Distances: "better" is strictly smaller, or strictly larger for Cosine and
// Dot; nothing is negated. A NaN distance (approximate or exact) counts as
// the worst value (+inf for L2, -inf otherwise), so every sort and bound
// sees a total order.
//
// Configured values are trusted for meaning, never for size: no buffer is
// sized from m, m_max0 or ef_construction (each may be as large as 2^64-1);
// a beam wider than the graph holds every node it reaches. An
// ef_construction of 0 is taken as 1 (a beam of 0 would keep nothing and
// link no node).
//
// The result: nodes {id, slot, level} in item order, slot_to_node (a later
// equal slot wins), the lists, the entry point (absent for no items),
// max_level and a copy of the configuration. Which links a node gets
// depends on scheduling when more than one worker links a batch; levels,
// entry point, node order and the distance count's meaning do not.
//
// Thread safety and locks: build_graph runs on the calling thread and uses
// the worker pool for the vector load, the level draw, the quantiser and
// the batches; it waits for each. Inside a batch the tasks share read-only
// state and the layer table; each BuildCell is written only under its own
// SpinRwLock, a task holds at most one cell lock at a time and none while
// computing distances (lists are copied out under the shared side). The
// caller's REQUIRES below keep the vectors still for the whole call.
//
// Failures: none. A node whose slot is at or beyond the store's slot count
// gets a zero vector. Allocation failure ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "metric.h"
#include "search/hnsw/graph.h"
#include "search/hnsw/insert.h"
#include "storage/record.h"
#include "storage/vectors.h"

namespace tessarin {

// Nodes per batch: bounds how far concurrent tasks run ahead of the links
// they depend on.
inline constexpr size_t kBuildBatchSize = 5000;

// More nodes than this make build_graph write its profile.
inline constexpr size_t kBuildProfileAbove = 999;

// What every build task reads.
struct BuildContext {
  HnswConfig config;
  Metric metric = Metric::kL2;
  bool higher_is_better = false;  // metric != L2: larger distances are better
};

// The figures of one build's profile. Seconds are of the monotonic clock.
struct BuildProfile {
  uint64_t nodes = 0;
  double setup_seconds = 0;   // levels, layer table, vector load, quantiser
  double insert_seconds = 0;  // the batches
  double repair_seconds = 0;  // two consecutive clock reads
  double total_seconds = 0;   // from the start to the moment of printing
  // Approximate distances of the beam searches (greedy descent and exact
  // re-ranking not counted): what one atomic increment per distance gives.
  uint64_t distance_calcs = 0;
};

// Writes the seven lines of `profile` to `out` in one call, e.g.
//   HNSW Build Profile (1000 nodes):
//     Phase 1 (setup):       0.02s ( 25.0%)
//     Phase 2 (insert):      0.06s ( 74.9%)
//     Phase 3 (repair):      0.00s (  0.0%)
//     Total:                 0.08s (12500 vec/s)
//     Distance calcs:    123456
//     Nodes improved:    0
// (times with 2 decimals right-aligned in 8 characters, shares with 1 in 5,
// vectors per second with none).
void write_build_profile(std::FILE* out, const BuildProfile& profile);

// A half-open range of node indices.
struct NodeRange {
  size_t begin = 0;
  size_t end = 0;

  bool operator==(const NodeRange&) const = default;
};

// The batches of n nodes: [b * 5000, min((b + 1) * 5000, n)) for b = 0 ..
// ceil(n / 5000) - 1.
std::vector<NodeRange> build_batches(size_t n);

// The vector of every slot, n x dimensions floats in slot order (row i is
// slots[i]'s values as stored); a slot at or beyond the store's slot count
// gives a row of zeros. Copies in parallel on the worker pool.
// REQUIRES: the vector store's shared lock.
std::vector<float> load_vectors_parallel(std::span<const uint64_t> slots, const VectorStore& store);

struct BuildOptions {
  // Receives the profile when more than 999 nodes are built; nullptr: none.
  std::FILE* profile_out = stderr;
  // When set, receives the profile's figures (for any n).
  BuildProfile* profile = nullptr;
  // Pool threads that link one batch; 0: all of them. With 1 the nodes are
  // linked in order on one thread and the graph is a pure function of the
  // inputs.
  size_t workers = 0;
};

// Builds a new graph over `items` (node i = items[i]) as described above.
// No items: an empty graph (no nodes, no layers, no entry point).
// REQUIRES: the vector store's shared lock, held by the caller for the
// whole call; items.size() < 2^32.
HnswGraph build_graph(std::span<const IndexItem> items, const VectorStore& store,
                      const HnswConfig& config, Metric metric, const BuildOptions& options = {});

}  // namespace tessarin
