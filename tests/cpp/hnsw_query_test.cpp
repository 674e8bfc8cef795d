// Query search of the graph: the layer-0 beam through deleted nodes, the
// order of equal scores, and the query's own limits.
#include "search/hnsw/query.h"

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>
#include <vector>

#include "hnsw_test_util.h"

namespace tessarin {
namespace {

using tessarin::testing::hnsw_config;

class HnswQueryTest : public tessarin::testing::HnswStoreTest {
 protected:
  // A graph of `n` level-0 nodes over slots 0..n-1, linked by `links` (both
  // ways), node i with id "n<i>".
  static HnswGraph chain(size_t n, const std::vector<std::pair<uint32_t, uint32_t>>& links) {
    HnswGraph g(hnsw_config(4, 8, 4, 10, 0.0));
    for (size_t i = 0; i < n; ++i) g.add_node(i, "n" + std::to_string(i), 0);
    for (auto [a, b] : links) {
      g.append_neighbor(0, a, b);
      g.append_neighbor(0, b, a);
    }
    return g;
  }
  static std::vector<uint32_t> nodes(const std::vector<ScoredNode>& found) {
    std::vector<uint32_t> out;
    for (const ScoredNode& s : found) out.push_back(s.node);
    return out;
  }
};

TEST_F(HnswQueryTest, DeletedNodesRouteTheBeamButAreNeverReturned) {
  // A path 0 - 1 - 2 - 3 - 4, the query nearest to 4.
  const VectorStore& store = fill_store({{0}, {1}, {2}, {3}, {4}}, 1);
  const HnswGraph g = chain(5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}});
  const std::vector<float> q = {4};
  EXPECT_EQ(nodes(search_layer_filtered(g, q, 0, 2, store, Metric::kL2, {})),
            (std::vector<uint32_t>{4, 3}));
  // Every node but the last deleted, the entry point included: the walk
  // still reaches node 4 through them.
  const std::unordered_set<uint64_t> deleted = {0, 1, 2, 3};
  EXPECT_EQ(nodes(search_layer_filtered(g, q, 0, 2, store, Metric::kL2, deleted)),
            (std::vector<uint32_t>{4}));
  EXPECT_TRUE(search_layer_filtered(g, q, 0, 2, store, Metric::kL2, {0, 1, 2, 3, 4}).empty());
}

TEST_F(HnswQueryTest, EqualScoresKeepTheResultHeapsOrderAndScoresAreRaw) {
  // Node 0 linked to 1..4, all at the same distance from the query.
  const VectorStore& store = fill_store({{1, 0}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}, 2);
  const HnswGraph g = chain(5, {{0, 1}, {0, 2}, {0, 3}, {0, 4}});
  const std::vector<float> q = {0, 2};
  // Dot: similarity 2 for 1..4, 0 for the entry point. Node 3 overfills the
  // beam of 3 and pushes the entry point out: the pop sinks the hole to the
  // right child on equal keys (node 2 rises to the root) and puts node 3 in
  // the hole. Node 4 is not strictly better than the worst kept. The stable
  // sort keeps that array order: 2, 1, 3.
  const std::vector<ScoredNode> found = search_layer_filtered(g, q, 0, 3, store, Metric::kDot, {});
  EXPECT_EQ(nodes(found), (std::vector<uint32_t>{2, 1, 3}));
  for (const ScoredNode& s : found) EXPECT_EQ(s.score, 2.0f);
}

TEST_F(HnswQueryTest, GraphHitsSkipStaleNodesAndNeverOverrunTheGraph) {
  const VectorStore& store = fill_store({{0}, {1}, {2}, {3}}, 1);
  HnswIndex index(chain(4, {{0, 1}, {1, 2}, {2, 3}}), Metric::kL2);
  const std::vector<float> q = {0};
  EXPECT_TRUE(graph_hits(index, q, 0, store).empty());
  const std::vector<GraphHit> all = graph_hits(index, q, std::numeric_limits<uint64_t>::max(), store);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].id, "n0");
  EXPECT_EQ(all[3].slot, 3u);
  // Slot 1's record was replaced: its node only routes now.
  index.graph.value.unmap_slot(1);
  std::vector<std::string> ids;
  for (const GraphHit& h : graph_hits(index, q, 2, store)) ids.push_back(h.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"n0", "n2", "n3"}));
}

}  // namespace
}  // namespace tessarin
