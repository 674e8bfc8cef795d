// StoreLock: the exclusive, non-blocking flock that keeps a store to one
// opener, in this process and in others. Both store builds take it before
// their library opens the store's files and keep it until those are closed:
// the LMDB store on its data file "meta.redb", the RocksDB store on the file
// kLockFileName inside its directory "meta.redb".
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
  // The lock file inside a RocksDB store's directory. RocksDB leaves files
  // whose names it does not know alone.
  static constexpr const char* kLockFileName = "tessarin.lock";

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

  // The locked descriptor (LMDB's store reads the file's length from it).
  const platform::File& file() const { return file_; }

 private:
  void release();

  platform::File file_;
  std::optional<platform::FileId> listed_;  // set while file_ holds the lock
};

}  // namespace tessarin
