// The batch add: argument checks before anything changes, the two
// transactions around the vector sync, and what a failure in between leaves.
#include <cerrno>
#include <cmath>
#include <future>
#include <mutex>
#include <tuple>

#include "collection_test_util.h"
#include "export/ndjson.h"
#include "platform/platform.h"
#include "search/distance.h"

namespace tessarin {
namespace {

using testing::obj;
using Ids = std::optional<std::vector<std::string>>;
using Ttls = std::optional<std::vector<std::optional<uint64_t>>>;

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
  Result<std::vector<std::string>> batch(BatchVectors v, std::vector<json::Value> m, Ids ids = {},
                                         Ttls ttls = {}) {
    return add_batch_impl(st(), v, std::move(m), std::move(ids), std::move(ttls));
  }
};

TEST_F(BatchTest, RefusedBatchesChangeNothing) {
  open(4);
  add({1, 0, 0, 0}, json::Object(), "old");
  ASSERT_TRUE(delete_by_id(st(), "old").ok());  // one slot on the free list
  const uint64_t slots_before = slot_count();
  const std::vector<uint64_t> free_before = free_slots();
  const std::vector<float> ok(4, 1.0f);
  const std::string long_id(max_id_bytes(st()) + 1, 'x');
  const std::tuple<BatchVectors, size_t, Ids, Ttls, std::string> cases[] = {
      // Lengths first, in their order, before any dimension check.
      {rows({ok, ok, {1}}), 2, Ids{{"a"}}, Ttls(std::in_place), "Invalid input: vectors and metadatas must have same length"},
      {rows({ok, ok, {1}}), 3, Ids{{"a"}}, Ttls(std::in_place), "Invalid input: ids must have same length as vectors"},
      {rows({ok, ok, {1}}), 3, {}, Ttls(std::in_place), "Invalid input: ttls must have same length as vectors"},
      // A bad vector anywhere, even the last one.
      {rows({ok, ok, {1, 2, 3}}), 3, {}, {}, "Dimension mismatch: expected 4, got 3"},
      {rows({ok, {1, 2, NAN, 0}}), 2, {}, {}, "Invalid input: vectors[1] component 2 is not a finite number"},
      {rows({ok, ok}), 2, Ids{{"a", long_id}}, {},
       "Invalid input: id is " + std::to_string(long_id.size()) + " bytes long; ids may be at most " +
           std::to_string(long_id.size() - 1) + " bytes"},
  };
  for (const auto& [vectors, metadatas, ids, ttls, message] : cases) {
    EXPECT_EQ(testing::error_text(batch(vectors, metas(metadatas), ids, ttls)), message);
    EXPECT_EQ(slot_count(), slots_before);
    EXPECT_EQ(free_slots(), free_before);
    EXPECT_TRUE(stored_rows().empty());
  }
  // An empty batch runs through and returns nothing.
  EXPECT_TRUE(batch(rows({}), {}).value().empty());
  EXPECT_EQ(free_slots(), free_before);
}

// A block lies in the caller's memory, which another thread may change while
// the batch runs: what is stored is what was checked, so a value changed to
// a NaN after the first check fails the batch, which changes nothing.
TEST_F(BatchTest, StoresOnlyTheValuesItChecked) {
  open(4);
  for (const char* id : {"a", "b", "c"}) add({1, 0, 0, 0}, json::Object(), id);
  sync();
  for (const char* id : {"a", "b", "c"}) ASSERT_TRUE(delete_by_id(st(), id).value());
  // Three listed slots: the batch takes them without the vector lock, and
  // writes them only once it has that lock.
  const std::vector<uint64_t> free_before = free_slots();
  std::vector<float> block(3 * 4, 1.0f);
  BatchVectors v;
  v.is_block = true, v.data = block.data(), v.block_rows = 3, v.block_cols = 4, v.row_stride = 4;
  std::future<Result<std::vector<std::string>>> added;
  {
    std::unique_lock hold(st().vectors.mu);
    added = std::async(std::launch::async, [&] { return batch(v, metas(3)); });
    while (!free_slots().empty()) std::this_thread::yield();  // checked, slots taken
    block[2 * 4 + 1] = NAN;
  }
  auto r = added.get();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid input: vectors[2] component 1 is not a finite number");
  EXPECT_TRUE(stored_rows().empty());
  EXPECT_EQ(free_slots(), free_before);
  expect_slots_accounted();
}

TEST_F(BatchTest, RecordsAreCommittedActiveWithTheirVectorsAndExpiry) {
  open(3, Metric::kCosine);  // (Strided blocks of rows: test_conversions.py.)
  const uint64_t before = now_secs();
  auto r = batch(rows({{3, 0, 4}, {0, 5, 0}}),
                 {obj({{"b", json::Value(1)}, {"a", json::Value(2.5)}}), json::Value()}, Ids{{"p", ""}},
                 Ttls{{std::nullopt, 60}});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(*r, (std::vector<std::string>{"p", ""}));

  const Record p = stored("p").value(), q = stored("").value();
  EXPECT_TRUE(p.status == RecordStatus::kActive && q.status == RecordStatus::kActive);
  EXPECT_EQ(p.metadata, "{\"a\":2.5,\"b\":1}");
  EXPECT_EQ(q.metadata, "null");
  EXPECT_FALSE(p.expires_at.has_value());
  EXPECT_EQ(q.expires_at, q.created_at + 60);
  EXPECT_GE(q.created_at, before);
  EXPECT_EQ(slot_values(p.slot), prepare_vector(Metric::kCosine, std::vector<float>{3, 0, 4}));
  EXPECT_EQ(slot_values(q.slot), prepare_vector(Metric::kCosine, std::vector<float>{0, 5, 0}));
  EXPECT_EQ(ids(search({0, 1, 0}, 1)), std::vector<std::string>{""});
  EXPECT_EQ(len(), 2u);
}

TEST_F(BatchTest, RepeatedIdsKeepTheLaterRecordAndReleaseTheOtherSlots) {
  open(2);
  add({9, 9}, obj({{"v", json::Value("old")}}), "x");
  sync();
  const uint64_t old_slot = stored("x").value().slot;
  const uint64_t slots_before = slot_count();

  EXPECT_EQ(batch(rows({{1, 0}, {0, 1}}), metas(2), Ids{{"x", "x"}}).value(),
            (std::vector<std::string>{"x", "x"}));
  EXPECT_EQ(slot_count(), slots_before + 2);  // both slots taken and written
  const Record x = stored("x").value();
  EXPECT_EQ(x.metadata, "{\"i\":1}");
  EXPECT_EQ(x.status, RecordStatus::kActive);
  EXPECT_EQ(slot_values(x.slot), (std::vector<float>{0, 1}));
  // The earlier record of the batch and the replaced one give their slots back.
  EXPECT_EQ(free_slots(), (std::vector<uint64_t>{x.slot - 1, old_slot}));
  EXPECT_TRUE(std::isnan(slot_values(x.slot - 1)[0]));
  EXPECT_TRUE(std::isnan(slot_values(old_slot)[0]));
  EXPECT_EQ(len(), 1u);
  reopen();
  EXPECT_EQ(free_slots(), (std::vector<uint64_t>{x.slot - 1, old_slot}));
}

// Writes reach the store in the order their calls returned: a batch commits
// the writes queued before it first, so they cannot land over it later.
TEST_F(BatchTest, WritesQueuedBeforeABatchReachTheStoreFirst) {
  open(2);
  ASSERT_TRUE(upsert_record(st(), "y", std::vector<float>{1, 0}, obj({{"k", json::Value("old")}}),
                            std::nullopt).ok());
  ASSERT_EQ(queued(), 1u);
  ASSERT_TRUE(batch(rows({{0, 1}}), {obj({{"k", json::Value("new")}})}, Ids{{"y"}}).ok());
  EXPECT_EQ(queued(), 0u);
  sync();
  EXPECT_EQ(get("y").value().metadata, obj({{"k", json::Value("new")}}));
  EXPECT_EQ(len(), 1u);
  expect_slots_accounted();
}

TEST_F(BatchTest, RecordsLeftPendingByAFailedSyncStayInvisible) {
  open(2);
  add({1, 1}, json::Object(), "live");
  sync();
  const uint64_t slots_before = slot_count();
  platform::FaultInjection::fail(platform::Op::kFullSync, EIO);
  auto r = batch(rows({{1, 0}, {0, 1}}), metas(2), Ids{{"a", "b"}}, Ttls{{std::nullopt, 0}});
  platform::FaultInjection::reset();
  EXPECT_EQ(r.error().kind(), DbError::Kind::kIo);

  // Transaction 1 committed both records as Pending; their slots stay taken.
  EXPECT_EQ(stored("a").value().status, RecordStatus::kPending);
  EXPECT_TRUE(stored("b"));
  EXPECT_EQ(slot_count(), slots_before + 2);
  EXPECT_FALSE(get("a"));
  EXPECT_EQ(ids(search({1, 0}, 10)), std::vector<std::string>{"live"});
  EXPECT_EQ(len(), 1u);
  EXPECT_EQ(export_to_file(st(), path("out.ndjson")).value(), 1u);

  // Compaction takes the expired record (counted) and the Pending one, which
  // no running batch owns (not counted), and frees both slots (2 x 8 bytes).
  auto stats = compact_collection(st());
  EXPECT_EQ(std::tuple(stats->expired_removed, stats->tombstones_removed, stats->bytes_freed),
            std::tuple(1u, 0u, 16u));
  reopen();
  EXPECT_FALSE(stored("a"));
  EXPECT_FALSE(stored("b"));
  EXPECT_FALSE(get("a"));
  EXPECT_EQ(free_slots().size(), 2u);
  expect_slots_accounted();
}

}  // namespace
}  // namespace tessarin
