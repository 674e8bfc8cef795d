#include "storage/freelist.h"

#include <algorithm>

namespace tessarin {

FreeList::FreeList(FreeList&& other) {
  std::lock_guard lock(other.mu_);
  slots_ = std::move(other.slots_);
  other.slots_.clear();
}

FreeList& FreeList::operator=(FreeList&& other) {
  if (this != &other) {
    std::scoped_lock lock(mu_, other.mu_);
    slots_ = std::move(other.slots_);
    other.slots_.clear();
  }
  return *this;
}

void FreeList::push_free_slot(uint64_t slot) {
  std::lock_guard lock(mu_);
  slots_.push_back(slot);
}

std::optional<uint64_t> FreeList::pop_free_slot() {
  std::lock_guard lock(mu_);
  if (slots_.empty()) return std::nullopt;
  uint64_t slot = slots_.back();
  slots_.pop_back();
  return slot;
}

bool FreeList::contains_free_slot(uint64_t slot) const {
  std::lock_guard lock(mu_);
  return std::find(slots_.begin(), slots_.end(), slot) != slots_.end();
}

std::vector<uint64_t> FreeList::snapshot() const {
  std::lock_guard lock(mu_);
  return slots_;
}

}  // namespace tessarin
