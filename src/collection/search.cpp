// Reads of a collection: search and get by id.
//
// A search is one SearchQuery (prepared vector, k, filter, `now`) put to its
// sources of candidates, each giving hits best first: the committed records
// (the graph road when the collection holds a graph index, else the exact
// road below) and the copy of the pending queue. merge_hits puts them in one
// order and cuts them to k.
//
// Every write whose call returned is seen once. The queue is copied first,
// then the committed records are read: a write leaves the queue only after
// its commit (which marks the graph stale first), so one missing from the
// copy is in the records read, or in the graph brought up to date after
// the copy. A write in both places is told apart by its seq: the records
// read hold the queued writes up to their committed_seq (the mirror's seq,
// a transaction's, or index_seq for the graph). Of the queued writes left,
// each id's newest live one stands for its record, and a road hit of that
// id (an older version) goes; the road is asked for as many more hits.
//
// The exact road has two implementations with the same result:
//   - the literal road scans "records" in key order in a read transaction,
//     parses each candidate's metadata when a filter is present, scores the
//     candidates in key order and feeds them into a TopK;
//   - the mirror road scores the in-memory mirror of "records" in parallel
//     chunks, each keeping its best k by (score, then id bytes ascending),
//     and merges them. Without NaN scores, a TopK fed in key order keeps
//     exactly the best k by that order (equal scores: the earlier key wins
//     and is kept ahead), so both give the same hits. A NaN score makes the
//     key-ordered buffer's result depend on the order of admission, so any
//     NaN sends the query to the literal road.
#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_set>

#include "collection/state.h"
#include "json/parse.h"
#include "platform/platform.h"
#include "search/distance.h"
#include "search/exact.h"
#include "search/hnsw/query.h"
#include "sync/pool.h"

namespace tessarin {

namespace {

// Lists of at most this many hits are put in order by insertion sort.
constexpr size_t kInsertionSortMax = 20;

SlotView slot_view(const VectorStore& vectors) {
  return SlotView{vectors.slots_base(), vectors.slot_count(),
                  static_cast<size_t>(vectors.dimensions())};
}

// Stable sort of hits by score, best first. An entry moves ahead only when
// strictly better; scores that do not compare (NaN) count as equal in the
// insertion sort, and as worst in the general sort of longer lists.
void sort_hits(std::vector<SearchHit>& hits, bool higher_is_better) {
  auto strictly_better = [higher_is_better](float a, float b) {
    return higher_is_better ? a > b : a < b;
  };
  if (hits.size() <= kInsertionSortMax) {
    for (size_t i = 1; i < hits.size(); ++i) {
      for (size_t j = i; j > 0 && strictly_better(hits[j].score, hits[j - 1].score); --j) {
        std::swap(hits[j], hits[j - 1]);
      }
    }
    return;
  }
  std::stable_sort(hits.begin(), hits.end(), [&](const SearchHit& a, const SearchHit& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return strictly_better(a.score, b.score);
  });
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

size_t clamp_to_size(uint64_t v) {
  return v > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(v);
}

// ---- Mirror road ----------------------------------------------------------

struct MirrorCandidate {
  float score;
  size_t pos;  // entry position in the mirror
};

struct ChunkBest {
  std::vector<MirrorCandidate> best;
  bool saw_nan = false;
};

constexpr size_t kSelectBlock = 256;
constexpr size_t kMetaPrefetchFar = 16;
constexpr size_t kMetaPrefetchNear = 8;
constexpr size_t kMemberPrefetchBytes = 256;

void prefetch_members(const json::Value& v) {
  if (!v.is_object() || v.as_object().empty()) return;
  const char* p = reinterpret_cast<const char*>(&*v.as_object().begin());
  for (size_t off = 0; off < kMemberPrefetchBytes; off += 64) __builtin_prefetch(p + off, 0, 3);
}

// Scores mirror entries [begin, end) and keeps their best `keep` by (score,
// id). REQUIRES: the mirror's shared lock and the vector store's shared lock.
template <typename Better>
void score_mirror_range(const RecordMirror& mirror, const SlotView& slots,
                        const std::vector<FilterCondition>* conditions,
                        std::span<const float> query, Metric metric, size_t keep,
                        const Better& better, uint64_t now, size_t begin, size_t end,
                        ChunkBest& out) REQUIRES_SHARED(mirror.mu) {
  const uint64_t* slot_of = mirror.slots();
  const uint64_t* live_until = mirror.live_untils();
  const json::Value* const* meta = mirror.metadata_ptrs();
  const bool hib = higher_is_better(metric);
  // Once the buffer was cut, a score strictly worse than `bound` cannot be
  // among the best `keep`.
  bool bounded = false;
  float bound = 0.0f;
  const size_t cap = std::max(keep * 2, keep + 64);
  std::vector<MirrorCandidate>& buf = out.best;
  auto cut = [&] {
    std::nth_element(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(keep - 1), buf.end(),
                     better);
    buf.resize(keep);
    bound = buf[keep - 1].score;
    bounded = true;
  };
  // Blocks of entries: first select the live entries that pass the filter,
  // then score only those, prefetching the vectors of the selected ones (a
  // filter that keeps few entries must not pull every vector into cache).
  size_t selected[kSelectBlock];
  for (size_t block = begin; block < end; block += kSelectBlock) {
    const size_t block_end = std::min(end, block + kSelectBlock);
    size_t m = 0;
    for (size_t i = block; i < block_end; ++i) {
      if (conditions != nullptr) {
        // Two-stage prefetch of the parsed metadata: the value itself far
        // ahead, then (once it is in cache) its object's members nearer.
        if (i + kMetaPrefetchFar < end) __builtin_prefetch(meta[i + kMetaPrefetchFar], 0, 3);
        if (i + kMetaPrefetchNear < end) prefetch_members(*meta[i + kMetaPrefetchNear]);
      }
      if (!(now < live_until[i])) continue;
      if (conditions != nullptr && !matches_filter(*conditions, *meta[i])) continue;
      selected[m++] = i;
    }
    for (size_t j = 0; j < m; ++j) {
      if (j + exact_detail::kPrefetchAhead < m) {
        exact_detail::prefetch_slot(slots, slot_of[selected[j + exact_detail::kPrefetchAhead]]);
      }
      const size_t i = selected[j];
      std::optional<float> score = score_slot(slots, slot_of[i], query.data(), metric);
      if (!score) continue;
      const float s = *score;
      if (std::isnan(s)) {
        out.saw_nan = true;
        return;
      }
      if (bounded && (hib ? s < bound : s > bound)) continue;
      buf.push_back(MirrorCandidate{s, i});
      if (buf.size() >= cap) cut();
    }
  }
  if (buf.size() > keep) cut();
}

}  // namespace

std::optional<std::vector<SearchHit>> exact_road_mirror(CollectionState& state,
                                                        const SearchQuery& q, uint64_t* seq) {
  RecordMirror& mirror = state.mirror;
  if (mirror.state() != RecordMirror::State::kReady) return std::nullopt;
  SharedLock lock(mirror.mu);
  if (seq != nullptr) *seq = mirror.seq();
  const size_t n = mirror.size();
  const size_t keep = std::min(clamp_to_size(q.k), n);
  std::vector<SearchHit> hits;
  if (keep == 0) return hits;

  const SlotView slots = slot_view(state.vectors.value);
  const Metric metric = q.metric;
  const bool hib = higher_is_better(metric);
  // Conditions only matter when there are some: an empty list holds for all.
  const std::vector<FilterCondition>* conditions = q.conditions();
  const std::span<const float> query = q.vector;
  // The lambdas below run inside this call (the pool's tasks included),
  // under its shared mirror lock, which the analysis cannot see in them.
  auto better = [&](const MirrorCandidate& a, const MirrorCandidate& b) {
    mirror.mu.assert_held_shared();
    if (a.score != b.score) return hib ? a.score > b.score : a.score < b.score;
    return mirror.id(a.pos) < mirror.id(b.pos);
  };

  std::vector<ChunkBest> chunks;
  if (n < kParallelScoringMinCandidates) {
    chunks.resize(1);
    score_mirror_range(mirror, slots, conditions, query, metric, keep, better, q.now, 0, n,
                       chunks[0]);
  } else {
    const size_t chunk = exact_detail::scoring_chunk_size(n);
    chunks.resize((n + chunk - 1) / chunk);
    parallel_for_chunks(n, chunk, [&](size_t begin, size_t end) {
      mirror.mu.assert_held_shared();
      score_mirror_range(mirror, slots, conditions, query, metric, keep, better, q.now, begin,
                         end, chunks[begin / chunk]);
    });
  }

  std::vector<MirrorCandidate> all;
  for (ChunkBest& c : chunks) {
    if (c.saw_nan) return std::nullopt;
    all.insert(all.end(), c.best.begin(), c.best.end());
  }
  const size_t take = std::min(keep, all.size());
  std::partial_sort(all.begin(), all.begin() + static_cast<ptrdiff_t>(take), all.end(), better);
  hits.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    hits.push_back(SearchHit{mirror.id(all[i].pos), mirror.metadata(all[i].pos), all[i].score});
  }
  return hits;
}

Result<std::vector<SearchHit>> exact_road_literal(CollectionState& state, const ReadTxn& txn,
                                                  const SearchQuery& q) {
  std::vector<SearchHit> hits;
  if (q.k == 0) return hits;
  const uint64_t buffer_size = q.conditions() != nullptr ? saturating_mul(q.k, 10) : q.k;

  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  std::vector<Record> candidates;  // copied: a scan's views last only to its next step
  RecordView view;
  for (;;) {
    TS_ASSIGN_OR_RETURN(bool more, scan.next_view(&view));
    if (!more) break;
    if (!is_live(view.status, view.expires_at, q.now)) continue;
    if (q.has_filter() && !matches_filter(**q.filter, json::parse_or_null(view.metadata))) continue;
    candidates.push_back(view.to_record());
  }

  const SlotView slots = slot_view(state.vectors.value);
  std::vector<ScoredPair> pairs = score_committed_candidates(
      candidates.size(), [&](size_t i) { return candidates[i].slot; }, slots, q.vector, q.metric);
  TS_ASSIGN_OR_RETURN(TopK top, TopK::create(clamp_to_size(buffer_size),
                                             higher_is_better(q.metric), pairs.size()));
  for (const ScoredPair& p : pairs) push_top_k(top, p.score, p.position);

  const size_t take = std::min(clamp_to_size(q.k), top.results().size());
  hits.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    const ScoredPair& p = top.results()[i];
    Record& r = candidates[p.position];
    hits.push_back(SearchHit{std::move(r.id), json::parse_or_null(r.metadata), p.score});
  }
  return hits;
}

std::vector<const PendingWrite*> visible_queued(std::span<const PendingWrite> queued,
                                                uint64_t seq, uint64_t now) {
  std::vector<const PendingWrite*> out;
  std::unordered_set<std::string_view> seen;
  for (auto it = queued.rbegin(); it != queued.rend(); ++it) {
    if (it->seq <= seq || !is_live(it->record.status, it->record.expires_at, now)) continue;
    if (seen.insert(it->record.id).second) out.push_back(&*it);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

SearchQuery make_search_query(const CollectionState& state, std::span<const float> query,
                              uint64_t k, const std::optional<std::vector<FilterCondition>>& filter) {
  const Metric metric = state.config.metric;
  return SearchQuery{prepare_vector(metric, query), k, &filter, platform::now_secs(), metric};
}

namespace {

// Hits from the committed records, and the committed_seq of the records
// they come from: the queued writes up to it are among them.
struct RoadHits {
  std::vector<SearchHit> hits;
  uint64_t seq = 0;
};

// The committed records' hits by the exact road: the mirror when it can
// stand in, else the store scan.
// REQUIRES: index_mu shared (the caller's), no other lock.
Result<RoadHits> exact_hits(CollectionState& state, const SearchQuery& q)
    REQUIRES_SHARED(state.index_mu) {
  RoadHits road;
  if (q.k == 0) return road;
  {
    SharedLock vectors_lock(state.vectors.mu);
    if (std::optional<std::vector<SearchHit>> fast = exact_road_mirror(state, q, &road.seq)) {
      road.hits = std::move(*fast);
      return road;
    }
  }
  TS_ASSIGN_OR_RETURN(const ReadTxn txn, committed_records(state, &road.seq));
  SharedLock vectors_lock(state.vectors.mu);
  TS_ASSIGN_OR_RETURN(road.hits, exact_road_literal(state, txn, q));
  return road;
}

// The graph's hits (best first) turned into at most `n` hits of live
// records. A hit counts only while its record is stored, Active, not
// expired, and still at the node's slot (the score was computed from that
// slot; a record replaced or re-added elsewhere since must not be reported
// with another vector's score). Reads the mirror when it is ready, else the
// store.
// REQUIRES: no lock of the state but index_mu shared.
Result<std::vector<SearchHit>> resolve_graph_hits(CollectionState& state,
                                                  const std::vector<GraphHit>& found, uint64_t n,
                                                  uint64_t now)
    REQUIRES_SHARED(state.index_mu) EXCLUDES(state.vectors.mu, state.mirror.mu) {
  std::vector<SearchHit> hits;
  auto live_at_slot = [&](RecordStatus status, std::optional<uint64_t> expires_at, uint64_t slot,
                          const GraphHit& hit) {
    return is_live(status, expires_at, now) && slot == hit.slot;
  };
  RecordMirror& mirror = state.mirror;
  if (mirror.state() == RecordMirror::State::kReady) {
    SharedLock lock(mirror.mu);
    for (const GraphHit& hit : found) {
      if (hits.size() >= n) break;
      const ptrdiff_t pos = mirror.find(hit.id);
      if (pos < 0) continue;
      const Record& r = mirror.record(static_cast<size_t>(pos));
      if (!live_at_slot(r.status, r.expires_at, r.slot, hit)) continue;
      hits.push_back(SearchHit{r.id, mirror.metadata(static_cast<size_t>(pos)), hit.score});
    }
    return hits;
  }
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  for (const GraphHit& hit : found) {
    if (hits.size() >= n) break;
    TS_ASSIGN_OR_RETURN(std::optional<Record> r, get_record(txn, hit.id));
    if (!r || !live_at_slot(r->status, r->expires_at, r->slot, hit)) continue;
    hits.push_back(SearchHit{std::move(r->id), json::parse_or_null(r->metadata), hit.score});
  }
  return hits;
}

// The graph road: the index's best live hits; with a filter (even one
// without conditions) min(4k, node count) of them are fetched, walked in
// order, and the first k that match are kept.
// REQUIRES: index_mu shared (the caller's), no other lock.
Result<std::vector<SearchHit>> graph_road(CollectionState& state, const HnswIndex& index,
                                          const SearchQuery& q) REQUIRES_SHARED(state.index_mu) {
  uint64_t n = q.k;
  if (q.has_filter()) {
    SharedLock graph_lock(index.graph.mu);
    n = std::min<uint64_t>(saturating_mul(q.k, 4), index.graph.value.node_count());
  }
  std::vector<GraphHit> found;
  {
    SharedLock vectors_lock(state.vectors.mu);
    found = graph_hits(index, q.vector, n, state.vectors.value, q.now);
  }
  TS_ASSIGN_OR_RETURN(std::vector<SearchHit> hits, resolve_graph_hits(state, found, n, q.now));
  if (!q.has_filter()) return hits;
  std::vector<SearchHit> kept;
  for (SearchHit& h : hits) {
    if (kept.size() >= q.k) break;
    if (matches_filter(**q.filter, h.metadata)) kept.push_back(std::move(h));
  }
  return kept;
}

// How many more hits a road is asked for than k: one for each id whose
// queued write may replace a committed record the road returns. Counted
// from the mirror when it is ready (ids it holds), else every live id.
uint64_t replaced_by_queue(CollectionState& state, const std::vector<PendingWrite>& queued,
                           uint64_t now) EXCLUDES(state.mirror.mu) {
  if (queued.empty()) return 0;
  const std::vector<const PendingWrite*> live = visible_queued(queued, 0, now);
  RecordMirror& mirror = state.mirror;
  if (mirror.state() != RecordMirror::State::kReady) return live.size();
  SharedLock lock(mirror.mu);
  return static_cast<uint64_t>(std::count_if(live.begin(), live.end(), [&](const PendingWrite* w) {
    mirror.mu.assert_held_shared();
    return mirror.find(w->record.id) >= 0;
  }));
}

// The hits among the visible queued writes: their best k, in queue order
// among equal scores.
Result<std::vector<SearchHit>> pending_hits(const std::vector<const PendingWrite*>& queued,
                                            const SearchQuery& q) {
  std::vector<SearchHit> hits;
  if (q.k == 0 || queued.empty()) return hits;
  std::vector<ScoredPair> pairs = score_candidates(queued.size(), [&](size_t i) -> std::optional<float> {
    const PendingWrite& w = *queued[i];
    if (q.has_filter() && !matches_filter(**q.filter, *w.parsed)) return std::nullopt;
    return compute_distance(q.metric, q.vector, w.vector);
  });
  TS_ASSIGN_OR_RETURN(TopK top,
                      TopK::create(clamp_to_size(q.k), higher_is_better(q.metric), pairs.size()));
  for (const ScoredPair& p : pairs) push_top_k(top, p.score, p.position);
  for (const ScoredPair& p : top.results()) {
    const PendingWrite& w = *queued[p.position];
    hits.push_back(SearchHit{w.record.id, *w.parsed, p.score});
  }
  return hits;
}

// One list from the road's hits and the queue's: a road hit whose id has a
// visible queued write is an older version of that record and goes; without
// visible queued writes the road's order stands; otherwise the queue's hits
// follow the road's, the whole list is sorted stably by score (the road's
// hit first among equal scores); the list is cut to k.
Result<std::vector<SearchHit>> merge_hits(RoadHits road, const std::vector<PendingWrite>& queued,
                                          const SearchQuery& q) {
  const std::vector<const PendingWrite*> visible = visible_queued(queued, road.seq, q.now);
  std::vector<SearchHit>& hits = road.hits;
  if (!visible.empty()) {
    std::unordered_set<std::string_view> replaced;
    for (const PendingWrite* w : visible) replaced.insert(w->record.id);
    std::erase_if(hits, [&](const SearchHit& h) { return replaced.contains(h.id); });
    TS_ASSIGN_OR_RETURN(std::vector<SearchHit> pending, pending_hits(visible, q));
    hits.insert(hits.end(), std::make_move_iterator(pending.begin()),
                std::make_move_iterator(pending.end()));
    sort_hits(hits, higher_is_better(q.metric));
  }
  if (hits.size() > q.k) hits.resize(clamp_to_size(q.k));
  return std::move(hits);
}

}  // namespace

Result<std::vector<SearchHit>> search_collection(
    CollectionState& state, std::span<const float> query, uint64_t k,
    const std::optional<std::vector<FilterCondition>>& filter) {
  const CollectionConfig& config = state.config;
  if (query.size() != config.dimensions) {
    return DbError::DimensionMismatch(config.dimensions, query.size());
  }
  // The queue is copied before anything committed is read: a write that
  // left it before the copy had committed (and marked the index stale)
  // before, so the records and the graph read below hold it.
  std::vector<PendingWrite> queued;
  {
    MutexLock lock(state.pending_mu);
    queued.assign(state.pending.begin(), state.pending.end());
  }
  TS_RETURN_IF_ERROR(update_index(state));
  const SearchQuery q = make_search_query(state, query, k, filter);
  if (k > 0) ensure_mirror(state);
  // The road is asked for more hits when queued writes may replace some.
  std::optional<SearchQuery> widened;
  if (const uint64_t extra = replaced_by_queue(state, queued, q.now); extra > 0 && k > 0) {
    widened = q;
    widened->k = k > UINT64_MAX - extra ? UINT64_MAX : k + extra;
  }
  const SearchQuery& road_q = widened ? *widened : q;

  RoadHits road;
  {
    SharedLock index_lock(state.index_mu);
    if (state.index) {
      road.seq = state.index_seq;
      TS_ASSIGN_OR_RETURN(road.hits, graph_road(state, *state.index, road_q));
    } else {
      TS_ASSIGN_OR_RETURN(road, exact_hits(state, road_q));
    }
  }
  return merge_hits(std::move(road), queued, q);
}

Result<std::optional<SearchHit>> get_by_id(CollectionState& state, std::string_view id) {
  {
    // The newest live write of the id stands for its record (a flush commits
    // it over older ones). A write leaves the queue only once committed, so
    // one not found here is in the store by the time it is read below.
    MutexLock lock(state.pending_mu);
    for (auto it = state.pending.rbegin(); it != state.pending.rend(); ++it) {
      const PendingWrite& w = *it;
      if (w.record.id == id && is_live(w.record.status, w.record.expires_at, now_secs())) {
        return std::optional<SearchHit>(SearchHit{w.record.id, *w.parsed, 0.0f});
      }
    }
  }
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  TS_ASSIGN_OR_RETURN(std::optional<Record> record, get_record(txn, id));
  if (!record || !is_live(record->status, record->expires_at, now_secs())) {
    return std::optional<SearchHit>{};
  }
  SharedLock lock(state.vectors.mu);
  TS_ASSIGN_OR_RETURN(bool free, state.vectors.value.is_slot_free(record->slot));
  if (free) return std::optional<SearchHit>{};
  return std::optional<SearchHit>(
      SearchHit{std::move(record->id), json::parse_or_null(record->metadata), 0.0f});
}

}  // namespace tessarin
