#include "storage/freelist.h"

namespace tessarin {

FreeList::FreeList(std::vector<uint64_t> slots) {
  slots_.reserve(slots.size());
  for (uint64_t slot : slots) {
    if (listed_.insert(slot).second) slots_.push_back(slot);
  }
}

FreeList::FreeList(FreeList&& other) {
  MutexLock lock(other.mu_);
  slots_ = std::move(other.slots_);
  listed_ = std::move(other.listed_);
  other.slots_.clear();
  other.listed_.clear();
}

FreeList& FreeList::operator=(FreeList&& other) {
  if (this != &other) {
    // Both lists' mutexes at once, with std::lock's deadlock avoidance (two
    // lists assigned to each other in opposite directions), which the
    // analysis cannot follow: hence NO_THREAD_SAFETY_ANALYSIS on this one.
    std::scoped_lock lock(mu_, other.mu_);
    slots_ = std::move(other.slots_);
    listed_ = std::move(other.listed_);
    other.slots_.clear();
    other.listed_.clear();
  }
  return *this;
}

bool FreeList::push_free_slot(uint64_t slot) {
  MutexLock lock(mu_);
  if (!listed_.insert(slot).second) return false;
  slots_.push_back(slot);
  return true;
}

std::optional<uint64_t> FreeList::pop_free_slot() {
  MutexLock lock(mu_);
  if (slots_.empty()) return std::nullopt;
  uint64_t slot = slots_.back();
  slots_.pop_back();
  listed_.erase(slot);
  return slot;
}

bool FreeList::contains_free_slot(uint64_t slot) const {
  MutexLock lock(mu_);
  return listed_.contains(slot);
}

std::vector<uint64_t> FreeList::snapshot() const {
  MutexLock lock(mu_);
  return slots_;
}

}  // namespace tessarin
