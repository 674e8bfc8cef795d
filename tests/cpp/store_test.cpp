// The store: table lifecycle, key handling, the exclusive lock, writer
// exclusion, map growth, a truncated data file; and the "records" table
// kept in it. (A full disk, store first: test_full_disk.py.)
#include "storage/store.h"

#include <atomic>
#include <chrono>

#include "platform/platform.h"
#include "storage/records.h"
#include "test_util.h"

namespace tessarin {
namespace {

using testing::ok_value;

class StoreTest : public testing::TempDirTest {
 protected:
  Store open_store(StoreOptions options = {}) { return ok_value(Store::open(path("meta.redb"), options)); }
};

ReadTxn reader(const Store& store) { return ok_value(store.begin_read()); }
WriteTxn writer(const Store& store) { return ok_value(store.begin_write()); }

std::optional<std::string> read(const Store& store, std::string_view table, std::string_view key) {
  const ReadTxn txn = reader(store);  // the value views the map: copy it while the read lasts
  const std::optional<std::string_view> v = ok_value(txn.get(table, key));
  return v ? std::optional<std::string>(*v) : std::nullopt;
}

std::vector<std::pair<std::string, std::string>> scan(const ReadTxn& txn, std::string_view table) {
  std::vector<std::pair<std::string, std::string>> rows;
  std::optional<Cursor> cursor = ok_value(txn.cursor(table));
  std::string_view k, v;
  while (cursor && ok_value(cursor->next(&k, &v))) rows.emplace_back(k, v);
  return rows;
}

// Runs body in a write transaction and commits it.
template <typename F>
void commit(const Store& store, F&& body) {
  WriteTxn w = writer(store);
  body(w);
  ASSERT_TRUE(w.commit().ok());
}
void put_committed(Store& store, std::string_view table, std::string_view key, std::string value) {
  commit(store, [&](WriteTxn& w) { ASSERT_TRUE(w.put(table, key, value).ok()); });
}

TEST_F(StoreTest, TablesExistOnlyAfterTheirFirstCommit) {
  Store store = open_store();
  {
    EXPECT_FALSE(reader(store).cursor("t")->has_value());
    ASSERT_TRUE(writer(store).put("t", "k", "dropped").ok());
  }  // aborted
  EXPECT_EQ(read(store, "t", "k"), std::nullopt);

  ReadTxn before = reader(store);  // a snapshot older than the table
  WriteTxn w = writer(store);
  ASSERT_TRUE(w.put("t", "k", "v").ok());
  EXPECT_EQ(read(store, "t", "k"), std::nullopt);  // uncommitted
  ASSERT_TRUE(w.commit().ok());
  EXPECT_EQ(read(store, "t", "k"), "v");
  EXPECT_FALSE(before.get("t", "k")->has_value());
  EXPECT_TRUE(scan(before, "t").empty());
}

TEST_F(StoreTest, KeysKeepByteOrderIncludingTheEmptyKeyAndTheLimit) {
  Store store = open_store();
  const size_t max = store.max_key_bytes();
  ASSERT_GT(max, 100u);
  const std::string longest(max, 'z');
  {
    WriteTxn w = writer(store);
    for (const char* k : {"b", "", "\xFF", "B", "a"}) ASSERT_TRUE(w.put("t", k, std::string("v") + k).ok());
    ASSERT_TRUE(w.put("t", longest, "").ok());
    EXPECT_EQ(testing::error_text(w.put("t", longest + "z", "x")),
              "Invalid input: key of " + std::to_string(max + 1) + " bytes is longer than the store accepts (at most " +
                  std::to_string(max) + " bytes)");
    ASSERT_TRUE(w.remove("t", longest + "z").ok());
    ASSERT_TRUE(w.remove("t", "missing").ok());
    ASSERT_TRUE(w.commit().ok());
  }
  ReadTxn r = reader(store);
  EXPECT_EQ(scan(r, "t"), (std::vector<std::pair<std::string, std::string>>{
                              {"", "v"}, {"B", "vB"}, {"a", "va"}, {"b", "vb"}, {longest, ""}, {"\xFF", "v\xFF"}}));
  EXPECT_FALSE(r.get("t", longest + "z")->has_value());
}

// (Another process is refused too: test_database.py, whose other process
// starts afresh, where a forked child would inherit this one's lock list.)
TEST_F(StoreTest, SecondOpenerIsRefused) {
  {
    Store first = open_store();
    put_committed(first, "t", "k", "v");
    EXPECT_EQ(testing::error_text(Store::open(path("meta.redb"))),
              "Database error: Database already open. Cannot acquire lock.");
    EXPECT_EQ(read(first, "t", "k"), "v");  // the refused open left it alone
  }
  // Released with the first store; the data persisted.
  EXPECT_EQ(read(open_store(), "t", "k"), "v");

  // A file that is not a store is refused with the store's text.
  testing::put_file(path("junk.redb"), std::string(8192, 'x'));
  EXPECT_EQ(Store::open(path("junk.redb")).error().kind(), DbError::Kind::kDatabase);
}

TEST_F(StoreTest, SecondWriterWaitsForTheFirst) {
  Store store = open_store();
  WriteTxn first = writer(store);
  ASSERT_TRUE(first.put("t", "k", "1").ok());
  std::atomic<bool> acquired{false};
  std::optional<std::string> seen;
  std::thread second([&] {
    WriteTxn w = writer(store);
    acquired = true;
    seen = read(store, "t", "k");
    ASSERT_TRUE(w.put("t", "k", "2").ok() && w.commit().ok());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());
  ASSERT_TRUE(first.commit().ok());
  second.join();
  EXPECT_EQ(seen, "1");
  EXPECT_EQ(read(store, "t", "k"), "2");
}

// A store whose path is removed while it is open (a dropped collection that
// is still used) and a store made anew at that path never share a file.
TEST_F(StoreTest, StoreMadeAnewAtARemovedPathIsIndependent) {
  Store old_store = open_store();
  put_committed(old_store, "t", "old", "1");
  std::filesystem::remove_all(path("meta.redb"));
  {
    Store fresh = open_store();
    EXPECT_EQ(read(fresh, "t", "old"), std::nullopt);
    put_committed(fresh, "t", "new", "2");
    // Whatever the old store still does with its removed files stays there.
    WriteTxn w = writer(old_store);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(w.put("t", std::to_string(i), std::string(100000, 'x')).ok());
    (void)w.commit();
    EXPECT_EQ(read(old_store, "t", "new"), std::nullopt);
  }
  Store reopened = open_store();
  EXPECT_EQ(read(reopened, "t", "new"), "2");
  EXPECT_EQ(read(reopened, "t", "0"), std::nullopt);
  EXPECT_EQ(read(reopened, "t", "old"), std::nullopt);
}

// A write far larger than the initial map grows it transparently while other
// threads keep reading; the data survives a reopen.
TEST_F(StoreTest, MapGrowsUnderALargeWriteWithConcurrentReaders) {
  auto value_of = [](int i) { return std::string(8192, static_cast<char>('a' + i % 26)); };
  auto large_of = [](int i) { return std::string((3 << 20) + i, static_cast<char>('a' + i)); };
  {
    Store store = open_store(StoreOptions{1 << 20});
    const uint64_t initial = store.map_size();
    put_committed(store, "small", "seed", "x");
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
      readers.emplace_back([&] {
        for (; !stop; ++reads) EXPECT_EQ(read(store, "small", "seed"), "x");
      });
    }
    WriteTxn w = writer(store);
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w.put("big", std::to_string(i), value_of(i)).ok()) << i;
    ASSERT_TRUE(w.remove("big", "1500").ok());
    ASSERT_TRUE(w.commit().ok());
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(reads.load(), 0u);
    EXPECT_GE(store.map_size(), 16 * initial);

    // The writing thread may read the committed state between its writes
    // (released before the next write grows the map). Values larger than
    // the write log's blocks, replayed by the growths, land whole.
    const uint64_t before = store.map_size();
    WriteTxn more = writer(store);
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(read(store, "small", "seed"), "x");
      ASSERT_TRUE(more.put("more", std::to_string(i), large_of(i)).ok());
    }
    ASSERT_TRUE(more.commit().ok());
    EXPECT_GT(store.map_size(), before);
  }
  Store store = open_store(StoreOptions{1 << 20});
  ReadTxn r = reader(store);
  auto rows = scan(r, "big");
  ASSERT_EQ(rows.size(), 2999u);
  for (auto& [k, v] : rows) ASSERT_EQ(v, value_of(std::stoi(k))) << k;
  rows = scan(r, "more");
  ASSERT_EQ(rows.size(), 12u);
  for (auto& [k, v] : rows) ASSERT_TRUE(v == large_of(std::stoi(k))) << k;
}

// A growth cannot run while the writing thread itself holds a read: the write
// fails cleanly instead of waiting for itself, and nothing of it lands.
TEST_F(StoreTest, GrowthWhileTheWriterHoldsAReadIsRefused) {
  Store store = open_store(StoreOptions{1 << 20});
  const std::string value(8192, 'x');
  ReadTxn held = reader(store);
  WriteTxn w = writer(store);
  Status failed;
  for (int i = 0; i < 1000 && failed.ok(); ++i) failed = w.put("t", std::to_string(i), value);
  EXPECT_EQ(failed.error().kind(), DbError::Kind::kTransaction);
  EXPECT_FALSE(w.commit().ok());
  held.end();
  EXPECT_EQ(read(store, "t", "0"), std::nullopt);

  WriteTxn again = writer(store);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(again.put("t", std::to_string(i), value).ok());
  ASSERT_TRUE(again.commit().ok());
}

// A data file cut short of the pages its metadata names is refused at open
// (LMDB would fault on the missing pages), whether the cut falls on a page
// boundary or inside the last page; so is a meta page whose page size
// LMDB would divide by (zero).
TEST_F(StoreTest, TruncatedDataFileIsRefusedAtOpen) {
  const std::string file = path("meta.redb");
  {
    Store store = open_store();
    put_committed(store, "t", "k", std::string(64 << 10, 'v'));  // overflow pages to the end
  }
  const uint64_t length = std::filesystem::file_size(file);
  for (const uint64_t cut : {length - 4096, length - 1, uint64_t{3 * 4096}}) {
    std::filesystem::copy_file(file, path("cut"), std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(path("cut"), cut);
    EXPECT_EQ(testing::error_text(Store::open(path("cut"))),
              "Database error: data file truncated: its metadata names " + std::to_string(length / 4096) +
                  " pages of 4096 bytes (" + std::to_string(length) + " bytes), but the file holds " +
                  std::to_string(cut) + " bytes");
  }
  std::filesystem::copy_file(file, path("zero"));
  {
    std::fstream f(path("zero"), std::ios::in | std::ios::out | std::ios::binary);
    for (const std::streamoff page : {0, 4096}) {
      f.seekp(page + 40);  // the page size, in the first database record of the meta
      f.write("\0\0\0\0", 4);
    }
  }
  EXPECT_EQ(testing::error_text(Store::open(path("zero"))),
            "Database error: data file damaged: its metadata names a page size of 0 bytes");
  Store intact = open_store();
  EXPECT_EQ(read(intact, "t", "k"), std::string(64 << 10, 'v'));
}

// A damaged node whose value runs past the end of the file (its size field
// overwritten) reads as an error, by key and by cursor, instead of handing
// out bytes the process cannot touch.
TEST_F(StoreTest, ValueRunningPastTheFileIsAnError) {
  {
    Store store = open_store();
    put_committed(store, "t", "small", "abc");
  }
  {
    std::fstream f(path("meta.redb"), std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const size_t key = bytes.find("ksmall");  // the stored key: prefix byte, then the key
    ASSERT_NE(key, std::string::npos);
    f.seekp(static_cast<std::streamoff>(key - 8));  // the node's data size: two 16-bit halves
    f.write("\xff\xff\xff\x0f", 4);
  }
  Store store = open_store();
  const ReadTxn txn = reader(store);
  EXPECT_NE(testing::error_text(txn.get("t", "small")).find("outside the file"), std::string::npos);
  std::optional<Cursor> cursor = ok_value(txn.cursor("t"));
  std::string_view k, v;
  EXPECT_FALSE(cursor.value().next(&k, &v).ok());
}

// The "records" table over the store: rows by id, the id limit and the live
// count. (Scans in key order: export_test.cpp; undecodable rows through the
// collection: search_test.cpp.)
class RecordsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    store_.emplace(open_store());
  }
  ReadTxn read() { return read_transaction(*store_).value(); }
  template <typename F>
  void write(F&& body) { commit(*store_, body); }
  void put(std::initializer_list<Record> records) {
    write([&](WriteTxn& w) {
      for (const Record& r : records) ASSERT_TRUE(put_record(w, r).ok()) << r.id;
    });
  }
  std::optional<Record> get(std::string_view id) { return get_record(read(), id).value(); }

  std::optional<Store> store_;
};

Record rec(std::string id, uint64_t slot, RecordStatus status = RecordStatus::kActive,
           std::optional<uint64_t> expires_at = std::nullopt) {
  return Record{std::move(id), slot, R"({"n":1})", 100, expires_at, status};
}

TEST_F(RecordsTest, PutGetReplaceRemoveAndTheIdLimit) {
  EXPECT_EQ(get("x"), std::nullopt);  // no "records" table yet
  put({rec("b", 1), rec("", 2), rec("a", 3)});
  EXPECT_EQ(get(""), rec("", 2));
  Record replacement{"a", 42, "", 7, 99, RecordStatus::kPending};
  write([&](WriteTxn& w) {
    ASSERT_TRUE(put_record(w, replacement).ok());
    ASSERT_TRUE(remove_record(w, "b").ok());
    ASSERT_TRUE(remove_record(w, "never-stored").ok());
  });
  EXPECT_EQ(get("a"), replacement);
  EXPECT_EQ(get("b"), std::nullopt);
  EXPECT_EQ(get(""), rec("", 2));

  // An id longer than the store's key limit is refused up front.
  const size_t max = store_->max_id_bytes();
  write([&](WriteTxn& w) {
    EXPECT_EQ(put_record(w, rec(std::string(max + 1, 'x'), 1)).error().message(),
              "Invalid input: id is " + std::to_string(max + 1) + " bytes long; ids may be at most " +
                  std::to_string(max) + " bytes");
    EXPECT_TRUE(put_record(w, rec(std::string(max, 'x'), 1)).ok());
  });
}

TEST_F(RecordsTest, LiveCountFollowsStatusAndExpiry) {
  const uint64_t now = platform::now_secs();
  put({rec("active", 0), rec("pending", 1, RecordStatus::kPending), rec("tombstone", 2, RecordStatus::kTombstone),
       rec("expires-now", 3, RecordStatus::kActive, now), rec("expired", 4, RecordStatus::kActive, now - 10),
       rec("later", 5, RecordStatus::kActive, now + 3600)});
  EXPECT_EQ(*count_live_records(read()), 2u);
}

}  // namespace
}  // namespace tessarin
