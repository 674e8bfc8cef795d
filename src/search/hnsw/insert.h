// Sequential insertion into the graph index: the records that are not in
// the graph yet are added one by one, each linked on its layers to the best
// nodes a beam search finds, with back-links capped per layer.
//
// Per record (slot, id), in the given order, under the graph's write lock:
//   level = draw_level(slot, ml); the first node of a graph gets no links;
//   otherwise the node is added (add_node), and when its slot is readable it
//   descends greedily from the old entry point through the layers above its
//   level, then on each layer L from its level down to 0:
//     W = search_layer(vector, cur, L, ef), ef = min(ef_construction, 75),
//         at least 1;
//     its list = the first k of W (k = m_max0 on layer 0, m above), itself
//         left out;
//     each chosen neighbour gets a back-link unless it already has one;
//         a list that the link makes longer than cap (m_max0 on layer 0,
//         m_max above) is cut by diversity_cut; the list of an owner with
//         an unreadable slot is cut to its first cap entries as it stands;
//         a list that was longer than cap before the link (a full build
//         does not cap back-links) takes the link and is not cut; a list
//         that reaches exactly cap stays in insertion order;
//     cur = W's best node.
// A node with an unreadable slot gets no links (it may still have become
// the entry point).
//
// Thread safety and locks: insert_nodes takes the graph's read lock twice
// briefly (the filter, then the beam width) and then its write lock for the
// whole batch, and inside it the deleted set's write lock at the end;
// retain_unindexed_records takes the read lock once per item.
// REQUIRES of both: the caller holds neither graph lock nor the deleted
// set's. insert_nodes reads
// vectors in place: its caller holds the vector store's shared lock for the
// call, so slots and the slot count do not change under it.
//
// Failures: none. An unreadable slot is never an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "search/hnsw/graph.h"
#include "storage/vectors.h"

namespace tessarin {

// A record to be indexed: its vector's slot, its id, and until when it is
// live (whole seconds of the wall clock; HnswGraph::kNeverExpires for a
// record without an expiry).
struct IndexItem {
  uint64_t slot = 0;
  std::string id;
  uint64_t live_until = HnswGraph::kNeverExpires;

  bool operator==(const IndexItem&) const = default;
};

// The list `owner` keeps when a back-link has made it longer than `cap`:
// its entries with readable slots, scored against the owner and sorted best
// first (stable), walked in that order; an entry is kept unless an entry
// kept before it is strictly nearer to it than the owner is; the walk stops
// at `cap` kept entries, so the list may end shorter. Keeping only the cap
// nearest would leave a node in a dense group linked only inside it, and
// records beyond the group lose every link that leads to them.
// `scored` is scratch; the result is written to `out`.
// REQUIRES: owner's slot is readable (scorer.vector(owner) != nullptr);
// every entry below the graph's node count.
void diversity_cut(const NodeScorer& scorer, uint32_t owner, std::span<const uint32_t> list, uint64_t cap,
                   std::vector<Candidate>& scored, std::vector<uint32_t>& out);

// The beam width of insert_nodes: min(ef_construction, 75), and 1 for an
// ef_construction of 0.
size_t insert_beam_width(const HnswConfig& config);

// Starting at items[*pos], the next item the graph does not index (no
// current node of its id at its slot: HnswGraph::node_for), as a copy; *pos
// moves past it (or to the end: nullopt).
// REQUIRES: the graph's shared lock.
std::optional<IndexItem> next_unindexed_record(const HnswGraph& graph, std::span<const IndexItem> items,
                                               size_t* pos);

// The items the graph does not index, in their order (moved out of
// `items`).
std::vector<IndexItem> retain_unindexed_records(const HnswIndex& index, std::vector<IndexItem> items);

// Inserts the items the graph does not index yet, in the given order,
// and takes their slots out of the index's deleted set. Takes no write lock
// when there are none.
void insert_nodes(HnswIndex& index, std::span<const IndexItem> items, const VectorStore& store);

}  // namespace tessarin
