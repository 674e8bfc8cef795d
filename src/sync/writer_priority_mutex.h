// WriterPriorityMutex: a read-write lock on which a waiting writer stops new
// readers from entering.
//
// std::shared_mutex on glibc is a reader-preferring pthread rwlock: while
// readers overlap one another without a gap (several threads searching in a
// loop, each holding the lock for a whole scan), a writer waits for as long
// as that goes on; adds stalled for tens of seconds that way. With this lock
// a writer waits only for the readers already inside.
//
// Consequence for callers: a thread must never take the shared lock again
// while it already holds it (a writer queued in between would deadlock it).
//
// Meets the SharedMutex requirements. Take it with ExclusiveLock and
// SharedLock (sync/mutex.h), which clang's lock checking understands.
//
// Thread safety: a lock; every member may be called from any thread.
#pragma once

#include <pthread.h>

#include <cstdlib>

#include "sync/thread_annotations.h"

namespace tessarin {

class CAPABILITY("mutex") WriterPriorityMutex {
 public:
  WriterPriorityMutex() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    if (pthread_rwlock_init(&rw_, &attr) != 0) std::abort();
    pthread_rwlockattr_destroy(&attr);
  }
  ~WriterPriorityMutex() { pthread_rwlock_destroy(&rw_); }
  WriterPriorityMutex(const WriterPriorityMutex&) = delete;
  WriterPriorityMutex& operator=(const WriterPriorityMutex&) = delete;

  void lock() ACQUIRE() { pthread_rwlock_wrlock(&rw_); }
  bool try_lock() TRY_ACQUIRE(true) { return pthread_rwlock_trywrlock(&rw_) == 0; }
  void unlock() RELEASE() { pthread_rwlock_unlock(&rw_); }
  void lock_shared() ACQUIRE_SHARED() { pthread_rwlock_rdlock(&rw_); }
  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) { return pthread_rwlock_tryrdlock(&rw_) == 0; }
  void unlock_shared() RELEASE_SHARED() { pthread_rwlock_unlock(&rw_); }

  // Tell the analysis the calling thread holds this lock (exclusively,
  // shared), where it cannot see the lock taken: a lambda run inside the
  // holder's call. Check nothing.
  void assert_held() const ASSERT_CAPABILITY(this) {}
  void assert_held_shared() const ASSERT_SHARED_CAPABILITY(this) {}

 private:
  pthread_rwlock_t rw_;
};

}  // namespace tessarin
