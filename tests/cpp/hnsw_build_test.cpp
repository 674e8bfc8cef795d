// The full parallel build: batches, the profile, a hand-checked small build,
// the structure of builds of thousands of random vectors under edge-case
// configurations, independence from the worker count, and recall against
// an exact scan.
#include "search/hnsw/build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "hnsw_test_util.h"
#include "search/hnsw/level.h"

namespace tessarin {
namespace {

using tessarin::testing::as_list;
using tessarin::testing::hnsw_config;
using tessarin::testing::items;
using tessarin::testing::kSanitized;
using tessarin::testing::List;


// What a build writes to a profile stream.
class Captured {
 public:
  Captured() : file_(open_memstream(&data_, &size_)) {}
  ~Captured() {
    std::fclose(file_);
    std::free(data_);
  }
  std::FILE* file() const { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

TEST(HnswBuildBatchesTest, FiveThousandNodesABatchTheLastShorter) {
  const std::vector<std::pair<size_t, std::vector<NodeRange>>> cases = {
      {0, {}},
      {1, {{0, 1}}},
      {5000, {{0, 5000}}},
      {10001, {{0, 5000}, {5000, 10000}, {10000, 10001}}},
  };
  for (const auto& [n, want] : cases) EXPECT_EQ(build_batches(n), want) << n;
}

TEST(HnswBuildProfileTest, SevenLinesInTheirFormats) {
  Captured out;
  write_build_profile(out.file(), {.nodes = 1000, .setup_seconds = 0.5, .insert_seconds = 1.25,
                                   .repair_seconds = 0.0000004, .total_seconds = 2, .distance_calcs = 123456});
  EXPECT_EQ(out.text(),
            "HNSW Build Profile (1000 nodes):\n"
            "  Phase 1 (setup):       0.50s ( 25.0%)\n"
            "  Phase 2 (insert):      1.25s ( 62.5%)\n"
            "  Phase 3 (repair):      0.00s (  0.0%)\n"
            "  Total:                 2.00s (500 vec/s)\n"
            "  Distance calcs:    123456\n"
            "  Nodes improved:    0\n");
}

// Checks what must hold of every built graph over items(0, n) of `config`.
void expect_well_formed(const HnswGraph& g, size_t n, const HnswConfig& config) {
  ASSERT_EQ(g.node_count(), n);
  EXPECT_EQ(g.config(), config);
  uint8_t highest = 0;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(g.node_slot(i), i);
    EXPECT_EQ(g.node_level(i), draw_level(i, config.ml));
    highest = std::max(highest, g.node_level(i));
  }
  ASSERT_EQ(g.layer_count(), size_t{highest} + 1);
  EXPECT_EQ(g.max_level(), highest);
  ASSERT_TRUE(g.entry_point());
  for (uint32_t i = 0; i < *g.entry_point(); ++i) EXPECT_LT(g.node_level(i), highest) << "lowest index";
  EXPECT_EQ(g.node_level(*g.entry_point()), highest);
  for (size_t l = 0; l < g.layer_count(); ++l) {
    ASSERT_EQ(g.layer(l).node_count(), n);
    for (uint32_t i = 0; i < n; ++i) {
      const List list = as_list(g.neighbors(l, i));
      if (g.node_level(i) < l) EXPECT_TRUE(list.empty()) << "layer " << l << " node " << i;
      EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()).size(), list.size()) << "duplicates";
      for (uint32_t e : list) {
        EXPECT_LT(e, n);
        EXPECT_NE(e, i) << "self-link";
        EXPECT_GE(g.node_level(e), l) << "a node linked above its level";
      }
    }
  }
  // Every node can be reached on layer 0 from the entry point (unless that
  // layer keeps no links): a back-link that a concurrent task adds before
  // the node sets its own list must not be lost, or the node linked that
  // way is never found by a query.
  if (config.m_max0 == 0) return;
  std::vector<bool> seen(n);
  std::vector<uint32_t> stack{*g.entry_point()};
  seen[*g.entry_point()] = true;
  while (!stack.empty()) {
    const uint32_t at = stack.back();
    stack.pop_back();
    for (uint32_t e : g.neighbors(0, at)) {
      if (!seen[e]) stack.push_back(e), seen[e] = true;
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<ptrdiff_t>(n));
}

class HnswBuildTest : public tessarin::testing::HnswStoreTest {
 protected:
  // `n` random vectors of `dims` normal components in slots 0 .. n-1.
  const VectorStore& random_store(size_t n, size_t dims) {
    std::mt19937 rng(11);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> vectors(n, std::vector<float>(dims));
    for (auto& v : vectors) {
      for (float& x : v) x = normal(rng);
    }
    return fill_store(vectors, dims);
  }
};

TEST_F(HnswBuildTest, NoItemsGiveAnEmptyGraphAndNoProfile) {
  const VectorStore& store = random_store(4, 4);
  Captured out;
  const HnswConfig config = hnsw_config(4, 8, 4, 10, 1.0, 7);
  const HnswGraph g = build_graph({}, store, config, Metric::kL2, {.profile_out = out.file()});
  EXPECT_EQ(g.node_count(), 0u);
  EXPECT_EQ(g.layer_count(), 0u);
  EXPECT_FALSE(g.entry_point());
  EXPECT_EQ(g.config(), config);
  EXPECT_EQ(out.text(), "");
}

TEST_F(HnswBuildTest, ProfileOnlyAbove999Nodes) {
  const VectorStore& store = random_store(1000, 4);
  const std::regex profile(
      "HNSW Build Profile \\(1000 nodes\\):\n"
      "  Phase 1 \\(setup\\):   [ 0-9]{5}\\.[0-9]{2}s \\([ 0-9]{3}\\.[0-9]%\\)\n"
      "  Phase 2 \\(insert\\):  [ 0-9]{5}\\.[0-9]{2}s \\([ 0-9]{3}\\.[0-9]%\\)\n"
      "  Phase 3 \\(repair\\):  [ 0-9]{5}\\.[0-9]{2}s \\([ 0-9]{3}\\.[0-9]%\\)\n"
      "  Total:             [ 0-9]{5}\\.[0-9]{2}s \\([0-9]+ vec/s\\)\n"
      "  Distance calcs:    [1-9][0-9]*\n"
      "  Nodes improved:    0\n");
  for (const size_t n : {999, 1000}) {
    Captured out;
    (void)build_graph(items(0, n), store, hnsw_config(4, 8, 4, 10, 1.0), Metric::kL2,
                      {.profile_out = out.file()});
    const std::string text = out.text();
    if (n == 999) EXPECT_EQ(text, "");
    if (n == 1000) EXPECT_TRUE(std::regex_match(text, profile)) << text;
  }
}

// L2 on a line (one dimension, so the codes are exact): positions 0, 10, 1,
// 2; one layer, m_max0 2, linked in order on one worker.
TEST_F(HnswBuildTest, SmallBuildLinksByTheRules) {
  fill_store({{0}, {10}, {1}, {2}}, 1);
  const HnswGraph g = build_graph(items(0, 4), store(), hnsw_config(2, 2, 2, 10, 0.0), Metric::kL2);
  ASSERT_EQ(g.layer_count(), 1u);
  EXPECT_EQ(g.entry_point(), 0u);
  // Node 0 (the entry point, nothing linked to it yet) is skipped; 1 links
  // to 0; 2 keeps [0, 1]; 3 finds 2, 0, 1 and keeps [2, 0]. Back-links are
  // appended without a cap.
  EXPECT_EQ(as_list(g.neighbors(0, 0)), (List{1, 2, 3}));
  EXPECT_EQ(as_list(g.neighbors(0, 1)), (List{0, 2}));
  EXPECT_EQ(as_list(g.neighbors(0, 2)), (List{0, 1, 3}));
  EXPECT_EQ(as_list(g.neighbors(0, 3)), (List{2, 0}));
}

TEST_F(HnswBuildTest, ThousandsOfRandomVectorsGiveAWellFormedGraph) {
  const size_t n = 3000;
  const VectorStore& store = random_store(n - 3, 8);  // the last three slots are unreadable
  for (uint64_t s : {17, 400}) ASSERT_TRUE(mutable_store().mark_slot_free(s).ok());  // NaN distances
  struct Case {
    Metric metric;
    HnswConfig config;
  };
  const Case cases[] = {
      {Metric::kL2, hnsw_config(6, 12, 6, 30, 1 / std::log(4.0))},
      {Metric::kCosine, hnsw_config(6, 12, 6, 30, 0.0)},  // one layer
      {Metric::kDot, hnsw_config(6, 12, 6, 0, 1 / std::log(4.0))},  // a beam of 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "metric " << int(c.metric) << " ml " << c.config.ml
                                    << " ef " << c.config.ef_construction);
    const HnswGraph g = build_graph(items(0, n), store, c.config, c.metric);
    expect_well_formed(g, n, c.config);
    size_t longest = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t len = g.neighbors(0, i).size();
      if (i != *g.entry_point()) EXPECT_GT(len, 0u) << "node " << i << " unlinked";
      longest = std::max(longest, len);
    }
    EXPECT_GT(longest, c.config.m_max0) << "back-links are not capped";
  }
}

TEST_F(HnswBuildTest, ZeroAndAbsurdListLengths) {
  const size_t n = 300;
  const VectorStore& store = random_store(n, 4);
  const uint64_t huge = uint64_t{1} << 63;
  // m = 0: upper layers stay empty; m_max0 = 0: layer 0 too (no back-links
  // either). Absurd values: every node keeps all it finds, with no
  // allocation sized from them.
  for (const HnswConfig& config : {hnsw_config(0, 4, 4, 20, 1.0), hnsw_config(4, 0, 4, 20, 1.0),
                                   HnswConfig{huge, huge, huge, ~0ull, ~0ull, 1.0, ~0ull}}) {
    const HnswGraph g = build_graph(items(0, n), store, config, Metric::kL2);
    expect_well_formed(g, n, config);
    ASSERT_GT(g.layer_count(), 1u);
    for (size_t l = 0; l < g.layer_count(); ++l) {
      const uint64_t m = l == 0 ? config.m_max0 : config.m;
      size_t total = 0;
      for (uint32_t i = 0; i < n; ++i) total += g.neighbors(l, i).size();
      if (m == 0) EXPECT_EQ(total, 0u) << "layer " << l;
      if (m == huge && l == 0) EXPECT_GT(total, n * (n - 1) / 2) << "most pairs linked";
    }
  }
}

TEST_F(HnswBuildTest, OneWorkerIsDeterministicAndLevelsEntryAndOrderIgnoreWorkers) {
  const size_t n = 2500;  // more than one chunk per worker
  const VectorStore& store = random_store(n, 8);
  const HnswConfig config = hnsw_config(6, 12, 6, 30, 1 / std::log(4.0));
  const HnswGraph one = build_graph(items(0, n), store, config, Metric::kL2, {.workers = 1});
  const HnswGraph again = build_graph(items(0, n), store, config, Metric::kL2, {.workers = 1});
  const HnswGraph pool = build_graph(items(0, n), store, config, Metric::kL2);
  ASSERT_EQ(pool.layer_count(), one.layer_count());
  EXPECT_EQ(pool.entry_point(), one.entry_point());
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(pool.node(i), one.node(i));
    for (size_t l = 0; l < one.layer_count(); ++l) {
      EXPECT_EQ(as_list(again.neighbors(l, i)), as_list(one.neighbors(l, i)));
    }
  }
}

TEST_F(HnswBuildTest, LoadedVectorsAreTheSlotsOrZeros) {
  fill_store({{1, 2}, {3, 4}}, 2);
  const std::vector<uint64_t> slots = {1, 7, 0, 1};
  EXPECT_EQ(load_vectors_parallel(slots, store()), (std::vector<float>{3, 4, 0, 0, 1, 2, 3, 4}));
}

// Recall on clustered vectors (GaussianMixture), as the single insertion's
// test measures it.
TEST_F(HnswBuildTest, BuiltGraphFindsTheTrueNearestNeighbour) {
  const size_t n = kSanitized ? 5000 : 20000;
  const size_t queries = kSanitized ? 250 : 1000;
  tessarin::testing::GaussianMixture mixture(128, kSanitized ? 100 : 400, 2025);
  std::vector<std::vector<float>> vectors(n);
  for (auto& v : vectors) v = mixture.draw();
  const VectorStore& store = fill_store(vectors, 128);
  const HnswGraph g =
      build_graph(items(0, n), store, hnsw_config(16, 32, 16, 100, 1 / std::log(16.0)), Metric::kCosine);
  std::vector<std::vector<float>> held_back(queries);
  for (auto& q : held_back) q = mixture.draw();
  const size_t found = tessarin::testing::true_nearest_found(g, store, vectors, held_back);
  EXPECT_GE(found, queries * 95 / 100) << found << " of " << queries;
}

}  // namespace
}  // namespace tessarin
