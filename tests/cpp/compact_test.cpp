// Compaction: which records it removes and counts, what it does to their
// slots, and that records replaced while it runs survive it.
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
  // {expired_removed, tombstones_removed, bytes_freed}
  std::vector<uint64_t> compact() {
    auto r = compact_collection(st());
    EXPECT_TRUE(r.ok()) << r.error().message();
    if (!r.ok()) return {};
    return {r->expired_removed, r->tombstones_removed, r->bytes_freed};
  }
  static std::vector<float> vec(float x) {
    std::vector<float> v(384, 0.0f);
    v[0] = x;
    return v;
  }
  using Counts = std::vector<uint64_t>;
};

TEST_F(CompactTest, ExpiredTombstonedAndExpiredTombstoneCountsAndBytes) {
  open(384);
  EXPECT_EQ(compact(), (Counts{0, 0, 0}));  // no "records" table yet
  add(vec(1), json::Object(), "expired", 0);       // expires_at == created_at
  add(vec(2), json::Object(), "tombstone");        // interrupted delete
  add(vec(3), json::Object(), "expired-tomb", 0);  // interrupted delete of an expired one
  add(vec(4), json::Object(), "live", 3600);
  sync();
  add(vec(5), json::Object(), "queued-expired", 0);  // still queued: invisible to compaction
  interrupted_delete("tombstone");
  interrupted_delete("expired-tomb");
  const uint64_t expired_slot = stored("expired").value().slot;
  const uint64_t tomb_slot = stored("tombstone").value().slot;
  const uint64_t expired_tomb_slot = stored("expired-tomb").value().slot;

  // Only the expired record's slot was not marked yet: 384 * 4 bytes freed.
  EXPECT_EQ(compact(), (Counts{2, 1, 1536}));
  std::vector<Record> rows = stored_rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "live");
  EXPECT_EQ(queued(), 1u);
  {
    std::shared_lock lock(st().vectors.mu);
    EXPECT_TRUE(*st().vectors.value.is_slot_free(expired_slot));
  }
  // Each freed slot listed once, in memory and as saved; the last freed is reused first.
  const std::vector<uint64_t> listed = free_slots();
  EXPECT_EQ(listed, (std::vector<uint64_t>{tomb_slot, expired_tomb_slot, expired_slot}));
  EXPECT_EQ(load_free_list(*read_transaction(st().store)).value(), listed);

  EXPECT_EQ(compact(), (Counts{0, 0, 0}));
  add(vec(6), json::Object(), "next");
  EXPECT_EQ(st().pending.back().record.slot, expired_slot);
}

TEST_F(CompactTest, SlotOutsideTheFileIsNotListed) {
  open(4);
  auto txn = CollectionTxn::begin(st());
  ASSERT_TRUE(txn.ok());
  ASSERT_TRUE(txn->put_record(Record{"ghost", 1u << 20, "{}", 1, 1, RecordStatus::kActive}).ok());
  ASSERT_TRUE(txn->commit().ok());
  EXPECT_EQ(compact(), (Counts{1, 0, 0}));
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
  const uint64_t tomb_slot = stored("tombstone").value().slot;

  set_compact_scan_hook_for_testing([&] {
    // The expired record is upserted (its new version takes the
    // tombstone's slot, listed last) and an add takes the slot it frees.
    ASSERT_TRUE(upsert_record(st(), "upserted", std::vector<float>{0, 0, 1, 0},
                              obj({{"v", json::Value(2)}}), std::nullopt).ok());
    add({0, 0, 0, 1}, json::Object(), "reuser");
    sync();
  });
  EXPECT_EQ(compact(), (Counts{1, 1, 0}));  // counted as the scan chose them

  EXPECT_EQ(get("upserted").value().metadata, obj({{"v", json::Value(2)}}));
  EXPECT_EQ(stored("upserted").value().slot, tomb_slot);
  EXPECT_FALSE(stored("tombstone"));
  // Both vectors intact, neither slot back on the free list.
  EXPECT_EQ(ids(search({0, 0, 1, 0}, 1)), std::vector<std::string>{"upserted"});
  EXPECT_EQ(ids(search({0, 0, 0, 1}, 1)), std::vector<std::string>{"reuser"});
  const uint64_t upserted_slot = stored("upserted").value().slot;
  for (uint64_t slot : free_slots()) {
    EXPECT_NE(slot, upserted_slot);
    EXPECT_NE(slot, tomb_slot);
  }
}

}  // namespace
}  // namespace tessarin
