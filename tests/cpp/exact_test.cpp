#include "search/exact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "sync/pool.h"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TopK make_top(size_t k, bool higher_is_better) {
  Result<TopK> top = TopK::create(k, higher_is_better);
  EXPECT_TRUE(top.ok());
  return std::move(top).value();
}

std::vector<uint64_t> positions(const std::vector<ScoredPair>& pairs) {
  std::vector<uint64_t> out;
  for (const ScoredPair& p : pairs) out.push_back(p.position);
  return out;
}
std::vector<uint64_t> positions(const TopK& top) { return positions(top.results()); }

using Positions = std::vector<uint64_t>;

// ---- TopK -----------------------------------------------------------------

TEST(TopKTest, NaNIsNeverRejectedNorPassed) {
  TopK top = make_top(3, true);
  push_top_k(top, 1.0f, 0);
  push_top_k(top, kNaN, 1);
  push_top_k(top, 5.0f, 2);  // cannot move ahead of the NaN
  EXPECT_EQ(positions(top), (Positions{0, 1, 2}));
  push_top_k(top, 3.0f, 3);  // worse than the worst kept (5): rejected
  push_top_k(top, 7.0f, 4);  // admitted, stops behind the NaN, pushes 5 out
  EXPECT_EQ(positions(top), (Positions{0, 1, 4}));

  // A NaN worst entry is never displaced: whatever is admitted sorts behind
  // it and is cut again.
  TopK nan_last = make_top(2, false);
  push_top_k(nan_last, 1.0f, 0);
  push_top_k(nan_last, kNaN, 1);
  push_top_k(nan_last, -5.0f, 2);
  push_top_k(nan_last, kNaN, 3);
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
      std::vector<uint64_t> want;
      for (const ScoredPair& p : all) want.push_back(p.position);
      ASSERT_EQ(positions(top), want) << "k=" << k;
      EXPECT_EQ(top.results().capacity(), capacity);
    }
  }
}

TEST(TopKTest, UnreservableBufferIsAnError) {
  EXPECT_FALSE(TopK::create(std::numeric_limits<size_t>::max(), true).ok());
  EXPECT_FALSE(TopK::create(size_t{1} << 60, true).ok());
  // A known small candidate count bounds the reservation.
  Result<TopK> bounded = TopK::create(size_t{1} << 60, true, /*max_pushes=*/10);
  ASSERT_TRUE(bounded.ok());
  EXPECT_LT(bounded->results().capacity(), 100u);
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
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i].score), std::bit_cast<uint32_t>(b[i].score)) << i;
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
  return score_committed_candidates(
      slots.size(), [&](size_t i) { return slots[i]; }, view, query, metric);
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
    const auto pairs = score_committed(slots, view, query, metric);
    std::vector<float> want_scores;
    for (uint64_t p : {0, 3, 6, 8}) {
      want_scores.push_back(compute_distance(metric, query.data(), area.data() + slots[p] * kDim, kDim));
    }
    EXPECT_EQ(positions(pairs), (Positions{0, 3, 6, 8}));
    for (size_t j = 0; j < pairs.size() && j < 4; ++j) EXPECT_EQ(pairs[j].score, want_scores[j]);
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

TEST(WorkerPoolTest, ChunksCoverEveryIndexOnce) {
  for (size_t n : {0, 1, 9, 10, 11, 1000}) {
    std::vector<std::atomic<int>> hits(n);
    parallel_for_chunks(n, 10, [&](size_t begin, size_t end) {
      EXPECT_TRUE(begin % 10 == 0 && end - begin <= 10 && end <= n);
      for (size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  }
  EXPECT_EQ(run_in_pool([] { return 42; }), 42);
}

}  // namespace
}  // namespace tessarin
