#include "search/hnsw/neighbor_lists.h"

#include <algorithm>
#include <cassert>

namespace tessarin {

NeighborLists::NeighborLists(uint32_t capacity, bool dense, size_t node_count)
    : capacity_(capacity), stride_(size_t{1} + capacity), dense_(dense) {
  assert(capacity <= kMaxInlineCapacity);
  add_lists(node_count);
}

void NeighborLists::add_lists(size_t count) {
  if (dense_) {
    words_.resize(words_.size() + count * stride_, 0);
    spill_.resize(spill_.size() + count);
  } else {
    block_of_.resize(block_of_.size() + count, static_cast<uint32_t>(kNoBlock));
  }
}

size_t NeighborLists::new_block() {
  const size_t b = blocks();
  words_.resize(words_.size() + stride_, 0);
  spill_.emplace_back();
  return b;
}

void NeighborLists::allocate(uint32_t node) { (void)block_for_write(node); }

size_t NeighborLists::block_for_write(uint32_t node) {
  if (dense_) return node;
  if (block_of_[node] == kNoBlock) block_of_[node] = static_cast<uint32_t>(new_block());
  return block_of_[node];
}

void NeighborLists::assign(uint32_t node, std::span<const uint32_t> ids) {
  if (ids.empty() && !has_block(node)) return;
  const size_t b = block_for_write(node);
  uint32_t* block = words_.data() + b * stride_;
  block[0] = static_cast<uint32_t>(ids.size());
  if (ids.size() <= capacity_) {
    std::copy(ids.begin(), ids.end(), block + 1);
    spill_[b].reset();
  } else if (spill_[b]) {
    spill_[b]->assign(ids.begin(), ids.end());
  } else {
    spill_[b] = std::make_unique<std::vector<uint32_t>>(ids.begin(), ids.end());
  }
}

void NeighborLists::append(uint32_t node, uint32_t id) {
  const size_t b = block_for_write(node);
  uint32_t* block = words_.data() + b * stride_;
  const uint32_t n = block[0];
  if (n < capacity_) {
    block[1 + n] = id;
  } else if (n == capacity_) {
    // The list outgrows its block: it moves whole into the spill vector.
    auto spilled = std::make_unique<std::vector<uint32_t>>();
    spilled->reserve(size_t{n} * 2 + 1);
    spilled->assign(block + 1, block + 1 + n);
    spilled->push_back(id);
    spill_[b] = std::move(spilled);
  } else {
    spill_[b]->push_back(id);
  }
  block[0] = n + 1;
}

uint32_t ListLengthHistogram::capacity(uint32_t floor) const {
  uint32_t capacity = 0;
  for (uint64_t covered = counts_[0]; covered * 100 < lists_ * 99; covered += counts_[capacity]) {
    ++capacity;
  }
  return std::min(std::max(capacity, floor), NeighborLists::kMaxInlineCapacity);
}

}  // namespace tessarin
