// The graph in memory: neighbour-list storage, add_node, node distances,
// the greedy descent and the insert-side layer search (against the plain
// sorted-array form of the algorithm).
#include "search/hnsw/graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "hnsw_test_util.h"
#include "search/distance.h"

namespace tessarin {
namespace {

using tessarin::testing::hnsw_config;
using tessarin::testing::as_list;
using tessarin::testing::List;

TEST(HnswNeighborListsTest, ListsMoveBetweenBlockAndSpill) {
  NeighborLists dense(2, true, 2);
  for (uint32_t id : {7, 8, 9, 10}) dense.append(0, id);  // outgrows its block at 9
  EXPECT_EQ(as_list(dense.list(0)), (List{7, 8, 9, 10}));
  dense.assign(0, List{1});  // back into the block
  EXPECT_EQ(as_list(dense.list(0)), (List{1}));
  NeighborLists sparse(3, false, 2);
  sparse.assign(1, List{});  // an empty list needs no block
  EXPECT_FALSE(sparse.has_block(1));
  sparse.append(1, 5);
  sparse.add_lists(2);
  EXPECT_EQ(as_list(sparse.list(1)), (List{5}));
  EXPECT_TRUE(sparse.list(3).empty());
}

TEST(HnswGraphTest, AddNodeGrowsLayersAndMovesTheEntryPointOnlyUpwards) {
  HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
  EXPECT_FALSE(g.entry_point());
  for (auto [slot, level] : {std::pair{5, 0}, {6, 2}, {7, 2}, {5, 0}}) g.add_node(slot, "n", level);
  EXPECT_EQ(g.entry_point(), 1u);  // the first of the highest level
  EXPECT_EQ(g.max_level(), 2);
  EXPECT_EQ(g.slot_to_node(), (std::unordered_map<uint64_t, uint32_t>{{5, 3}, {6, 1}, {7, 2}}));
  ASSERT_EQ(g.layer_count(), 3u);
  for (size_t l = 0; l < 3; ++l) EXPECT_EQ(g.layer(l).node_count(), 4u);
  // A list above a node's own level can be written (the old entry point
  // gains back-links there).
  g.append_neighbor(2, 0, 1);
  EXPECT_EQ(as_list(g.neighbors(2, 0)), (List{1}));
  EXPECT_TRUE(g.neighbors(7, 0).empty());  // a layer that does not exist
}

class HnswWalkTest : public tessarin::testing::HnswStoreTest {};

TEST_F(HnswWalkTest, NodeDistanceScoresUnreadableAndFreedSlotsWorst) {
  const VectorStore& store = fill_store({{1, 2}, {3, -1}, {0.5f, 0.5f}}, 2);
  ASSERT_TRUE(mutable_store().mark_slot_free(2).ok());  // component 0 becomes NaN
  HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
  g.add_node(0, "a", 0);
  g.add_node(1, "b", 0);
  g.add_node(2, "freed", 0);
  g.add_node(3, "beyond", 0);  // slot 3 is not below the slot count
  const std::vector<float> q = {2, 1};
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    Metric metric;
    uint32_t node;
    float expected;
  };
  const Case cases[] = {{Metric::kDot, 0, 4},   {Metric::kL2, 0, 2},        {Metric::kCosine, 1, 5},
                        {Metric::kDot, 2, -inf}, {Metric::kL2, 2, inf},      {Metric::kDot, 3, -inf},
                        {Metric::kL2, 3, inf},   {Metric::kCosine, 3, -inf}};
  for (const Case& c : cases) {
    EXPECT_EQ(compute_node_distance(g, q, c.node, store, c.metric), c.expected)
        << "node " << c.node << " metric " << static_cast<int>(c.metric);
  }
}

TEST_F(HnswWalkTest, GreedyComparesAgainstTheBestSoFarAndTiesNeverMove) {
  // One dimension, L2, query at 0: node i sits at the position below.
  const std::vector<float> pos = {10, 7, 8, 5, 7, 6};
  std::vector<std::vector<float>> vectors;
  for (float p : pos) vectors.push_back({p});
  const VectorStore& store = fill_store(vectors, 1);
  HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
  for (uint32_t i = 0; i < pos.size(); ++i) g.add_node(i, "n", 1);
  g.add_node(99, "unreadable", 1);
  const std::vector<float> q = {0};
  auto greedy = [&](uint32_t start, size_t layer) {
    return greedy_search_layer(g, q, start, layer, store, Metric::kL2);
  };
  // Pass over [1, 2, 4]: 1 improves, 2 is better than the start but not
  // than 1, 4 ties with 1. Then 1's list leads on to 3.
  g.set_neighbors(1, 0, List{1, 2, 4});
  g.set_neighbors(1, 1, List{3});
  g.set_neighbors(1, 3, List{5});  // 6 is worse than 5
  EXPECT_EQ(greedy(0, 1), 3u);
  g.set_neighbors(1, 3, List{});
  g.set_neighbors(1, 4, List{1});  // a tie never moves
  EXPECT_EQ(greedy(4, 1), 4u);
  EXPECT_EQ(greedy(0, 5), 0u);  // no such layer
  // An unreadable start is the worst value: any readable neighbour moves.
  g.set_neighbors(1, 6, List{0});
  EXPECT_EQ(greedy(6, 1), 3u);
  // Descent on layer 0, which has no links: stays.
  EXPECT_EQ(greedy(0, 0), 0u);
}

// The insert-side layer search written as plainly as it is described: two
// arrays, both stably re-sorted.
std::vector<Candidate> plain_search_layer(const HnswGraph& g, std::span<const float> q, uint32_t entry,
                                          size_t layer, size_t ef, const VectorStore& store,
                                          Metric metric) {
  auto dist = [&](uint32_t n) { return compute_node_distance(g, q, n, store, metric); };
  auto better = [&](float a, float b) { return metric == Metric::kL2 ? a < b : a > b; };
  auto best_first = [&](const Candidate& a, const Candidate& b) { return better(a.distance, b.distance); };
  auto worst_first = [&](const Candidate& a, const Candidate& b) { return better(b.distance, a.distance); };
  std::set<uint32_t> visited{entry};
  std::vector<Candidate> candidates{{entry, dist(entry)}};
  std::vector<Candidate> results;
  float worst = candidates[0].distance;
  while (!candidates.empty()) {
    const Candidate c = candidates.back();
    candidates.pop_back();
    if (results.size() >= ef && !better(c.distance, worst)) continue;
    results.push_back(c);
    if (results.size() >= ef) {
      std::stable_sort(results.begin(), results.end(), best_first);
      results.resize(ef);
      worst = results.back().distance;
    }
    for (uint32_t e : g.neighbors(layer, c.node)) {
      if (!visited.insert(e).second) continue;
      const float d = dist(e);
      if (results.size() < ef || better(d, worst)) candidates.push_back({e, d});
    }
    std::stable_sort(candidates.begin(), candidates.end(), worst_first);
  }
  std::stable_sort(results.begin(), results.end(), best_first);
  return results;
}

TEST_F(HnswWalkTest, SearchLayerEqualsThePlainFormIncludingTies) {
  // Coordinates in {0, 1, 2} make many equal distances; some slots are
  // unreadable or freed; lists are random.
  std::mt19937 rng(7);
  const size_t n = 60;
  std::vector<std::vector<float>> vectors;
  for (size_t i = 0; i < n; ++i) {
    vectors.push_back({float(rng() % 3), float(rng() % 3), float(rng() % 3)});
  }
  fill_store(vectors, 3);
  ASSERT_TRUE(mutable_store().mark_slot_free(5).ok());
  for (int trial = 0; trial < 40; ++trial) {
    HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
    for (uint32_t i = 0; i < n + 5; ++i) g.add_node(i, "n", 1);  // slots n.. are unreadable
    for (uint32_t i = 0; i < g.node_count(); ++i) {
      List list;
      for (size_t k = rng() % 9; k > 0; --k) list.push_back(static_cast<uint32_t>(rng() % g.node_count()));
      g.set_neighbors(trial % 2, i, list);
    }
    const std::vector<float> q = {float(rng() % 3), float(rng() % 3), float(rng() % 3)};
    for (Metric metric : {Metric::kL2, Metric::kDot, Metric::kCosine}) {
      for (size_t ef : {1, 2, 3, 7, 20, 100}) {
        const auto entry = static_cast<uint32_t>(rng() % g.node_count());
        const size_t layer = trial % 2;
        EXPECT_EQ(search_layer(g, q, entry, layer, ef, store(), metric),
                  plain_search_layer(g, q, entry, layer, ef, store(), metric))
            << "trial " << trial << " ef " << ef << " metric " << static_cast<int>(metric);
      }
    }
  }
}

}  // namespace
}  // namespace tessarin
