#include "search/exact.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>

namespace tessarin {

Result<TopK> TopK::create(size_t k, bool higher_is_better, size_t max_pushes) {
  TopK top(k, higher_is_better);
  const size_t kept = std::min(k, max_pushes);
  if (kept >= top.results_.max_size()) {
    return DbError::InvalidInput("cannot reserve a result buffer of " + std::to_string(k) +
                                 " entries");
  }
  try {
    top.results_.reserve(kept + 1);
  } catch (const std::bad_alloc&) {
    return DbError::InvalidInput("cannot reserve a result buffer of " + std::to_string(k) +
                                 " entries");
  }
  return top;
}

void TopK::admit(float score, uint64_t index) {
  // The entries before the new one are in order, so one backward pass places
  // it after every entry that is at least as good: exactly what a stable sort
  // gives for ordered scores, for buffers of any length. A comparison with a
  // NaN is false, so the new entry never moves past a NaN entry and a NaN
  // entry never moves at all.
  results_.push_back({score, index});
  size_t j = results_.size() - 1;
  if (higher_is_better_) {
    while (j > 0 && score > results_[j - 1].score) {
      results_[j] = results_[j - 1];
      --j;
    }
  } else {
    while (j > 0 && score < results_[j - 1].score) {
      results_[j] = results_[j - 1];
      --j;
    }
  }
  results_[j] = {score, index};
  if (results_.size() > k_) results_.pop_back();
}

namespace {

bool any_nan(std::span<const ScoredPair> pairs) {
  return std::any_of(pairs.begin(), pairs.end(),
                     [](const ScoredPair& p) { return std::isnan(p.score); });
}

// Up to this k, pushing one by one is as fast as the heap selection.
constexpr size_t kHeapSelectionMinK = 32;

}  // namespace

void push_top_k_all(TopK& top, std::span<const ScoredPair> pairs) {
  size_t ordered = 0;  // pairs before the first NaN score
  if (top.k_ > kHeapSelectionMinK && !any_nan(top.results_)) {
    while (ordered < pairs.size() && !std::isnan(pairs[ordered].score)) ++ordered;
    top.select_ordered(pairs.first(ordered));
  }
  for (const ScoredPair& p : pairs.subspan(ordered)) push_top_k(top, p.score, p.position);
}

// REQUIRES: no NaN among the kept entries or `pairs`.
void TopK::select_ordered(std::span<const ScoredPair> pairs) {
  if (k_ == 0 || pairs.empty()) return;
  // rank = order of admission: the kept entries (among equal scores already
  // in admission order) before the new pairs. A heap of the best k so far by
  // (score, rank), worst on top.
  struct Ranked {
    float score;
    uint64_t rank;
    uint64_t position;
  };
  auto select = [&](auto is_better_score) {
    auto better = [&](const Ranked& a, const Ranked& b) {
      if (a.score != b.score) return is_better_score(a.score, b.score);
      return a.rank < b.rank;
    };
    std::vector<Ranked> heap;
    heap.reserve(std::min(k_, results_.size() + pairs.size()));
    for (const ScoredPair& e : results_) heap.push_back({e.score, heap.size(), e.position});
    std::make_heap(heap.begin(), heap.end(), better);
    uint64_t rank = results_.size();
    size_t i = 0;
    for (; i < pairs.size() && heap.size() < k_; ++i) {
      heap.push_back({pairs[i].score, rank++, pairs[i].position});
      std::push_heap(heap.begin(), heap.end(), better);
    }
    float worst = heap.front().score;
    for (; i < pairs.size(); ++i, ++rank) {
      // Only a strictly better score enters: a later pair loses every tie.
      if (!is_better_score(pairs[i].score, worst)) continue;
      std::pop_heap(heap.begin(), heap.end(), better);
      heap.back() = {pairs[i].score, rank, pairs[i].position};
      std::push_heap(heap.begin(), heap.end(), better);
      worst = heap.front().score;
    }
    std::sort_heap(heap.begin(), heap.end(), better);
    results_.clear();
    for (const Ranked& r : heap) results_.push_back({r.score, r.position});
  };
  if (higher_is_better_) {
    select([](float a, float b) { return a > b; });
  } else {
    select([](float a, float b) { return a < b; });
  }
}

namespace exact_detail {

size_t scoring_chunk_size(size_t n) {
  // Eight ranges per thread absorb uneven progress; 256 candidates per range
  // keep the cost of a range (a task and a small vector) far below its work.
  constexpr size_t kRangesPerThread = 8;
  constexpr size_t kMinRange = 256;
  const size_t ranges = pool_thread_count() * kRangesPerThread;
  return std::max(kMinRange, (n + ranges - 1) / ranges);
}

}  // namespace exact_detail

std::vector<ScoredPair> score_committed_candidates(std::span<const uint64_t> candidate_slots,
                                                   const SlotView& slots,
                                                   std::span<const float> query, Metric metric) {
  return score_committed_candidates(
      candidate_slots.size(), [&](size_t i) { return candidate_slots[i]; }, slots, query, metric);
}

}  // namespace tessarin
