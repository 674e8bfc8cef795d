// FreeList: the vector slots handed back by delete and compaction, reused
// last in, first out by allocate_slot (storage/vectors.h).
//
// Ownership: the collection state owns one FreeList, inside a
// Locked<FreeList> (sync/locked.h). It is loaded from the store's
// "freelist" table when the collection opens and saved whole into it by the
// write transactions that change what it belongs with (save_free_list and
// load_free_list, beside the store tables, use snapshot() and the vector
// constructor).
//
// Thread safety: every method takes the list's own mutex for the duration of
// one push, pop, scan or copy and calls nothing else under it, so the methods
// are safe from any thread. The outer read-write lock of the collection
// state orders whole operations: pops and pushes run under it exclusively,
// saves (snapshot) and contains_free_slot under it shared. No method here
// takes the outer lock, and it is never held together with the vector
// store's lock (see allocate_slot). The inner mutex is a leaf of the lock
// order (sync/thread_annotations.h): nothing is taken while it is held.
//
// Invariant: no slot is listed twice (a slot listed twice would be handed to
// two records). A push of a listed slot changes nothing, and a list loaded
// with repeats keeps each slot at its first place.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "sync/mutex.h"
#include "sync/thread_annotations.h"

namespace tessarin {

class FreeList {
 public:
  FreeList() = default;
  // A list holding `slots` in this order, repeats dropped; the last is the
  // next reused.
  explicit FreeList(std::vector<uint64_t> slots);
  // Moves take the source's slots under the source's mutex (for
  // Result<FreeList>); the new list has its own, unlocked mutex.
  FreeList(FreeList&& other);
  FreeList& operator=(FreeList&& other) NO_THREAD_SAFETY_ANALYSIS;
  FreeList(const FreeList&) = delete;
  FreeList& operator=(const FreeList&) = delete;

  // Appends `slot` at the end (it becomes the next slot reused); false, and
  // nothing changed, when it is listed already.
  bool push_free_slot(uint64_t slot);
  // Removes and returns the last slot; nullopt when the list is empty.
  std::optional<uint64_t> pop_free_slot();
  // True when `slot` is in the list.
  bool contains_free_slot(uint64_t slot) const;
  // A copy of the slots in list order, taken under the mutex; what the
  // store encodes when it saves the list.
  std::vector<uint64_t> snapshot() const;

 private:
  mutable Mutex mu_;
  std::vector<uint64_t> slots_ GUARDED_BY(mu_);          // back() is the next reused
  std::unordered_set<uint64_t> listed_ GUARDED_BY(mu_);  // the members of slots_
};

}  // namespace tessarin
