// What each write waits for before it returns: the durable system calls it
// makes, counted through the platform layer, and the store's commits, which
// must wait for the disk. A killed process keeps what reached the page
// cache, so the crash tests cannot tell a skipped sync from a made one; only
// a power cut would.
#include <array>
#include <functional>

#include "collection_test_util.h"
#include "database.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

using platform::FaultInjection;
using platform::Op;

// msyncs of the vector file's mapping, fsyncs of a file, fsyncs of a
// directory.
using Durable = std::array<uint64_t, 3>;

Durable durable_calls() {
  return {FaultInjection::durable_calls(Op::kSyncMapping),
          FaultInjection::durable_calls(Op::kFullSync), FaultInjection::durable_calls(Op::kSyncDir)};
}

Status status_of(Status s) { return s; }
template <typename T>
Status status_of(const Result<T>& r) {
  return r.ok() ? OkStatus() : Status(r.error());
}

class DurabilityTest : public testing::CollectionTest {};

TEST_F(DurabilityTest, EachWriteSyncsWhatItWroteBeforeItReturns) {
  open(4, Metric::kDot, "plain");
  add({1, 0, 0, 0}, json::Object(), "a");
  add({2, 0, 0, 0}, json::Object(), "b");
  sync();
  EXPECT_TRUE(st().store.commits_wait_for_disk());
  // A graph collection whose "hnsw.index" is saved: its first slot release
  // removes the file, and the removal must be durable before the commit.
  std::shared_ptr<CollectionState> graph =
      open_other("graph", 4, Metric::kDot, HnswConfig{16, 32, 16, 100, 40, 0.36, 0});
  ASSERT_TRUE(add_record(*graph, std::vector<float>{1, 0, 0, 0}, json::Object(), "g", {}).ok());
  ASSERT_TRUE(sync_collection(*graph).ok());
  ASSERT_TRUE(std::filesystem::exists(path("graph/hnsw.index")));

  struct Case {
    const char* name;
    std::function<Status()> run;
    Durable expected;  // msync, fsync, directory fsync
  };
  BatchVectors rows;
  rows.rows = {{3, 0, 0, 0}, {4, 0, 0, 0}};
  std::unique_ptr<DatabaseState> other = testing::ok_value(open_database(path("other")));
  const Case cases[] = {
      // The database directory's entry, "collections/" and the registry's.
      {"open a new database", [&] { return status_of(open_database(path("db"))); }, {0, 0, 3}},
      // Entries found there are synced too: their maker may have failed at it.
      {"open an existing database", [&] { return status_of(open_database(path("db"))); },
       {0, 0, 2}},
      // As open_collection below, then the vector file's header and the new
      // store, before the registry row commits.
      {"create a collection in a database",
       [&] { return status_of(collection(*other, "c", 4, Metric::kDot)); },
       {1, 2, 3}},
      // The new directory's entry, then the vector file's and the store's.
      {"create a collection",
       [&] { return status_of(open_collection(path("new"), make_config(4, Metric::kDot))); },
       {0, 0, 3}},
      // Vectors before the records that point at them.
      {"add (group commit)",
       [&]() -> Status {
         TS_RETURN_IF_ERROR(status_of(add_record(st(), std::vector<float>{5, 0, 0, 0},
                                                 json::Object(), "c", {})));
         return flush_pending_writes(st());
       },
       {1, 1, 0}},
      {"add_batch",
       [&] {
         return status_of(add_batch_impl(st(), rows, {json::Object(), json::Object()},
                                         std::vector<std::string>{"d", "e"}, {}));
       },
       {1, 1, 0}},
      {"upsert of a stored id",
       [&] { return upsert_record(st(), "a", std::vector<float>{6, 0, 0, 0}, json::Object(), {}); },
       {1, 1, 0}},
      {"sync", [&] { return sync_collection(st()); }, {1, 1, 0}},
      // Store commits only: the slot is listed free by the commit.
      {"delete", [&] { return status_of(delete_by_id(st(), "b")); }, {0, 0, 0}},
      {"delete (saved graph index)", [&] { return status_of(delete_by_id(*graph, "g")); },
       {0, 0, 1}},
  };
  for (const Case& c : cases) {
    const Durable before = durable_calls();
    const Status status = c.run();
    ASSERT_TRUE(status.ok()) << c.name << ": " << status.error().message();
    const Durable after = durable_calls();
    EXPECT_EQ((Durable{after[0] - before[0], after[1] - before[1], after[2] - before[2]}),
              c.expected)
        << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(path("graph/hnsw.index")));
}

}  // namespace
}  // namespace tessarin
