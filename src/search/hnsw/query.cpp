#include "search/hnsw/query.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include "search/hnsw/visited.h"

namespace tessarin {

namespace {

struct Keyed {
  uint32_t node;
  float key;
};

// A binary heap of Keyed whose root comes first by `First` (a strict order
// on keys). push and pop follow the discipline in the header, which fixes
// where equal keys end up; std::priority_queue does not promise it.
template <typename First>
class KeyHeap {
 public:
  void clear() { v_.clear(); }
  bool empty() const { return v_.empty(); }
  size_t size() const { return v_.size(); }
  const Keyed& top() const { return v_.front(); }
  const std::vector<Keyed>& array() const { return v_; }

  void push(Keyed e) {
    v_.push_back(e);
    sift_up(v_.size() - 1);
  }

  Keyed pop() {
    Keyed root = v_.front();
    const Keyed last = v_.back();
    v_.pop_back();
    if (v_.empty()) return root;
    // Sink the hole to the bottom along the children that come first, put
    // the former last entry there and let it rise.
    const size_t end = v_.size();
    size_t pos = 0;
    size_t child = 1;
    while (child + 1 < end) {
      if (!First()(v_[child].key, v_[child + 1].key)) ++child;  // right one on equal keys
      v_[pos] = v_[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end) {
      v_[pos] = v_[child];
      pos = child;
    }
    v_[pos] = last;
    sift_up(pos);
    return root;
  }

 private:
  void sift_up(size_t pos) {
    const Keyed e = v_[pos];
    while (pos > 0) {
      const size_t parent = (pos - 1) / 2;
      if (!First()(e.key, v_[parent].key)) break;
      v_[pos] = v_[parent];
      pos = parent;
    }
    v_[pos] = e;
  }

  std::vector<Keyed> v_;
};

struct Smaller {
  bool operator()(float a, float b) const { return a < b; }
};
struct Larger {
  bool operator()(float a, float b) const { return a > b; }
};

// Per-thread heaps, reused from query to query.
struct QueryScratch {
  KeyHeap<Smaller> candidates;
  KeyHeap<Larger> results;
};

QueryScratch& thread_scratch() {
  thread_local QueryScratch scratch;
  return scratch;
}

// How many neighbours ahead a walk asks for a vector (measured: 4 to 8
// serve best on 128 dimensions, 1 or 2 are too late to hide the misses).
constexpr size_t kPrefetchAhead = 6;

// Insertion sort below this many entries, a general stable sort from it on
// (both stable: the same order).
constexpr size_t kInsertionSortMax = 20;

uint64_t saturating_double(uint64_t k) { return k > UINT64_MAX / 2 ? UINT64_MAX : 2 * k; }

}  // namespace

std::vector<ScoredNode> search_layer_filtered(const HnswGraph& graph, std::span<const float> query,
                                              uint32_t entry, size_t ef, const VectorStore& store,
                                              Metric metric,
                                              const std::unordered_set<uint64_t>& deleted,
                                              uint64_t now) {
  assert(entry < graph.node_count() && ef >= 1 && query.size() == store.dimensions());
  const NodeScorer scorer(graph, store, metric);
  const bool similarity = metric != Metric::kL2;
  // NodeScorer gives the worst value (-inf for similarities) for unreadable
  // slots, so negating keeps them at +inf.
  auto key_of = [&](uint32_t node) {
    const float d = scorer.distance(query.data(), node);
    return similarity ? -d : d;
  };
  const uint64_t* slot_of = graph.slots().data();
  const uint64_t* live_until = graph.live_untils().data();
  const bool any_deleted = !deleted.empty();
  // A node of a deleted or expired record, or one whose slot has a newer
  // node (its record replaced, or the slot reused), routes the walk but is
  // never a result: it would take a live record's place among the results.
  auto returnable = [&](uint32_t node) {
    return graph.is_current(node) && now < live_until[node] &&
           (!any_deleted || !deleted.contains(slot_of[node]));
  };

  QueryScratch& scratch = thread_scratch();
  KeyHeap<Smaller>& candidates = scratch.candidates;
  KeyHeap<Larger>& results = scratch.results;
  candidates.clear();
  results.clear();
  VisitedSet& visited = thread_visited_set();
  visited.begin(graph.node_count());

  const float key0 = key_of(entry);
  visited.insert(entry);
  candidates.push({entry, key0});
  if (returnable(entry)) results.push({entry, key0});
  const NeighborLists* layer0 = graph.layer_count() > 0 ? &graph.layer(0) : nullptr;
  while (!candidates.empty()) {
    const Keyed c = candidates.pop();
    if (results.size() >= ef && c.key >= results.top().key) break;
    if (layer0 == nullptr) continue;
    const std::span<const uint32_t> list = layer0->list(c.node);
    for (size_t j = 0; j < std::min(kPrefetchAhead, list.size()); ++j) {
      if (!visited.contains(list[j])) scorer.prefetch(list[j]);
    }
    for (size_t j = 0; j < list.size(); ++j) {
      const uint32_t e = list[j];
      // The vector of a neighbour a few places ahead is requested now, so
      // its cache misses overlap the distances before it.
      if (j + kPrefetchAhead < list.size() && !visited.contains(list[j + kPrefetchAhead])) {
        scorer.prefetch(list[j + kPrefetchAhead]);
      }
      if (!visited.insert(e)) continue;
      const float key = key_of(e);
      if (results.size() >= ef && key >= results.top().key) continue;
      candidates.push({e, key});
      if (returnable(e)) {
        results.push({e, key});
        if (results.size() > ef) results.pop();
      }
    }
  }

  std::vector<ScoredNode> out;
  out.reserve(results.size());
  for (const Keyed& r : results.array()) out.push_back({r.node, similarity ? -r.key : r.key});
  auto better = [&](const ScoredNode& a, const ScoredNode& b) {
    return similarity ? a.score > b.score : a.score < b.score;
  };
  if (out.size() <= kInsertionSortMax) {
    for (size_t i = 1; i < out.size(); ++i) {
      for (size_t j = i; j > 0 && better(out[j], out[j - 1]); --j) std::swap(out[j], out[j - 1]);
    }
  } else {
    std::stable_sort(out.begin(), out.end(), better);
  }
  return out;
}

std::vector<GraphHit> graph_hits(const HnswIndex& index, std::span<const float> query, uint64_t k,
                                 const VectorStore& store, uint64_t now) {
  std::vector<GraphHit> hits;
  SharedLock graph_lock(index.graph.mu);
  SharedLock deleted_lock(index.deleted.mu);
  const HnswGraph& graph = index.graph.value;
  const uint64_t two_k = saturating_double(k);
  if (two_k == 0 || !graph.entry_point()) return hits;
  // A beam wider than the graph finds nothing more: no buffer is sized from
  // k or ef_search beyond the node count.
  const uint64_t ef = std::min<uint64_t>(std::max(two_k, graph.config().ef_search),
                                         std::max<size_t>(graph.node_count(), 1));
  uint32_t cur = *graph.entry_point();
  for (size_t layer = graph.max_level(); layer >= 1; --layer) {
    cur = greedy_search_layer(graph, query, cur, layer, store, index.metric);
  }
  const std::vector<ScoredNode> found = search_layer_filtered(
      graph, query, cur, static_cast<size_t>(ef), store, index.metric, index.deleted.value, now);
  const size_t take = static_cast<size_t>(std::min<uint64_t>(two_k, found.size()));
  hits.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    const uint32_t node = found[i].node;
    hits.push_back(GraphHit{graph.node_id(node), graph.node_slot(node), node, found[i].score});
  }
  return hits;
}

}  // namespace tessarin
