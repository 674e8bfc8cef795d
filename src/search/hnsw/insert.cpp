#include "search/hnsw/insert.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "search/hnsw/level.h"

namespace tessarin {

namespace {

// Re-usable buffers of one insert_nodes call.
struct InsertScratch {
  std::vector<uint32_t> selected;
  std::vector<uint32_t> list;
  std::vector<Candidate> scored;
  std::vector<uint32_t> kept;
};

// Adds `node` to nb's list on `layer` unless it is there. A list that the
// link makes longer than `cap` is cut by the diversity rule; one that was
// longer than `cap` already (a full build does not cap back-links, and a
// loaded file keeps what it holds) takes the link and is not cut: cutting
// it to `cap` would drop links that other nodes are only reachable by.
void add_back_link(HnswGraph& graph, const NodeScorer& scorer, size_t layer, uint32_t nb, uint32_t node,
                   uint64_t cap, InsertScratch& scratch) {
  const std::span<const uint32_t> current = graph.neighbors(layer, nb);
  if (std::find(current.begin(), current.end(), node) != current.end()) return;
  if (current.size() != cap) {  // room left, or over the cap already
    graph.append_neighbor(layer, nb, node);
    return;
  }
  std::vector<uint32_t>& list = scratch.list;
  list.assign(current.begin(), current.end());
  list.push_back(node);
  if (scorer.vector(nb) == nullptr) {
    list.resize(static_cast<size_t>(cap));  // cap < list.size() here
    graph.set_neighbors(layer, nb, list);
    return;
  }
  diversity_cut(scorer, nb, list, cap, scratch.scored, scratch.kept);
  graph.set_neighbors(layer, nb, scratch.kept);
}

// Links the new node `node` (level `level`, readable vector q) into the
// graph below entry point `ep`, whose level before this node was
// `previous_max`.
void link_node(HnswGraph& graph, const NodeScorer& scorer, const VectorStore& store, uint32_t node,
               uint8_t level, uint32_t ep, uint8_t previous_max, size_t ef, InsertScratch& scratch) {
  const HnswConfig& config = graph.config();
  const std::span<const float> q(scorer.vector(node), store.dimensions());
  uint32_t cur = ep;
  for (size_t l = previous_max; l > level; --l) {
    cur = greedy_search_layer(graph, q, cur, l, store, scorer.metric());
  }
  for (size_t l = level + size_t{1}; l-- > 0;) {
    const std::vector<Candidate> w = search_layer(graph, q, cur, l, ef, store, scorer.metric());
    const uint64_t k = l == 0 ? config.m_max0 : config.m;
    std::vector<uint32_t>& selected = scratch.selected;
    selected.clear();
    for (const Candidate& c : w) {
      if (selected.size() >= k) break;
      if (c.node != node) selected.push_back(c.node);
    }
    graph.set_neighbors(l, node, selected);
    const uint64_t cap = l == 0 ? config.m_max0 : config.m_max;
    for (uint32_t nb : selected) add_back_link(graph, scorer, l, nb, node, cap, scratch);
    if (!w.empty()) cur = w.front().node;
  }
}

}  // namespace

void diversity_cut(const NodeScorer& scorer, uint32_t owner, std::span<const uint32_t> list, uint64_t cap,
                   std::vector<Candidate>& scored, std::vector<uint32_t>& out) {
  const float* owner_vector = scorer.vector(owner);
  scored.clear();
  for (uint32_t e : list) {
    if (scorer.vector(e) != nullptr) scored.push_back({e, scorer.distance(owner_vector, e)});
  }
  std::stable_sort(scored.begin(), scored.end(), [&](const Candidate& a, const Candidate& b) {
    return scorer.better(a.distance, b.distance);
  });
  out.clear();
  for (const Candidate& c : scored) {
    if (out.size() >= cap) break;
    // An entry that a kept one is strictly nearer to than the owner is can
    // be reached through that one: its place goes to another direction.
    const bool covered = std::any_of(out.begin(), out.end(), [&](uint32_t kept) {
      return scorer.better(scorer.distance(scorer.vector(kept), c.node), c.distance);
    });
    if (!covered) out.push_back(c.node);
  }
}

size_t insert_beam_width(const HnswConfig& config) {
  return static_cast<size_t>(std::clamp<uint64_t>(config.ef_construction, 1, kMaxInsertBeam));
}

std::optional<IndexItem> next_unindexed_record(const HnswGraph& graph, std::span<const IndexItem> items,
                                               size_t* pos) {
  while (*pos < items.size()) {
    const IndexItem& item = items[(*pos)++];
    if (!graph.node_for(item.slot, item.id)) return item;
  }
  return std::nullopt;
}

std::vector<IndexItem> retain_unindexed_records(const HnswIndex& index, std::vector<IndexItem> items) {
  std::vector<IndexItem> kept;
  for (IndexItem& item : items) {
    bool indexed;
    {
      SharedLock lock(index.graph.mu);
      indexed = index.graph.value.node_for(item.slot, item.id).has_value();
    }
    if (!indexed) kept.push_back(std::move(item));
  }
  return kept;
}

void insert_nodes(HnswIndex& index, std::span<const IndexItem> items, const VectorStore& store) {
  std::vector<IndexItem> pending;
  {
    SharedLock lock(index.graph.mu);
    size_t pos = 0;
    while (auto item = next_unindexed_record(index.graph.value, items, &pos)) pending.push_back(std::move(*item));
  }
  if (pending.empty()) return;
  size_t ef;
  {
    SharedLock lock(index.graph.mu);
    ef = insert_beam_width(index.graph.value.config());
  }

  ExclusiveLock lock(index.graph.mu);
  HnswGraph& graph = index.graph.value;
  InsertScratch scratch;
  for (IndexItem& item : pending) {
    const uint8_t level = draw_level(item.slot, graph.config().ml);
    const std::optional<uint32_t> ep = graph.entry_point();
    const uint8_t previous_max = graph.max_level();
    const uint32_t node = graph.add_node(item.slot, std::move(item.id), level, item.live_until);
    if (!ep) continue;  // the first node has no links
    // Made after add_node: the scorer views the graph's slot array.
    const NodeScorer scorer(graph, store, index.metric);
    if (scorer.vector(node) == nullptr) continue;
    link_node(graph, scorer, store, node, level, *ep, previous_max, ef, scratch);
  }
  // A slot that now has a node of its own is no longer screened: the node of
  // the record deleted from it is not the slot's any more, and the query
  // skips it as it skips a replaced record's.
  ExclusiveLock deleted_lock(index.deleted.mu);
  for (const IndexItem& item : pending) index.deleted.value.erase(item.slot);
}

}  // namespace tessarin
