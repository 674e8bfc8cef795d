// Writes to a collection: the pending queue with its group commit, sync,
// the live count, upsert and delete.
#include <algorithm>
#include <cmath>
#include <functional>
#include <unordered_map>
#include <utility>

#include "collection/state.h"
#include "json/print.h"
#include "platform/platform.h"
#include "search/hnsw/persist.h"
#include "search/distance.h"

namespace tessarin {

std::optional<uint64_t> expiry_after(uint64_t created_at, std::optional<uint64_t> ttl) {
  if (!ttl) return std::nullopt;
  uint64_t sum = 0;
  if (__builtin_add_overflow(created_at, *ttl, &sum)) return UINT64_MAX;
  return sum;
}

std::string uuid_v4_text(const uint8_t (&random)[16]) {
  uint8_t b[16];
  std::copy(std::begin(random), std::end(random), b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  char* p = text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = kHex[b[i] >> 4];
    *p++ = kHex[b[i] & 0x0F];
  }
  return std::string(text, sizeof text);
}

Result<std::string> make_uuid_v4() {
  uint8_t random[16];
  TS_RETURN_IF_ERROR(platform::fill_random(random, sizeof random));
  return uuid_v4_text(random);
}

Status check_vector_values(std::span<const float> vector) {
  if (std::optional<size_t> i = first_non_finite(vector)) {
    return DbError::InvalidInput("vector component " + std::to_string(*i) +
                                 " is not a finite number");
  }
  return OkStatus();
}

namespace {

// Whether the queue, now holding n writes, is due for a group commit.
// REQUIRES: pending_mu.
bool flush_due(const CollectionState& state, size_t n) REQUIRES(state.pending_mu) {
  if (n == 0) return false;  // another caller flushed in between
  if (state.max_pending_writes > 0 && n >= state.max_pending_writes) return true;
  if (state.flush_interval_ms > 0) {
    const uint64_t now = platform::now_millis();
    const uint64_t oldest = state.oldest_pending_ms.load();
    const uint64_t elapsed = now >= oldest ? now - oldest : 0;
    return elapsed >= state.flush_interval_ms;
  }
  return state.max_pending_writes == 0;
}

// Makes the taken writes durable: vectors first, then one store transaction
// holding every record and the free list. Each id's last write replaces
// whatever the id had: its stored row and its earlier writes in `writes`;
// their slots are released with the commit (a stored Tombstone's was
// released by its delete already).
// REQUIRES: writer_mu.
// `through` is the seq of the last of them.
Status commit_writes(CollectionState& state, std::span<const PendingWrite> writes, uint64_t through)
    REQUIRES(state.writer_mu) EXCLUDES(state.pending_mu) {
  {
    SharedLock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
  }
  platform::crash_point("flush.vectors_durable");

  // The last write of each id is the one put; the slots of its earlier ones
  // are released.
  std::unordered_map<std::string_view, size_t> latest;  // id -> index of its last write
  latest.reserve(writes.size());
  std::vector<uint64_t> superseded;
  for (size_t i = 0; i < writes.size(); ++i) {
    auto [it, fresh] = latest.try_emplace(writes[i].record.id, i);
    if (!fresh) superseded.push_back(writes[std::exchange(it->second, i)].record.slot);
  }
  std::vector<std::string_view> ids;
  ids.reserve(latest.size());
  for (const auto& entry : latest) ids.push_back(entry.first);
  TS_ASSIGN_OR_RETURN(const std::vector<std::optional<StoredRow>> rows, committed_rows(state, ids));

  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  for (size_t i = 0; i < writes.size(); ++i) {
    const PendingWrite& w = writes[i];
    if (latest.find(w.record.id)->second == i) TS_RETURN_IF_ERROR(txn.put_record(w.record, w.parsed));
  }
  for (uint64_t slot : superseded) txn.release_slot(slot);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::optional<StoredRow>& row = rows[i];
    if (row && row->status != RecordStatus::kTombstone) txn.release_slot(row->slot);
  }
  TS_RETURN_IF_ERROR(txn.save_free_list());
  txn.commits_queued_through(through);
  return txn.commit();
}

// Removes the first queued write of `id` and gives its slot back (no free
// marker is written: no committed record points at it). True when found.
// REQUIRES: writer_mu (a queued write is not half-way to the store).
bool remove_first_queued(CollectionState& state, std::string_view id)
    REQUIRES(state.writer_mu) EXCLUDES(state.pending_mu) {
  MutexLock lock(state.pending_mu);
  auto it = std::find_if(state.pending.begin(), state.pending.end(),
                         [&](const PendingWrite& w) { return w.record.id == id; });
  if (it == state.pending.end()) return false;
  {
    ExclusiveLock free_lock(state.free_list.mu);
    state.free_list.value.push_free_slot(it->record.slot);
  }
  state.pending.erase(it);
  return true;
}

// The stored record of `id`, whatever its status or expiry.
Result<std::optional<Record>> lookup_stored(CollectionState& state, std::string_view id) {
  if (id.size() > state.store.max_id_bytes()) return std::optional<Record>{};  // never stored
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  return get_record(txn, id);
}

// A write ready for the queue, and the claim on its slot, which holds the
// slot until the write is queued.
struct ClaimedWrite {
  PendingWrite write;
  SlotClaim claim;
};

// Everything of an add up to the queue: the checks, the id, the vector
// prepared and written into a new slot, the record (status Active).
Result<ClaimedWrite> make_pending_write(CollectionState& state, std::span<const float> vector,
                                        json::Value metadata, std::optional<std::string> id,
                                        std::optional<uint64_t> ttl)
    EXCLUDES(state.pending_mu, state.claims_mu, state.vectors.mu, state.free_list.mu) {
  const CollectionConfig& config = state.config;
  if (vector.size() != config.dimensions) {
    return DbError::DimensionMismatch(config.dimensions, vector.size());
  }
  TS_RETURN_IF_ERROR(check_vector_values(vector));
  std::string record_id;
  if (id) {
    TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), *id));
    record_id = std::move(*id);
  } else {
    TS_ASSIGN_OR_RETURN(record_id, make_uuid_v4());
  }
  std::vector<float> prepared = prepare_vector(config.metric, vector);

  TS_ASSIGN_OR_RETURN(SlotClaim claim, claim_slots(state, 1));
  const uint64_t slot = claim.slots()[0];
  {
    // On failure the claim ends with the return: the slot, held by nothing,
    // goes back with the next compaction.
    ExclusiveLock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.write_vector(slot, prepared));
  }
  const uint64_t created_at = platform::now_secs();
  std::string text = json::print(metadata);
  metadata = json::Value();
  // Readers filter and build hits on the text read back, so keep exactly that.
  std::shared_ptr<const json::Value> parsed = parse_metadata_shared(text);
  return ClaimedWrite{
      PendingWrite{Record{std::move(record_id), slot, std::move(text), created_at,
                          expiry_after(created_at, ttl), RecordStatus::kActive},
                   std::move(prepared), std::move(parsed)},
      std::move(claim)};
}

// Appends the write to the queue, then drops its claim (the queue holds the
// slot now); true when the queue is then due for a group commit.
bool enqueue(CollectionState& state, ClaimedWrite claimed)
    EXCLUDES(state.pending_mu, state.claims_mu) {
  bool due = false;
  {
    MutexLock lock(state.pending_mu);
    if (state.pending.empty()) state.oldest_pending_ms.store(platform::now_millis());
    claimed.write.seq = state.next_seq++;
    state.pending.push_back(std::move(claimed.write));
    due = flush_due(state, state.pending.size());
  }
  claimed.claim.drop();
  return due;
}

bool queue_holds_writes(CollectionState& state) EXCLUDES(state.pending_mu) {
  MutexLock lock(state.pending_mu);
  return !state.pending.empty();
}

// The group commit. The writes stay queued until their commit has landed
// (committed_seq and the mirror include them), then leave the queue: a
// reader on another thread finds each of them in the queue, in the
// committed records, or in both (told apart by the seq), never in neither.
// On failure they stay queued, in their order, for the next flush.
// REQUIRES: writer_mu.
Status flush_locked(CollectionState& state) REQUIRES(state.writer_mu) EXCLUDES(state.pending_mu) {
  std::vector<PendingWrite> taken;  // records only: the vectors are in their slots
  uint64_t through = 0;
  uint64_t taken_ms = 0;
  {
    MutexLock lock(state.pending_mu);
    if (state.pending.empty()) return OkStatus();
    taken.reserve(state.pending.size());
    for (const PendingWrite& w : state.pending) {
      taken.push_back(PendingWrite{w.record, {}, w.parsed, w.seq});
    }
    through = state.pending.back().seq;
    taken_ms = platform::now_millis();
  }
  TS_RETURN_IF_ERROR(commit_writes(state, taken, through));
  MutexLock lock(state.pending_mu);
  // Only writes of this flush are at the front: others that remove queued
  // writes hold writer_mu.
  while (!state.pending.empty() && state.pending.front().seq <= through) state.pending.pop_front();
  // Writes queued while the commit ran arrived after taken_ms.
  state.oldest_pending_ms.store(state.pending.empty() ? 0 : taken_ms);
  return OkStatus();
}

std::function<void()>& sync_save_hook() {
  static std::function<void()> hook;
  return hook;
}

}  // namespace

// Test hook: runs in sync between the index update and the save (empty:
// nothing).
void set_sync_save_hook_for_testing(std::function<void()> hook) {
  sync_save_hook() = std::move(hook);
}

Result<std::string> add_record(CollectionState& state, std::span<const float> vector,
                               json::Value metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl) {
  TS_ASSIGN_OR_RETURN(ClaimedWrite write,
                      make_pending_write(state, vector, std::move(metadata), std::move(id), ttl));
  std::string record_id = write.write.record.id;
  if (enqueue(state, std::move(write))) TS_RETURN_IF_ERROR(flush_pending_writes(state));
  return record_id;
}

Status flush_pending_writes(CollectionState& state) {
  MutexLock writer_lock(state.writer_mu);
  return flush_locked(state);
}

Status flush_pending_writes_locked(CollectionState& state) { return flush_locked(state); }

Status sync_collection(CollectionState& state) {
  TS_RETURN_IF_ERROR(flush_pending_writes(state));
  {
    SharedLock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
  }
  if (!state.config.hnsw_config) return OkStatus();
  TS_RETURN_IF_ERROR(update_index(state, IndexUpdate::kExact));
  if (sync_save_hook()) sync_save_hook()();
  SharedLock index_lock(state.index_mu);
  if (!state.index) return OkStatus();
  // The graph is saved only while it fits the committed records exactly
  // (another thread's commit may have landed since the update): the next
  // open would find the file wrong otherwise, or trust a node linked for a
  // slot's earlier vector. Not saved now, it is saved by a later sync.
  IndexSnapshot snap;
  TS_RETURN_IF_ERROR(take_index_snapshot(state, /*consume=*/false, &snap));
  SharedLock graph_lock(state.index->graph.mu);
  if (snap.changes_dropped ||
      index_fit(state.index->graph.value, snap.items, snap.changes) != IndexFit::kExact) {
    return OkStatus();
  }
  MutexLock file_lock(state.index_file_mu);
  // A commit that released slots since the snapshot removed the file, or
  // waits to: the saved graph would outlive the release.
  if (state.slot_release_commits != snap.slot_release_commits) return OkStatus();
  // Dropped: the path may name a newer collection's directory, which would
  // load this graph as its own when the (slot, id) pairs happen to match.
  if (state.dropped) return OkStatus();
  state.index_file_may_exist = true;
  return save_index(state.index->graph.value, index_file_path(state));
}

Result<uint64_t> live_record_count(CollectionState& state) {
  // The queue first, then the committed records: a write that left the
  // queue before it was read had committed before the records are read.
  std::vector<PendingWrite> queued;  // records only
  {
    MutexLock lock(state.pending_mu);
    queued.reserve(state.pending.size());
    for (const PendingWrite& w : state.pending) {
      queued.push_back(PendingWrite{w.record, {}, nullptr, w.seq});
    }
  }
  const uint64_t now = platform::now_secs();
  // Each id counts once: a queued write of an id with a live committed
  // record stands for that record, as get and search see it.
  uint64_t count = 0;
  if (ensure_mirror(state)) {
    RecordMirror& mirror = state.mirror;
    SharedLock lock(mirror.mu);
    count = mirror.count_live(now);
    for (const PendingWrite* w : visible_queued(queued, mirror.seq(), now)) {
      const ptrdiff_t pos = mirror.find(w->record.id);
      const Record* row = pos < 0 ? nullptr : &mirror.record(static_cast<size_t>(pos));
      if (row == nullptr || !is_live(row->status, row->expires_at, now)) ++count;
    }
    return count;
  }
  uint64_t seq = 0;
  TS_ASSIGN_OR_RETURN(const ReadTxn txn, committed_records(state, &seq));
  TS_ASSIGN_OR_RETURN(count, count_live_records(txn));
  for (const PendingWrite* w : visible_queued(queued, seq, now)) {
    TS_ASSIGN_OR_RETURN(const std::optional<Record> row, get_record(txn, w->record.id));
    if (!row || !is_live(row->status, row->expires_at, now)) ++count;
  }
  return count;
}

Result<bool> delete_by_id(CollectionState& state, std::string_view id) {
  // Waits for a group commit in progress: a write it commits is still
  // queued until it ends, and taking it out of the queue then would leave
  // it stored all the same.
  MutexLock writer_lock(state.writer_mu);
  if (remove_first_queued(state, id)) return true;
  TS_ASSIGN_OR_RETURN(std::optional<Record> record, lookup_stored(state, id));
  if (!record) return false;
  if (queue_holds_writes(state)) {
    // This delete writes to the store, so the writes queued before it are
    // committed first: writes reach the disk in the order their calls
    // returned, and a crash after the delete cannot keep it but lose an add
    // that returned before it. Looked up again: the commit may have put a
    // write of this id that arrived after the queue was searched.
    TS_RETURN_IF_ERROR(flush_locked(state));
    TS_ASSIGN_OR_RETURN(record, lookup_stored(state, id));
    if (!record) return false;
  }
  {
    SharedLock lock(state.vectors.mu);
    if (record->slot >= state.vectors.value.slot_count()) {
      return DbError::RecordNotFound("Slot " + std::to_string(record->slot) + " not allocated");
    }
  }
  // First the Tombstone, which every reader hides, committed together with
  // the free list holding the slot; the slot is marked free and listed only
  // then. A crash before this commit leaves the record intact, one after it
  // a Tombstone that compaction removes. A Tombstone left by an earlier
  // delete released its slot then (an add may own it by now), so it only
  // loses its row.
  if (record->status != RecordStatus::kTombstone) {
    const uint64_t slot = record->slot;
    record->status = RecordStatus::kTombstone;
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    TS_RETURN_IF_ERROR(txn.put_record(std::move(*record)));
    txn.release_slot(slot, /*deleted=*/true);
    TS_RETURN_IF_ERROR(txn.save_free_list());
    TS_RETURN_IF_ERROR(txn.commit());
    platform::crash_point("delete.tombstone_committed");
  }
  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  TS_RETURN_IF_ERROR(txn.remove_record(id));
  TS_RETURN_IF_ERROR(txn.commit());
  return true;
}

Status upsert_record(CollectionState& state, const std::string& id, std::span<const float> vector,
                     json::Value metadata, std::optional<uint64_t> ttl) {
  if (vector.size() != state.config.dimensions) {
    return DbError::DimensionMismatch(state.config.dimensions, vector.size());
  }
  TS_RETURN_IF_ERROR(check_vector_values(vector));
  TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), id));
  // As in delete_by_id: no write of the id may be half-way into the store.
  ExclusiveLock writer_lock(state.writer_mu);
  (void)remove_first_queued(state, id);
  const std::string_view key = id;
  TS_ASSIGN_OR_RETURN(const std::vector<std::optional<StoredRow>> row,
                      committed_rows(state, std::span<const std::string_view>(&key, 1)));
  if (!row[0]) {
    // Nothing stored to lose: an add through the queue (which may flush).
    writer_lock.unlock();
    TS_ASSIGN_OR_RETURN(std::string ignored,
                        add_record(state, vector, std::move(metadata), id, ttl));
    (void)ignored;
    return OkStatus();
  }
  // A stored record is replaced in one durable step, so a crash keeps the
  // old version or the new one: the new write joins the queue and the queue
  // is committed at once (writes queued before it keep their order), which
  // puts the new row over the old one and releases the old slot in the same
  // transaction.
  TS_ASSIGN_OR_RETURN(ClaimedWrite write,
                      make_pending_write(state, vector, std::move(metadata), id, ttl));
  (void)enqueue(state, std::move(write));
  return flush_locked(state);
}

}  // namespace tessarin
