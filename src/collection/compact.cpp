// Compaction: removes every stored record that has expired or is a
// Tombstone, and releases its vector slot for reuse; then reclaims the
// slots and the Pending rows that a crash left behind (see Lost slots).
//
// Three phases. A read-only scan of "records" chooses the records (an
// expired record counts as expired whatever its status; otherwise a
// Tombstone counts as a tombstone). Then the lost slots are reclaimed (see
// below). Then each chosen record is handled in a write transaction of its
// own: removal of the row, its slot released (see below), the free list
// saved, commit.
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
//
// Lost slots. A crash loses slots that no committed row refers to yet: those
// of queued adds, of a batch killed before its first transaction, and those
// of a batch's Pending rows when it is killed before its second (nothing
// else ever turns them Active, and every reader hides them). The second
// phase, under writer_mu from its census to its commit, counts who holds
// each slot below the slot count: a committed row other than a Tombstone (a
// Tombstone's delete released its slot), a queued write, a claim (a write of
// this process between taking its slots and queueing or committing them), or
// the free list. The rows are those of the first scan when no commit came
// since (the mirror's commit count tells), else read again. Pending rows are
// removed (a running batch holds writer_mu through both its transactions,
// so none of them is a running batch's, expired or not); a Pending row's
// slot, and every slot that nothing holds, is released in the same
// transaction, as any release is: saved with the free list, marked and
// listed once committed. The released slots count in bytes_freed, each
// whole; the Pending rows count nowhere (no caller ever saw them), unless
// the scan chose them as expired.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// Who holds each slot below the slot count.
struct SlotCensus {
  uint64_t slot_count = 0;
  std::vector<uint8_t> held;  // [slot]: 1 when queued, claimed or listed free
  std::vector<uint8_t> rows;  // [slot]: committed rows holding it, counted up to 2
};

// The slot count and what holds slots besides the committed rows, as at one
// instant: slots leave the free list and the file's end only under
// claims_mu (claim_slots), a claim ends only after its slots are queued,
// committed or listed, and the queue changes only under pending_mu (the
// commit that empties it needs writer_mu). So with these three held, a slot
// that is not listed, queued or claimed is held by a committed row or by
// nothing.
SlotCensus slots_held_apart_from_rows(CollectionState& state) REQUIRES(state.writer_mu) {
  SlotCensus census;
  MutexLock claims_lock(state.claims_mu);
  {
    SharedLock lock(state.vectors.mu);
    census.slot_count = state.vectors.value.slot_count();
  }
  MutexLock pending_lock(state.pending_mu);
  census.held.assign(census.slot_count, 0);
  census.rows.assign(census.slot_count, 0);
  const auto hold = [&census](uint64_t slot) {
    if (slot < census.slot_count) census.held[slot] = 1;
  };
  for (const PendingWrite& w : state.pending) hold(w.record.slot);
  for (const auto& claim : state.claims) {
    for (uint64_t slot : *claim.second) hold(slot);
  }
  SharedLock free_lock(state.free_list.mu);
  for (uint64_t slot : state.free_list.value.snapshot()) hold(slot);
  return census;
}

// The committed rows as the census counts them: the slot of every row that
// holds one (all but Tombstones, whose delete released theirs), and the
// Pending rows.
struct RowHolds {
  std::vector<uint64_t> slots;
  std::vector<Removal> pending;

  void note(uint64_t slot, RecordStatus status, std::string_view id) {
    if (status == RecordStatus::kTombstone) return;
    slots.push_back(slot);
    if (status == RecordStatus::kPending) pending.push_back({std::string(id), slot});
  }
};

// The holds of the committed rows: from the mirror when it is ready (it
// stays so under writer_mu; its Active rows come from the hot arrays, as no
// Active row's id is needed), else from a scan of "records".
Result<RowHolds> committed_row_holds(CollectionState& state) REQUIRES(state.writer_mu) {
  RowHolds holds;
  RecordMirror& mirror = state.mirror;
  if (mirror.state() == RecordMirror::State::kReady) {
    SharedLock lock(mirror.mu);
    const uint64_t* slots = mirror.slots();
    const uint64_t* live_until = mirror.live_untils();
    for (size_t i = 0; i < mirror.size(); ++i) {
      if (live_until[i] != 0) {  // Active
        holds.note(slots[i], RecordStatus::kActive, {});
      } else {
        const Record& r = mirror.record(i);
        holds.note(r.slot, r.status, r.id);
      }
    }
    return holds;
  }
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  RecordView view;
  for (;;) {
    TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
    if (!more) return holds;
    holds.note(view.slot, view.status, view.id);
  }
}

// A read transaction and the commit count of its snapshot, read together
// under commit_mu (no commit falls between them).
Result<ReadTxn> counted_read_transaction(CollectionState& state, uint64_t* commits)
    EXCLUDES(state.commit_mu) {
  MutexLock commit_lock(state.commit_mu);
  *commits = state.mirror.commit_count(state.commit_mu);
  return read_transaction(state.store);
}

// Removes every Pending row and releases its slot and every slot that
// nothing holds, in one transaction (none when there is nothing to do).
// `holds` are those of the rows committed after `holds_at` commits; they are
// read again unless that is still the count. Returns the bytes of the slots
// released.
Result<uint64_t> reclaim_lost_slots(CollectionState& state, RowHolds holds, uint64_t holds_at) {
  MutexLock writer_lock(state.writer_mu);
  bool current = false;
  {
    MutexLock commit_lock(state.commit_mu);
    current = state.mirror.commit_count(state.commit_mu) == holds_at;
  }
  if (!current) {
    TS_ASSIGN_OR_RETURN(holds, committed_row_holds(state));
  }
  SlotCensus census = slots_held_apart_from_rows(state);
  for (uint64_t slot : holds.slots) {
    if (slot < census.slot_count && census.rows[slot] < 2) ++census.rows[slot];
  }
  // A Pending row's slot goes with the row, unless something else holds it
  // too (only a damaged store would do that).
  for (const Removal& row : holds.pending) {
    if (row.slot < census.slot_count && census.rows[row.slot] == 1 && !census.held[row.slot]) {
      census.rows[row.slot] = 0;
    }
  }
  // Highest first: the list's last slot is reused first, so the lowest
  // slots fill again before the file grows.
  std::vector<uint64_t> released;
  for (uint64_t slot = census.slot_count; slot-- > 0;) {
    if (census.rows[slot] == 0 && !census.held[slot]) released.push_back(slot);
  }
  if (holds.pending.empty() && released.empty()) return 0;

  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  for (const Removal& row : holds.pending) TS_RETURN_IF_ERROR(txn.remove_record(row.id));
  for (uint64_t slot : released) txn.release_slot(slot);
  TS_RETURN_IF_ERROR(txn.save_free_list());
  TS_RETURN_IF_ERROR(txn.commit());
  return released.size() * state.config.dimensions * sizeof(float);
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
  RowHolds holds;         // for the lost slots' census
  uint64_t holds_at = 0;  // commits in the scan's snapshot
  {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, counted_read_transaction(state, &holds_at));
    TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
    RecordView view;
    for (;;) {
      TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
      if (!more) break;
      holds.note(view.slot, view.status, view.id);
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
  TS_ASSIGN_OR_RETURN(stats.bytes_freed, reclaim_lost_slots(state, std::move(holds), holds_at));

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
