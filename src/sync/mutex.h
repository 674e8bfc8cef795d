// Mutex, SharedMutex: std::mutex and std::shared_mutex with the annotations
// of sync/thread_annotations.h (libstdc++'s own types carry none, so clang's
// lock checking could not see them taken). ExclusiveLock and SharedLock: the
// RAII guards the checking understands, for these and for
// WriterPriorityMutex; take every annotated lock through them.
//
// Behaviour is exactly that of the wrapped standard types. Both mutexes also
// meet the standard Lockable / SharedMutex requirements, so std::unique_lock
// still works where a lock must move (the analysis does not follow it
// there; see CollectionTxn).
//
// Thread safety: locks; every member may be called from any thread. The lock
// order is in sync/thread_annotations.h.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "sync/thread_annotations.h"

namespace tessarin {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

  // Tells the analysis the calling thread holds this mutex, where it cannot
  // see the lock taken (one held by a movable guard). Checks nothing.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mu_;
};

// A read-write lock with glibc's pthread rwlock policy (readers preferred).
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) { return mu_.try_lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds `mu` exclusively from construction to destruction or unlock().
template <typename M>
class SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(M& mu) ACQUIRE(mu) : mu_(&mu) { mu.lock(); }
  ~ExclusiveLock() RELEASE() {
    if (held_) mu_->unlock();
  }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  // Releases early; the destructor then does nothing.
  void unlock() RELEASE() {
    mu_->unlock();
    held_ = false;
  }

 private:
  M* mu_;
  bool held_ = true;
};

// Holds `mu` shared from construction to destruction or unlock().
template <typename M>
class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(M& mu) ACQUIRE_SHARED(mu) : mu_(&mu) { mu.lock_shared(); }
  ~SharedLock() RELEASE() {
    if (held_) mu_->unlock_shared();
  }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

  // Releases early; the destructor then does nothing. (RELEASE, not
  // RELEASE_SHARED: clang tracks the guard itself as held exclusively.)
  void unlock() RELEASE() {
    mu_->unlock_shared();
    held_ = false;
  }

 private:
  M* mu_;
  bool held_ = true;
};

using MutexLock = ExclusiveLock<Mutex>;

}  // namespace tessarin
