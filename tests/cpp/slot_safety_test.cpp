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

// A transaction that does not commit releases nothing: the row still points
// at the slot, so it must not be handed to an add, nor marked free.
TEST_F(SlotSafetyTest, UncommittedReleaseLeavesTheSlotAlone) {
  open();
  add({1, 0, 0, 0}, json::Object(), "a");
  sync();
  const uint64_t slot = stored("a")->slot;
  {
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(txn->remove_record("a").ok());
    txn->release_slot(slot);
    ASSERT_TRUE(txn->save_free_list().ok());
  }  // abandoned
  EXPECT_TRUE(free_slots().empty());
  EXPECT_EQ(slot_values(slot)[0], 1.0f);
  ASSERT_TRUE(get("a"));
  reopen();
  EXPECT_TRUE(free_slots().empty());
  ASSERT_TRUE(*delete_by_id(st(), "a"));
  EXPECT_EQ(free_slots(), std::vector<uint64_t>{slot});
  reopen();
  EXPECT_EQ(free_slots(), std::vector<uint64_t>{slot});
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
