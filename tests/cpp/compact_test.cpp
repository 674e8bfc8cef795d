// Compaction: which records it removes and counts, what it does to their
// slots, and that records replaced while it runs survive it.
#include <algorithm>
#include <cmath>
#include <functional>

#include "collection_test_util.h"

namespace tessarin {

// Defined with the compaction: runs between its scan and its removals.
void set_compact_scan_hook_for_testing(std::function<void()> hook);

namespace {

using testing::obj;

class CompactTest : public testing::CollectionTest {
 protected:
  void TearDown() override {
    set_compact_scan_hook_for_testing(nullptr);
    CollectionTest::TearDown();
  }
  CompactStats compact() {
    auto r = compact_collection(st());
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? *r : CompactStats{};
  }
  // What a delete leaves when it stops after its first transaction: the slot
  // marked free and on the free list, the record a Tombstone.
  void interrupted_delete(const std::string& id) {
    const uint64_t slot = stored(id)->slot;
    {
      std::unique_lock lock(st().vectors.mu);
      ASSERT_TRUE(st().vectors.value.mark_slot_free(slot).ok());
    }
    {
      std::unique_lock lock(st().free_list.mu);
      st().free_list.value.push_free_slot(slot);
    }
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(txn->set_record_status(id, RecordStatus::kTombstone).ok());
    ASSERT_TRUE(txn->save_free_list().ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  void put_raw(Record record) {
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(txn->put_record(std::move(record)).ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  bool slot_is_free(uint64_t slot) {
    std::shared_lock lock(st().vectors.mu);
    return *st().vectors.value.is_slot_free(slot);
  }
  std::vector<uint64_t> free_slots() {
    std::shared_lock lock(st().free_list.mu);
    return st().free_list.value.snapshot();
  }
  std::vector<uint64_t> saved_free_slots() {
    auto txn = read_transaction(st().store);
    auto slots = load_free_list(*txn);
    EXPECT_TRUE(slots.ok());
    return slots.ok() ? *slots : std::vector<uint64_t>{};
  }
  static std::vector<float> vec(float x) {
    std::vector<float> v(384, 0.0f);
    v[0] = x;
    return v;
  }
};

TEST_F(CompactTest, NothingToRemove) {
  open(384);
  CompactStats s = compact();  // no "records" table yet
  EXPECT_EQ(s.expired_removed + s.tombstones_removed + s.bytes_freed, 0u);
  add(vec(1), json::Object(), "live", 3600);
  add(vec(2), json::Object(), "queued-expired", 0);  // still queued: invisible to compaction
  s = compact();
  EXPECT_EQ(s.expired_removed + s.tombstones_removed + s.bytes_freed, 0u);
}

TEST_F(CompactTest, ExpiredTombstonedAndExpiredTombstoneCountsAndBytes) {
  open(384);
  add(vec(1), json::Object(), "expired", 0);        // expires_at == created_at
  add(vec(2), json::Object(), "tombstone");         // interrupted delete
  add(vec(3), json::Object(), "expired-tomb", 0);   // interrupted delete of an expired one
  add(vec(4), json::Object(), "live", 3600);
  sync();
  interrupted_delete("tombstone");
  interrupted_delete("expired-tomb");
  const uint64_t expired_slot = stored("expired")->slot;
  const uint64_t tomb_slot = stored("tombstone")->slot;
  const uint64_t expired_tomb_slot = stored("expired-tomb")->slot;

  CompactStats s = compact();
  EXPECT_EQ(s.expired_removed, 2u);
  EXPECT_EQ(s.tombstones_removed, 1u);
  EXPECT_EQ(s.bytes_freed, 1536u);  // only the expired record's slot was not marked yet

  std::vector<Record> rows = stored_rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "live");
  EXPECT_TRUE(slot_is_free(expired_slot));
  // Each freed slot listed once, in memory and as saved; the last freed is reused first.
  std::vector<uint64_t> listed = free_slots();
  EXPECT_EQ(listed, (std::vector<uint64_t>{tomb_slot, expired_tomb_slot, expired_slot}));
  EXPECT_EQ(saved_free_slots(), listed);

  s = compact();
  EXPECT_EQ(s.expired_removed + s.tombstones_removed + s.bytes_freed, 0u);
  add(vec(5), json::Object(), "next");
  EXPECT_EQ(st().pending.back().record.slot, expired_slot);
}

TEST_F(CompactTest, SlotOutsideTheFileIsNotListed) {
  open(4);
  put_raw(Record{"ghost", 1u << 20, "{}", 1, 1, RecordStatus::kActive});
  CompactStats s = compact();
  EXPECT_EQ(s.expired_removed, 1u);
  EXPECT_EQ(s.bytes_freed, 0u);
  EXPECT_TRUE(stored_rows().empty());
  EXPECT_TRUE(free_slots().empty());  // would make the next add fail
  add({1, 0, 0, 0}, json::Object(), "after");
  sync();
  EXPECT_TRUE(get("after"));
}

TEST_F(CompactTest, RecordsReplacedBetweenScanAndRemovalSurvive) {
  open(4);
  add({1, 0, 0, 0}, obj({{"v", json::Value(1)}}), "upserted", 0);
  add({0, 1, 0, 0}, json::Object(), "tombstone");
  sync();
  interrupted_delete("tombstone");
  const uint64_t tomb_slot = stored("tombstone")->slot;

  set_compact_scan_hook_for_testing([&] {
    // The expired record is upserted: its slot is freed and taken again by
    // the new record, which is committed with the same id and slot.
    ASSERT_TRUE(upsert_record(st(), "upserted", std::vector<float>{0, 0, 1, 0},
                              obj({{"v", json::Value(2)}}), std::nullopt)
                    .ok());
    // An add takes the tombstone's slot from the free list.
    add({0, 0, 0, 1}, json::Object(), "reuser");
    sync();
  });
  CompactStats s = compact();
  EXPECT_EQ(s.expired_removed, 1u);  // counted as the scan chose them
  EXPECT_EQ(s.tombstones_removed, 1u);
  EXPECT_EQ(s.bytes_freed, 0u);

  auto upserted = get("upserted");
  ASSERT_TRUE(upserted);
  EXPECT_EQ(upserted->metadata, obj({{"v", json::Value(2)}}));
  ASSERT_TRUE(get("reuser"));
  EXPECT_EQ(stored("reuser")->slot, tomb_slot);
  EXPECT_FALSE(stored("tombstone"));
  // Both vectors intact, neither slot back on the free list.
  EXPECT_EQ(ids(search({0, 0, 1, 0}, 1)), std::vector<std::string>{"upserted"});
  EXPECT_EQ(ids(search({0, 0, 0, 1}, 1)), std::vector<std::string>{"reuser"});
  const uint64_t upserted_slot = stored("upserted")->slot;
  for (uint64_t slot : free_slots()) {
    EXPECT_NE(slot, upserted_slot);
    EXPECT_NE(slot, tomb_slot);
  }
}

}  // namespace
}  // namespace tessarin
