// Helpers of the graph-index tests: a vector store filled with given vectors
// in a fresh temporary directory, configurations, and items.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "search/hnsw/graph.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/level.h"
#include "storage/freelist.h"
#include "storage/vectors.h"
#include "test_util.h"

namespace tessarin::testing {

using List = std::vector<uint32_t>;

inline List as_list(std::span<const uint32_t> s) { return List(s.begin(), s.end()); }

inline HnswConfig hnsw_config(uint64_t m, uint64_t m_max0, uint64_t m_max, uint64_t ef_construction,
                              double ml, uint64_t reserved = 0) {
  return HnswConfig{m, m_max0, m_max, ef_construction, 50, ml, reserved};
}

// Item of slot s with id "r<s>".
inline IndexItem item(uint64_t slot) { return {slot, "r" + std::to_string(slot)}; }

inline std::vector<IndexItem> items(uint64_t first, uint64_t count) {
  std::vector<IndexItem> out;
  for (uint64_t s = first; s < first + count; ++s) out.push_back(item(s));
  return out;
}

// The first slot at or after `from` whose drawn level under `ml` is `level`.
inline uint64_t slot_with_level(uint8_t level, double ml, uint64_t from = 0) {
  while (draw_level(from, ml) != level) ++from;
  return from;
}

class HnswStoreTest : public TempDirTest {
 protected:
  // A new store of `dims` holding vectors[i] in slot i.
  const VectorStore& fill_store(const std::vector<std::vector<float>>& vectors, size_t dims) {
    auto created = VectorStore::create(path("vectors.bin"), dims);
    EXPECT_TRUE(created.ok());
    store_ = std::make_unique<Locked<VectorStore>>(std::move(created).value());
    Locked<FreeList> free_list;
    EXPECT_TRUE(allocate_slots(free_list, *store_, vectors.size()).ok());
    for (size_t i = 0; i < vectors.size(); ++i) EXPECT_TRUE(store_->value.write_vector(i, vectors[i]).ok());
    return store_->value;
  }
  const VectorStore& store() const { return store_->value; }
  VectorStore& mutable_store() { return store_->value; }

 private:
  std::unique_ptr<Locked<VectorStore>> store_;
};

}  // namespace tessarin::testing
