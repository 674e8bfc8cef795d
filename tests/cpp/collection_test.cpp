// One collection: the ids add makes, the pending queue and its group commit,
// get, delete, upsert, expiry and the argument checks of add. (Flushing at
// release: database_test.cpp.)
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <random>

#include "collection_test_util.h"
#include "platform/platform.h"
#include "search/distance.h"

namespace tessarin {
namespace {

using testing::obj;
const std::vector<float> kE0 = {1, 0, 0, 0}, kE1 = {0, 1, 0, 0};

class CollectionOpsTest : public testing::CollectionTest {};

// Record ids made by add: version-4 UUID text, fresh each time.
TEST(UuidTest, TextSetsVersionAndVariantBitsAndIsFreshEachTime) {
  const uint8_t bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xff, 0x77,
                             0xff, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x0f};
  EXPECT_EQ(uuid_v4_text(bytes), "00112233-4455-4f77-bf99-aabbccddee0f");

  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = make_uuid_v4().value();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    seen.insert(std::move(id));
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST_F(CollectionOpsTest, GroupCommitAtTheHundredthAddAndAfterTheInterval) {
  open();
  for (int i = 0; i < 99; ++i) add(kE0);
  EXPECT_EQ(queued(), 99u);
  EXPECT_TRUE(stored_rows().empty());
  add(kE0);  // the 100th
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stored_rows().size(), 100u);

  add(kE0);
  EXPECT_EQ(queued(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(110));
  add(kE0);  // the oldest queued write is now over 100 ms old
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stored_rows().size(), 102u);
}

// Adds of ids that are stored or queued already replace them: the replaced
// slots return to the free list, so the file does not grow with the writes.
TEST_F(CollectionOpsTest, ReplacedRecordsGiveTheirSlotsBack) {
  open();
  for (int i = 0; i < 20000; ++i) add(kE0, json::Object(), "id" + std::to_string(i % 50));
  sync();
  EXPECT_EQ(len(), 50u);
  // A group commit takes at most 100 slots before it releases replaced ones.
  EXPECT_LE(slot_count(), 50u + 2 * st().max_pending_writes);
  expect_slots_accounted();
  reopen();
  expect_slots_accounted();
}

TEST_F(CollectionOpsTest, FailedGroupCommitKeepsItsWritesQueuedInOrder) {
  open();
  add(kE0, json::Object(), "first");
  add(kE1, json::Object(), "second");
  const uint64_t oldest = st().oldest_pending_ms.load();
  platform::FaultInjection::fail(platform::Op::kFullSync, EIO);
  Status failed = sync_collection(st());
  platform::FaultInjection::reset();
  EXPECT_EQ(failed.error().kind(), DbError::Kind::kIo);

  EXPECT_TRUE(stored_rows().empty());
  ASSERT_EQ(queued(), 2u);
  EXPECT_EQ(st().pending[0].record.id, "first");
  EXPECT_EQ(st().pending[1].record.id, "second");
  EXPECT_EQ(st().oldest_pending_ms.load(), oldest);
  EXPECT_TRUE(get("first"));
  sync();
  EXPECT_EQ(stored_rows().size(), 2u);
}

TEST_F(CollectionOpsTest, DeleteTakesTheQueuedWriteBeforeTheStoredRecord) {
  open();
  add(kE0, obj({{"v", json::Value(1)}}), "x");
  sync();
  add(kE1, obj({{"v", json::Value(2)}}), "x");
  const uint64_t queued_slot = st().pending.front().record.slot;

  ASSERT_TRUE(*delete_by_id(st(), "x"));  // the queued write
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(get("x").value().metadata, obj({{"v", json::Value(1)}}));
  ASSERT_TRUE(*delete_by_id(st(), "x"));  // now the stored one
  EXPECT_FALSE(get("x"));
  EXPECT_FALSE(stored("x"));
  EXPECT_TRUE(search(kE0, 3).empty());
  EXPECT_FALSE(*delete_by_id(st(), "x"));
  EXPECT_FALSE(*delete_by_id(st(), std::string(600, 'z')));

  // Both slots went back to the free list, the queued one first. (The list
  // across a reopen, and reuse order: batch_test.cpp, compact_test.cpp.)
  const std::vector<uint64_t> freed = free_slots();
  ASSERT_EQ(freed.size(), 2u);
  EXPECT_EQ(freed.front(), queued_slot);
}

TEST_F(CollectionOpsTest, UpsertReplacesAQueuedAndAStoredWrite) {
  open();
  add(kE0, obj({{"v", json::Value(1)}}), "x");
  sync();
  add(kE1, obj({{"v", json::Value(2)}}), "x");
  ASSERT_TRUE(upsert_record(st(), "x", std::vector<float>{0, 0, 1, 0}, obj({{"v", json::Value(3)}}),
                            std::nullopt).ok());
  // The stored version is replaced before the upsert returns.
  EXPECT_EQ(queued(), 0u);
  ASSERT_EQ(stored_rows().size(), 1u);
  EXPECT_EQ(stored_rows()[0].metadata, "{\"v\":3}");
  const std::vector<SearchHit> hits = search({0, 0, 1, 0}, 5);
  EXPECT_TRUE(hits.size() == 1 && hits[0].score == 1.0f);
  // Upsert of an unknown id is an add with that id.
  ASSERT_TRUE(upsert_record(st(), "new", kE0, json::Object(), 100).ok());
  EXPECT_TRUE(get("new"));
}

// (A batch computes expiry the same way.)
TEST_F(CollectionOpsTest, ExpiredQueuedAndFreedRecordsAreInvisibleAndTtlSaturates) {
  open();
  add(kE0, json::Object(), "now", 0);  // expires_at == created_at
  add(kE0, json::Object(), "later", 3600);
  add(kE0, json::Object(), "forever", UINT64_MAX);
  EXPECT_FALSE(get("now"));
  EXPECT_EQ(ids(search(kE0, 5)), (std::vector<std::string>{"later", "forever"}));
  EXPECT_EQ(len(), 2u);  // an expired queued write counts no more than once stored
  sync();
  EXPECT_EQ(len(), 2u);
  EXPECT_FALSE(get("now"));
  EXPECT_EQ(stored("forever").value().expires_at, UINT64_MAX);
  EXPECT_EQ(ids(search(kE0, 5)), (std::vector<std::string>{"forever", "later"}));
  // A queued write that has expired hides nothing stored under its id; a
  // stored record whose slot carries the free marker is not returned.
  add(kE0, obj({{"v", json::Value(2)}}), "later", 0);
  EXPECT_EQ(get("later").value().metadata, json::Object());
  write_slot(stored("forever").value().slot, {NAN, 0, 0, 0});
  EXPECT_FALSE(get("forever"));
}

TEST_F(CollectionOpsTest, ArgumentsAreCheckedBeforeAnythingIsQueued) {
  open();
  const size_t max = max_id_bytes(st());
  EXPECT_GE(max, 255u);
  const std::string too_long(max + 1, 'a');
  EXPECT_EQ(add_record(st(), kE0, json::Object(), too_long, std::nullopt).error().kind(),
            DbError::Kind::kInvalidInput);
  EXPECT_EQ(upsert_record(st(), too_long, kE0, json::Object(), std::nullopt).error().kind(),
            DbError::Kind::kInvalidInput);
  EXPECT_EQ(add_record(st(), std::vector<float>{1, 0, 0}, json::Object(), std::nullopt, std::nullopt)
                .error().message(),
            "Dimension mismatch: expected 4, got 3");  // (search's: test_conversions.py)
  EXPECT_EQ(queued(), 0u);

  EXPECT_EQ(add(kE0, json::Object(), std::string(max, 'a')), std::string(max, 'a'));
  EXPECT_EQ(add(kE0, json::Object(), ""), "");
  sync();
  EXPECT_TRUE(get(std::string(max, 'a')));
  EXPECT_TRUE(get(""));
}

TEST_F(CollectionOpsTest, SearchPutsRoadHitsBeforeQueuedHitsOfEqualScore) {
  open(4, Metric::kDot);
  add(kE0, json::Object(), "b");
  add({0.5f, 0, 0, 0}, json::Object(), "low");
  sync();
  add(kE0, json::Object(), "a");              // same score as "b", smaller key
  add({2, 0, 0, 0}, json::Object(), "best");  // queued, best of all
  EXPECT_EQ(ids(search(kE0, 10)), (std::vector<std::string>{"best", "b", "a", "low"}));
  EXPECT_EQ(ids(search(kE0, 2)), (std::vector<std::string>{"best", "b"}));
  EXPECT_TRUE(search(kE0, 0).empty());
  // A record both stored and queued again appears once: the queued write
  // stands for it (as get returns it), after the road's hits of its score.
  add(kE0, json::Object(), "b");
  EXPECT_EQ(ids(search(kE0, 10)), (std::vector<std::string>{"best", "a", "b", "low"}));
}

}  // namespace
}  // namespace tessarin

namespace tessarin {
namespace {

// A queued write of an id stands for its record in get, search and len; a
// search asks the road for one more hit per such id that is stored, so
// that dropping the stored versions leaves k. Checked against the answer
// worked out from every id's last write, on random sequences of adds (of
// stored and queued ids too), upserts, batches and group commits, with k
// small beside the number of ids replaced.
TEST_F(CollectionOpsTest, QueuedWritesReplaceStoredVersionsAsTheLastWriteWouldOnRandomSequences) {
  for (uint32_t seed = 0; seed < 8; ++seed) {
    SCOPED_TRACE(seed);
    open(4, Metric::kL2, "random" + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick_id(0, 11), pick_op(0, 9);
    std::map<std::string, std::vector<float>> last;  // each id's last write
    const std::vector<std::vector<float>> pool = testing::normal_vectors(2000, 4, seed);
    size_t next = 0;
    for (int step = 0; step < 150; ++step) {
      const std::string id = "id" + std::to_string(pick_id(rng));
      const std::vector<float>& v = pool[next++];
      const int op = pick_op(rng);
      if (op < 5) {
        add(v, json::Object(), id);
      } else if (op < 7) {
        ASSERT_TRUE(upsert_record(st(), id, v, json::Object(), std::nullopt).ok());
      } else if (op < 8) {
        BatchVectors batch;
        batch.rows = {v};
        std::vector<json::Value> md(1, json::Object());
        ASSERT_TRUE(add_batch_impl(st(), batch, std::move(md), std::vector{id}, std::nullopt).ok());
      } else {
        ASSERT_TRUE(flush_pending_writes(st()).ok());
      }
      if (op < 8) last[id] = v;
      ASSERT_EQ(len(), last.size()) << "step " << step;
      const std::vector<float>& q = pool[1000 + step];
      for (uint64_t k : {1, 3}) {
        std::vector<std::pair<float, std::string>> want;
        for (const auto& [rid, w] : last) want.emplace_back(compute_distance(Metric::kL2, q, w), rid);
        std::sort(want.begin(), want.end());
        want.resize(std::min<size_t>(k, want.size()));
        std::vector<std::string> want_ids;
        for (const auto& p : want) want_ids.push_back(p.second);
        ASSERT_EQ(ids(search(q, k)), want_ids) << "step " << step << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tessarin
