// Locked<T>: a value together with the read-write lock that guards it.
//
// The collection state keeps its VectorStore and its FreeList each in one of
// these, so an operation that must take a lock itself (allocate_slot) can be
// handed the lock and the value as one object.
//
// Thread safety: `value` may only be touched while `mu` is held (shared for
// reading, exclusive for changing), unless the type documents otherwise.
// Take `mu` through RAII guards (std::shared_lock / std::unique_lock).
#pragma once

#include <utility>

#include "sync/writer_priority_mutex.h"

namespace tessarin {

template <typename T>
struct Locked {
  template <typename... Args>
  explicit Locked(Args&&... args) : value(std::forward<Args>(args)...) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // Writer-preferring: a queued add or delete is not starved by searches that
  // keep the shared lock busy. No thread may take it shared twice.
  mutable WriterPriorityMutex mu;
  T value;  // guarded by mu
};

}  // namespace tessarin
