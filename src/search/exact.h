// Exact top-k scan: the brute-force half of a search. Candidates are scored
// against the prepared query with compute_distance; the scored pairs are fed,
// in candidate order and on the calling thread, into TopK, a bounded buffer
// that is sorted after every push. The result never depends on the number of
// threads or on timing.
//
// Scoring passes. A pass turns a candidate list of length n into the list of
// scored pairs (score, position) of the candidates it does not skip, in
// ascending position order. Lists of up to 499 candidates are scored on the
// calling thread; lists of 500 or more on the worker pool (sync/pool.h),
// cut into fixed ranges (never one task per candidate) that are scored in
// order into lists of their own and joined in position order, so both forms
// give the same list whatever the thread count.
//
//   score_candidates(n, fn)             generic pass; fn(i) -> optional score.
//                                       The engine's pending-write scan (tests
//                                       of status, expiry and filter inside fn)
//                                       runs through it.
//   score_committed_candidates(...)     the pass over committed candidates,
//                                       whose vectors live in the vector file's
//                                       slot area (SlotView).
//
// Ownership: TopK owns its entries. A SlotView borrows the slot area; the
// caller holds the vector store's read lock for the whole pass.
//
// Thread safety: TopK is not thread-safe (it lives on the search's thread).
// The scoring passes may be called from any thread; a score function given to
// a pass of 500 or more candidates is called concurrently from pool threads
// and must only read shared state.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "metric.h"
#include "search/distance.h"
#include "sync/pool.h"

namespace tessarin {

// One scored candidate: its score and its position in the scored list.
struct ScoredPair {
  // Uninitialised on purpose: a pass allocates its output for every candidate
  // up front and fills only what it keeps.
  ScoredPair() noexcept {}  // NOLINT
  ScoredPair(float s, uint64_t p) noexcept : score(s), position(p) {}

  float score;
  uint64_t position;
};

// ---- TopK -----------------------------------------------------------------

// The bounded best-k collector.
// Invariant after every push: at most k entries, best first (descending
// scores when higher_is_better, ascending otherwise), equal scores in the
// order they were admitted; the worst kept entry is the last. An entry moves
// ahead of another only when its score is strictly better; scores that do
// not compare (a NaN on either side) count as equal, so nothing is ever moved
// past a NaN entry.
class TopK {
 public:
  // A buffer keeping k entries, with room for min(k, max_pushes) + 1 entries
  // reserved up front (one more than it keeps, for the entry appended before
  // the cut), so it never grows. max_pushes, when the caller knows it (the
  // candidate count), keeps a huge k on a small list from reserving memory it
  // can never fill. Fails with InvalidInput when the room cannot be reserved.
  [[nodiscard]] static Result<TopK> create(size_t k, bool higher_is_better,
                                           size_t max_pushes = std::numeric_limits<size_t>::max());

  // The kept entries, best first; positions are those passed to push_top_k.
  const std::vector<ScoredPair>& results() const { return results_; }
  size_t k() const { return k_; }
  bool higher_is_better() const { return higher_is_better_; }

 private:
  TopK(size_t k, bool higher_is_better) : k_(k), higher_is_better_(higher_is_better) {}
  friend void push_top_k(TopK& top, float score, uint64_t index);
  void admit(float score, uint64_t index);

  std::vector<ScoredPair> results_;  // kept entries, best first; capacity reserved at creation
  size_t k_;                         // number of entries kept
  bool higher_is_better_;            // true for Cosine and Dot, false for L2
};

// Admits or rejects one scored pair. A full buffer (k entries; k = 0 is
// always full) rejects a score that is not strictly better than its worst
// (the last entry; for an empty buffer -inf / +inf), so among equal scores the
// earlier position wins; a NaN score is never rejected this way. An admitted
// pair is appended, moved ahead past every entry with a strictly worse score
// (stopping at the first that is equal, better or not comparable), and the
// buffer is cut to k.
inline void push_top_k(TopK& top, float score, uint64_t index) {
  if (top.results_.size() >= top.k_) {
    const float worst = top.results_.empty()
                            ? (top.higher_is_better_ ? -std::numeric_limits<float>::infinity()
                                                     : std::numeric_limits<float>::infinity())
                            : top.results_.back().score;
    if (top.higher_is_better_ ? worst >= score : score >= worst) return;
  }
  top.admit(score, index);
}

// ---- Scoring passes -------------------------------------------------------

// Lists of at least this many candidates are scored on the worker pool.
inline constexpr size_t kParallelScoringMinCandidates = 500;

namespace exact_detail {

// The size of the fixed ranges a parallel pass over n candidates is cut into:
// several per pool thread for balance, never below a size that makes the
// per-range cost negligible.
size_t scoring_chunk_size(size_t n);

// Runs a pass with a range scorer: score_range(begin, end, out) scores the
// candidates [begin, end) in order, writes the pairs it keeps to out[0..m)
// and returns m (m <= end - begin). In parallel, each fixed range writes into
// its own part of one buffer (the part starting at its own begin), and the
// parts are then joined in position order by moving each down in place.
template <typename RangeScorer>
std::vector<ScoredPair> run_pass(size_t n, bool parallel, RangeScorer&& score_range) {
  std::vector<ScoredPair> out(n);  // ScoredPair() leaves it uninitialised
  if (!parallel || n == 0) {
    out.resize(score_range(size_t{0}, n, out.data()));
    return out;
  }
  const size_t chunk = scoring_chunk_size(n);
  std::vector<size_t> kept((n + chunk - 1) / chunk);
  parallel_for_chunks(n, chunk, [&](size_t begin, size_t end) {
    kept[begin / chunk] = score_range(begin, end, out.data() + begin);
  });
  size_t joined = kept[0];
  for (size_t c = 1; c < kept.size(); ++c) {
    if (joined != c * chunk) {
      std::copy_n(out.begin() + static_cast<ptrdiff_t>(c * chunk), kept[c],
                  out.begin() + static_cast<ptrdiff_t>(joined));
    }
    joined += kept[c];
  }
  out.resize(joined);
  return out;
}

template <typename ScoreFn>
auto range_scorer(ScoreFn& fn) {
  return [&fn](size_t begin, size_t end, ScoredPair* out) {
    size_t m = 0;
    for (size_t i = begin; i < end; ++i) {
      if (std::optional<float> score = fn(i)) out[m++] = ScoredPair(*score, i);
    }
    return m;
  };
}

}  // namespace exact_detail

// Scores n candidates: fn(i) for i = 0 .. n-1 (a std::nullopt skips candidate
// i), sequentially up to 499, on the pool from 500 (fn is then called
// concurrently for different i); the pairs come in candidate order.
template <typename ScoreFn>
std::vector<ScoredPair> score_candidates(size_t n, ScoreFn&& fn) {
  return exact_detail::run_pass(n, n >= kParallelScoringMinCandidates,
                                exact_detail::range_scorer(fn));
}

// ---- Committed candidates -------------------------------------------------

// A read-only view of the vector file's slot area. The engine builds it from
// the open VectorStore (mapping start + 64, its slot count, its dimensions)
// while holding the store's read lock.
struct SlotView {
  const float* base = nullptr;  // slot i's dim floats start at base + i * dim
  uint64_t slot_count = 0;      // slots handed out; slot >= slot_count is unallocated
  size_t dim = 0;               // floats per slot
};

// The score of one committed candidate, or std::nullopt when it is skipped:
// its slot is not below the slot count (unallocated; no error) or the slot's
// first component is NaN (the free-slot marker).
// REQUIRES: query has slots.dim floats.
inline std::optional<float> score_slot(const SlotView& slots, uint64_t slot, const float* query,
                                       Metric metric) {
  if (slot >= slots.slot_count) return std::nullopt;
  const float* vector = slots.base + slot * slots.dim;
  if (std::isnan(vector[0])) return std::nullopt;
  return compute_distance(metric, query, vector, slots.dim);
}

namespace exact_detail {
// Committed candidates visit slots in record-key order, which is unrelated
// to slot order: the head of the slot kPrefetchAhead candidates ahead is
// requested early so its cache misses overlap the current distance (the
// hardware prefetcher follows the rest of a long vector by itself).
inline constexpr size_t kPrefetchAhead = 3;
inline constexpr size_t kPrefetchBytes = 768;

// Always inlined: GCC deems an out-of-line function holding only prefetches
// free of effects and deletes the call.
[[gnu::always_inline]] inline void prefetch_slot(const SlotView& slots, uint64_t slot) {
  if (slot >= slots.slot_count) return;
  const char* p = reinterpret_cast<const char*>(slots.base + slot * slots.dim);
  const size_t bytes = std::min(kPrefetchBytes, slots.dim * sizeof(float));
  for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(p + offset, 0, 3);
}
}  // namespace exact_detail

// The committed scoring pass over n candidates, candidate i holding slot
// slot_at(i) (the engine's committed candidate list: slot plus record).
// Sequential up to 499 candidates, on the pool from 500.
// REQUIRES: query.size() == slots.dim >= 1.
template <typename SlotAt>
std::vector<ScoredPair> score_committed_candidates(size_t n, SlotAt&& slot_at,
                                                   const SlotView& slots,
                                                   std::span<const float> query, Metric metric) {
  auto score_range = [&](size_t begin, size_t end, ScoredPair* out) {
    size_t m = 0;
    for (size_t i = begin; i < end; ++i) {
      if (i + exact_detail::kPrefetchAhead < end) {
        exact_detail::prefetch_slot(slots, slot_at(i + exact_detail::kPrefetchAhead));
      }
      if (std::optional<float> score = score_slot(slots, slot_at(i), query.data(), metric)) {
        out[m++] = ScoredPair(*score, i);
      }
    }
    return m;
  };
  return exact_detail::run_pass(n, n >= kParallelScoringMinCandidates, score_range);
}

}  // namespace tessarin
