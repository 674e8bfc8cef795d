// Sequential insertion: the linking rules on small hand-checked graphs, the
// structural invariants after thousands of random inserts, and the recall of
// the graph it builds against an exact scan.
#include "search/hnsw/insert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <random>
#include <set>
#include <shared_mutex>
#include <vector>

#include "hnsw_test_util.h"
#include "search/distance.h"

namespace tessarin {
namespace {

using tessarin::testing::hnsw_config;
using tessarin::testing::item;
using tessarin::testing::items;
using tessarin::testing::slot_with_level;
using tessarin::testing::as_list;
using tessarin::testing::kSanitized;
using tessarin::testing::List;


// Checks what must hold of every graph insertion builds; `upper_cap` and
// `layer0_cap` bound the list lengths.
void expect_well_formed(const HnswGraph& g, size_t layer0_cap, size_t upper_cap) {
  const size_t n = g.node_count();
  uint8_t highest = 0;
  for (uint32_t i = 0; i < n; ++i) highest = std::max(highest, g.node_level(i));
  ASSERT_GE(g.layer_count(), size_t{highest} + 1);
  ASSERT_TRUE(n == 0 || g.entry_point());
  if (n > 0) {
    EXPECT_EQ(g.max_level(), highest);
    EXPECT_EQ(g.node_level(*g.entry_point()), highest);
  }
  for (size_t l = 0; l < g.layer_count(); ++l) {
    ASSERT_EQ(g.layer(l).node_count(), n);
    for (uint32_t i = 0; i < n; ++i) {
      const List list = as_list(g.neighbors(l, i));
      EXPECT_LE(list.size(), l == 0 ? layer0_cap : upper_cap) << "layer " << l << " node " << i;
      EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()).size(), list.size()) << "duplicates";
      for (uint32_t e : list) {
        EXPECT_LT(e, n);
        EXPECT_NE(e, i) << "self-link";
      }
    }
  }
  for (const auto& [slot, node] : g.slot_to_node()) EXPECT_EQ(g.node_slot(node), slot);
}

class HnswInsertTest : public tessarin::testing::HnswStoreTest {
 protected:
  // A store of `count` one-dimensional vectors at the given positions,
  // padded with position 1000.
  void positions(std::vector<float> pos, size_t count) {
    std::vector<std::vector<float>> vectors;
    for (size_t i = 0; i < count; ++i) vectors.push_back({i < pos.size() ? pos[i] : 1000.0f});
    fill_store(vectors, 1);
  }
};

TEST_F(HnswInsertTest, FirstNodeHasNoLinksSecondLinksBothWaysOnEachOfItsLayers) {
  positions({}, 200);
  const uint64_t a = slot_with_level(0, 1.0);
  const uint64_t b = slot_with_level(2, 1.0);
  ASSERT_LT(std::max(a, b), 200u);
  HnswIndex index(HnswGraph(hnsw_config(4, 8, 4, 10, 1.0)), Metric::kL2);
  insert_nodes(index, std::vector{item(a)}, store());
  const HnswGraph& g = index.graph.value;
  EXPECT_EQ(g.entry_point(), 0u);
  EXPECT_TRUE(g.neighbors(0, 0).empty());
  insert_nodes(index, std::vector{item(a), item(b)}, store());  // a is skipped
  ASSERT_EQ(g.node_count(), 2u);
  EXPECT_EQ(g.entry_point(), 1u);
  EXPECT_EQ(g.max_level(), 2);
  for (size_t l = 0; l < 3; ++l) {
    EXPECT_EQ(as_list(g.neighbors(l, 1)), List{0}) << "layer " << l;
    EXPECT_EQ(as_list(g.neighbors(l, 0)), List{1}) << "layer " << l;  // above node 0's own level too
  }
}

TEST_F(HnswInsertTest, BackLinksUpToTheCapStayInOrderLongerListsAreRescoredAndCut) {
  // L2 on a line: node i at the position of slot i; m_max0 = 2, one layer.
  positions({0, 10, 1, 2}, 4);
  HnswIndex index(HnswGraph(hnsw_config(2, 2, 2, 10, 0.0)), Metric::kL2);
  const HnswGraph& g = index.graph.value;
  insert_nodes(index, items(0, 3), store());
  // Node 2 (at 1) took [0, 1]; node 0's back-link list became exactly cap
  // long and keeps insertion order although 2 is nearer.
  EXPECT_EQ(as_list(g.neighbors(0, 0)), (List{1, 2}));
  EXPECT_EQ(as_list(g.neighbors(0, 1)), (List{0, 2}));
  EXPECT_EQ(as_list(g.neighbors(0, 2)), (List{0, 1}));
  insert_nodes(index, items(3, 1), store());
  // Node 3 (at 2) takes [2, 0]. Node 2's list [0, 1, 3] is re-scored from
  // 1: 0 and 3 tie at 1 and keep their order; 1 is cut. Node 0's [1, 2, 3]
  // becomes [2, 3].
  EXPECT_EQ(as_list(g.neighbors(0, 3)), (List{2, 0}));
  EXPECT_EQ(as_list(g.neighbors(0, 2)), (List{0, 3}));
  EXPECT_EQ(as_list(g.neighbors(0, 0)), (List{2, 3}));
  EXPECT_EQ(as_list(g.neighbors(0, 1)), (List{0, 2}));
}

TEST_F(HnswInsertTest, UnreadableSlotsAreDroppedWhenRescoringAndAnUnreadableOwnerIsCutAsItStands) {
  // Layer 1 selects every candidate (m = 10) and caps back-links at 2.
  const uint64_t s = slot_with_level(1, 1.0, 3);
  ASSERT_LT(s, 200u);
  std::vector<float> pos(200, 1000.0f);
  pos[0] = 0;
  pos[2] = 10;
  pos[s] = 9;
  positions(pos, 200);
  HnswGraph graph(hnsw_config(10, 10, 2, 10, 1.0));
  graph.add_node(0, "a", 1);
  graph.add_node(500, "unreadable", 1);
  graph.add_node(2, "c", 1);
  for (size_t l = 0; l < 2; ++l) {
    graph.set_neighbors(l, 0, List{1, 2});
    graph.set_neighbors(l, 1, List{2, 0});
    graph.set_neighbors(l, 2, List{0, 1});
  }
  HnswIndex index(std::move(graph), Metric::kL2);
  insert_nodes(index, std::vector{item(s)}, store());
  const HnswGraph& g = index.graph.value;
  EXPECT_EQ(as_list(g.neighbors(1, 3)), (List{2, 0, 1}));  // the unreadable node scores worst
  EXPECT_EQ(as_list(g.neighbors(1, 2)), (List{3, 0}));     // 1 dropped, 3 nearer than 0
  EXPECT_EQ(as_list(g.neighbors(1, 0)), (List{3, 2}));
  EXPECT_EQ(as_list(g.neighbors(1, 1)), (List{2, 0}));     // owner unreadable: first two kept
  EXPECT_EQ(as_list(g.neighbors(0, 1)), (List{2, 0, 3}));  // below the layer-0 cap: appended
}

TEST_F(HnswInsertTest, UnreadableNodeAboveAllOthersBecomesTheEntryPointWithoutLinks) {
  positions({0, 1, 2}, 3);
  HnswIndex index(HnswGraph(hnsw_config(4, 4, 4, 10, 1.0)), Metric::kL2);
  insert_nodes(index, items(0, 3), store());
  const HnswGraph& g = index.graph.value;
  ASSERT_LT(g.max_level(), 5);
  insert_nodes(index, std::vector{item(slot_with_level(5, 1.0, 3))}, store());  // beyond slot 2
  EXPECT_EQ(g.entry_point(), 3u);
  EXPECT_EQ(g.max_level(), 5);
  for (size_t l = 0; l < g.layer_count(); ++l) EXPECT_TRUE(g.neighbors(l, 3).empty());
}

TEST_F(HnswInsertTest, ZeroMKeepsUpperListsEmpty) {
  std::mt19937 rng(3);
  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 300; ++i) vectors.push_back({float(rng() % 1000), float(rng() % 1000)});
  fill_store(vectors, 2);
  HnswIndex index(HnswGraph(hnsw_config(0, 4, 4, 20, 1.0)), Metric::kL2);
  insert_nodes(index, items(0, 300), store());
  const HnswGraph& g = index.graph.value;
  ASSERT_GT(g.layer_count(), 1u);
  for (size_t l = 1; l < g.layer_count(); ++l) {
    for (uint32_t i = 0; i < g.node_count(); ++i) EXPECT_TRUE(g.neighbors(l, i).empty());
  }
  expect_well_formed(g, 4, 0);
  EXPECT_EQ(g.neighbors(0, 299).size(), 4u);
}

TEST(HnswInsertBeamTest, BeamIsCappedAt75AndAtLeast1) {
  for (auto [ef, beam] : {std::pair<uint64_t, size_t>{0, 1}, {1, 1}, {75, 75}, {76, 75}, {~0ull, 75}}) {
    EXPECT_EQ(insert_beam_width(hnsw_config(4, 8, 4, ef, 1.0)), beam) << ef;
  }
}

TEST_F(HnswInsertTest, NothingNewTakesNoWriteLock) {
  positions({0, 1}, 2);
  HnswIndex index(HnswGraph(hnsw_config(4, 8, 4, 10, 0.0)), Metric::kL2);
  insert_nodes(index, items(0, 2), store());
  EXPECT_EQ(retain_unindexed_records(index, items(0, 4)), items(2, 2));
  std::shared_lock held(index.graph.mu);  // a write lock would wait for this
  auto done = std::async(std::launch::async, [&] { insert_nodes(index, items(0, 2), store()); });
  const bool finished = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  held.unlock();
  EXPECT_TRUE(finished);
}

TEST_F(HnswInsertTest, ThousandsOfRandomInsertsKeepTheGraphWellFormed) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  const size_t n = 3000;
  std::vector<std::vector<float>> vectors(n, std::vector<float>(8));
  for (auto& v : vectors) {
    for (float& x : v) x = normal(rng);
  }
  fill_store(vectors, 8);
  for (uint64_t s : {17, 400, 2999}) ASSERT_TRUE(mutable_store().mark_slot_free(s).ok());
  for (Metric metric : {Metric::kL2, Metric::kCosine}) {
    HnswIndex index(HnswGraph(hnsw_config(6, 12, 6, 30, 1 / std::log(4.0))), metric);
    // Batches overlap (repeats are skipped) and carry slots beyond the store.
    for (uint64_t first = 0; first < n; first += 700) insert_nodes(index, items(first, 800), store());
    const HnswGraph& g = index.graph.value;
    EXPECT_EQ(g.node_count(), 3600u);  // slots 3000.. are unreadable
    EXPECT_GE(g.layer_count(), 4u);
    expect_well_formed(g, 12, 6);
  }
}

TEST_F(HnswInsertTest, AbsurdConfigurationAllocatesOnlyForNodes) {
  std::mt19937 rng(5);
  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 400; ++i) vectors.push_back({float(rng() % 100), float(rng() % 100)});
  fill_store(vectors, 2);
  const uint64_t huge = uint64_t{1} << 63;
  HnswIndex index(HnswGraph(HnswConfig{huge, huge, huge, ~0ull, ~0ull, 1.0, ~0ull}), Metric::kL2);
  insert_nodes(index, items(0, 400), store());
  expect_well_formed(index.graph.value, 400, 400);
}

// Recall of single insertion on clustered vectors (GaussianMixture): the
// true nearest neighbour of held-back queries by exact scan against the
// graph's answer from a greedy descent and one layer-0 search.
TEST_F(HnswInsertTest, SingleInsertionFindsTheTrueNearestNeighbour) {
  // Under sanitizers the graph is a quarter of the size (the check is the
  // same; only the run time differs).
  const size_t n = kSanitized ? 5000 : 20000;
  const size_t queries = kSanitized ? 250 : 1000;
  tessarin::testing::GaussianMixture mixture(128, kSanitized ? 100 : 400, 2024);
  std::vector<std::vector<float>> vectors(n);
  for (auto& v : vectors) v = mixture.draw();
  const VectorStore& store = fill_store(vectors, 128);
  HnswIndex index(HnswGraph(hnsw_config(16, 32, 16, 100, 1 / std::log(16.0))), Metric::kCosine);
  insert_nodes(index, items(0, n), store);
  ASSERT_EQ(index.graph.value.node_count(), n);
  std::vector<std::vector<float>> held_back(queries);
  for (auto& q : held_back) q = mixture.draw();
  const size_t found = tessarin::testing::true_nearest_found(index.graph.value, store, vectors, held_back);
  EXPECT_GE(found, queries * 95 / 100) << found << " of " << queries;
}

}  // namespace
}  // namespace tessarin
