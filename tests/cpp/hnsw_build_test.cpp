// The full parallel build: the level draw (the ChaCha block function against
// a published ChaCha20 test vector, draw_level against a seed expansion and
// level formula written here from their description), the profile,
// one-worker builds against a step-by-step reference written here, the
// structure of builds (on every worker) of thousands of random vectors under
// edge-case configurations, and recall against an exact scan.
#include "search/hnsw/build.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <queue>
#include <tuple>

#include "hnsw_test_util.h"
#include "search/pq.h"

namespace tessarin {
namespace {

using namespace tessarin::testing;  // hnsw_test_util.h

// Constants, the key bytes as little-endian words, then words 12..15.
std::array<uint32_t, 16> chacha_input(const uint8_t key[32], std::array<uint32_t, 4> tail) {
  std::array<uint32_t, 16> in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::memcpy(&in[4], key, 32);  // little-endian host
  std::copy(tail.begin(), tail.end(), in.begin() + 12);
  return in;
}

TEST(HnswLevelTest, ChaCha20Vector) {
  // RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00.
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(chacha_block(chacha_input(key, {1, 0x09000000, 0x4a000000, 0}), 10),
            (std::array<uint32_t, 16>{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2}));
}

// The draw as described: PCG32 steps fill the key 4 bytes at a time, one
// ChaCha12 block, the first 64-bit output, the logarithm and the clamps in
// their order (NaN and negatives to 0, then 255, then the level cap).
uint8_t described_level(uint64_t slot, double ml) {
  uint8_t key[32];
  uint64_t state = slot;
  for (int chunk = 0; chunk < 8; ++chunk) {
    state = state * 6364136223846793005ull + 11634580027462260723ull;
    const uint32_t x = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const unsigned r = static_cast<unsigned>(state >> 59);
    const uint32_t word = (x >> r) | (x << ((32 - r) & 31));
    for (int b = 0; b < 4; ++b) key[4 * chunk + b] = static_cast<uint8_t>(word >> (8 * b));
  }
  const auto block = chacha_block(chacha_input(key, {0, 0, 0, 0}), 6);
  const uint64_t first = block[0] + (uint64_t{block[1]} << 32);
  double f = std::floor(-std::log(std::ldexp(static_cast<double>(first >> 11), -53)) * ml);
  if (std::isnan(f) || f < 0) f = 0;
  return static_cast<uint8_t>(std::min(std::min(f, 255.0), 32.0));
}

TEST(HnswLevelTest, DrawLevelMatchesTheDescribedDraw) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (uint64_t slot : {0ull, 1ull, 2ull, 7ull, 42ull, 65535ull, 1ull << 32, 0xdeadbeefcafef00dull, ~0ull}) {
    // Every clamp is reached: ml <= 0 and NaN, levels beyond 32 and beyond 255.
    for (double ml : {0.0, -1.0, 0.25, 1 / std::log(16.0), 3.0, 40.0, 1e300, nan}) {
      EXPECT_EQ(draw_level(slot, ml), described_level(slot, ml)) << "slot " << slot << " ml " << ml;
    }
  }
  // Over many slots, P(level >= 1) = 1/16 for ml = 1/ln 16.
  int raised = 0;
  for (uint64_t slot = 0; slot < 100000; ++slot) raised += draw_level(slot, 1 / std::log(16.0)) >= 1;
  EXPECT_NEAR(raised / 100000.0, 1 / 16.0, 0.004);
}

// What a build writes to a profile stream.
struct Captured {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  ~Captured() {
    std::fclose(file);
    std::free(data);
  }
  std::string text() {
    std::fflush(file);
    return std::string(data, size);
  }
};

TEST(HnswBuildProfileTest, SevenLinesInTheirFormats) {
  Captured out;
  write_build_profile(out.file, {.nodes = 1000, .setup_seconds = 0.5, .insert_seconds = 1.25,
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

class HnswBuildTest : public tessarin::testing::HnswStoreTest {};

// The profile (its format: SevenLinesInTheirFormats) comes only from 1000
// nodes on, with the distances the build computed.
TEST_F(HnswBuildTest, ProfileOnlyFromAThousandNodes) {
  const VectorStore& store = fill_store(normal_vectors(1000, 4, 11), 4);
  const HnswConfig config = hnsw_config(4, 8, 4, 10, 1.0, 7);
  for (const size_t n : {0, 999, 1000}) {
    Captured out;
    const HnswGraph g = build_graph(items(0, n), store, config, Metric::kL2, {.profile_out = out.file});
    const std::string text = out.text();
    EXPECT_EQ(text.empty(), n < 1000) << n;
    if (n == 1000) {
      EXPECT_TRUE(text.starts_with("HNSW Build Profile (1000 nodes):\n") &&
                  text.find("Distance calcs:    0\n") == std::string::npos) << text;
    }
    // No nodes: an empty graph of the configuration.
    if (n == 0) EXPECT_TRUE(g.layer_count() == 0 && !g.entry_point() && g.config() == config);
  }
}

// The per-node linking of the full build on one worker, step by step as
// described, over vectors[i] in slot i: greedy descent, beam search, re-rank,
// keep, the list set to the kept nodes followed by the links already there,
// back-links, the next layer from the first approximate result; every
// candidate that passes the beam's test is queued (equal distances pop the
// lower node first). Levels, codes and distances come from the engine's own
// pieces. Returns lists[layer][node] and counts the beam's distances into
// *calcs.
std::vector<std::vector<List>> described_build(const std::vector<std::vector<float>>& v, const HnswConfig& c,
                                               Metric metric, uint64_t* calcs) {
  struct S {
    uint32_t node;
    float d;
  };
  const bool hib = metric != Metric::kL2;
  auto better = [hib](float a, float b) { return hib ? a > b : a < b; };
  auto by_d = [&](const S& a, const S& b) { return better(a.d, b.d); };
  auto worse = [&](const S& a, const S& b) { return better(b.d, a.d) || (b.d == a.d && b.node < a.node); };
  const size_t n = v.size(), ef = std::max<uint64_t>(c.ef_construction, 1);
  std::vector<uint8_t> level(n);
  for (size_t i = 0; i < n; ++i) level[i] = draw_level(i, c.ml);
  const uint8_t top = *std::max_element(level.begin(), level.end());
  const auto entry = static_cast<uint32_t>(std::find(level.begin(), level.end(), top) - level.begin());
  std::vector<float> flat;
  for (const auto& x : v) flat.insert(flat.end(), x.begin(), x.end());
  const PqCodebook book = train_pq(*PqConfig::create(v[0].size(), choose_num_subquantizers(v[0].size())), flat, hib);
  const PqCodes codes = encode_pq_parallel(book, flat);
  std::vector<std::vector<List>> lists(top + 1, std::vector<List>(n));
  *calcs = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (i == entry && lists[0][i].empty()) continue;
    const std::vector<float> table = build_adc_table(book, v[i]);
    auto adc = [&](uint32_t x) { return adc_distance(table, codes.code(x)); };
    uint32_t cur = entry;
    for (size_t l = top; l > level[i]; --l) {
      for (bool moved = true; moved;) {
        moved = false;
        float d = adc(cur);
        for (const uint32_t x : List(lists[l][cur])) {
          if (better(adc(x), d)) cur = x, d = adc(x), moved = true;
        }
      }
    }
    for (size_t l = level[i] + size_t{1}; l-- > 0;) {
      std::priority_queue<S, std::vector<S>, decltype(worse)> candidates(worse);
      std::set<uint32_t> visited{cur};
      std::vector<S> results;
      float worst = hib ? -INFINITY : INFINITY;
      ++*calcs;
      candidates.push({cur, adc(cur)});
      while (!candidates.empty()) {
        const S at = candidates.top();
        candidates.pop();
        if (results.size() >= ef && !better(at.d, worst)) break;
        results.push_back(at);
        if (results.size() > ef) {
          size_t out = 0;  // the largest (last of equals), or the smallest (first) when higher is better
          for (size_t j = 1; j < results.size(); ++j) {
            if (hib ? results[j].d < results[out].d : results[j].d >= results[out].d) out = j;
          }
          results[out] = results.back();
          results.pop_back();
          worst = std::max_element(results.begin(), results.end(), by_d)->d;
        }
        for (const uint32_t x : List(lists[l][at.node])) {
          if (!visited.insert(x).second) continue;
          ++*calcs;
          if (results.size() < ef || better(adc(x), worst)) candidates.push({x, adc(x)});
        }
      }
      std::stable_sort(results.begin(), results.end(), by_d);
      std::vector<S> exact;
      for (const S& r : results) {
        if (r.node != i) exact.push_back({r.node, compute_distance(metric, v[i], v[r.node])});
      }
      std::stable_sort(exact.begin(), exact.end(), by_d);
      List kept;
      const uint64_t keep = std::min<uint64_t>(l == 0 ? c.m_max0 : c.m, exact.size());
      for (size_t j = 0; j < keep; ++j) kept.push_back(exact[j].node);
      List list = kept;
      for (const uint32_t x : lists[l][i]) {
        if (std::find(kept.begin(), kept.end(), x) == kept.end()) list.push_back(x);
      }
      lists[l][i] = list;
      for (const uint32_t x : kept) {
        if (std::find(lists[l][x].begin(), lists[l][x].end(), i) == lists[l][x].end()) lists[l][x].push_back(i);
      }
      if (!results.empty()) cur = results[0].node;
    }
  }
  return lists;
}

// On one worker the build (which leaves out candidates it can tell will
// never be popped) gives the described lists and distance count: L2 and
// Dot, small integer components (many equal approximate and exact
// distances) or normal ones, beams of 1 to 100, small m, one layer (the
// entry point is node 0, skipped with nothing linked to it) or several.
TEST_F(HnswBuildTest, OneWorkerBuildIsTheDescribedOne) {
  uint32_t seed = 0;
  for (const Metric metric : {Metric::kL2, Metric::kDot}) {
    for (const uint64_t ef : {1, 2, 3, 6, 12, 30, 100}) {
      for (const bool integral : {true, false}) {
        const uint64_t m = 1 + ++seed % 4;
        const HnswConfig config = hnsw_config(m, m + seed % 3, m, ef, seed % 4 ? 1 / std::log(2.0 + seed % 3) : 0);
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " ef " << ef);
        std::vector<std::vector<float>> v = normal_vectors(600, 8, seed);
        for (auto& x : v) {
          for (float& f : x) f = integral ? std::round(f) : f;
        }
        fill_store(v, 8);
        BuildProfile profile;
        const HnswGraph g =
            build_graph(items(0, v.size()), store(), config, metric, {.profile = &profile, .workers = 1});
        uint64_t calcs = 0;
        const std::vector<std::vector<List>> want = described_build(v, config, metric, &calcs);
        ASSERT_EQ(g.layer_count(), want.size());
        for (size_t l = 0; l < want.size(); ++l) EXPECT_EQ(layer_lists(g, l), want[l]) << "layer " << l;
        EXPECT_EQ(profile.distance_calcs, calcs);
      }
    }
  }
}

// The parallel build and sequential insertion (in overlapping batches, so
// repeated items must be skipped) over the same vectors, some unreadable or
// NaN, under edge-case configurations.
TEST_F(HnswBuildTest, BuildAndInsertionGiveWellFormedGraphsUnderEdgeCaseConfigurations) {
  fill_store(normal_vectors(2997, 8, 11), 8);  // slots 2997 .. 2999 are unreadable
  for (uint64_t s : {17, 400}) ASSERT_TRUE(mutable_store().mark_slot_free(s).ok());  // NaN distances
  const uint64_t huge = uint64_t{1} << 63;
  const std::tuple<Metric, HnswConfig, size_t> cases[] = {
      {Metric::kL2, hnsw_config(6, 12, 6, 30, 1 / std::log(4.0)), 3000},
      {Metric::kCosine, hnsw_config(6, 12, 6, 30, 0.0), 3000},     // one layer
      {Metric::kDot, hnsw_config(6, 12, 6, 0, 1 / std::log(4.0)), 3000},  // a beam of 1
      // m = 0: upper layers stay empty; m_max0 = 0: layer 0 too (no back-links
      // either). Absurd values: every node keeps all it finds, with no
      // allocation sized from them.
      {Metric::kL2, hnsw_config(0, 4, 4, 20, 1.0), 300},
      {Metric::kL2, hnsw_config(4, 0, 4, 20, 1.0), 300},
      {Metric::kL2, HnswConfig{huge, huge, huge, ~0ull, ~0ull, 1.0, ~0ull}, 300},
  };
  for (const bool inserted : {false, true}) {
    for (const auto& [metric, config, n] : cases) {
      SCOPED_TRACE(::testing::Message() << (inserted ? "inserted" : "built") << " metric " << int(metric)
                                        << " m " << config.m << " m_max0 " << config.m_max0);
      HnswIndex index(HnswGraph(config), metric);
      for (uint64_t first = 0; inserted && first < n; first += 700) {
        insert_nodes(index, items(first, std::min<uint64_t>(800, n - first)), store());
      }
      const HnswGraph g =
          inserted ? std::move(index.graph.value) : build_graph(items(0, n), store(), config, metric);
      expect_well_formed(g, n, config, inserted);
      for (size_t l = 0; l < g.layer_count(); ++l) {
        const uint64_t m = l == 0 ? config.m_max0 : config.m;
        size_t total = 0;
        for (uint32_t i = 0; i < n; ++i) {
          const size_t len = g.neighbors(l, i).size();
          total += len;
          // The build scores unreadable slots as zero vectors; insertion cannot link them.
          if (!inserted && l == 0 && m != 0 && i != *g.entry_point()) EXPECT_GT(len, 0u) << i << " unlinked";
        }
        if (m == 0) EXPECT_EQ(total, 0u) << "layer " << l;
        if (!inserted && m == huge && l == 0) EXPECT_GT(total, n * (n - 1) / 2) << "most pairs linked";
      }
      if (inserted && config.m == 0) EXPECT_EQ(g.neighbors(0, n - 1).size(), 4u) << "layer 0 selects m_max0";
    }
  }
}

TEST_F(HnswBuildTest, LoadedVectorsAreTheSlotsOrZeros) {
  fill_store({{1, 2}, {3, 4}}, 2);
  const std::vector<uint64_t> slots = {1, 7, 0, 1};
  EXPECT_EQ(load_vectors_parallel(slots, store()), (std::vector<float>{3, 4, 0, 0, 1, 2, 3, 4}));
}

TEST_F(HnswBuildTest, BuiltGraphFindsTheTrueNearestNeighbour) {
  expect_recall(2025, [](size_t n, const VectorStore& store) {
    return build_graph(items(0, n), store, hnsw_config(16, 32, 16, 100, 1 / std::log(16.0)), Metric::kCosine);
  });
}

}  // namespace
}  // namespace tessarin
