// Compaction: removes every stored record that has expired or is a
// Tombstone, and releases its vector slot for reuse.
//
// Two phases. A read-only scan of "records" chooses the records (an expired
// record counts as expired whatever its status; otherwise a Tombstone counts
// as a tombstone). Then each chosen record is handled in a write transaction
// of its own: removal of the row, its slot released (see below), the free
// list saved, commit.
//
// Other threads may add, upsert, delete or flush between the scan and the
// removals, so a chosen record is re-read under writer_mu (which excludes
// every other writer of "records" until this removal has committed) and
// handled only if the row of its id still has the slot the scan saw and is
// still removable. A record replaced in between is left alone.
//
// Slots: an expired record's slot is released with its removal (saved with
// the free list in the removal's transaction, marked free and listed once it
// committed). A Tombstone's slot was released by the delete that made it;
// if it is still on the free list it is marked free here (a crash right
// after the delete's first commit leaves it listed but unmarked), and if it
// is no longer there an add has taken it since and the vector in it belongs
// to the newer record: compaction then removes the row only. The membership
// test and the marker are done under the vector lock, so an add that pops
// the slot writes its vector only after the marker.
#include <chrono>
#include <functional>

#include "collection/state.h"

namespace tessarin {

namespace {

// One chosen record, by the scan's reading.
struct Removal {
  std::string id;
  uint64_t slot = 0;
};

std::function<void()>& scan_hook() {
  static std::function<void()> hook;
  return hook;
}

bool expired(const Record& record, uint64_t now) {
  return record.expires_at && now >= *record.expires_at;
}

// Whether `slot` is on the free list, asked without free_list.mu: the caller
// holds vectors.mu, and the two are never held together (allocate_slot
// holds free_list.mu and then, released, vectors.mu). The one call is safe
// on its own (FreeList takes its own mutex, a leaf lock). An add may pop
// the slot right after the answer, but it writes its vector only under
// vectors.mu, so after the caller's marker.
// The analysis cannot know that FreeList is safe without the outer lock.
bool listed_free_without_outer_lock(const CollectionState& state, uint64_t slot)
    NO_THREAD_SAFETY_ANALYSIS {
  return state.free_list.value.contains_free_slot(slot);
}

// Marks a Tombstone's slot free in the vector file when it is still on the
// free list and not marked yet; returns the bytes this frees (dimensions
// × 4, or 0).
uint64_t mark_listed_tombstone_slot(CollectionState& state, uint64_t slot) {
  ExclusiveLock lock(state.vectors.mu);
  VectorStore& vectors = state.vectors.value;
  if (!listed_free_without_outer_lock(state, slot)) return 0;  // reused since its delete
  Result<bool> is_free = vectors.is_slot_free(slot);
  if (!is_free.ok() || *is_free || !vectors.mark_slot_free(slot).ok()) return 0;
  return vectors.dimensions() * sizeof(float);
}

// Whether `slot` holds a vector that is not marked free yet.
bool slot_in_use(CollectionState& state, uint64_t slot) {
  SharedLock lock(state.vectors.mu);
  Result<bool> is_free = state.vectors.value.is_slot_free(slot);
  return is_free.ok() && !*is_free;
}

}  // namespace

// Test hook: runs between the scan and the first removal (empty: nothing).
void set_compact_scan_hook_for_testing(std::function<void()> hook) {
  scan_hook() = std::move(hook);
}

Result<CompactStats> compact_collection(CollectionState& state) {
  const auto start = std::chrono::steady_clock::now();
  CompactStats stats;

  std::vector<Removal> chosen;
  {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
    TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
    RecordView view;
    for (;;) {
      TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
      if (!more) break;
      if (view.expires_at) {
        if (now_secs() >= *view.expires_at) {
          chosen.push_back({std::string(view.id), view.slot});
          ++stats.expired_removed;
        }
      } else if (view.status == RecordStatus::kTombstone) {
        chosen.push_back({std::string(view.id), view.slot});
        ++stats.tombstones_removed;
      }
    }
  }
  if (scan_hook()) scan_hook()();

  const uint64_t slot_bytes = state.config.dimensions * sizeof(float);
  for (const Removal& entry : chosen) {
    MutexLock writer_lock(state.writer_mu);
    std::optional<Record> current;
    {
      TS_ASSIGN_OR_RETURN(ReadTxn read, read_transaction(state.store));
      TS_ASSIGN_OR_RETURN(current, get_record(read, entry.id));
    }
    if (!current || current->slot != entry.slot) continue;  // gone or replaced
    const bool tombstone = current->status == RecordStatus::kTombstone;
    if (!tombstone && !expired(*current, now_secs())) continue;  // replaced in the same slot

    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    TS_RETURN_IF_ERROR(txn.remove_record(entry.id));
    if (tombstone) {
      stats.bytes_freed += mark_listed_tombstone_slot(state, entry.slot);
    } else {
      if (slot_in_use(state, entry.slot)) stats.bytes_freed += slot_bytes;
      txn.release_slot(entry.slot);
    }
    TS_RETURN_IF_ERROR(txn.save_free_list());
    TS_RETURN_IF_ERROR(txn.commit());
  }

  stats.duration_ms = millis_since(start);
  return stats;
}

}  // namespace tessarin
