// Helpers of the graph-index tests: a vector store filled with given vectors
// in a fresh temporary directory, configurations, and items.
#pragma once

#include <algorithm>
#include <limits>
#include <memory>
#include <set>

#include "search/distance.h"
#include "search/hnsw/graph.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/level.h"
#include "search/hnsw/query.h"
#include "storage/freelist.h"
#include "storage/vectors.h"
#include "test_util.h"

namespace tessarin::testing {

// Sanitized builds shrink the large graphs (the checks stay the same).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

using List = std::vector<uint32_t>;

inline List as_list(std::span<const uint32_t> s) { return List(s.begin(), s.end()); }

// Every node's neighbour list on `layer`, in node order.
inline std::vector<List> layer_lists(const HnswGraph& g, size_t layer) {
  std::vector<List> out;
  for (uint32_t i = 0; i < g.node_count(); ++i) out.push_back(as_list(g.neighbors(layer, i)));
  return out;
}

inline HnswConfig hnsw_config(uint64_t m, uint64_t m_max0, uint64_t m_max, uint64_t ef_construction,
                              double ml, uint64_t reserved = 0) {
  return HnswConfig{m, m_max0, m_max, ef_construction, 50, ml, reserved};
}

// Item of slot s with id "r<s>".
inline IndexItem item(uint64_t slot) { return {slot, "r" + std::to_string(slot)}; }

inline std::vector<IndexItem> items(uint64_t first, uint64_t count) {
  std::vector<IndexItem> out;
  for (uint64_t s = first; s < first + count; ++s) out.push_back(item(s));
  return out;
}

// The first slot at or after `from` whose drawn level under `ml` is `level`.
inline uint64_t slot_with_level(uint8_t level, double ml, uint64_t from = 0) {
  while (draw_level(from, ml) != level) ++from;
  return from;
}

// The nodes that no path of layer-0 links leads to from the entry point.
inline std::vector<uint32_t> unreachable_on_layer0(const HnswGraph& g) {
  std::vector<bool> seen(g.node_count());
  std::vector<uint32_t> stack;
  if (g.entry_point()) stack.push_back(*g.entry_point()), seen[*g.entry_point()] = true;
  while (!stack.empty()) {
    const uint32_t at = stack.back();
    stack.pop_back();
    for (uint32_t e : g.neighbors(0, at)) {
      if (!seen[e]) stack.push_back(e), seen[e] = true;
    }
  }
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    if (!seen[i]) out.push_back(i);
  }
  return out;
}

// What must hold of every graph over items(0, n) of `config`, whether made
// by the parallel build or by sequential insertion (`inserted`). Insertion
// caps every list at m_max0 / m_max but lets the old entry point gain links
// above its own level; the build appends back-links uncapped, never links
// above a node's level and leaves every node reachable on layer 0.
inline void expect_well_formed(const HnswGraph& g, size_t n, const HnswConfig& config, bool inserted) {
  ASSERT_EQ(g.node_count(), n);
  EXPECT_EQ(g.config(), config);
  uint8_t highest = 0;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(g.node_slot(i), i);
    EXPECT_EQ(g.node_level(i), draw_level(i, config.ml));
    highest = std::max(highest, g.node_level(i));
  }
  for (const auto& [slot, node] : g.slot_to_node()) EXPECT_EQ(g.node_slot(node), slot);
  ASSERT_EQ(g.layer_count(), size_t{highest} + 1);
  EXPECT_EQ(g.max_level(), highest);
  ASSERT_TRUE(g.entry_point());
  for (uint32_t i = 0; i < *g.entry_point(); ++i) EXPECT_LT(g.node_level(i), highest) << "lowest index";
  EXPECT_EQ(g.node_level(*g.entry_point()), highest);
  for (size_t l = 0; l < g.layer_count(); ++l) {
    ASSERT_EQ(g.layer(l).node_count(), n);
    for (uint32_t i = 0; i < n; ++i) {
      const List list = as_list(g.neighbors(l, i));
      if (inserted) EXPECT_LE(list.size(), l == 0 ? config.m_max0 : config.m_max) << "layer " << l;
      if (!inserted && g.node_level(i) < l) EXPECT_TRUE(list.empty()) << "layer " << l << " node " << i;
      EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()).size(), list.size()) << "duplicates";
      for (uint32_t e : list) {
        EXPECT_LT(e, n);
        EXPECT_NE(e, i) << "self-link";
        if (!inserted) EXPECT_GE(g.node_level(e), l) << "a node linked above its level";
      }
    }
  }
  // Every node can be reached on layer 0 from the entry point (unless that
  // layer keeps no links): a back-link that a concurrent task adds before
  // the node sets its own list must not be lost, or the node linked that
  // way is never found by a query.
  if (inserted || config.m_max0 == 0) return;
  EXPECT_EQ(unreachable_on_layer0(g), std::vector<uint32_t>{});
}

// n vectors of `dims` around `centres` N(0, 1) centres, each a centre chosen
// uniformly plus N(0, spread^2) noise per component.
inline std::vector<std::vector<float>> clustered_vectors(size_t n, size_t dims, size_t centres, float spread,
                                                         uint32_t seed) {
  const std::vector<std::vector<float>> c = normal_vectors(centres, dims, seed);
  std::vector<std::vector<float>> out = normal_vectors(n, dims, seed + 1);
  std::mt19937 rng(seed + 2);
  for (std::vector<float>& v : out) {
    const std::vector<float>& centre = c[rng() % centres];
    for (size_t d = 0; d < dims; ++d) v[d] = centre[d] + spread * v[d];
  }
  return out;
}

// The nodes in [first, end) that a query for their own vector does not
// find among its first k results (descent to layer 1, then the layer-0
// beam of ef, as the graph road runs it).
inline std::vector<uint32_t> nodes_not_found(const HnswGraph& g, const VectorStore& store, Metric metric,
                                             uint32_t first, uint32_t end, size_t k = 10, size_t ef = 64) {
  std::vector<uint32_t> missed;
  for (uint32_t i = first; i < end; ++i) {
    const std::span<const float> q(store.slots_base() + g.node_slot(i) * store.dimensions(), store.dimensions());
    uint32_t cur = *g.entry_point();
    for (size_t l = g.max_level(); l >= 1; --l) cur = greedy_search_layer(g, q, cur, l, store, metric);
    const std::vector<ScoredNode> found = search_layer_filtered(g, q, cur, ef, store, metric, {});
    bool hit = false;
    for (size_t j = 0; j < found.size() && j < k; ++j) hit = hit || found[j].node == i;
    if (!hit) missed.push_back(i);
  }
  return missed;
}

class HnswStoreTest : public TempDirTest {
 protected:
  // Recall on clustered vectors: `make` builds a graph over items(0, n) of
  // the vectors it is given in slots 0 .. n-1 (Cosine); at least 95% of
  // held-back queries must find their true nearest neighbour by a greedy
  // descent to layer 1 and one layer-0 search_layer of beam 100. The
  // vectors are a Gaussian mixture (`seed`): N(0, 1) centres, points at a
  // centre plus N(0, 1.5^2) noise, normalised. (With clusters much tighter
  // than their spacing, keeping simply the k best neighbours links almost
  // nothing across clusters, and a descent that ends in the wrong cluster
  // cannot leave it at any beam width; this mixture overlaps enough for a
  // graph to stay navigable.) Under sanitizers the graph is a quarter of
  // the size (the check is the same; only the run time differs).
  template <typename Make>
  void expect_recall(uint32_t seed, Make make) {
    const size_t n = kSanitized ? 5000 : 20000, queries = kSanitized ? 250 : 1000;
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> centre(kSanitized ? 100 : 400, std::vector<float>(128));
    for (auto& c : centre) {
      for (float& x : c) x = normal(rng);
    }
    std::vector<std::vector<float>> vectors(n + queries, std::vector<float>(128));
    for (auto& v : vectors) {
      const std::vector<float>& c = centre[rng() % centre.size()];
      for (size_t d = 0; d < 128; ++d) v[d] = c[d] + 1.5f * normal(rng);
      v = prepare_vector(Metric::kCosine, v);
    }
    const std::vector<std::vector<float>> held_back(vectors.begin() + n, vectors.end());
    vectors.resize(n);
    const VectorStore& s = fill_store(vectors, 128);
    const HnswGraph g = make(n, s);
    size_t found = 0;
    for (const std::vector<float>& q : held_back) {
      float best = -std::numeric_limits<float>::infinity();
      for (const auto& v : vectors) best = std::max(best, compute_distance(Metric::kCosine, q, v));
      uint32_t cur = *g.entry_point();
      for (size_t l = g.max_level(); l >= 1; --l) cur = greedy_search_layer(g, q, cur, l, s, Metric::kCosine);
      const std::vector<Candidate> w = search_layer(g, q, cur, 0, 100, s, Metric::kCosine);
      found += !w.empty() && w.front().distance == best;
    }
    EXPECT_GE(found, queries * 95 / 100) << found << " of " << queries;
  }
  // A new store of `dims` holding vectors[i] in slot i (replacing the last).
  const VectorStore& fill_store(const std::vector<std::vector<float>>& vectors, size_t dims) {
    std::filesystem::remove(path("vectors.bin"));
    store_ = std::make_unique<Locked<VectorStore>>(ok_value(VectorStore::create(path("vectors.bin"), dims)));
    Locked<FreeList> free_list;
    EXPECT_TRUE(allocate_slots(free_list, *store_, vectors.size()).ok());
    for (size_t i = 0; i < vectors.size(); ++i) EXPECT_TRUE(store_->value.write_vector(i, vectors[i]).ok());
    return store_->value;
  }
  const VectorStore& store() const { return store_->value; }
  VectorStore& mutable_store() { return store_->value; }

 private:
  std::unique_ptr<Locked<VectorStore>> store_;
};

}  // namespace tessarin::testing
