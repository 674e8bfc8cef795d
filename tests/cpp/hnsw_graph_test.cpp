// The graph in memory, on small hand-checked graphs: node distances, the
// greedy descent, the insert-side layer search (against the plain
// sorted-array form of the algorithm), query search (the layer-0 beam
// through deleted nodes, the order of equal scores, the query's own limits),
// and sequential insertion's linking rules, with the recall of the graph it
// builds. Insertion's invariants under edge-case configurations are checked
// beside the build's (hnsw_build_test.cpp); neighbour-list storage and
// add_node through the graphs those tests and the index file make.
#include "search/hnsw/graph.h"

#include <chrono>
#include <cmath>
#include <future>
#include <shared_mutex>
#include <tuple>
#include <unordered_set>

#include "hnsw_test_util.h"
#include "search/hnsw/build.h"
#include "search/hnsw/query.h"

namespace tessarin {
namespace {

using namespace tessarin::testing;  // hnsw_test_util.h

class HnswGraphTest : public tessarin::testing::HnswStoreTest {
 protected:
  // A store of one-dimensional vectors at the given positions, slot i at pos[i].
  const VectorStore& line(const std::vector<float>& pos) {
    std::vector<std::vector<float>> vectors;
    for (float p : pos) vectors.push_back({p});
    return fill_store(vectors, 1);
  }
  // A graph of `n` level-0 nodes over slots 0..n-1, linked by `links` (both
  // ways), node i with id "n<i>".
  static HnswGraph chain(size_t n, const std::vector<std::pair<uint32_t, uint32_t>>& links) {
    HnswGraph g(hnsw_config(4, 8, 4, 10, 0.0));
    for (size_t i = 0; i < n; ++i) g.add_node(i, "n" + std::to_string(i), 0);
    for (auto [a, b] : links) g.append_neighbor(0, a, b), g.append_neighbor(0, b, a);
    return g;
  }
  static std::vector<uint32_t> nodes(const std::vector<ScoredNode>& found) {
    std::vector<uint32_t> out;
    for (const ScoredNode& s : found) out.push_back(s.node);
    return out;
  }
};
using HnswWalkTest = HnswGraphTest;
using HnswQueryTest = HnswGraphTest;
using HnswInsertTest = HnswGraphTest;

TEST_F(HnswWalkTest, NodeDistanceScoresUnreadableAndFreedSlotsWorst) {
  const VectorStore& store = fill_store({{1, 2}, {3, -1}, {0.5f, 0.5f}}, 2);
  ASSERT_TRUE(mutable_store().mark_slot_free(2).ok());  // component 0 becomes NaN
  HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
  for (uint64_t slot : {0, 1, 2, 3}) g.add_node(slot, "n", 0);  // slot 3 is not below the slot count
  const std::vector<float> q = {2, 1};
  const float inf = std::numeric_limits<float>::infinity();
  const std::tuple<Metric, uint32_t, float> cases[] = {
      {Metric::kDot, 0, 4},    {Metric::kL2, 0, 2},   {Metric::kCosine, 1, 5},  {Metric::kDot, 2, -inf},
      {Metric::kL2, 2, inf},   {Metric::kDot, 3, -inf}, {Metric::kL2, 3, inf},  {Metric::kCosine, 3, -inf}};
  for (const auto& [metric, node, expected] : cases) {
    EXPECT_EQ(compute_node_distance(g, q, node, store, metric), expected) << node << " " << int(metric);
  }
}

TEST_F(HnswWalkTest, GreedyComparesAgainstTheBestSoFarAndTiesNeverMove) {
  // One dimension, L2, query at 0: node i sits at the position below.
  const VectorStore& store = line({10, 7, 8, 5, 7, 6});
  HnswGraph g(hnsw_config(4, 8, 4, 10, 1.0));
  for (uint32_t i = 0; i < 6; ++i) g.add_node(i, "n", 1);
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

TEST_F(HnswQueryTest, DeletedNodesRouteTheBeamButAreNeverReturned) {
  // A path 0 - 1 - 2 - 3 - 4, the query nearest to 4.
  const VectorStore& store = line({0, 1, 2, 3, 4});
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
  const VectorStore& store = line({0, 1, 2, 3});
  HnswIndex index(chain(4, {{0, 1}, {1, 2}, {2, 3}}), Metric::kL2);
  auto hits = [&](uint64_t k) {  // "id@slot"
    std::vector<std::string> out;
    for (const GraphHit& h : graph_hits(index, std::vector<float>{0}, k, store)) {
      out.push_back(h.id + "@" + std::to_string(h.slot));
    }
    return out;
  };
  EXPECT_EQ(hits(0), std::vector<std::string>{});
  EXPECT_EQ(hits(std::numeric_limits<uint64_t>::max()), (std::vector<std::string>{"n0@0", "n1@1", "n2@2", "n3@3"}));
  // Slot 1's record was replaced: its node only routes now.
  index.graph.value.unmap_slot(1);
  EXPECT_EQ(hits(2), (std::vector<std::string>{"n0@0", "n2@2", "n3@3"}));
}

TEST_F(HnswQueryTest, EfSearchIsTheBeamsFloor) {
  // A sparse graph over random vectors: a beam of 2k = 2 misses some true
  // nearest neighbours; an ef_search as large as the graph finds them all.
  const size_t n = 1000, queries = 50;
  std::vector<std::vector<float>> vectors = normal_vectors(n + queries, 16, 9);
  const std::vector<std::vector<float>> qs(vectors.begin() + n, vectors.end());
  vectors.resize(n);
  const VectorStore& s = fill_store(vectors, 16);
  auto exact_top1_found = [&](uint64_t ef_search) {
    HnswConfig config = hnsw_config(8, 16, 8, 40, 0.5);
    config.ef_search = ef_search;
    HnswIndex index(HnswGraph(config), Metric::kL2);
    insert_nodes(index, items(0, n), s);
    size_t found = 0;
    for (const std::vector<float>& q : qs) {
      uint64_t best = 0;
      for (uint64_t i = 1; i < n; ++i) {
        if (compute_distance(Metric::kL2, q, vectors[i]) < compute_distance(Metric::kL2, q, vectors[best])) best = i;
      }
      const std::vector<GraphHit> hits = graph_hits(index, q, 1, s);
      found += !hits.empty() && hits[0].slot == best;
    }
    return found;
  };
  EXPECT_LT(exact_top1_found(0), queries);
  EXPECT_EQ(exact_top1_found(n), queries);
}

TEST_F(HnswInsertTest, FirstNodeHasNoLinksSecondLinksBothWaysOnEachOfItsLayers) {
  line(std::vector<float>(200, 1000));
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

TEST_F(HnswInsertTest, BackLinksUpToTheCapStayInOrderLongerListsAreCutByDiversity) {
  // L2 on a line: node i at the position of slot i; m_max0 = 2, one layer.
  line({0, 10, 1, 2});
  HnswIndex index(HnswGraph(hnsw_config(2, 2, 2, 10, 0.0)), Metric::kL2);
  const HnswGraph& g = index.graph.value;
  insert_nodes(index, items(0, 3), store());
  // Node 2 (at 1) took [0, 1]; node 0's back-link list became exactly cap
  // long and keeps insertion order although 2 is nearer.
  EXPECT_EQ(layer_lists(g, 0), (std::vector<List>{{1, 2}, {0, 2}, {0, 1}}));
  insert_nodes(index, items(3, 1), store());
  // Node 3 (at 2) takes [2, 0]. Node 2's list [0, 1, 3] is re-scored from
  // 1: 0 and 3 tie at 1 and keep their order, 1 is cut. Node 0's [1, 2, 3]
  // keeps 2 only: 3 and 1 are nearer to 2 than to 0.
  EXPECT_EQ(layer_lists(g, 0), (std::vector<List>{{2}, {0, 2}, {0, 3}, {2, 0}}));
}

TEST_F(HnswInsertTest, UnreadableSlotsAreDroppedWhenRescoringAndAnUnreadableOwnerIsCutAsItStands) {
  // Layer 1 selects every candidate (m = 10) and caps back-links at 2.
  const uint64_t s = slot_with_level(1, 1.0, 3);
  ASSERT_LT(s, 200u);
  std::vector<float> pos(200, 1000.0f);
  pos[0] = 0;
  pos[2] = 10;
  pos[s] = 9;
  line(pos);
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
  // Node 3 keeps the unreadable node last (it scores worst); nodes 0 and 2
  // drop it and keep 3 alone (the other is nearer to 3 than to them); node
  // 1, unreadable itself, keeps its first two.
  EXPECT_EQ(layer_lists(g, 1), (std::vector<List>{{3}, {2, 0}, {3}, {2, 0, 1}}));
  EXPECT_EQ(as_list(g.neighbors(0, 1)), (List{2, 0, 3}));  // below the layer-0 cap: appended
}

// The cut of a list that a back-link made too long, as plainly as it is
// described: readable entries by distance to the owner (stable), each kept
// unless a kept one is strictly nearer to it than the owner is, up to cap.
List plain_diversity_cut(const HnswGraph& g, const VectorStore& store, Metric metric, uint32_t owner,
                         const List& list, uint64_t cap) {
  auto vector_of = [&](uint32_t node) {
    return std::span<const float>(store.slots_base() + g.node_slot(node) * store.dimensions(), store.dimensions());
  };
  auto dist = [&](uint32_t from, uint32_t to) { return compute_node_distance(g, vector_of(from), to, store, metric); };
  std::vector<Candidate> scored;
  for (uint32_t e : list) {
    if (g.node_slot(e) < store.slot_count()) scored.push_back({e, dist(owner, e)});
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [&](const Candidate& a, const Candidate& b) { return is_better(metric, a.distance, b.distance); });
  List kept;
  for (const Candidate& c : scored) {
    if (kept.size() == cap) break;
    bool covered = false;
    for (uint32_t k : kept) covered = covered || is_better(metric, dist(k, c.node), c.distance);
    if (!covered) kept.push_back(c.node);
  }
  return kept;
}

TEST_F(HnswInsertTest, DiversityCutEqualsThePlainFormIncludingTies) {
  // Coordinates in {0, 1, 2} make many equal distances; slot 3 is freed
  // (NaN), slots from 40 on are unreadable.
  std::mt19937 rng(11);
  std::vector<std::vector<float>> vectors;
  for (size_t i = 0; i < 40; ++i) vectors.push_back({float(rng() % 3), float(rng() % 3), float(rng() % 3)});
  fill_store(vectors, 3);
  ASSERT_TRUE(mutable_store().mark_slot_free(3).ok());
  HnswGraph g(hnsw_config(4, 8, 4, 10, 0.0));
  for (uint32_t i = 0; i < 46; ++i) g.add_node(i, "n", 0);
  std::vector<Candidate> scratch;
  List out;
  for (int trial = 0; trial < 300; ++trial) {
    List list;
    for (size_t k = 1 + rng() % 14; k > 0; --k) list.push_back(static_cast<uint32_t>(rng() % g.node_count()));
    const uint32_t owner = static_cast<uint32_t>(rng() % 40);
    const uint64_t cap = std::array<uint64_t, 6>{0, 1, 2, 3, 5, 16}[trial % 6];
    for (Metric metric : {Metric::kL2, Metric::kDot, Metric::kCosine}) {
      const NodeScorer scorer(g, store(), metric);
      diversity_cut(scorer, owner, list, cap, scratch, out);
      EXPECT_EQ(out, plain_diversity_cut(g, store(), metric, owner, list, cap))
          << "trial " << trial << " metric " << static_cast<int>(metric);
    }
  }
}

// Graphs grown by insertion must keep every record reachable. Cutting a
// list to its cap nearest entries drops the links that lead out of a dense
// group, and cutting an over-long list from a full build drops the
// back-links older nodes were reached by.
TEST_F(HnswInsertTest, GrownGraphsFindEveryRecordByItsOwnVector) {
  const HnswConfig config = hnsw_config(16, 32, 16, 100, 1 / std::log(16.0));
  const size_t n = kSanitized ? 1500 : 3000;
  const VectorStore& s = fill_store(clustered_vectors(n, 32, 60, 0.3f, 5), 32);
  {
    // Grown ten records at a time, as adds with a search every ten.
    HnswIndex index(HnswGraph(config), Metric::kL2);
    for (uint64_t first = 0; first < n; first += 10) insert_nodes(index, items(first, 10), s);
    EXPECT_LE(nodes_not_found(index.graph.value, s, Metric::kL2, 0, n).size(), n / 500);
  }
  {
    // Built (back-links uncapped), then records added one at a time.
    const size_t built = n * 4 / 5;
    const BuildOptions one_worker{.profile_out = nullptr, .workers = 1};
    HnswIndex index(build_graph(items(0, built), s, config, Metric::kL2, one_worker), Metric::kL2);
    for (uint64_t slot = built; slot < n; ++slot) insert_nodes(index, std::vector{item(slot)}, s);
    EXPECT_LE(nodes_not_found(index.graph.value, s, Metric::kL2, 0, built).size(), built / 500) << "older";
    EXPECT_LE(nodes_not_found(index.graph.value, s, Metric::kL2, built, n).size(), (n - built) / 100) << "added";
  }
}

TEST_F(HnswInsertTest, SpreadRecordsKeepTheirLinksWhenADenseGroupArrives) {
  // Twenty records far apart, then four hundred close together among them.
  std::vector<std::vector<float>> vectors = normal_vectors(20, 16, 3);
  for (std::vector<float>& v : vectors) {
    for (float& x : v) x *= 10;
  }
  for (std::vector<float>& v : normal_vectors(400, 16, 4)) {
    for (float& x : v) x *= 0.05f;
    vectors.push_back(v);
  }
  const VectorStore& s = fill_store(vectors, 16);
  HnswIndex index(HnswGraph(hnsw_config(16, 32, 16, 100, 1 / std::log(16.0))), Metric::kL2);
  insert_nodes(index, items(0, 20), s);
  for (uint64_t slot = 20; slot < vectors.size(); ++slot) insert_nodes(index, std::vector{item(slot)}, s);
  // Each of them keeps a path from the entry point (cutting lists to their
  // cap nearest left most of them without a single in-link).
  EXPECT_EQ(unreachable_on_layer0(index.graph.value), std::vector<uint32_t>{});
}

TEST_F(HnswInsertTest, UnreadableNodeAboveAllOthersBecomesTheEntryPointWithoutLinks) {
  line({0, 1, 2});
  HnswIndex index(HnswGraph(hnsw_config(4, 4, 4, 10, 1.0)), Metric::kL2);
  insert_nodes(index, items(0, 3), store());
  const HnswGraph& g = index.graph.value;
  ASSERT_LT(g.max_level(), 5);
  insert_nodes(index, std::vector{item(slot_with_level(5, 1.0, 3))}, store());  // beyond slot 2
  EXPECT_EQ(g.entry_point(), 3u);
  EXPECT_EQ(g.max_level(), 5);
  for (size_t l = 0; l < g.layer_count(); ++l) EXPECT_TRUE(g.neighbors(l, 3).empty());
}

TEST(HnswInsertBeamTest, BeamIsCappedAt75AndAtLeast1) {
  for (auto [ef, beam] : {std::pair<uint64_t, size_t>{0, 1}, {1, 1}, {75, 75}, {76, 75}, {~0ull, 75}}) {
    EXPECT_EQ(insert_beam_width(hnsw_config(4, 8, 4, ef, 1.0)), beam) << ef;
  }
}

TEST_F(HnswInsertTest, NothingNewTakesNoWriteLock) {
  line({0, 1});
  HnswIndex index(HnswGraph(hnsw_config(4, 8, 4, 10, 0.0)), Metric::kL2);
  insert_nodes(index, items(0, 2), store());
  EXPECT_EQ(retain_unindexed_records(index, items(0, 4)), items(2, 2));
  std::shared_lock held(index.graph.mu);  // a write lock would wait for this
  auto done = std::async(std::launch::async, [&] { insert_nodes(index, items(0, 2), store()); });
  const bool finished = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  held.unlock();
  EXPECT_TRUE(finished);
}

TEST_F(HnswInsertTest, SingleInsertionFindsTheTrueNearestNeighbour) {
  expect_recall(2024, [](size_t n, const VectorStore& store) {
    HnswIndex index(HnswGraph(hnsw_config(16, 32, 16, 100, 1 / std::log(16.0))), Metric::kCosine);
    insert_nodes(index, items(0, n), store);
    EXPECT_EQ(index.graph.value.node_count(), n);
    return std::move(index.graph.value);
  });
}

}  // namespace
}  // namespace tessarin
