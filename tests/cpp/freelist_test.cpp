#include "storage/freelist.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessarin {
namespace {

// LIFO reuse through allocate_slot is checked in vectors_test.cpp.
TEST(FreeListTest, LoadedListPopsItsLastSlotFirstAndMovesKeepOrder) {
  FreeList loaded(std::vector<uint64_t>{7, 3, 3});  // as loaded from the store
  EXPECT_TRUE(loaded.contains_free_slot(7));
  EXPECT_FALSE(loaded.contains_free_slot(4));
  FreeList moved(std::move(loaded));
  moved.push_free_slot(9);
  EXPECT_EQ(moved.snapshot(), (std::vector<uint64_t>{7, 3, 3, 9}));
  for (uint64_t want : {9, 3, 3, 7}) EXPECT_EQ(moved.pop_free_slot(), want);
  EXPECT_EQ(moved.pop_free_slot(), std::nullopt);
}

}  // namespace
}  // namespace tessarin
