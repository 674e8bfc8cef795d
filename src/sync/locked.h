// Locked<T>: a value together with the read-write lock that guards it.
//
// The collection state keeps its VectorStore and its FreeList each in one of
// these, so an operation that must take a lock itself (allocate_slot) can be
// handed the lock and the value as one object.
//
// Thread safety: `value` may only be touched while `mu` is held (shared for
// reading, exclusive for changing); clang's lock checking enforces it
// (GUARDED_BY). Take `mu` through ExclusiveLock / SharedLock (sync/mutex.h).
// Where the lock order (sync/thread_annotations.h) places a Locked value:
// vectors.mu and free_list.mu of the collection state, graph.mu and
// deleted.mu of its graph index.
#pragma once

#include <utility>

#include "sync/mutex.h"
#include "sync/thread_annotations.h"
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
  T value GUARDED_BY(mu);
};

}  // namespace tessarin
