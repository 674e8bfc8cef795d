// StoreLock: the exclusive, non-blocking flock that keeps a store to one
// opener, in this process and in others. The store takes it on its data
// file "meta.redb" before LMDB opens the file and keeps it until LMDB has
// closed it.
//
// A flock belongs to an open file description, so a second description of
// the same file, even in this process, is refused: that is the "Database
// already open" rule. While held, the file is listed in a process-wide set,
// which lets held_by_another_process tell this process's own lock from
// another's (its own attempt would fail against either).
//
// Ownership: move-only; the lock is released (descriptor closed) on
// destruction, and the listing is dropped just after.
// Thread safety: a StoreLock is used by one owner; the static functions are
// thread-safe.
#pragma once

#include <optional>
#include <string>

#include "error.h"
#include "platform/platform.h"

namespace tessarin {

class StoreLock {
 public:
  StoreLock() = default;
  StoreLock(StoreLock&& o) noexcept;
  StoreLock& operator=(StoreLock&& o) noexcept;
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock();

  // Opens `path` (created empty when missing, never truncated, mode 0666)
  // and locks it. Held through another open file description -> Database
  // "Database already open. Cannot acquire lock."; other failures ->
  // Database with the system's text.
  [[nodiscard]] static Result<StoreLock> acquire(const std::string& path);

  // True when another process holds the lock of the file at `path` (a
  // non-blocking attempt fails and no StoreLock of this process holds it);
  // false when nothing exists there. The attempt's lock is released before
  // returning. Failure to inspect the file -> Database.
  [[nodiscard]] static Result<bool> held_by_another_process(const std::string& path);

  // The locked descriptor (the store reads the file's length from it).
  const platform::File& file() const { return file_; }

 private:
  void release();

  platform::File file_;
  std::optional<platform::FileId> listed_;  // set while file_ holds the lock
};

}  // namespace tessarin
