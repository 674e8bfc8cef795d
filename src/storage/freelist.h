// FreeList: the vector slots handed back by delete and compaction, reused
// last in, first out by allocate_slot (storage/vectors.h).
//
// Ownership: the collection state owns one FreeList, inside a
// Locked<FreeList> (storage/locked.h). It is loaded from the store's
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
// store's lock (see allocate_slot).
//
// Invariant: none on the contents. The list may hold a slot twice; callers
// that must avoid this (compaction) ask contains_free_slot first.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace tessarin {

class FreeList {
 public:
  FreeList() = default;
  // A list holding `slots` in this order; the last is the next reused.
  explicit FreeList(std::vector<uint64_t> slots) : slots_(std::move(slots)) {}
  // Moves take the source's slots under the source's mutex (for
  // Result<FreeList>); the new list has its own, unlocked mutex.
  FreeList(FreeList&& other);
  FreeList& operator=(FreeList&& other);
  FreeList(const FreeList&) = delete;
  FreeList& operator=(const FreeList&) = delete;

  // Appends `slot` at the end (it becomes the next slot reused).
  void push_free_slot(uint64_t slot);
  // Removes and returns the last slot; nullopt when the list is empty.
  std::optional<uint64_t> pop_free_slot();
  // True when `slot` is in the list (linear scan from the front).
  bool contains_free_slot(uint64_t slot) const;
  // A copy of the slots in list order, taken under the mutex; what the
  // store encodes when it saves the list.
  std::vector<uint64_t> snapshot() const;

 private:
  mutable std::mutex mu_;
  std::vector<uint64_t> slots_;  // guarded by mu_; back() is the next reused
};

}  // namespace tessarin
