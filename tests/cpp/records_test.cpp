// The collection tables ("records", "freelist") and the registry table
// ("collections") over a real store.
#include "storage/records.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "storage/registry.h"
#include "test_util.h"

namespace tessarin {
namespace {

using testing::TempDirTest;

class RecordsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    reopen();
  }
  void reopen() {
    store_.reset();
    auto s = Store::open(path("meta.redb"));
    ASSERT_TRUE(s.ok()) << s.error().message();
    store_.emplace(std::move(s).value());
  }
  Store& store() { return *store_; }

  // Runs body in a write transaction and commits it.
  template <typename F>
  void write(F&& body) {
    auto w = store().begin_write();
    ASSERT_TRUE(w.ok());
    body(*w);
    ASSERT_TRUE(w->commit().ok());
  }
  std::optional<Record> get(std::string_view id) {
    auto r = read_transaction(store());
    EXPECT_TRUE(r.ok());
    auto rec = get_record(*r, id);
    EXPECT_TRUE(rec.ok()) << rec.error().message();
    return rec.ok() ? *rec : std::nullopt;
  }
  uint64_t live_count() {
    auto r = read_transaction(store());
    EXPECT_TRUE(r.ok());
    auto n = count_live_records(*r);
    EXPECT_TRUE(n.ok()) << n.error().message();
    return n.ok() ? *n : ~uint64_t{0};
  }
  std::vector<Record> scan_all() {
    auto r = read_transaction(store());
    EXPECT_TRUE(r.ok());
    auto scan = RecordScan::open(*r);
    EXPECT_TRUE(scan.ok());
    std::vector<Record> out;
    Record rec;
    for (;;) {
      auto more = scan->next(&rec);
      EXPECT_TRUE(more.ok());
      if (!more.ok() || !*more) break;
      out.push_back(rec);
    }
    return out;
  }

  std::optional<Store> store_;
};

Record rec(std::string id, uint64_t slot, RecordStatus status = RecordStatus::kActive,
           std::optional<uint64_t> expires_at = std::nullopt) {
  return Record{std::move(id), slot, R"({"n":1})", 100, expires_at, status};
}

TEST_F(RecordsTest, FreshStoreHasNoRecordsNoFreeListNoCollections) {
  EXPECT_EQ(get("x"), std::nullopt);
  EXPECT_EQ(live_count(), 0u);
  EXPECT_TRUE(scan_all().empty());
  auto r = read_transaction(store());
  ASSERT_TRUE(r.ok());
  auto slots = load_free_list(*r);
  ASSERT_TRUE(slots.ok());
  EXPECT_TRUE(slots->empty());
  auto config = load_collection_config(*r, "docs");
  ASSERT_TRUE(config.ok());
  EXPECT_FALSE(config->has_value());
  r->end();
  auto names = list_collection_names(store());
  ASSERT_TRUE(names.ok());
  EXPECT_TRUE(names->empty());
}

TEST_F(RecordsTest, PutGetReplaceRemoveAndOrderedScan) {
  write([](WriteTxn& w) {
    for (const char* id : {"b", "", "a", "B"}) ASSERT_TRUE(put_record(w, rec(id, id[0])).ok());
  });
  EXPECT_EQ(get(""), rec("", 0));
  std::vector<std::string> ids;
  for (const Record& r : scan_all()) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"", "B", "a", "b"}));

  Record replacement{"a", 42, "", 7, 99, RecordStatus::kPending};
  write([&](WriteTxn& w) {
    ASSERT_TRUE(put_record(w, replacement).ok());
    ASSERT_TRUE(remove_record(w, "b").ok());
    ASSERT_TRUE(remove_record(w, "never-stored").ok());
  });
  EXPECT_EQ(get("a"), replacement);
  EXPECT_EQ(get("b"), std::nullopt);
  EXPECT_EQ(scan_all().size(), 3u);

  // An id longer than the store's key limit is refused up front.
  const std::string long_id(store().max_id_bytes() + 1, 'x');
  auto w = store().begin_write();
  ASSERT_TRUE(w.ok());
  auto refused = put_record(*w, rec(long_id, 1));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "Invalid input: id is " + std::to_string(long_id.size()) + " bytes long; ids may be at most " +
                std::to_string(store().max_id_bytes()) + " bytes");
  EXPECT_TRUE(put_record(*w, rec(long_id.substr(1), 1)).ok());
}

TEST_F(RecordsTest, UndecodableRowFailsGetScanAndCount) {
  write([](WriteTxn& w) {
    ASSERT_TRUE(put_record(w, rec("good", 1)).ok());
    std::string bad = encode_record(rec("zz-bad", 2));
    bad[bad.size() - 4] = 5;  // status index 5
    ASSERT_TRUE(w.put(kRecordsTable, "zz-bad", bad).ok());
  });
  const std::string text =
      "Serialization error: invalid value: integer `5`, expected variant index 0 <= i < 3";
  auto r = read_transaction(store());
  ASSERT_TRUE(r.ok());
  auto g = get_record(*r, "zz-bad");
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(g.error().message(), text);
  auto n = count_live_records(*r);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().message(), text);
  auto scan = RecordScan::open(*r);
  ASSERT_TRUE(scan.ok());
  Record out;
  ASSERT_TRUE(*scan->next(&out));  // "good" first
  auto second = scan->next(&out);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(), text);
}

TEST_F(RecordsTest, LiveCountFollowsStatusAndExpiry) {
  const uint64_t now = platform::now_secs();
  write([&](WriteTxn& w) {
    ASSERT_TRUE(put_record(w, rec("active", 0)).ok());
    ASSERT_TRUE(put_record(w, rec("pending", 1, RecordStatus::kPending)).ok());
    ASSERT_TRUE(put_record(w, rec("tombstone", 2, RecordStatus::kTombstone)).ok());
    ASSERT_TRUE(put_record(w, rec("expires-now", 3, RecordStatus::kActive, now)).ok());
    ASSERT_TRUE(put_record(w, rec("expired", 4, RecordStatus::kActive, now - 10)).ok());
    ASSERT_TRUE(put_record(w, rec("later", 5, RecordStatus::kActive, now + 3600)).ok());
  });
  EXPECT_EQ(live_count(), 2u);
  EXPECT_TRUE(is_live(rec("x", 0, RecordStatus::kActive, 11), 10));
  EXPECT_FALSE(is_live(rec("x", 0, RecordStatus::kActive, 10), 10));
}

TEST_F(RecordsTest, SetRecordStatusSeesOnlyCommittedState) {
  write([](WriteTxn& w) { ASSERT_TRUE(put_record(w, rec("committed", 1, RecordStatus::kPending)).ok()); });
  auto w = store().begin_write();
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(put_record(*w, rec("uncommitted", 2, RecordStatus::kPending)).ok());
  auto missing = set_record_status(store(), *w, "uncommitted", RecordStatus::kActive);
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(*missing);
  auto absent = set_record_status(store(), *w, "nobody", RecordStatus::kActive);
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(*absent);
  auto found = set_record_status(store(), *w, "committed", RecordStatus::kActive);
  ASSERT_TRUE(found.ok());
  EXPECT_TRUE(*found);
  EXPECT_EQ(get("committed")->status, RecordStatus::kPending);  // not yet committed
  ASSERT_TRUE(w->commit().ok());
  EXPECT_EQ(get("committed"), rec("committed", 1));
  EXPECT_EQ(get("uncommitted")->status, RecordStatus::kPending);
}

TEST_F(RecordsTest, FreeListSavesInOrderAndTreatsEmptyValueAsEmpty) {
  write([](WriteTxn& w) { ASSERT_TRUE(w.put(kFreeListTable, kFreeListKey, "").ok()); });
  {
    auto r = read_transaction(store());
    ASSERT_TRUE(r.ok());
    auto slots = load_free_list(*r);
    ASSERT_TRUE(slots.ok());
    EXPECT_TRUE(slots->empty());
  }
  write([](WriteTxn& w) { ASSERT_TRUE(save_free_list(w, {4, 9, 2}).ok()); });
  reopen();
  {
    auto r = read_transaction(store());
    ASSERT_TRUE(r.ok());
    auto slots = load_free_list(*r);
    ASSERT_TRUE(slots.ok());
    EXPECT_EQ(*slots, (std::vector<uint64_t>{4, 9, 2}));
  }
  write([](WriteTxn& w) {
    std::string short_list = encode_slot_list({1, 2, 3});
    short_list.resize(short_list.size() - 8);
    ASSERT_TRUE(w.put(kFreeListTable, kFreeListKey, short_list).ok());
  });
  auto r = read_transaction(store());
  ASSERT_TRUE(r.ok());
  auto damaged = load_free_list(*r);
  ASSERT_FALSE(damaged.ok());
  EXPECT_EQ(damaged.error().message(), "Serialization error: io error: unexpected end of file");
}

TEST_F(RecordsTest, RegistryListsInByteOrderAndPersists) {
  auto config = [](std::string name, uint64_t dim) {
    return CollectionConfig{std::move(name), dim, Metric::kDot, 5, std::nullopt};
  };
  write([&](WriteTxn& w) {
    for (const char* name : {"beta", "Alpha", "alpha"}) ASSERT_TRUE(save_collection_config(w, config(name, 8)).ok());
  });
  CollectionConfig with_graph = config("beta", 16);
  with_graph.hnsw_config = HnswConfig{16, 32, 16, 100, 40, 0.5, 77};
  write([&](WriteTxn& w) {
    ASSERT_TRUE(save_collection_config(w, with_graph).ok());  // replaces the row
    ASSERT_TRUE(delete_collection_config(w, "alpha").ok());
    ASSERT_TRUE(delete_collection_config(w, "not-registered").ok());
    ASSERT_TRUE(save_collection_config(w, config("alpha", 8)).ok());
  });
  reopen();
  auto names = list_collection_names(store());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(*names, (std::vector<std::string>{"Alpha", "alpha", "beta"}));
  auto r = read_transaction(store());
  ASSERT_TRUE(r.ok());
  auto beta = load_collection_config(*r, "beta");
  ASSERT_TRUE(beta.ok());
  EXPECT_EQ(*beta, with_graph);
  r->end();

  // A damaged row still lists, but does not load.
  write([](WriteTxn& w) { ASSERT_TRUE(w.put(kCollectionsTable, "broken", "\x01").ok()); });
  names = list_collection_names(store());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names->size(), 4u);
  auto r2 = read_transaction(store());
  ASSERT_TRUE(r2.ok());
  auto broken = load_collection_config(*r2, "broken");
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().message(), "Serialization error: io error: unexpected end of file");
}

}  // namespace
}  // namespace tessarin
