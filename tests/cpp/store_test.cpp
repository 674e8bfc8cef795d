// The LMDB-backed store: table lifecycle, key handling, the exclusive file
// lock, writer exclusion and map growth under large writes.
#include "storage/store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "test_util.h"

namespace tessarin {
namespace {

class StoreTest : public testing::TempDirTest {
 protected:
  Store open_store(StoreOptions options = {}) {
    auto s = Store::open(path("meta.redb"), options);
    EXPECT_TRUE(s.ok()) << s.error().message();
    return std::move(s).value();
  }
};

std::optional<std::string> read(const Store& store, std::string_view table, std::string_view key) {
  auto txn = store.begin_read();
  EXPECT_TRUE(txn.ok());
  auto v = txn->get(table, key);
  EXPECT_TRUE(v.ok());
  if (!v.ok() || !*v) return std::nullopt;
  return std::string(**v);
}

std::vector<std::pair<std::string, std::string>> scan(const ReadTxn& txn, std::string_view table) {
  std::vector<std::pair<std::string, std::string>> rows;
  auto cursor = txn.cursor(table);
  EXPECT_TRUE(cursor.ok());
  if (!cursor.ok() || !*cursor) return rows;
  std::string_view k, v;
  for (;;) {
    auto more = (*cursor)->next(&k, &v);
    EXPECT_TRUE(more.ok());
    if (!more.ok() || !*more) break;
    rows.emplace_back(k, v);
  }
  return rows;
}

void put_committed(Store& store, std::string_view table, std::string_view key, std::string value) {
  auto w = store.begin_write();
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->put(table, key, value).ok());
  ASSERT_TRUE(w->commit().ok());
}

TEST_F(StoreTest, TablesExistOnlyAfterTheirFirstCommit) {
  Store store = open_store();
  {
    auto r = store.begin_read();
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->cursor("t")->has_value());
    auto w = store.begin_write();
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->put("t", "k", "dropped").ok());
  }  // aborted
  EXPECT_EQ(read(store, "t", "k"), std::nullopt);

  auto before = store.begin_read();  // a snapshot older than the table
  ASSERT_TRUE(before.ok());
  auto w = store.begin_write();
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->put("t", "k", "v").ok());
  EXPECT_EQ(read(store, "t", "k"), std::nullopt);  // uncommitted
  ASSERT_TRUE(w->commit().ok());
  EXPECT_EQ(read(store, "t", "k"), "v");
  EXPECT_FALSE(before->get("t", "k")->has_value());
  EXPECT_TRUE(scan(*before, "t").empty());
}

TEST_F(StoreTest, KeysKeepByteOrderIncludingTheEmptyKeyAndTheLimit) {
  Store store = open_store();
  const size_t max = store.max_key_bytes();
  ASSERT_GT(max, 100u);
  const std::string longest(max, 'z');
  {
    auto w = store.begin_write();
    ASSERT_TRUE(w.ok());
    for (const char* k : {"b", "", "\xFF", "B", "a"}) ASSERT_TRUE(w->put("t", k, std::string("v") + k).ok());
    ASSERT_TRUE(w->put("t", longest, "").ok());
    auto too_long = w->put("t", longest + "z", "x");
    EXPECT_EQ(too_long.error().kind(), DbError::Kind::kInvalidInput);
    EXPECT_NE(too_long.error().message().find(std::to_string(max)), std::string::npos);
    ASSERT_TRUE(w->remove("t", longest + "z").ok());
    ASSERT_TRUE(w->remove("t", "missing").ok());
    ASSERT_TRUE(w->commit().ok());
  }
  auto r = store.begin_read();
  ASSERT_TRUE(r.ok());
  const auto rows = scan(*r, "t");
  std::vector<std::string> keys;
  for (auto& [k, v] : rows) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "b", longest, "\xFF"}));
  EXPECT_EQ(rows[0].second, "v");
  EXPECT_FALSE(r->get("t", longest + "z")->has_value());
}

TEST_F(StoreTest, SecondOpenerIsRefusedInThisAndAnotherProcess) {
  const std::string kLocked = "Database error: Database already open. Cannot acquire lock.";
  {
    Store first = open_store();
    put_committed(first, "t", "k", "v");
    auto second = Store::open(path("meta.redb"));
    EXPECT_EQ(second.error().message(), kLocked);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto child = Store::open(path("meta.redb"));
      _exit(!child.ok() && child.error().message() == kLocked ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read(first, "t", "k"), "v");  // the refused opens left it alone
  }
  // Released with the first store; the data persisted.
  EXPECT_EQ(read(open_store(), "t", "k"), "v");

  // A file that is not a store is refused with the store's text.
  std::FILE* f = std::fopen(path("junk.redb").c_str(), "w");
  std::fputs(std::string(8192, 'x').c_str(), f);
  std::fclose(f);
  EXPECT_EQ(Store::open(path("junk.redb")).error().kind(), DbError::Kind::kDatabase);
}

TEST_F(StoreTest, SecondWriterWaitsForTheFirst) {
  Store store = open_store();
  auto first = store.begin_write();
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(first->put("t", "k", "1").ok());
  std::atomic<bool> acquired{false};
  std::optional<std::string> seen;
  std::thread second([&] {
    auto w = store.begin_write();
    acquired = true;
    seen = read(store, "t", "k");
    ASSERT_TRUE(w.ok() && w->put("t", "k", "2").ok() && w->commit().ok());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());
  ASSERT_TRUE(first->commit().ok());
  second.join();
  EXPECT_EQ(seen, "1");
  EXPECT_EQ(read(store, "t", "k"), "2");
}

// A write far larger than the initial map grows it transparently while other
// threads keep reading; the data survives a reopen.
TEST_F(StoreTest, MapGrowsUnderALargeWriteWithConcurrentReaders) {
  auto value_of = [](int i) { return std::string(8192, static_cast<char>('a' + i % 26)); };
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
    auto w = store.begin_write();
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w->put("big", std::to_string(i), value_of(i)).ok()) << i;
    ASSERT_TRUE(w->remove("big", "1500").ok());
    ASSERT_TRUE(w->commit().ok());
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(reads.load(), 0u);
    EXPECT_GE(store.map_size(), 16 * initial);

    // The writing thread may read the committed state between its writes
    // (released before the next write grows the map).
    w = store.begin_write();
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 1000; ++i) {
      if (i % 100 == 0) EXPECT_EQ(read(store, "small", "seed"), "x");
      ASSERT_TRUE(w->put("more", std::to_string(i), value_of(i)).ok());
    }
    ASSERT_TRUE(w->commit().ok());
  }
  Store store = open_store(StoreOptions{1 << 20});
  auto r = store.begin_read();
  ASSERT_TRUE(r.ok());
  auto rows = scan(*r, "big");
  ASSERT_EQ(rows.size(), 2999u);
  for (auto& [k, v] : rows) ASSERT_EQ(v, value_of(std::stoi(k))) << k;
  EXPECT_EQ(scan(*r, "more").size(), 1000u);
}

// Values larger than the write log's blocks, replayed by growths, land whole.
TEST_F(StoreTest, ValuesBeyondALogBlockSurviveGrowth) {
  auto value_of = [](int i) { return std::string((3 << 20) + i, static_cast<char>('a' + i)); };
  {
    Store store = open_store(StoreOptions{1 << 20});
    auto w = store.begin_write();
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(w->put("big", std::to_string(i), value_of(i)).ok()) << i;
    ASSERT_TRUE(w->commit().ok());
  }
  Store store = open_store(StoreOptions{1 << 20});
  for (int i = 0; i < 6; ++i) EXPECT_EQ(read(store, "big", std::to_string(i)), value_of(i)) << i;
}

// A growth cannot run while the writing thread itself holds a read: the write
// fails cleanly instead of waiting for itself, and nothing of it lands.
TEST_F(StoreTest, GrowthWhileTheWriterHoldsAReadIsRefused) {
  Store store = open_store(StoreOptions{1 << 20});
  const std::string value(8192, 'x');
  auto reader = store.begin_read();
  ASSERT_TRUE(reader.ok());
  auto w = store.begin_write();
  ASSERT_TRUE(w.ok());
  Status failed;
  for (int i = 0; i < 1000 && failed.ok(); ++i) failed = w->put("t", std::to_string(i), value);
  EXPECT_EQ(failed.error().kind(), DbError::Kind::kTransaction);
  EXPECT_FALSE(w->commit().ok());
  reader->end();
  EXPECT_EQ(read(store, "t", "0"), std::nullopt);

  w = store.begin_write();
  ASSERT_TRUE(w.ok());
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(w->put("t", std::to_string(i), value).ok());
  ASSERT_TRUE(w->commit().ok());
}

}  // namespace
}  // namespace tessarin
