#include "storage/store_lock.h"

#include <mutex>
#include <set>
#include <utility>

namespace tessarin {

namespace {

// The lock files this process holds locked. A multiset: a store re-created
// after a drop may briefly be listed twice.
class HeldLocks {
 public:
  void add(platform::FileId id) {
    std::lock_guard lock(mu_);
    ids_.insert(id);
  }
  void remove(platform::FileId id) {
    std::lock_guard lock(mu_);
    if (auto it = ids_.find(id); it != ids_.end()) ids_.erase(it);
  }
  bool contains(platform::FileId id) {
    std::lock_guard lock(mu_);
    return ids_.contains(id);
  }

 private:
  std::mutex mu_;
  std::multiset<platform::FileId> ids_;  // guarded by mu_
};

HeldLocks& held_locks() {
  static HeldLocks* locks = new HeldLocks;  // never destroyed: used at exit
  return *locks;
}

}  // namespace

StoreLock::StoreLock(StoreLock&& o) noexcept
    : file_(std::move(o.file_)), listed_(std::exchange(o.listed_, std::nullopt)) {}

StoreLock& StoreLock::operator=(StoreLock&& o) noexcept {
  if (this != &o) {
    release();
    file_ = std::move(o.file_);
    listed_ = std::exchange(o.listed_, std::nullopt);
  }
  return *this;
}

StoreLock::~StoreLock() { release(); }

void StoreLock::release() {
  file_ = platform::File();  // closing the descriptor releases the flock
  if (listed_) held_locks().remove(*std::exchange(listed_, std::nullopt));
}

Result<StoreLock> StoreLock::acquire(const std::string& path) {
  auto file = platform::open_or_create_file(path);
  if (!file.ok()) return from_database_error(file.error().text());
  auto locked = platform::try_lock_exclusive(*file);
  if (!locked.ok()) return from_database_error(locked.error().text());
  if (!*locked) return from_database_error(kDatabaseAlreadyOpen);
  auto id = platform::file_id(*file);
  if (!id.ok()) return from_database_error(id.error().text());
  StoreLock out;
  held_locks().add(*id);
  out.listed_ = *id;
  out.file_ = std::move(*file);
  return out;
}

Result<bool> StoreLock::held_by_another_process(const std::string& path) {
  auto id = platform::file_id(path);
  if (!id.ok()) return from_database_error(id.error().text());
  if (!*id) return false;
  // This process's lock excludes every other process's.
  if (held_locks().contains(**id)) return false;
  auto file = platform::open_file_read_only(path);
  if (!file.ok()) return from_database_error(file.error().text());
  auto locked = platform::try_lock_exclusive(*file);
  if (!locked.ok()) return from_database_error(locked.error().text());
  return !*locked;  // closing the descriptor releases a lock it took
}

}  // namespace tessarin
