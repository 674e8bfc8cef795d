// What a process killed between two durable steps of a write leaves behind.
// Each case runs its write in a forked child that is killed with SIGKILL at a
// named crash point (or right after the write returned); the parent then
// opens the collection as the next program would and checks that every id
// holds its old or its new version, never neither, and that get, search, len,
// export and compaction agree on which records exist.

#include <csignal>
#include <functional>
#include <map>

#include "collection_test_util.h"
#include "database.h"
#include "export/ndjson.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

using testing::obj;
using Versions = std::map<std::string, int>;  // id -> version; absent: no record

std::vector<float> vec(int version) { return {float(version), 1, 0, 0}; }
json::Value meta(int version) { return obj({{"v", json::Value(version)}}); }

// A crash point named by the test itself: the write has returned.
constexpr const char* kAfterReturn = "test.after_return";

struct CrashCase {
  const char* name;
  const char* kill_at;
  std::function<void(CollectionState&)> act;
  Versions expect;
  uint64_t tombstones_left = 0;  // removed by the first compaction
};

class CrashTest : public testing::CollectionTest {
 protected:
  // Runs `act` in a child killed at `kill_at`; the parent's state is closed
  // meanwhile (the child takes the store's lock) and reopened afterwards.
  void run_killed(const char* kill_at, const std::function<void(CollectionState&)>& act) {
    state_.reset();
    EXPECT_EXIT(
        {
          reopen();
          platform::FaultInjection::kill_at(kill_at);
          act(st());
          platform::crash_point(kAfterReturn);
          std::_Exit(0);  // not killed: the crash point was never reached
        },
        ::testing::KilledBySignal(SIGKILL), "");
    reopen();
  }

  // Every reader sees exactly `want`.
  void expect_state(const Versions& want) {
    for (const char* id : {"x", "y", "z", "n1", "n2"}) {
      SCOPED_TRACE(id);
      std::optional<SearchHit> hit = get(id);
      auto it = want.find(id);
      ASSERT_EQ(hit.has_value(), it != want.end());
      if (hit) EXPECT_EQ(hit->metadata, meta(it->second));
    }
    EXPECT_EQ(len(), want.size());
    Versions seen;
    for (const SearchHit& h : search({0, 0, 0, 1}, 100)) {
      EXPECT_TRUE(seen.emplace(h.id, int(h.metadata.as_object().find("v")->as_u64())).second);
    }
    EXPECT_EQ(seen, want);
    auto exported = export_to_file(st(), path("out.ndjson"));
    ASSERT_TRUE(exported.ok()) << exported.error().message();
    EXPECT_EQ(*exported, want.size());
  }
};

TEST_F(CrashTest, EveryIdKeepsItsOldOrItsNewVersion) {
  auto upsert = [](const char* id, int v) {
    return [=](CollectionState& s) { ASSERT_TRUE(upsert_record(s, id, vec(v), meta(v), std::nullopt).ok()); };
  };
  auto del = [](const char* id) { return [=](CollectionState& s) { ASSERT_TRUE(*delete_by_id(s, id)); }; };
  auto batch = [](CollectionState& s) {
    BatchVectors v;
    v.rows = {vec(2), vec(5), vec(6)};
    ASSERT_TRUE(add_batch_impl(s, v, {meta(2), meta(5), meta(6)},
                               std::vector<std::string>{"x", "n1", "n2"}, std::nullopt)
                    .ok());
  };
  auto adds = [](CollectionState& s) {
    ASSERT_TRUE(add_record(s, vec(2), meta(2), "x", std::nullopt).ok());
    ASSERT_TRUE(add_record(s, vec(7), meta(7), "n1", std::nullopt).ok());
    ASSERT_TRUE(flush_pending_writes(s).ok());
  };
  // A queued add, then the delete of a stored id: the add is committed first.
  auto add_then_del = [](CollectionState& s) {
    ASSERT_TRUE(add_record(s, vec(7), meta(7), "n1", std::nullopt).ok());
    ASSERT_TRUE(*delete_by_id(s, "x"));
  };
  const Versions before = {{"x", 1}, {"y", 1}};
  const CrashCase cases[] = {
      // Upsert of a stored id: one durable commit replaces it.
      {"upsert, vectors durable", "flush.vectors_durable", upsert("x", 2), {{"x", 1}, {"y", 1}}},
      {"upsert, committed", "collection_txn.committed", upsert("x", 2), {{"x", 2}, {"y", 1}}},
      {"upsert, returned", kAfterReturn, upsert("x", 2), {{"x", 2}, {"y", 1}}},
      // Delete: the Tombstone commit decides; a Tombstone is hidden everywhere.
      {"delete, before tombstone", "collection_txn.before_commit", del("x"), before},
      {"delete, tombstone committed", "collection_txn.committed", del("x"), {{"y", 1}}, 1},
      {"delete, slot released", "delete.tombstone_committed", del("x"), {{"y", 1}}, 1},
      {"delete, returned", kAfterReturn, del("x"), {{"y", 1}}},
      {"delete, queue committed", "collection_txn.committed", add_then_del,
       {{"x", 1}, {"y", 1}, {"n1", 7}}},
      {"delete after a queued add, returned", kAfterReturn, add_then_del, {{"y", 1}, {"n1", 7}}},
      // Batch over a stored id: the stored row stays until the second commit.
      {"batch, vectors written", "collection_txn.before_commit", batch, before},
      {"batch, pending committed", "batch.pending_committed", batch, before},
      {"batch, vectors durable", "batch.vectors_durable", batch, before},
      {"batch, returned", kAfterReturn, batch, {{"x", 2}, {"y", 1}, {"n1", 5}, {"n2", 6}}},
      // A group commit replacing a stored id: all of it or nothing.
      {"flush, vectors durable", "flush.vectors_durable", adds, before},
      {"flush, committed", "collection_txn.committed", adds, {{"x", 2}, {"y", 1}, {"n1", 7}}},
  };
  for (const CrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    open(4, Metric::kDot, "coll" + std::to_string(&c - cases));
    add(vec(1), meta(1), "x");
    add(vec(1), meta(1), "y");
    sync();
    run_killed(c.kill_at, c.act);
    expect_state(c.expect);
    expect_slots_accounted(/*leak=*/3);
    auto stats = compact_collection(st());
    ASSERT_TRUE(stats.ok());
    EXPECT_EQ(stats->tombstones_removed, c.tombstones_left);
    expect_state(c.expect);
    expect_slots_accounted();  // what the kill left is reclaimed
    // Nothing left behind is handed out twice: new adds get slots no record
    // holds.
    for (int i = 0; i < 4; ++i) add(vec(9), meta(9), "z" + std::to_string(i));
    sync();
    expect_slots_accounted(3);
  }
}

// A drop killed after its registry row is gone, or half-way through removing
// the directory, leaves the directory (whole or in part) behind: the next
// open of the database removes it, and the name starts empty again.
TEST_F(CrashTest, AKilledDropLeavesNothingTheNameComesBackWith) {
  constexpr uint64_t kDim = 4;  // as vec()
  for (const char* kill_at : {"drop.row_deleted", "remove_dir_all.entry_removed"}) {
    SCOPED_TRACE(kill_at);
    const std::string db_path = path(kill_at);
    {
      auto db = testing::ok_value(open_database(db_path));
      auto c = testing::ok_value(collection(*db, "d", kDim, Metric::kL2));
      BatchVectors rows;
      rows.rows = testing::normal_vectors(20000, kDim, 1);
      ASSERT_TRUE(add_batch_impl(*c, rows, std::vector<json::Value>(20000), {}, {}).ok());
    }
    EXPECT_EXIT(
        {
          auto db = open_database(db_path);
          platform::FaultInjection::kill_at(kill_at);
          (void)drop_collection(**db, "d");
          std::_Exit(0);  // not killed: the crash point was never reached
        },
        ::testing::KilledBySignal(SIGKILL), "");
    auto db = testing::ok_value(open_database(db_path));
    EXPECT_TRUE(testing::ok_value(collections(*db)).empty());
    EXPECT_FALSE(std::filesystem::exists(db_path + "/collections/d"));
    auto c = testing::ok_value(collection(*db, "d", kDim, Metric::kL2));
    EXPECT_EQ(*live_record_count(*c), 0u);
    EXPECT_EQ(vectors_size_bytes(*c), 64 + kDim * 4 * 1024);
    ASSERT_TRUE(add_record(*c, vec(3), meta(3), "n", std::nullopt).ok());
    EXPECT_EQ(ids(testing::ok_value(search_collection(*c, vec(3), 5, std::nullopt))),
              std::vector<std::string>{"n"});
  }
}

// A creation killed at a named point of its course leaves the name absent:
// creating it works and starts empty, with the requested dimensions or
// others (what the directory holds is adopted, or cleared as it holds no
// record). A drop killed before its row is gone leaves the collection as it
// was, records and all, and its directory unmarked after the next open.
TEST_F(CrashTest, AKilledCreationLeavesTheNameAbsentAndAKilledDropKeepsIt) {
  constexpr uint64_t kDim = 4;  // as vec()
  for (const char* kill_at : {"vector_file.created", "create.files_durable"}) {
    for (const uint64_t dim_after : {kDim, uint64_t{16}}) {
      SCOPED_TRACE(std::string(kill_at) + ", then created with " + std::to_string(dim_after));
      const std::string db_path = path(std::string(kill_at) + std::to_string(dim_after));
      EXPECT_EXIT(
          {
            auto db = open_database(db_path);
            platform::FaultInjection::kill_at(kill_at);
            (void)collection(**db, "c", kDim, Metric::kL2);
            std::_Exit(0);  // not killed: the crash point was never reached
          },
          ::testing::KilledBySignal(SIGKILL), "");
      auto db = testing::ok_value(open_database(db_path));
      EXPECT_TRUE(testing::ok_value(collections(*db)).empty());
      EXPECT_EQ(get_collection(*db, "c").error().kind(), DbError::Kind::kCollectionNotFound);
      auto c = testing::ok_value(collection(*db, "c", dim_after, Metric::kL2));
      EXPECT_EQ(*live_record_count(*c), 0u);
      EXPECT_EQ(vectors_size_bytes(*c), 64 + dim_after * 4 * 1024);
      ASSERT_TRUE(add_record(*c, std::vector<float>(dim_after, 1.0f), meta(3), "n", {}).ok());
      EXPECT_EQ(testing::ok_value(search_collection(*c, std::vector<float>(dim_after, 1.0f), 5,
                                                    std::nullopt)).size(), 1u);
    }
  }

  const std::string db_path = path("drop.marked");
  {
    auto db = testing::ok_value(open_database(db_path));
    auto c = testing::ok_value(collection(*db, "d", kDim, Metric::kL2));
    ASSERT_TRUE(add_record(*c, vec(1), meta(1), "x", {}).ok());
  }
  EXPECT_EXIT(
      {
        auto db = open_database(db_path);
        platform::FaultInjection::kill_at("drop.marked");
        (void)drop_collection(**db, "d");
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  auto db = testing::ok_value(open_database(db_path));
  EXPECT_EQ(testing::ok_value(collections(*db)), std::vector<std::string>{"d"});
  EXPECT_FALSE(std::filesystem::exists(db_path + "/collections/d/" + std::string(kDropMarker)));
  auto c = testing::ok_value(get_collection(*db, "d"));
  EXPECT_EQ(ids(testing::ok_value(search_collection(*c, vec(1), 5, std::nullopt))),
            std::vector<std::string>{"x"});
}

// Batches killed before their first transaction (vectors written, slots
// counted in the file, no row) and between their two (Pending rows holding
// the slots), life after life: the compaction after each kill takes back
// what it left, so the file never holds more slots than the live records
// and one batch, and keeps its first size.
TEST_F(CrashTest, KilledBatchesLeaveNothingAfterCompaction) {
  constexpr int kBatch = 600;
  open(4, Metric::kDot, "batches");
  add(vec(1), meta(1), "x");
  add(vec(1), meta(1), "y");
  sync();
  const uint64_t fresh_size = vectors_size_bytes(st());
  auto batch = [&](int life) {
    return [=](CollectionState& s) {
      BatchVectors v;
      std::vector<json::Value> metas;
      std::vector<std::string> ids;
      for (int i = 0; i < kBatch; ++i) {
        v.rows.push_back(vec(100 + i));
        metas.push_back(meta(100 + i));
        ids.push_back("b" + std::to_string(life) + "-" + std::to_string(i));
      }
      ASSERT_TRUE(add_batch_impl(s, v, std::move(metas), ids, std::nullopt).ok());
    };
  };
  for (int life = 0; life < 6; ++life) {
    SCOPED_TRACE(life);
    run_killed(life % 2 ? "batch.pending_committed" : "collection_txn.before_commit", batch(life));
    expect_state({{"x", 1}, {"y", 1}});
    ASSERT_TRUE(compact_collection(st()).ok());
    expect_state({{"x", 1}, {"y", 1}});
    EXPECT_EQ(stored_rows().size(), 2u);
    expect_slots_accounted();
    EXPECT_LE(slot_count(), 2u + kBatch);
    EXPECT_EQ(vectors_size_bytes(st()), fresh_size);
  }
  batch(6)(st());  // one that completes reuses the reclaimed slots
  EXPECT_EQ(len(), 2u + kBatch);
  EXPECT_LE(slot_count(), 2u + kBatch);
}

}  // namespace
}  // namespace tessarin
