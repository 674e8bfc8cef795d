// The graph index of one collection in memory (HnswIndex, HnswGraph) and the
// walks that insertion and query search share: node distance, the greedy
// descent of one layer and the insert-side layer search.
//
// Model. Nodes are only appended: a node's index (u32) is its position and
// never changes. Each node has a record id, the slot of its vector in
// "vectors.bin" and a level (its top layer, at most 32). Layer l holds one
// neighbour list per node (NeighborLists); a list holds node indices in a
// meaningful order (best first where it was chosen by distance). A node may
// have a list on a layer above its own level (the old entry point gains
// back-links there when a higher node arrives, and a loaded file may carry
// any lists).
//
// Invariants (kept by add_node, set_neighbors and restore):
//   - layer_count() > the level of every node added by add_node; a loaded
//     graph keeps the layer count of its file;
//   - every layer holds node_count() lists;
//   - every list entry and the entry point are below node_count();
//   - entry_point() is absent only while the graph is empty; max_level() is
//     the entry point's level;
//   - slot_to_node() maps a slot to the last node added for it;
//     is_current(i) holds exactly when it maps node i's slot to i;
//   - live_until(i) is given when node i is added (a loaded graph's are set
//     once, from its records) and does not change: its record is live at
//     `now` (whole seconds) exactly when now < live_until(i), as long as the
//     node is current (a record's expiry never changes while it holds its
//     slot: a replacement takes a new slot).
//
// Distances. A distance is the raw compute_distance value (search/distance.h):
// lower is better for L2, higher for Cosine and Dot. A node whose slot is at
// or beyond the vector store's slot count, or whose distance is NaN (a freed
// slot carries a NaN marker), scores the worst value: +infinity for L2,
// -infinity otherwise. It can be reached and returned but never improves a
// walk, and every comparison in the walks is a total order.
//
// Thread safety. HnswGraph has no lock of its own; HnswIndex holds it in
// `graph` (Locked<HnswGraph>): the const functions and the walks need the
// shared side, add_node and set_neighbors/append_neighbor the exclusive side
// (but see NeighborLists for lists changed in parallel). The walks use the
// calling thread's VisitedSet, so searches on several threads run at once.
// Vectors are read in place from the mapped VectorStore; callers hold its
// shared lock for as long as a walk runs.
//
// Locks of HnswIndex: the collection's index lock, then the vector store's
// lock (a walk reads vectors in place), then `graph`, then `deleted`. A
// query takes `graph` shared and then `deleted` shared; insert_nodes takes
// `deleted` exclusively inside `graph` exclusively; applying a delete takes
// `deleted` exclusively, releases it, and only then takes `graph`
// exclusively; never the reverse nesting. The whole order:
// Lock order (the one list; a thread takes a lock only while every lock it
// holds comes earlier in this list; pairs never nested are noted where they
// are taken):
//   DatabaseState::open_mu -> DatabaseState::map_mu
//   -> CollectionState::writer_mu -> index_mu -> commit_mu -> claims_mu
//   -> pending_mu -> vectors.mu -> free_list.mu -> mirror.mu
//   -> index->graph.mu -> index->deleted.mu -> graph_changes_mu
//   -> index_file_mu
//   -> leaves: FreeList's own mutex, the store's internal mutexes, the
//      process-wide list of open states (detach_states_of_dir).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "metric.h"
#include "search/hnsw/neighbor_lists.h"
#include "sync/locked.h"
#include "storage/record.h"
#include "storage/vectors.h"

namespace tessarin {

// The insert beam is min(ef_construction, kMaxInsertBeam) (and at least 1).
inline constexpr uint64_t kMaxInsertBeam = 75;

struct HnswNode {
  std::string id;     // the record id
  uint64_t slot = 0;  // the record's slot in "vectors.bin"
  uint8_t level = 0;  // top layer, 0 ..= 32

  bool operator==(const HnswNode&) const = default;
};

// A node with its distance to the walk's query.
struct Candidate {
  uint32_t node = 0;
  float distance = 0.0f;  // raw compute_distance value, or the worst value

  bool operator==(const Candidate&) const = default;
};

// The worst distance under `metric`: +inf for L2, -inf for Cosine and Dot.
float worst_distance(Metric metric);

// True when distance a is strictly better than b under `metric`.
inline bool is_better(Metric metric, float a, float b) {
  return metric == Metric::kL2 ? a < b : a > b;
}

// Block capacities a graph derives from its configuration, each at most
// NeighborLists::kMaxInlineCapacity: layer 0 holds up to m_max0 entries;
// upper layers up to m_max, or a new node's own list of min(m, 75).
uint32_t layer0_capacity(const HnswConfig& config);
uint32_t upper_layer_capacity(const HnswConfig& config);

// The parts a loaded graph is assembled from (HnswGraph::restore).
struct HnswGraphParts {
  HnswConfig config;
  std::vector<std::string> ids;        // node i's record id
  std::vector<uint64_t> slots;         // node i's slot
  std::vector<uint8_t> levels;         // node i's level
  // Node i's live_until; empty: every node's record never expires (a file
  // does not keep expiries; the collection sets them from its records).
  std::vector<uint64_t> live_until;
  std::vector<NeighborLists> layers;   // layer 0 dense, the others sparse
  std::optional<uint32_t> entry_point;
  uint8_t max_level = 0;
};

class HnswGraph {
 public:
  // The live_until of a record without an expiry.
  static constexpr uint64_t kNeverExpires = UINT64_MAX;

  // An empty graph: no nodes, no layers, no entry point. Block capacities
  // come from the configuration, or are given (a build that knows how long
  // its lists grow).
  explicit HnswGraph(const HnswConfig& config);
  HnswGraph(const HnswConfig& config, uint32_t layer0_block, uint32_t upper_block);

  // A graph made of loaded parts; slot_to_node is rebuilt (a later node with
  // the same slot wins).
  // REQUIRES: ids, slots and levels each hold the same count N < 2^32;
  // every layer holds N lists whose entries are below N; layers[0] (if any)
  // is dense and the others sparse; entry_point below N.
  static HnswGraph restore(HnswGraphParts parts);

  HnswGraph(HnswGraph&&) noexcept = default;
  HnswGraph& operator=(HnswGraph&&) noexcept = default;

  // Appends node {id, slot, level} whose record is live while the clock
  // (whole seconds) is below `live_until`, and returns its index (the
  // previous node count); maps slot to it (replacing an older node of that slot); appends
  // empty layers until layer `level` exists and an empty list on every
  // layer, with blocks made on layers 0..level. The node becomes the entry
  // point when there is none or its level is strictly above max_level().
  // REQUIRES: level <= kMaxNodeLevel; node_count() < 2^32 - 1.
  uint32_t add_node(uint64_t slot, std::string id, uint8_t level,
                    uint64_t live_until = kNeverExpires);

  // Replaces node's list on `layer` / appends `neighbor` to it.
  // REQUIRES: layer < layer_count(); node and every entry below node_count().
  void set_neighbors(size_t layer, uint32_t node, std::span<const uint32_t> neighbors);
  void append_neighbor(size_t layer, uint32_t node, uint32_t neighbor);

  size_t node_count() const { return slots_.size(); }
  HnswNode node(uint32_t i) const { return {ids_[i], slots_[i], levels_[i]}; }
  const std::string& node_id(uint32_t i) const { return ids_[i]; }
  uint64_t node_slot(uint32_t i) const { return slots_[i]; }
  uint8_t node_level(uint32_t i) const { return levels_[i]; }
  // Node i's slot is slots()[i]; the walks read it from here.
  const std::vector<uint64_t>& slots() const { return slots_; }

  size_t layer_count() const { return layers_.size(); }
  // REQUIRES: l < layer_count().
  const NeighborLists& layer(size_t l) const { return layers_[l]; }
  // Node's list on `layer`; empty when the layer does not exist.
  // REQUIRES: node < node_count().
  std::span<const uint32_t> neighbors(size_t layer, uint32_t node) const {
    return layer < layers_.size() ? layers_[layer].list(node) : std::span<const uint32_t>{};
  }

  std::optional<uint32_t> entry_point() const { return entry_point_; }
  uint8_t max_level() const { return max_level_; }
  const HnswConfig& config() const { return config_; }
  const std::unordered_map<uint64_t, uint32_t>& slot_to_node() const { return slot_to_node_; }
  bool contains_slot(uint64_t slot) const { return slot_to_node_.contains(slot); }
  // Whether `node` is the graph's node for its slot: false once the slot was
  // unmapped (its record deleted or replaced) or a newer node took it. A
  // node that is not current only routes walks: its slot's vector may be
  // another record's by now.
  // REQUIRES: node < node_count().
  bool is_current(uint32_t node) const { return current_[node] != 0; }
  // Forgets which node holds `slot` (the node and its links stay): a record
  // that later takes the slot is not yet in the graph.
  void unmap_slot(uint64_t slot);
  // The current node of `slot` when its record id is `id`: the node that
  // stands for that record. None when the slot has no current node or its
  // node is another record's.
  std::optional<uint32_t> node_for(uint64_t slot, std::string_view id) const {
    const auto it = slot_to_node_.find(slot);
    if (it == slot_to_node_.end() || ids_[it->second] != id) return std::nullopt;
    return it->second;
  }

  // Node's record is live while the clock (whole seconds) is below this;
  // kNeverExpires for a record without an expiry.
  // REQUIRES: node < node_count().
  uint64_t live_until(uint32_t node) const { return live_until_[node]; }
  const std::vector<uint64_t>& live_untils() const { return live_until_; }
  // Sets node's live_until (a loaded graph learns its records' expiries).
  void set_live_until(uint32_t node, uint64_t value) { live_until_[node] = value; }

 private:
  HnswConfig config_;
  // Nodes, one entry per node in each of the three arrays (kept apart so a
  // walk reads slots from a dense array).
  std::vector<std::string> ids_;
  std::vector<uint64_t> slots_;
  std::vector<uint8_t> levels_;
  // 1 while node i is slot_to_node_'s node for its slot, else 0: the query
  // reads it for every node it may return, a byte instead of a hash lookup.
  std::vector<uint8_t> current_;
  std::vector<uint64_t> live_until_;  // see live_until()
  std::vector<NeighborLists> layers_;  // [0] dense, the rest sparse
  std::optional<uint32_t> entry_point_;
  std::unordered_map<uint64_t, uint32_t> slot_to_node_;
  uint8_t max_level_ = 0;  // the entry point's level
  // Block capacities of layers made by add_node.
  uint32_t layer0_capacity_ = 0;
  uint32_t upper_capacity_ = 0;
};

// The index of one collection. The collection state holds it (optional)
// under its index lock; see the lock order at the top of this file.
class HnswIndex {
 public:
  HnswIndex(HnswGraph graph, Metric metric);
  // Moves the guarded values; the locks are new.
  // REQUIRES: no thread holds or waits for other's locks.
  HnswIndex(HnswIndex&& other) noexcept;
  HnswIndex& operator=(HnswIndex&&) = delete;

  Locked<HnswGraph> graph;
  // Slots of records deleted since the graph was built or loaded, until a
  // record that reuses the slot is inserted.
  Locked<std::unordered_set<uint64_t>> deleted;
  Metric metric;  // the collection's metric; fixed
};

// Scores nodes against a query: the one place that turns a node into its
// vector and distance. Cheap to make; holds views of the graph's slots and
// the store's mapping, so it lives only while the callers' locks are held.
class NodeScorer {
 public:
  NodeScorer(const HnswGraph& graph, const VectorStore& store, Metric metric);

  // Node's vector in the mapping, or nullptr when its slot is unreadable.
  // REQUIRES: node < the graph's node count.
  const float* vector(uint32_t node) const {
    const uint64_t slot = slots_[node];
    return slot < slot_count_ ? base_ + slot * dimensions_ : nullptr;
  }

  // The node's distance to `query` (dimensions floats); the worst value for
  // an unreadable slot or a NaN result.
  float distance(const float* query, uint32_t node) const;

  // Asks for the first 512 bytes of node's vector ahead of its distance (a
  // walk reads vectors in graph order, which the hardware cannot foresee).
  // Always inlined: GCC drops an out-of-line function that only prefetches.
  [[gnu::always_inline]] void prefetch(uint32_t node) const {
    const uint64_t slot = slots_[node];
    if (slot >= slot_count_) return;
    const char* p = reinterpret_cast<const char*>(base_ + slot * dimensions_);
    const size_t bytes = std::min<size_t>(dimensions_ * sizeof(float), 512);
    for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(p + offset, 0, 3);
  }

  bool better(float a, float b) const { return is_better(metric_, a, b); }
  float worst() const { return worst_; }
  Metric metric() const { return metric_; }

 private:
  const uint64_t* slots_;
  const float* base_;
  uint64_t slot_count_;
  size_t dimensions_;
  Metric metric_;
  float worst_;
};

// compute_distance(metric, query, node's vector), or the worst value.
// REQUIRES: node < graph.node_count(); query.size() == store.dimensions();
// the graph's and the store's shared locks.
float compute_node_distance(const HnswGraph& graph, std::span<const float> query, uint32_t node,
                            const VectorStore& store, Metric metric);

// Greedy descent on one layer from `start`: passes over the current node's
// list move to a neighbour strictly better than the best so far (each pass
// runs to the end of its list) until a pass moves nothing; ties never move.
// Returns start when the layer does not exist.
// REQUIRES: as compute_node_distance, start < graph.node_count().
uint32_t greedy_search_layer(const HnswGraph& graph, std::span<const float> query, uint32_t start,
                             size_t layer, const VectorStore& store, Metric metric);

// The insert-side beam search of one layer from `entry`: at most ef
// candidates, best first. Order on equal distances: of the candidates the
// most recently found is expanded first; the results come in the order they
// were expanded. Equivalent, result for result, to the plain form that keeps
// both lists as arrays re-sorted (stably) after every expansion.
// REQUIRES: as greedy_search_layer; ef >= 1.
std::vector<Candidate> search_layer(const HnswGraph& graph, std::span<const float> query,
                                    uint32_t entry, size_t layer, size_t ef,
                                    const VectorStore& store, Metric metric);

}  // namespace tessarin
