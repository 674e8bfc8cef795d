// Compaction: removes every stored record that has expired or is a
// Tombstone, and releases its vector slot for reuse.
//
// Two phases. A read-only scan of "records" chooses the records (an expired
// record counts as expired whatever its status; otherwise a Tombstone counts
// as a tombstone). Then each chosen record is handled in a write transaction
// of its own: free-slot marker, free list, removal of the row, the free list
// saved, commit.
//
// Other threads may add, upsert, delete or flush between the scan and the
// removals, so a chosen record is re-read inside its write transaction
// (which holds the commit lock: nothing else can commit meanwhile) and
// handled only if the row of its id still has the slot the scan saw and is
// still removable. A record replaced in between (by an upsert, or by a
// flushed add of the same id, possibly into the very same slot) is left
// alone.
//
// Slot ownership: a Tombstone's slot was already marked free and put on the
// free list by its delete, before the Tombstone was committed. If that slot
// is no longer on the free list, an add has taken it since, and the vector in
// it belongs to the newer record: compaction then removes the row only. The
// membership test and the marker are done under the vector lock, so an add
// that pops the slot writes its vector only after the marker.
//
// Lock order inside one entry: flush lock -> commit lock (CollectionTxn) -> vector lock
// (exclusive, with the free list's own inner mutex for the membership test)
// -> released; the free list is saved (with the released slot) under its
// shared lock inside the transaction, and the slot joins the in-memory list
// under its exclusive lock once the transaction has committed. No other path takes
// the commit lock while it holds the vector lock or the free-list lock.
#include <chrono>
#include <functional>

#include "collection_state.h"

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

// The slot work of one removal.
struct SlotRelease {
  uint64_t bytes_freed = 0;          // dimensions × 4 when newly marked free
  std::optional<uint64_t> to_list;   // to put on the free list once committed
};

// Marks `slot` free in the vector file, as far as that is still this
// record's to do, and says whether the slot must be listed. It is listed
// only after the removal commits: were the commit to fail, the row would
// still point at a slot an add could take.
SlotRelease release_slot(CollectionState& state, uint64_t slot, bool tombstone) {
  SlotRelease release;
  std::unique_lock lock(state.vectors.mu);
  VectorStore& vectors = state.vectors.value;
  // FreeList methods take only the list's own mutex (a leaf lock).
  const bool on_list = state.free_list.value.contains_free_slot(slot);
  if (tombstone && !on_list) return release;  // reused since its delete
  if (slot >= vectors.slot_count()) return release;
  Result<bool> is_free = vectors.is_slot_free(slot);
  if (is_free.ok() && !*is_free && vectors.mark_slot_free(slot).ok()) {
    release.bytes_freed = vectors.dimensions() * sizeof(float);
  }
  if (!on_list) release.to_list = slot;
  return release;
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

  for (const Removal& entry : chosen) {
    // Excludes delete and upsert, which look a record up and then retire it
    // under this lock: a record must not be retired by both, or its slot
    // could be listed free twice (or after an add took it again).
    std::lock_guard<std::mutex> flush_lock(state.flush_mu);
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    std::optional<Record> current;
    {
      // Committed state; ended before this transaction writes.
      TS_ASSIGN_OR_RETURN(ReadTxn read, read_transaction(state.store));
      TS_ASSIGN_OR_RETURN(current, get_record(read, entry.id));
    }
    if (!current || current->slot != entry.slot) continue;  // gone or replaced
    const bool tombstone = current->status == RecordStatus::kTombstone;
    if (!tombstone && !expired(*current, now_secs())) continue;  // replaced in the same slot

    const SlotRelease release = release_slot(state, entry.slot, tombstone);
    stats.bytes_freed += release.bytes_freed;
    TS_RETURN_IF_ERROR(txn.remove_record(entry.id));
    TS_RETURN_IF_ERROR(txn.save_free_list(release.to_list));
    TS_RETURN_IF_ERROR(txn.commit());
    // Tested again under the lock that orders pushes: never listed twice.
    if (release.to_list) list_released_slot(state, entry.slot);
  }

  stats.duration_ms = millis_since(start);
  return stats;
}

}  // namespace tessarin
