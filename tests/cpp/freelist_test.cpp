#include "storage/freelist.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessarin {
namespace {

// LIFO reuse through allocate_slot is checked in vectors_test.cpp.
// A slot is never listed twice, or two records would be handed it.
TEST(FreeListTest, LoadedListPopsItsLastSlotFirstAndNeverListsASlotTwice) {
  FreeList loaded(std::vector<uint64_t>{7, 3, 7, 3});  // as a damaged store could hold it
  EXPECT_EQ(loaded.snapshot(), (std::vector<uint64_t>{7, 3}));
  EXPECT_TRUE(loaded.contains_free_slot(7));
  EXPECT_FALSE(loaded.contains_free_slot(4));
  FreeList moved(std::move(loaded));
  EXPECT_TRUE(moved.push_free_slot(9));
  EXPECT_FALSE(moved.push_free_slot(3));
  EXPECT_EQ(moved.snapshot(), (std::vector<uint64_t>{7, 3, 9}));
  for (uint64_t want : {9, 3, 7}) EXPECT_EQ(moved.pop_free_slot(), want);
  EXPECT_EQ(moved.pop_free_slot(), std::nullopt);
  EXPECT_TRUE(moved.push_free_slot(3));  // popped, so listed again
}

}  // namespace
}  // namespace tessarin
