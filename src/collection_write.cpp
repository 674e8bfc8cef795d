// Writes to a collection: the pending queue with its group commit, sync,
// the live count, upsert and delete.
#include <algorithm>
#include <cstdio>

#include "collection_state.h"
#include "json/print.h"
#include "platform/platform.h"
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

namespace {

// Whether the queue, now holding n writes, is due for a group commit.
// REQUIRES: pending_mu.
bool flush_due(const CollectionState& state, size_t n) {
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
// holding every record and the free list.
Status commit_writes(CollectionState& state, const std::deque<PendingWrite>& writes) {
  {
    std::shared_lock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
  }
  mark_index_stale(state);
  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  for (const PendingWrite& w : writes) {
    TS_RETURN_IF_ERROR(txn.put_record(w.record, w.parsed));
  }
  TS_RETURN_IF_ERROR(txn.save_free_list());
  return txn.commit();
}

// Removes the first queued write of `id` and gives its slot back (no free
// marker is written: no committed record points at it). True when found.
bool remove_first_queued(CollectionState& state, std::string_view id) {
  std::lock_guard<std::mutex> lock(state.pending_mu);
  auto it = std::find_if(state.pending.begin(), state.pending.end(),
                         [&](const PendingWrite& w) { return w.record.id == id; });
  if (it == state.pending.end()) return false;
  {
    std::unique_lock free_lock(state.free_list.mu);
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

}  // namespace

Result<std::string> add_record(CollectionState& state, std::span<const float> vector,
                               json::Value metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl) {
  const CollectionConfig& config = state.config;
  if (vector.size() != config.dimensions) {
    return DbError::DimensionMismatch(config.dimensions, vector.size());
  }
  std::string record_id;
  if (id) {
    TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), *id));
    record_id = std::move(*id);
  } else {
    TS_ASSIGN_OR_RETURN(record_id, make_uuid_v4());
  }
  std::vector<float> prepared = prepare_vector(config.metric, vector);

  TS_ASSIGN_OR_RETURN(uint64_t slot, allocate_slot(state.free_list, state.vectors));
  {
    std::unique_lock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.write_vector(slot, prepared));
  }
  const uint64_t created_at = platform::now_secs();
  std::string text = json::print(metadata);
  metadata = json::Value();
  // Readers filter and build hits on the text read back, so keep exactly that.
  std::shared_ptr<const json::Value> parsed = parse_metadata_shared(text);

  PendingWrite write{Record{record_id, slot, std::move(text), created_at,
                            expiry_after(created_at, ttl), RecordStatus::kActive},
                     std::move(prepared), std::move(parsed)};
  bool flush = false;
  {
    std::lock_guard<std::mutex> lock(state.pending_mu);
    if (state.pending.empty()) state.oldest_pending_ms.store(platform::now_millis());
    state.pending.push_back(std::move(write));
    flush = flush_due(state, state.pending.size());
  }
  if (flush) TS_RETURN_IF_ERROR(flush_pending_writes(state));
  return record_id;
}

Status flush_pending_writes(CollectionState& state) {
  std::lock_guard<std::mutex> flush_lock(state.flush_mu);
  std::deque<PendingWrite> taken;
  uint64_t oldest = 0;
  {
    std::lock_guard<std::mutex> lock(state.pending_mu);
    if (state.pending.empty()) return OkStatus();
    taken.swap(state.pending);
    oldest = state.oldest_pending_ms.load();
  }
  Status status = commit_writes(state, taken);
  if (!status.ok()) {
    // Nothing of them reached the store: queue them again, ahead of anything
    // added meanwhile, so the next flush retries them in their order.
    std::lock_guard<std::mutex> lock(state.pending_mu);
    for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
      state.pending.push_front(std::move(*it));
    }
    state.oldest_pending_ms.store(oldest);
    return status;
  }
  state.oldest_pending_ms.store(0);
  return OkStatus();
}

Status sync_collection(CollectionState& state) {
  TS_RETURN_IF_ERROR(flush_pending_writes(state));
  {
    std::shared_lock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
  }
  TS_RETURN_IF_ERROR(update_index(state));
  std::shared_lock index_lock(state.index_mu);
  // A loaded graph index is written to "hnsw.index" here once the graph road
  // exists; until then there is never one.
  return OkStatus();
}

Result<uint64_t> live_record_count(CollectionState& state) {
  uint64_t committed = 0;
  if (ensure_mirror(state)) {
    std::shared_lock lock(state.mirror.mu);
    committed = state.mirror.count_live(platform::now_secs());
  } else {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
    TS_ASSIGN_OR_RETURN(committed, count_live_records(txn));
  }
  std::lock_guard<std::mutex> lock(state.pending_mu);
  return committed + state.pending.size();
}

namespace {

// delete_record's work. `was_tombstone`: the stored record is a Tombstone
// left by an earlier delete whose removal did not finish. Its slot went back
// to the free list then; if it is no longer there, an add has taken it since
// and the vector in it belongs to that newer record, so the slot is left
// alone and only the row goes. A slot is never put on the list twice: two
// adds would otherwise share it.
//
// A slot joins the in-memory free list only once the Tombstone is committed
// (transaction 1 saves the list with it): should that transaction fail, the
// row still points at the slot, and an add must not be handed it. The slot
// then stays marked free and unlisted, so the record stays hidden and a
// later delete retires it again. (A commit of another writer between
// transaction 1 and the push saves the list without the slot; a crash right
// then loses the slot to reuse, never gives it to two records.)
Status retire_record(CollectionState& state, std::string_view id, uint64_t slot,
                     bool was_tombstone) {
  bool release = true;
  {
    std::unique_lock lock(state.vectors.mu);
    VectorStore& vectors = state.vectors.value;
    if (slot >= vectors.slot_count()) {
      return DbError::RecordNotFound("Slot " + std::to_string(slot) + " not allocated");
    }
    // Tested under the vector lock: an add that pops the slot writes its
    // vector only after this marker.
    if (was_tombstone) release = state.free_list.value.contains_free_slot(slot);
    if (release) TS_RETURN_IF_ERROR(vectors.mark_slot_free(slot));
  }
  mark_index_stale(state);
  // A Tombstone's slot is listed already (that is why it is released):
  // listing it again could list it after an add popped it since the test
  // above.
  const std::optional<uint64_t> to_list =
      was_tombstone ? std::nullopt : std::optional<uint64_t>(slot);
  {
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    // A record that is already gone leaves nothing to mark; not an error.
    TS_ASSIGN_OR_RETURN(bool existed, txn.set_record_status(id, RecordStatus::kTombstone));
    (void)existed;
    TS_RETURN_IF_ERROR(txn.save_free_list(to_list));
    TS_RETURN_IF_ERROR(txn.commit());
  }
  if (to_list) list_released_slot(state, slot);
  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  TS_RETURN_IF_ERROR(txn.remove_record(id));
  return txn.commit();
}

}  // namespace

Status delete_record(CollectionState& state, std::string_view id, uint64_t slot) {
  return retire_record(state, id, slot, /*was_tombstone=*/false);
}

Result<bool> delete_by_id(CollectionState& state, std::string_view id) {
  // Wait for a group commit in progress: its writes are in neither the queue
  // nor the store until it ends, and a delete must not miss them.
  std::lock_guard<std::mutex> flush_lock(state.flush_mu);
  if (remove_first_queued(state, id)) return true;
  TS_ASSIGN_OR_RETURN(std::optional<Record> record, lookup_stored(state, id));
  if (!record) return false;
  TS_RETURN_IF_ERROR(
      retire_record(state, id, record->slot, record->status == RecordStatus::kTombstone));
  return true;
}

Status upsert_record(CollectionState& state, const std::string& id, std::span<const float> vector,
                     json::Value metadata, std::optional<uint64_t> ttl) {
  if (vector.size() != state.config.dimensions) {
    return DbError::DimensionMismatch(state.config.dimensions, vector.size());
  }
  TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), id));
  {
    // As in delete_by_id: no write of the id may be half-way into the store.
    // Released before the add, which may itself flush.
    std::lock_guard<std::mutex> flush_lock(state.flush_mu);
    (void)remove_first_queued(state, id);
    TS_ASSIGN_OR_RETURN(std::optional<Record> record, lookup_stored(state, id));
    if (record) {
      TS_RETURN_IF_ERROR(
          retire_record(state, id, record->slot, record->status == RecordStatus::kTombstone));
    }
  }
  TS_ASSIGN_OR_RETURN(std::string ignored, add_record(state, vector, std::move(metadata), id, ttl));
  (void)ignored;
  return OkStatus();
}

}  // namespace tessarin
