// A vector slot belongs to at most one live record: deletes, upserts and
// compaction must never put a slot on the free list twice, nor free a slot
// that a newer record has taken. And writers are not starved by searches.
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "collection_test_util.h"
#include "storage/vectors.h"

namespace tessarin::testing {
namespace {

class SlotSafetyTest : public CollectionTest {};

TEST_F(SlotSafetyTest, DeletingALeftoverTombstoneSparesTheSlotsNewOwner) {
  open();
  add({1, 0, 0, 0}, json::Object(), "old");
  sync();
  const uint64_t slot = stored("old")->slot;
  interrupted_delete("old");

  add({0, 2, 0, 0}, json::Object(), "new");  // takes the freed slot
  sync();
  ASSERT_EQ(stored("new")->slot, slot);

  ASSERT_TRUE(*delete_by_id(st(), "old"));
  EXPECT_FALSE(stored("old"));
  ASSERT_TRUE(get("new"));
  EXPECT_EQ(ids(search({0, 1, 0, 0}, 5)), std::vector<std::string>{"new"});
  EXPECT_TRUE(free_slots().empty());
}

TEST_F(SlotSafetyTest, DeletingALeftoverTombstoneListsItsSlotOnce) {
  open();
  add({1, 0, 0, 0}, json::Object(), "t");
  sync();
  interrupted_delete("t");
  ASSERT_TRUE(*delete_by_id(st(), "t"));
  EXPECT_EQ(free_slots().size(), 1u);
  EXPECT_FALSE(stored("t"));
}

// An add may pop a leftover Tombstone's slot while the delete of that
// Tombstone is between its membership test and its end: the delete must not
// list the slot again, or a later add would share it with the new owner.
TEST_F(SlotSafetyTest, DeletingALeftoverTombstoneLeavesASlotPoppedMeanwhile) {
  open();
  add({1, 0, 0, 0}, json::Object(), "t");
  sync();
  const uint64_t slot = stored("t")->slot;
  interrupted_delete("t");
  {
    // Unmarked again, so the delete's marker shows it passed its test.
    std::unique_lock lock(st().vectors.mu);
    ASSERT_TRUE(st().vectors.value.write_vector(slot, std::vector<float>{1, 0, 0, 0}).ok());
  }
  std::unique_lock free_lock(st().free_list.mu);
  std::thread deleter([&] { EXPECT_TRUE(*delete_by_id(st(), "t")); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (bool marked = false; !marked;) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::shared_lock lock(st().vectors.mu);
    marked = *st().vectors.value.is_slot_free(slot);
  }
  // What allocate_slot does for an add.
  ASSERT_EQ(st().free_list.value.pop_free_slot(), slot);
  free_lock.unlock();
  deleter.join();
  EXPECT_TRUE(free_slots().empty()) << "slot listed again after an add took it";
  EXPECT_FALSE(stored("t"));
}

// A delete whose Tombstone transaction fails leaves the row pointing at its
// slot: the slot must not be handed to an add, neither now nor after a
// reopen, and a later delete of the repaired row still frees it once.
TEST_F(SlotSafetyTest, FailedTombstoneTransactionKeepsTheSlotUnlisted) {
  open();
  add({1, 0, 0, 0}, json::Object(), "a");
  sync();
  const Record row = stored("a").value();
  auto put_raw = [&](std::string bytes) {
    auto txn = st().store.begin_write();  // bypasses the mirror: none is built here
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(txn->put(kRecordsTable, "a", std::move(bytes)).ok());
    ASSERT_TRUE(txn->commit().ok());
  };
  put_raw("\xff not a record");  // the Tombstone's read-back fails
  EXPECT_FALSE(delete_record(st(), "a", row.slot).ok());
  EXPECT_TRUE(free_slots().empty());
  EXPECT_EQ(add({0, 1, 0, 0}, json::Object(), "b"), "b");
  sync();
  {
    auto txn = read_transaction(st().store);
    ASSERT_TRUE(txn.ok());
    auto b = get_record(*txn, "b");
    ASSERT_TRUE(b.ok() && *b);
    EXPECT_NE((*b)->slot, row.slot);
  }

  reopen();
  EXPECT_TRUE(free_slots().empty());
  {
    auto txn = st().store.begin_write();
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(put_record(*txn, row).ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  ASSERT_TRUE(*delete_by_id(st(), "a"));
  EXPECT_EQ(free_slots(), std::vector<uint64_t>{row.slot});
  reopen();
  EXPECT_EQ(free_slots(), std::vector<uint64_t>{row.slot});
}

// Deletes, upserts and compaction of the same (expiring) ids on several
// threads: afterwards no slot is listed twice and no listed slot is used by
// a stored record.
TEST_F(SlotSafetyTest, RacingRetirementsNeverListASlotTwice) {
  open();
  constexpr int kIds = 60;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < kIds; ++i) {
      add({float(i), 1, 0, 0}, json::Object(), "id" + std::to_string(i), /*ttl=*/0);
    }
    sync();  // stored, already expired
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kIds; ++i) {
          const std::string id = "id" + std::to_string((i * 7 + t * 13) % kIds);
          if (t == 2) {
            EXPECT_TRUE(upsert_record(st(), id, std::vector<float>{0, 0, 1, 0}, json::Object(), 0).ok());
          } else {
            EXPECT_TRUE(delete_by_id(st(), id).ok());
          }
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) EXPECT_TRUE(compact_collection(st()).ok());
    });
    for (std::thread& t : threads) t.join();
    sync();

    const std::vector<uint64_t> listed = free_slots();
    const std::set<uint64_t> unique(listed.begin(), listed.end());
    EXPECT_EQ(unique.size(), listed.size()) << "a slot is listed twice";
    for (const Record& r : stored_rows()) {
      EXPECT_EQ(unique.count(r.slot), 0u) << r.id << " holds listed slot " << r.slot;
    }
  }
}

// Searches that overlap one another without a gap must not starve an add
// that needs the vector file's exclusive lock (it grows the file here).
TEST_F(SlotSafetyTest, AddsProgressWhileSearchesKeepTheVectorsBusy) {
  CollectionState& s = open(64, Metric::kCosine);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1, 1);
  auto random_vector = [&] {
    std::vector<float> v(64);
    for (float& x : v) x = u(rng);
    return v;
  };
  for (int i = 0; i < 3000; ++i) add(random_vector());
  sync();

  std::atomic<bool> stop{false};
  std::atomic<bool> gave_up{false};  // a searcher ran out of time first
  std::vector<std::thread> searchers;
  const std::vector<float> q = random_vector();
  for (int t = 0; t < 6; ++t) {
    searchers.emplace_back([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!stop.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
          gave_up.store(true);
          break;
        }
        EXPECT_TRUE(search_collection(s, q, 10, std::nullopt).ok());
      }
    });
  }
  // Enough adds to cross the file's first growth (1024 slots per growth step).
  for (int i = 0; i < 2000; ++i) add(random_vector());
  stop.store(true);
  for (std::thread& t : searchers) t.join();
  EXPECT_FALSE(gave_up.load()) << "the adds only went through once the searches stopped";
  EXPECT_EQ(len(), 5000u);
}

}  // namespace
}  // namespace tessarin::testing
