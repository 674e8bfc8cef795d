#include "search/exact.h"

#include <algorithm>
#include <limits>

#include "sync/pool.h"
#include "test_util.h"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TopK make_top(size_t k, bool higher_is_better) { return TopK::create(k, higher_is_better).value(); }

using Positions = std::vector<uint64_t>;

Positions positions(const std::vector<ScoredPair>& pairs) {
  Positions out;
  for (const ScoredPair& p : pairs) out.push_back(p.position);
  return out;
}
Positions positions(const TopK& top) { return positions(top.results()); }
void push_all(TopK& top, std::initializer_list<std::pair<float, uint64_t>> entries) {
  for (auto [score, position] : entries) push_top_k(top, score, position);
}

// ---- TopK -----------------------------------------------------------------

TEST(TopKTest, NaNIsNeverRejectedNorPassed) {
  TopK top = make_top(3, true);
  push_all(top, {{1.0f, 0}, {kNaN, 1}, {5.0f, 2}});  // 5 cannot move ahead of the NaN
  EXPECT_EQ(positions(top), (Positions{0, 1, 2}));
  // 3 is worse than the worst kept (5): rejected; 7 is admitted, stops
  // behind the NaN and pushes 5 out.
  push_all(top, {{3.0f, 3}, {7.0f, 4}});
  EXPECT_EQ(positions(top), (Positions{0, 1, 4}));

  // A NaN worst entry is never displaced: whatever is admitted sorts behind
  // it and is cut again.
  TopK nan_last = make_top(2, false);
  push_all(nan_last, {{1.0f, 0}, {kNaN, 1}, {-5.0f, 2}, {kNaN, 3}});
  EXPECT_EQ(positions(nan_last), (Positions{0, 1}));
}

// Both directions, many ties: the kept entries are a stable sort's first k
// (equal scores keep admission order), and the buffer never reallocates.
TEST(TopKTest, MatchesStableSortForSmallAndLargeBuffers) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> value(0, 40);
  for (bool higher : {true, false}) {
    for (size_t k : {0, 1, 5, 19, 20, 21, 64, 500}) {
      std::vector<ScoredPair> all;
      TopK top = make_top(k, higher);
      const size_t capacity = top.results().capacity();
      for (uint64_t i = 0; i < 2000; ++i) {
        all.push_back({static_cast<float>(value(rng)) * 0.25f, i});
        push_top_k(top, all.back().score, i);
      }
      std::stable_sort(all.begin(), all.end(), [&](const ScoredPair& a, const ScoredPair& b) {
        return higher ? a.score > b.score : a.score < b.score;
      });
      all.resize(k);
      ASSERT_EQ(positions(top), positions(all)) << "k=" << k;
      EXPECT_EQ(top.results().capacity(), capacity);
    }
  }
}

TEST(TopKTest, UnreservableBufferIsAnError) {
  EXPECT_FALSE(TopK::create(std::numeric_limits<size_t>::max(), true).ok());
  EXPECT_FALSE(TopK::create(size_t{1} << 60, true).ok());
  // A known small candidate count bounds the reservation.
  EXPECT_LT(TopK::create(size_t{1} << 60, true, /*max_pushes=*/10).value().results().capacity(), 100u);
}

// ---- Scoring passes -------------------------------------------------------

// A deterministic score per candidate, skipping some.
std::optional<float> synthetic_score(size_t i) {
  if (i % 7 == 3) return std::nullopt;
  return static_cast<float>((i * 2654435761u) % 1000) * 0.001f;
}

void expect_same_pairs(const std::vector<ScoredPair>& a, const std::vector<ScoredPair>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].position, b[i].position) << i;
    ASSERT_EQ(testing::bits(a[i].score), testing::bits(b[i].score)) << i;
  }
}

// The pass runs on the caller below 500 candidates and on the pool from 500
// on; either way the kept pairs come in candidate order with their scores.
TEST(ScoringPassTest, KeepsEveryScoredCandidateInOrderOnEitherSideOfTheThreshold) {
  for (size_t n : {0, 1, 255, 256, 257, 499, 500, 4097, 100003}) {
    SCOPED_TRACE(n);
    const auto pairs = score_candidates(n, synthetic_score);
    std::vector<ScoredPair> want;
    for (size_t i = 0; i < n; ++i) {
      if (std::optional<float> s = synthetic_score(i)) want.emplace_back(*s, i);
    }
    expect_same_pairs(pairs, want);
  }
}

std::vector<ScoredPair> score_committed(const std::vector<uint64_t>& slots, const SlotView& view,
                                        std::span<const float> query, Metric metric) {
  return score_committed_candidates(slots.size(), [&](size_t i) { return slots[i]; }, view, query, metric);
}

TEST(CommittedPassTest, SkipsUnallocatedAndFreeSlotsOnEitherSideOfTheThreshold) {
  constexpr size_t kDim = 13;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  // 40 allocated slots plus capacity not handed out yet; slot 5 holds the
  // free marker, slot 9 another NaN (any NaN marks a free slot).
  std::vector<float> area(64 * kDim), query(kDim);
  for (float& x : area) x = unit(rng);
  for (float& x : query) x = unit(rng);
  area[5 * kDim] = std::bit_cast<float>(0x7FC00000u);
  area[9 * kDim] = std::bit_cast<float>(0xFFA00001u);
  const SlotView view{area.data(), 40, kDim};

  const std::vector<uint64_t> slots = {7, 5, 40, 0, 63, 9, 39, 1000, 7};
  for (Metric metric : {Metric::kCosine, Metric::kL2}) {
    std::vector<ScoredPair> want;
    for (uint64_t p : {0, 3, 6, 8}) {
      want.emplace_back(compute_distance(metric, query.data(), area.data() + slots[p] * kDim, kDim), p);
    }
    expect_same_pairs(score_committed(slots, view, query, metric), want);
  }
  // Lists of 500 and more are scored on the pool, with the same pairs.
  std::uniform_int_distribution<uint64_t> slot(0, 70);
  for (size_t n : {499, 500, 20000}) {
    std::vector<uint64_t> many(n);
    for (uint64_t& s : many) s = slot(rng);
    std::vector<ScoredPair> want;
    for (size_t i = 0; i < n; ++i) {
      if (auto s = score_slot(view, many[i], query.data(), Metric::kDot)) want.emplace_back(*s, i);
    }
    expect_same_pairs(score_committed(many, view, query, Metric::kDot), want);
  }
}

// ---- Worker pool ----------------------------------------------------------

TEST(WorkerPoolTest, SizeRule) {
  using std::nullopt;
  EXPECT_EQ(resolve_pool_thread_count("4", "9", 8), 4u);
  EXPECT_EQ(resolve_pool_thread_count("+3", nullopt, 8), 3u);
  EXPECT_EQ(resolve_pool_thread_count(nullopt, "2", 8), 2u);
  for (const char* bad : {"0", "", "-1", " 4", "4x", "abc", "99999999999999999999999"}) {
    EXPECT_EQ(resolve_pool_thread_count(bad, "6", 8), 6u) << bad;
    EXPECT_EQ(resolve_pool_thread_count(nullopt, bad, 8), 8u) << bad;
  }
  EXPECT_EQ(resolve_pool_thread_count(nullopt, nullopt, 0), 1u);
  EXPECT_GE(pool_thread_count(), 1u);
}

}  // namespace
}  // namespace tessarin
