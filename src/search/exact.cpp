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

}  // namespace tessarin
