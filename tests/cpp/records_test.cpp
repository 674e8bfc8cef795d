// The collection tables ("records", "freelist") and the registry table
// ("collections") over a real store.
#include "storage/records.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "storage/registry.h"
#include "test_util.h"

namespace tessarin {
namespace {

const std::string kEof = "Serialization error: io error: unexpected end of file";

class RecordsTest : public testing::TempDirTest {
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
  ReadTxn read() {
    auto r = read_transaction(store());
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
  }
  // Runs body in a write transaction and commits it.
  template <typename F>
  void write(F&& body) {
    auto w = store().begin_write();
    ASSERT_TRUE(w.ok());
    body(*w);
    ASSERT_TRUE(w->commit().ok());
  }
  std::optional<Record> get(std::string_view id) {
    auto rec = get_record(read(), id);
    EXPECT_TRUE(rec.ok()) << rec.error().message();
    return rec.ok() ? *rec : std::nullopt;
  }
  std::vector<Record> scan_all() {
    ReadTxn r = read();
    auto scan = RecordScan::open(r);
    EXPECT_TRUE(scan.ok());
    std::vector<Record> out;
    RecordView v;
    for (auto more = scan->next_view(&v); more.ok() && *more; more = scan->next_view(&v)) {
      out.push_back(v.to_record());
    }
    return out;
  }

  std::optional<Store> store_;
};

Record rec(std::string id, uint64_t slot, RecordStatus status = RecordStatus::kActive,
           std::optional<uint64_t> expires_at = std::nullopt) {
  return Record{std::move(id), slot, R"({"n":1})", 100, expires_at, status};
}

TEST_F(RecordsTest, PutGetReplaceRemoveAndOrderedScan) {
  EXPECT_EQ(get("x"), std::nullopt);  // no "records" table yet
  EXPECT_TRUE(scan_all().empty());
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
  const size_t max = store().max_id_bytes();
  write([&](WriteTxn& w) {
    EXPECT_EQ(put_record(w, rec(std::string(max + 1, 'x'), 1)).error().message(),
              "Invalid input: id is " + std::to_string(max + 1) + " bytes long; ids may be at most " +
                  std::to_string(max) + " bytes");
    EXPECT_TRUE(put_record(w, rec(std::string(max, 'x'), 1)).ok());
  });
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
  ReadTxn r = read();
  EXPECT_EQ(get_record(r, "zz-bad").error().message(), text);
  EXPECT_EQ(count_live_records(r).error().message(), text);
  auto scan = RecordScan::open(r);
  RecordView out;
  ASSERT_TRUE(*scan->next_view(&out));  // "good" first
  EXPECT_EQ(scan->next_view(&out).error().message(), text);
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
  EXPECT_EQ(*count_live_records(read()), 2u);
}

}  // namespace
}  // namespace tessarin
