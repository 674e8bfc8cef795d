// Query search of the graph index: a greedy descent to layer 1, then one
// beam search on layer 0 that routes through deleted, replaced and expired
// records' nodes but never returns them. The result is graph hits (node,
// its record id and slot, score); the collection resolves them against its
// records (a hit is only a candidate: the record may be gone, replaced, not
// Active or expired since).
//
// Keys. Inside the layer-0 search a distance becomes a key where smaller is
// better: -(dot product) for Cosine and Dot, the squared distance for L2;
// an unreadable slot (or a NaN distance) has key +infinity. Keys are turned
// back into raw compute_distance scores before anything is returned.
//
// Heaps. The candidates are a binary min-heap on the key, the results a
// binary max-heap on the key (its top is the worst kept result, never more
// than ef of them). Push appends and moves the entry up while it comes
// strictly before its parent; pop takes the root, moves the last entry into
// its place, sinks it to the bottom level always onto the child that comes
// first (the right one when both are equal), then moves it up as a push
// does. This discipline decides the order of equal scores.
//
// Thread safety: graph_hits takes the graph's shared lock and then the
// deleted set's shared lock for the walk. search_layer_filtered needs the
// graph's shared lock held by its caller. Both read vectors in place: the
// caller holds the vector store's shared lock. Each walk uses the calling
// thread's VisitedSet, so any number of queries run at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "search/hnsw/graph.h"
#include "storage/vectors.h"

namespace tessarin {

// One layer-0 result of a query.
struct ScoredNode {
  uint32_t node = 0;
  float score = 0.0f;  // raw compute_distance value (the worst for an unreadable slot)
};

// A graph hit, for the collection to resolve against its records.
struct GraphHit {
  std::string id;     // the node's record id
  uint64_t slot = 0;  // the node's slot: its score was computed from it
  uint32_t node = 0;
  float score = 0.0f;
};

// The beam search on layer 0 from `entry`: at most ef results, best first
// (stable on equal scores: their order in the result heap's array). A node
// whose slot is in `deleted`, that is not current (graph.is_current), or
// whose record has expired at `now` (whole seconds: now >= its live_until;
// 0 screens no expiry) routes the search but is never a result, so it takes
// no live node's place.
// REQUIRES: the graph's shared lock; entry < node_count; ef >= 1;
// query.size() == store.dimensions().
std::vector<ScoredNode> search_layer_filtered(const HnswGraph& graph, std::span<const float> query,
                                              uint32_t entry, size_t ef, const VectorStore& store,
                                              Metric metric,
                                              const std::unordered_set<uint64_t>& deleted,
                                              uint64_t now = 0);

// The query: ef = max(2k, ef_search) (saturating), descent from the entry
// point to layer 1, the layer-0 search, and its first min(2k, results)
// entries (current nodes of records live at `now` only: a node whose slot
// was released or taken by a newer node is only a stale copy, and an
// expired record's node only routes). None when k is 0 or the graph is
// empty.
// REQUIRES: the vector store's shared lock; neither of the index's locks.
std::vector<GraphHit> graph_hits(const HnswIndex& index, std::span<const float> query, uint64_t k,
                                 const VectorStore& store, uint64_t now = 0);

}  // namespace tessarin
