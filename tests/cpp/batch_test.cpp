// The batch add: argument checks before anything changes, the two
// transactions around the vector sync, and what a failure in between leaves.
#include <bit>
#include <cerrno>
#include <limits>

#include "collection_test_util.h"
#include "export/ndjson.h"
#include "platform/platform.h"
#include "search/distance.h"

namespace tessarin {
namespace {

using testing::obj;

BatchVectors rows(std::vector<std::vector<float>> r) {
  BatchVectors v;
  v.rows = std::move(r);
  return v;
}

std::vector<json::Value> metas(size_t n) {
  std::vector<json::Value> m;
  for (size_t i = 0; i < n; ++i) m.push_back(obj({{"i", json::Value(uint64_t{i})}}));
  return m;
}

class BatchTest : public testing::CollectionTest {
 protected:
  Result<std::vector<std::string>> batch(
      BatchVectors v, std::vector<json::Value> m,
      std::optional<std::vector<std::string>> ids = std::nullopt,
      std::optional<std::vector<std::optional<uint64_t>>> ttls = std::nullopt) {
    return add_batch_impl(st(), v, std::move(m), std::move(ids), std::move(ttls));
  }
  std::vector<float> slot_values(uint64_t slot) {
    std::shared_lock lock(st().vectors.mu);
    auto v = st().vectors.value.read_vector(slot);
    EXPECT_TRUE(v.ok());
    return v.ok() ? std::vector<float>(v->begin(), v->end()) : std::vector<float>{};
  }
  uint64_t slot_count() {
    std::shared_lock lock(st().vectors.mu);
    return st().vectors.value.slot_count();
  }
  std::vector<uint64_t> free_slots() {
    std::shared_lock lock(st().free_list.mu);
    return st().free_list.value.snapshot();
  }
};

TEST_F(BatchTest, RefusedBatchesChangeNothing) {
  open(4);
  add({1, 0, 0, 0}, json::Object(), "old");
  ASSERT_TRUE(delete_by_id(st(), "old").ok());  // one slot on the free list
  const uint64_t slots_before = slot_count();
  const std::vector<uint64_t> free_before = free_slots();
  const std::vector<float> ok(4, 1.0f);

  struct Case {
    BatchVectors vectors;
    size_t metadatas;
    std::optional<std::vector<std::string>> ids;
    std::optional<std::vector<std::optional<uint64_t>>> ttls;
    std::string message;
  };
  const std::string long_id(max_id_bytes(st()) + 1, 'x');
  Case cases[] = {
      // Lengths first, in their order, before any dimension check.
      {rows({ok, ok, {1}}), 2, std::vector<std::string>{"a"}, std::vector<std::optional<uint64_t>>{},
       "Invalid input: vectors and metadatas must have same length"},
      {rows({ok, ok, {1}}), 3, std::vector<std::string>{"a"}, std::vector<std::optional<uint64_t>>{},
       "Invalid input: ids must have same length as vectors"},
      {rows({ok, ok, {1}}), 3, std::nullopt, std::vector<std::optional<uint64_t>>{},
       "Invalid input: ttls must have same length as vectors"},
      // A bad vector anywhere, even the last one.
      {rows({ok, ok, {1, 2, 3}}), 3, std::nullopt, std::nullopt, "Dimension mismatch: expected 4, got 3"},
      {rows({ok, ok}), 2, std::vector<std::string>{"a", long_id}, std::nullopt, ""},
  };
  for (Case& c : cases) {
    auto r = batch(std::move(c.vectors), metas(c.metadatas), c.ids, c.ttls);
    ASSERT_FALSE(r.ok());
    if (c.message.empty()) {
      EXPECT_EQ(r.error().kind(), DbError::Kind::kInvalidInput);
    } else {
      EXPECT_EQ(r.error().message(), c.message);
    }
    EXPECT_EQ(slot_count(), slots_before);
    EXPECT_EQ(free_slots(), free_before);
    EXPECT_TRUE(stored_rows().empty());
  }

  // An empty batch runs through and returns nothing.
  auto empty = batch(rows({}), {});
  ASSERT_TRUE(empty.ok()) << empty.error().message();
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(free_slots(), free_before);
}

TEST_F(BatchTest, RecordsAreCommittedActiveWithTheirVectorsAndExpiry) {
  open(3, Metric::kCosine);
  // A strided block (every other column of a 2 x 6 array) gives the same
  // records as the list form.
  const float block[] = {3, 9, 0, 9, 4, 9, 0, 9, 5, 9, 0, 9};
  BatchVectors strided;
  strided.is_block = true;
  strided.data = block;
  strided.block_rows = 2;
  strided.block_cols = 3;
  strided.row_stride = 6;
  strided.col_stride = 2;
  const uint64_t before = now_secs();
  auto r = batch(std::move(strided), {obj({{"b", json::Value(1)}, {"a", json::Value(2.5)}}), json::Value()},
                 std::vector<std::string>{"p", ""},
                 std::vector<std::optional<uint64_t>>{std::nullopt, 60});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(*r, (std::vector<std::string>{"p", ""}));

  const std::vector<std::vector<float>> expected = {prepare_vector(Metric::kCosine, std::vector<float>{3, 0, 4}),
                                                    prepare_vector(Metric::kCosine, std::vector<float>{0, 5, 0})};
  auto p = stored("p");
  auto q = stored("");
  ASSERT_TRUE(p && q);
  EXPECT_EQ(p->status, RecordStatus::kActive);
  EXPECT_EQ(q->status, RecordStatus::kActive);
  EXPECT_EQ(p->metadata, "{\"a\":2.5,\"b\":1}");
  EXPECT_EQ(q->metadata, "null");
  EXPECT_FALSE(p->expires_at.has_value());
  ASSERT_TRUE(q->expires_at.has_value());
  EXPECT_EQ(*q->expires_at, q->created_at + 60);
  EXPECT_GE(q->created_at, before);
  EXPECT_EQ(slot_values(p->slot), expected[0]);
  EXPECT_EQ(slot_values(q->slot), expected[1]);
  EXPECT_EQ(ids(search({0, 1, 0}, 1)), std::vector<std::string>{""});
  EXPECT_EQ(len(), 2u);

  // A ttl whose sum passes 2^64 - 1 saturates instead of wrapping into the past.
  auto far = batch(rows({{1, 1, 1}}), metas(1), std::vector<std::string>{"far"},
                   std::vector<std::optional<uint64_t>>{std::numeric_limits<uint64_t>::max()});
  ASSERT_TRUE(far.ok());
  EXPECT_EQ(stored("far")->expires_at, std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(get("far"));
}

TEST_F(BatchTest, RepeatedIdsKeepTheLaterRecordAndLeakTheEarlierSlot) {
  open(2);
  add({9, 9}, obj({{"v", json::Value("old")}}), "x");
  sync();
  const uint64_t old_slot = stored("x")->slot;
  const uint64_t slots_before = slot_count();

  auto r = batch(rows({{1, 0}, {0, 1}}), metas(2), std::vector<std::string>{"x", "x"});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (std::vector<std::string>{"x", "x"}));
  EXPECT_EQ(slot_count(), slots_before + 2);  // both slots taken and written
  auto x = stored("x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->metadata, "{\"i\":1}");
  EXPECT_EQ(x->status, RecordStatus::kActive);
  EXPECT_EQ(slot_values(x->slot), (std::vector<float>{0, 1}));
  EXPECT_EQ(slot_values(x->slot - 1), (std::vector<float>{1, 0}));
  EXPECT_EQ(slot_values(old_slot), (std::vector<float>{9, 9}));  // replaced, not freed
  EXPECT_TRUE(free_slots().empty());
  EXPECT_EQ(len(), 1u);
}

TEST_F(BatchTest, RecordsLeftPendingByAFailedSyncStayInvisible) {
  open(2);
  add({1, 1}, json::Object(), "live");
  sync();
  const uint64_t slots_before = slot_count();

  platform::FaultInjection::fail_full_sync(EIO);
  auto r = batch(rows({{1, 0}, {0, 1}}), metas(2), std::vector<std::string>{"a", "b"},
                 std::vector<std::optional<uint64_t>>{std::nullopt, 0});
  platform::FaultInjection::fail_full_sync(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DbError::Kind::kIo);

  // Transaction 1 committed both records as Pending; their slots stay taken.
  ASSERT_TRUE(stored("a") && stored("b"));
  EXPECT_EQ(stored("a")->status, RecordStatus::kPending);
  EXPECT_EQ(slot_count(), slots_before + 2);
  EXPECT_FALSE(get("a"));
  EXPECT_EQ(ids(search({1, 0}, 10)), std::vector<std::string>{"live"});
  EXPECT_EQ(len(), 1u);
  const std::string file = path("out.ndjson");
  auto exported = export_to_file(st(), file);
  ASSERT_TRUE(exported.ok());
  EXPECT_EQ(*exported, 1u);

  // Compaction leaves the unexpired Pending record and takes the expired one.
  auto stats = compact_collection(st());
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->expired_removed, 1u);
  EXPECT_EQ(stats->tombstones_removed, 0u);
  reopen();
  EXPECT_EQ(stored("a")->status, RecordStatus::kPending);
  EXPECT_FALSE(stored("b"));
  EXPECT_FALSE(get("a"));
}

}  // namespace
}  // namespace tessarin
