#include "storage/freelist.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessarin {
namespace {

// LIFO order itself is checked through allocate_slot in vectors_test.cpp.
TEST(FreeListTest, ScanSnapshotAndMovesKeepListOrder) {
  // As loaded from the store: the last stored slot is the next reused.
  FreeList loaded(std::vector<uint64_t>{7, 3, 3});
  EXPECT_TRUE(loaded.contains_free_slot(7));
  EXPECT_FALSE(loaded.contains_free_slot(4));
  FreeList moved(std::move(loaded));
  EXPECT_TRUE(loaded.snapshot().empty());
  FreeList assigned;
  assigned = std::move(moved);
  assigned.push_free_slot(9);
  EXPECT_EQ(assigned.snapshot(), (std::vector<uint64_t>{7, 3, 3, 9}));
  for (uint64_t want : {9, 3, 3, 7}) EXPECT_EQ(assigned.pop_free_slot(), want);
  EXPECT_EQ(assigned.pop_free_slot(), std::nullopt);
}

}  // namespace
}  // namespace tessarin
