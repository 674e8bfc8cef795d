// One collection: the pending queue and its group commit, release and
// reopen, get, delete, upsert, expiry and the argument checks of add.
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <thread>

#include "collection_test_util.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

using testing::obj;

class CollectionOpsTest : public testing::CollectionTest {};

TEST_F(CollectionOpsTest, GroupCommitAtTheHundredthAddAndAfterTheInterval) {
  open();
  for (int i = 0; i < 99; ++i) add({1, 0, 0, 0});
  EXPECT_EQ(queued(), 99u);
  EXPECT_TRUE(stored_rows().empty());
  add({1, 0, 0, 0});  // the 100th
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stored_rows().size(), 100u);
  EXPECT_EQ(st().oldest_pending_ms.load(), 0u);

  add({1, 0, 0, 0}, json::Object(), "late");
  EXPECT_EQ(queued(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(110));
  add({1, 0, 0, 0});  // the oldest queued write is now over 100 ms old
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stored_rows().size(), 102u);
}

TEST_F(CollectionOpsTest, QueuedWriteIsVisibleBeforeAnyFlush) {
  open();
  const std::string id = add({0, 1, 0, 0}, obj({{"k", json::Value("v")}}));
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');  // UUID version 4
  EXPECT_TRUE(id[19] == '8' || id[19] == '9' || id[19] == 'a' || id[19] == 'b');
  EXPECT_TRUE(stored_rows().empty());

  auto hit = get(id);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->metadata, obj({{"k", json::Value("v")}}));
  EXPECT_EQ(hit->score, 0.0f);
  EXPECT_EQ(ids(search({0, 1, 0, 0}, 5)), std::vector<std::string>{id});
  EXPECT_EQ(len(), 1u);
  sync();
  EXPECT_EQ(len(), 1u);
  EXPECT_EQ(stored_rows().size(), 1u);
}

TEST_F(CollectionOpsTest, QueuedWritesAreFlushedWhenTheLastReferenceGoes) {
  open();
  add({1, 0, 0, 0}, obj({{"n", json::Value(1)}}), "a");
  add({0, 1, 0, 0}, obj({{"n", json::Value(2)}}), "b");
  EXPECT_EQ(queued(), 2u);
  reopen();
  ASSERT_TRUE(get("a"));
  ASSERT_TRUE(get("b"));
  EXPECT_EQ(get("b")->metadata, obj({{"n", json::Value(2)}}));
  EXPECT_EQ(len(), 2u);
}

TEST_F(CollectionOpsTest, FailedGroupCommitKeepsItsWritesQueuedInOrder) {
  open();
  add({1, 0, 0, 0}, json::Object(), "first");
  add({0, 1, 0, 0}, json::Object(), "second");
  const uint64_t oldest = st().oldest_pending_ms.load();

  platform::FaultInjection::fail_full_sync(EIO);
  Status failed = sync_collection(st());
  platform::FaultInjection::fail_full_sync(0);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), DbError::Kind::kIo);

  EXPECT_TRUE(stored_rows().empty());
  ASSERT_EQ(queued(), 2u);
  EXPECT_EQ(st().pending[0].record.id, "first");
  EXPECT_EQ(st().pending[1].record.id, "second");
  EXPECT_EQ(st().oldest_pending_ms.load(), oldest);
  EXPECT_TRUE(get("first"));

  sync();
  EXPECT_EQ(stored_rows().size(), 2u);
  reopen();
  EXPECT_TRUE(get("first"));
  EXPECT_TRUE(get("second"));
}

TEST_F(CollectionOpsTest, DeleteTakesTheQueuedWriteBeforeTheStoredRecord) {
  open();
  add({1, 0, 0, 0}, obj({{"v", json::Value(1)}}), "x");
  sync();
  add({0, 1, 0, 0}, obj({{"v", json::Value(2)}}), "x");
  const uint64_t queued_slot = st().pending.front().record.slot;

  ASSERT_TRUE(*delete_by_id(st(), "x"));  // the queued write
  EXPECT_EQ(queued(), 0u);
  auto hit = get("x");
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->metadata, obj({{"v", json::Value(1)}}));

  ASSERT_TRUE(*delete_by_id(st(), "x"));  // now the stored one
  EXPECT_FALSE(get("x"));
  EXPECT_FALSE(stored("x"));
  EXPECT_TRUE(search({1, 0, 0, 0}, 3).empty());
  EXPECT_FALSE(*delete_by_id(st(), "x"));
  EXPECT_FALSE(*delete_by_id(st(), std::string(600, 'z')));

  // Both slots went back to the free list, the queued one first.
  const uint64_t reused = *allocate_slot(st().free_list, st().vectors);
  EXPECT_NE(reused, queued_slot);
  EXPECT_EQ(*allocate_slot(st().free_list, st().vectors), queued_slot);
  reopen();
  EXPECT_FALSE(get("x"));
}

TEST_F(CollectionOpsTest, UpsertReplacesAQueuedAndAStoredWrite) {
  open();
  add({1, 0, 0, 0}, obj({{"v", json::Value(1)}}), "x");
  sync();
  add({0, 1, 0, 0}, obj({{"v", json::Value(2)}}), "x");
  ASSERT_TRUE(upsert_record(st(), "x", std::vector<float>{0, 0, 1, 0},
                            obj({{"v", json::Value(3)}}), std::nullopt)
                  .ok());
  EXPECT_EQ(queued(), 1u);
  EXPECT_FALSE(stored("x"));
  sync();
  auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].metadata, "{\"v\":3}");
  EXPECT_EQ(len(), 1u);
  auto hits = search({0, 0, 1, 0}, 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FLOAT_EQ(hits[0].score, 1.0f);

  // Upsert of an unknown id is an add with that id.
  ASSERT_TRUE(upsert_record(st(), "new", std::vector<float>{1, 1, 1, 1}, json::Object(), 100).ok());
  EXPECT_TRUE(get("new"));
}

TEST_F(CollectionOpsTest, ExpiryAtNowIsInvisibleAndTtlSaturates) {
  open();
  add({1, 0, 0, 0}, json::Object(), "now", 0);  // expires_at == created_at
  add({1, 0, 0, 0}, json::Object(), "later", 3600);
  add({1, 0, 0, 0}, json::Object(), "forever", UINT64_MAX);
  EXPECT_FALSE(get("now"));
  EXPECT_EQ(ids(search({1, 0, 0, 0}, 5)), (std::vector<std::string>{"later", "forever"}));
  EXPECT_EQ(len(), 3u);  // queued writes count whatever their expiry
  sync();
  EXPECT_EQ(len(), 2u);
  EXPECT_FALSE(get("now"));
  EXPECT_EQ(stored("forever")->expires_at, UINT64_MAX);
  EXPECT_EQ(ids(search({1, 0, 0, 0}, 5)), (std::vector<std::string>{"forever", "later"}));
}

TEST_F(CollectionOpsTest, ArgumentsAreCheckedBeforeAnythingIsQueued) {
  open();
  const size_t max = max_id_bytes(st());
  EXPECT_GE(max, 255u);
  auto too_long = add_record(st(), std::vector<float>{1, 0, 0, 0}, json::Object(),
                             std::string(max + 1, 'a'), std::nullopt);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().kind(), DbError::Kind::kInvalidInput);
  Status up = upsert_record(st(), std::string(max + 1, 'a'), std::vector<float>{1, 0, 0, 0},
                            json::Object(), std::nullopt);
  EXPECT_EQ(up.error().kind(), DbError::Kind::kInvalidInput);

  auto wrong_dim = add_record(st(), std::vector<float>{1, 0, 0}, json::Object(), std::nullopt,
                              std::nullopt);
  EXPECT_EQ(wrong_dim.error().message(), "Dimension mismatch: expected 4, got 3");
  auto wrong_query = search_collection(st(), std::vector<float>{1, 0}, 3, std::nullopt);
  EXPECT_EQ(wrong_query.error().message(), "Dimension mismatch: expected 4, got 2");
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(vectors_size_bytes(st()), 64u + 4u * 4096u);

  EXPECT_EQ(add({1, 0, 0, 0}, json::Object(), std::string(max, 'a')), std::string(max, 'a'));
  EXPECT_EQ(add({1, 0, 0, 0}, json::Object(), ""), "");
  sync();
  EXPECT_TRUE(get(std::string(max, 'a')));
  EXPECT_TRUE(get(""));
}

TEST_F(CollectionOpsTest, SecondOpenOfTheSameStoreIsRefused) {
  open();
  auto second = open_collection(path("coll"), make_config(4, Metric::kDot));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(), "Database error: Database already open. Cannot acquire lock.");
  // The first state is untouched by the refused open.
  add({1, 0, 0, 0}, json::Object(), "a");
  sync();
  EXPECT_TRUE(get("a"));
}

TEST_F(CollectionOpsTest, SearchPutsRoadHitsBeforeQueuedHitsOfEqualScore) {
  open(4, Metric::kDot);
  add({1, 0, 0, 0}, json::Object(), "b");
  add({0.5f, 0, 0, 0}, json::Object(), "low");
  sync();
  add({1, 0, 0, 0}, json::Object(), "a");     // same score as "b", smaller key
  add({2, 0, 0, 0}, json::Object(), "best");  // queued, best of all
  EXPECT_EQ(ids(search({1, 0, 0, 0}, 10)),
            (std::vector<std::string>{"best", "b", "a", "low"}));
  EXPECT_EQ(ids(search({1, 0, 0, 0}, 2)), (std::vector<std::string>{"best", "b"}));
  EXPECT_TRUE(search({1, 0, 0, 0}, 0).empty());

  // A record both stored and queued again appears once from each place.
  add({1, 0, 0, 0}, json::Object(), "b");
  EXPECT_EQ(ids(search({1, 0, 0, 0}, 10)),
            (std::vector<std::string>{"best", "b", "a", "b", "low"}));
}

TEST_F(CollectionOpsTest, GetSkipsExpiredQueuedEntriesAndFreedSlots) {
  open();
  add({1, 0, 0, 0}, obj({{"v", json::Value(1)}}), "x");
  sync();
  add({1, 0, 0, 0}, obj({{"v", json::Value(2)}}), "x", 0);  // queued, already expired
  ASSERT_TRUE(get("x"));
  EXPECT_EQ(get("x")->metadata, obj({{"v", json::Value(1)}}));
  EXPECT_FALSE(get("X"));

  // A stored record whose slot carries the free marker is not returned.
  const uint64_t slot = stored("x")->slot;
  {
    std::unique_lock lock(st().vectors.mu);
    ASSERT_TRUE(st().vectors.value.mark_slot_free(slot).ok());
  }
  EXPECT_FALSE(get("x"));
}

}  // namespace
}  // namespace tessarin
