#include "search/hnsw/graph.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

#include "search/distance.h"
#include "search/hnsw/level.h"
#include "search/hnsw/visited.h"

namespace tessarin {

namespace {

uint32_t clamp_capacity(uint64_t wanted) {
  return static_cast<uint32_t>(std::min<uint64_t>(wanted, NeighborLists::kMaxInlineCapacity));
}

}  // namespace

float worst_distance(Metric metric) {
  return metric == Metric::kL2 ? std::numeric_limits<float>::infinity()
                               : -std::numeric_limits<float>::infinity();
}

uint32_t layer0_capacity(const HnswConfig& config) { return clamp_capacity(config.m_max0); }

uint32_t upper_layer_capacity(const HnswConfig& config) {
  return clamp_capacity(std::max(std::min(config.m, kMaxInsertBeam), config.m_max));
}

// ---- HnswGraph ----------------------------------------------------------------

HnswGraph::HnswGraph(const HnswConfig& config)
    : HnswGraph(config, layer0_capacity(config), upper_layer_capacity(config)) {}

HnswGraph::HnswGraph(const HnswConfig& config, uint32_t layer0_block, uint32_t upper_block)
    : config_(config),
      layer0_capacity_(std::min(layer0_block, NeighborLists::kMaxInlineCapacity)),
      upper_capacity_(std::min(upper_block, NeighborLists::kMaxInlineCapacity)) {}

HnswGraph HnswGraph::restore(HnswGraphParts parts) {
  const size_t n = parts.slots.size();
  assert(parts.ids.size() == n && parts.levels.size() == n);
  assert(!parts.entry_point || *parts.entry_point < n);
  HnswGraph graph(parts.config);
  if (!parts.layers.empty()) {
    graph.layer0_capacity_ = parts.layers[0].capacity();
    if (parts.layers.size() > 1) graph.upper_capacity_ = parts.layers[1].capacity();
  }
  graph.slot_to_node_.reserve(n);
  graph.current_.assign(n, 1);
  if (parts.live_until.size() == n) {
    graph.live_until_ = std::move(parts.live_until);
  } else {
    graph.live_until_.assign(n, kNeverExpires);
  }
  for (size_t i = 0; i < n; ++i) {
    auto [it, fresh] = graph.slot_to_node_.try_emplace(parts.slots[i], static_cast<uint32_t>(i));
    if (!fresh) graph.current_[std::exchange(it->second, static_cast<uint32_t>(i))] = 0;
  }
  for ([[maybe_unused]] const NeighborLists& layer : parts.layers) assert(layer.node_count() == n);
  graph.ids_ = std::move(parts.ids);
  graph.slots_ = std::move(parts.slots);
  graph.levels_ = std::move(parts.levels);
  graph.layers_ = std::move(parts.layers);
  graph.entry_point_ = parts.entry_point;
  graph.max_level_ = parts.max_level;
  return graph;
}

uint32_t HnswGraph::add_node(uint64_t slot, std::string id, uint8_t level, uint64_t live_until) {
  assert(level <= kMaxNodeLevel);
  const auto node = static_cast<uint32_t>(slots_.size());
  ids_.push_back(std::move(id));
  slots_.push_back(slot);
  levels_.push_back(level);
  current_.push_back(1);
  live_until_.push_back(live_until);
  auto [it, fresh] = slot_to_node_.try_emplace(slot, node);
  if (!fresh) current_[std::exchange(it->second, node)] = 0;
  while (layers_.size() <= level) {
    const bool dense = layers_.empty();
    // A new layer starts with an empty list for every node added before.
    layers_.emplace_back(dense ? layer0_capacity_ : upper_capacity_, dense, node);
  }
  for (size_t l = 0; l < layers_.size(); ++l) {
    layers_[l].add_lists(1);
    if (l <= level) layers_[l].allocate(node);
  }
  if (!entry_point_ || level > max_level_) {
    entry_point_ = node;
    max_level_ = level;
  }
  return node;
}

void HnswGraph::unmap_slot(uint64_t slot) {
  auto it = slot_to_node_.find(slot);
  if (it == slot_to_node_.end()) return;
  current_[it->second] = 0;
  slot_to_node_.erase(it);
}

void HnswGraph::set_neighbors(size_t layer, uint32_t node, std::span<const uint32_t> neighbors) {
  assert(layer < layers_.size() && node < node_count());
  assert(std::all_of(neighbors.begin(), neighbors.end(), [&](uint32_t e) { return e < node_count(); }));
  layers_[layer].assign(node, neighbors);
}

void HnswGraph::append_neighbor(size_t layer, uint32_t node, uint32_t neighbor) {
  assert(layer < layers_.size() && node < node_count() && neighbor < node_count());
  layers_[layer].append(node, neighbor);
}

// ---- HnswIndex ----------------------------------------------------------------

HnswIndex::HnswIndex(HnswGraph g, Metric m) : graph(std::move(g)), metric(m) {}

HnswIndex::HnswIndex(HnswIndex&& other) noexcept
    : graph(std::move(other.graph.value)), deleted(std::move(other.deleted.value)), metric(other.metric) {}

// ---- Distances and walks ------------------------------------------------------

NodeScorer::NodeScorer(const HnswGraph& graph, const VectorStore& store, Metric metric)
    : slots_(graph.slots().data()),
      base_(store.slot_count() > 0 ? store.slots_base() : nullptr),
      slot_count_(store.slot_count()),
      dimensions_(store.dimensions()),
      metric_(metric),
      worst_(worst_distance(metric)) {}

float NodeScorer::distance(const float* query, uint32_t node) const {
  const float* v = vector(node);
  if (v == nullptr) return worst_;
  const float d = compute_distance(metric_, query, v, dimensions_);
  return d == d ? d : worst_;  // NaN (a freed slot) scores the worst value
}

float compute_node_distance(const HnswGraph& graph, std::span<const float> query, uint32_t node,
                            const VectorStore& store, Metric metric) {
  assert(node < graph.node_count() && query.size() == store.dimensions());
  return NodeScorer(graph, store, metric).distance(query.data(), node);
}

uint32_t greedy_search_layer(const HnswGraph& graph, std::span<const float> query, uint32_t start,
                             size_t layer, const VectorStore& store, Metric metric) {
  assert(start < graph.node_count() && query.size() == store.dimensions());
  if (layer >= graph.layer_count()) return start;
  const NodeScorer scorer(graph, store, metric);
  const NeighborLists& lists = graph.layer(layer);
  float best = scorer.distance(query.data(), start);
  uint32_t current = start;
  for (;;) {
    const uint32_t passed = current;
    // The pass runs over the list it started with, comparing against the
    // best so far (which may already be a node found earlier in the pass).
    for (uint32_t neighbor : lists.list(passed)) {
      const float d = scorer.distance(query.data(), neighbor);
      if (scorer.better(d, best)) {
        best = d;
        current = neighbor;
      }
    }
    if (current == passed) return current;
  }
}

std::vector<Candidate> search_layer(const HnswGraph& graph, std::span<const float> query,
                                    uint32_t entry, size_t layer, size_t ef,
                                    const VectorStore& store, Metric metric) {
  assert(entry < graph.node_count() && query.size() == store.dimensions() && ef >= 1);
  const NodeScorer scorer(graph, store, metric);
  const float* q = query.data();
  const NeighborLists* lists = layer < graph.layer_count() ? &graph.layer(layer) : nullptr;

  // The plain form keeps candidates in an array sorted worst first (stable)
  // and pops the last; among equal distances that is the one appended last.
  // A heap on (distance, append number) pops the same element. Results kept
  // sorted best first (stable) after each append are, among equal
  // distances, in pop order; a heap on (distance, pop number) whose top is
  // the last of that order keeps and drops the same elements.
  struct Entry {
    Candidate c;
    uint64_t order;  // append number (candidates) or pop number (results)
  };
  const auto popped_later = [&](const Entry& a, const Entry& b) {  // b leaves before a
    if (scorer.better(b.c.distance, a.c.distance)) return true;
    if (scorer.better(a.c.distance, b.c.distance)) return false;
    return a.order < b.order;
  };
  const auto ranks_before = [&](const Entry& a, const Entry& b) {  // a earlier in the results
    if (scorer.better(a.c.distance, b.c.distance)) return true;
    if (scorer.better(b.c.distance, a.c.distance)) return false;
    return a.order < b.order;
  };

  VisitedSet& visited = thread_visited_set();
  visited.begin(graph.node_count());
  visited.insert(entry);
  const float d0 = scorer.distance(q, entry);
  std::vector<Entry> candidates{{{entry, d0}, 0}};
  std::vector<Entry> results;  // max-heap under ranks_before: front is the worst kept
  uint64_t appended = 1;
  uint64_t popped = 0;
  float worst = d0;
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), popped_later);
    Entry c = candidates.back();
    candidates.pop_back();
    if (results.size() >= ef && !scorer.better(c.c.distance, worst)) continue;
    c.order = popped++;
    results.push_back(c);
    std::push_heap(results.begin(), results.end(), ranks_before);
    if (results.size() >= ef) {
      if (results.size() > ef) {
        std::pop_heap(results.begin(), results.end(), ranks_before);
        results.pop_back();
      }
      worst = results.front().c.distance;
    }
    if (lists == nullptr) continue;
    for (uint32_t e : lists->list(c.c.node)) {
      if (!visited.insert(e)) continue;
      const float d = scorer.distance(q, e);
      if (results.size() < ef || scorer.better(d, worst)) {
        candidates.push_back({{e, d}, appended++});
        std::push_heap(candidates.begin(), candidates.end(), popped_later);
      }
    }
  }
  std::sort(results.begin(), results.end(), ranks_before);
  std::vector<Candidate> out;
  out.reserve(results.size());
  for (const Entry& r : results) out.push_back(r.c);
  return out;
}

}  // namespace tessarin
