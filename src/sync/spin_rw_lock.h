// SpinRwLock: a read-write spin lock over a four-byte word that lives
// wherever its owner puts it, for very short critical sections over many
// small objects. The graph build keeps one per node per layer, inside the
// node's list block, so taking the lock brings the list's first cache line
// with it (a pthread lock of 56 bytes each would outweigh the lists).
//
// Word layout: bit 31 is set while a writer holds the lock; bits 0..30 count
// the readers inside; 0 is free. A reader enters when no writer holds it; a
// writer enters when the word is 0. Waiters spin with a pause hint and never
// sleep, so a holder must not block, wait for another lock or run long
// work: copy or change a few hundred bytes and leave. No fairness: a writer
// may wait while readers keep coming, which lasts only as long as their
// copies do.
//
// A SpinRwLock is a view (std::atomic_ref) of the word: cheap to make, no
// state of its own. Meets the SharedMutex requirements, so take it with
// std::unique_lock and std::shared_lock (or the annotated guards of
// sync/mutex.h). Nothing is GUARDED_BY a cell lock: the words it protects
// are raw memory the analysis cannot name. It is a leaf: nothing is taken
// while it is held.
//
// REQUIRES: the word is 4-byte aligned, starts at 0, and while any thread
// may lock it no one touches it except through a SpinRwLock. Not recursive:
// a thread holding it in either mode must not take it again.
#pragma once

#include <immintrin.h>

#include <atomic>
#include <cstdint>

#include "sync/thread_annotations.h"

namespace tessarin {

class CAPABILITY("spin rw lock") SpinRwLock {
 public:
  explicit SpinRwLock(uint32_t& word) : word_(word) {}

  void lock() ACQUIRE() {
    uint32_t expected = 0;
    while (!word_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      while (word_.load(std::memory_order_relaxed) != 0) _mm_pause();
      expected = 0;
    }
  }
  void unlock() RELEASE() { word_.store(0, std::memory_order_release); }

  void lock_shared() ACQUIRE_SHARED() {
    uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seen & kWriter) != 0) {
        _mm_pause();
        seen = word_.load(std::memory_order_relaxed);
      } else if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        return;
      }
    }
  }
  void unlock_shared() RELEASE_SHARED() { word_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = uint32_t{1} << 31;
  std::atomic_ref<uint32_t> word_;
};

}  // namespace tessarin
