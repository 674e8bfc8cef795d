// The worker pool's thread rules. With one thread no other thread works.
// Under concurrent callers: a caller holds collection locks across its
// parallel passes, so a thread waiting in the pool must only ever run work
// of the call it serves; checked on the pool alone, then with every kind of
// call that runs parallel passes at once on one collection, where breaking
// it deadlocks. Those runs are bounded; a watchdog ends the process when a
// thread makes no progress for a long while, since a deadlock would
// otherwise hang the binary until ctest's timeout.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>

#include "collection_test_util.h"
#include "sync/pool.h"

namespace tessarin {
namespace {

using Clock = std::chrono::steady_clock;

// Watches n threads, each of which calls progress(t) after every call it
// completed and finished(t) when it stops. Aborts the process (after a
// message naming the stalled thread) when a running thread has not
// progressed for `stall`.
class Watchdog {
 public:
  Watchdog(int n, Clock::duration stall, std::vector<std::string> names)
      : last_(static_cast<size_t>(n)), done_(static_cast<size_t>(n)), names_(std::move(names)),
        stall_(stall) {
    for (auto& t : last_) t.store(Clock::now().time_since_epoch().count());
    thread_ = std::thread([this] { watch(); });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void progress(int t) { last_[t].store(Clock::now().time_since_epoch().count()); }
  void finished(int t) { done_[t].store(true); }

 private:
  void watch() {
    std::unique_lock lock(mu_);
    while (!cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; })) {
      const auto now = Clock::now().time_since_epoch().count();
      for (size_t t = 0; t < last_.size(); ++t) {
        if (done_[t].load() || Clock::duration(now - last_[t].load()) < stall_) continue;
        ADD_FAILURE() << "stalled: " << names_[t];
        std::fprintf(stderr, "watchdog: thread %zu (%s) made no progress for %lld s; aborting\n", t,
                     names_[t].c_str(),
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(stall_).count()));
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }

  std::vector<std::atomic<Clock::rep>> last_;
  std::vector<std::atomic<bool>> done_;
  std::vector<std::string> names_;
  Clock::duration stall_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// Callers more than the pool has threads, each running passes with
// nested passes in their tasks (as import's decoding runs in a task beside
// its upserts). Every thread that is itself a caller must only ever run its
// own call's functor and tasks.
TEST(PoolTest, CallersNeverRunEachOthersWork) {
  if (pool_thread_count() < 2) GTEST_SKIP() << "a one-thread pool runs every pass on its caller";
  const int callers = static_cast<int>(std::min<size_t>(pool_thread_count() + 2, 16));
  constexpr int kRounds = 300;
  constexpr size_t kTasks = 64;
  // The caller a thread is (0: a pool worker, or the main thread).
  static thread_local int t_caller = 0;
  std::atomic<int> functor_elsewhere{0}, task_of_other_caller{0};
  std::atomic<uint64_t> sink{0};

  testing::run_threads(callers, [&](int t) {
    const int me = t + 1;
    t_caller = me;
    auto task = [&](size_t begin, size_t end) {
      if (t_caller != 0 && t_caller != me) ++task_of_other_caller;
      uint64_t x = begin;
      for (int i = 0; i < 2000; ++i) x = x * 6364136223846793005u + end;
      sink += x;
    };
    for (int round = 0; round < kRounds; ++round) {
      run_in_pool([&] {
        if (t_caller != me) ++functor_elsewhere;
        parallel_for_chunks(kTasks, 1, [&](size_t begin, size_t end) {
          task(begin, end);
          parallel_for_chunks(4, 1, task);  // nested, on whichever thread runs this task
        });
      });
    }
  });
  EXPECT_EQ(functor_elsewhere.load(), 0) << "a caller's functor ran on another thread";
  EXPECT_EQ(task_of_other_caller.load(), 0) << "a caller ran a task of another caller's pass";
}

// The pool's size is fixed per process, so this runs in a child process of
// this binary with RAYON_NUM_THREADS=1, which writes the number of its
// threads before and after an export and an import (each overlaps two parts
// with a TBB task group) to a file.
class PoolOneThreadTest : public testing::CollectionTest {};

size_t process_thread_count() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

TEST_F(PoolOneThreadTest, ExportAndImportStartNoThread) {
  if (const char* out = std::getenv("TESSARIN_POOL_THREADS_OUTPUT")) {
    const size_t before = process_thread_count();
    open(4, Metric::kL2);
    for (const auto& v : testing::normal_vectors(100, 4, 3)) add(v);
    EXPECT_EQ(testing::ok_value(export_to_file(st(), path("out.ndjson"))), 100u);
    EXPECT_EQ(testing::ok_value(import_from_file(st(), path("out.ndjson"))).imported, 100u);
    testing::put_file(out, std::to_string(before) + " " + std::to_string(process_thread_count()));
    return;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string out = path("threads");
  const std::string command = "RAYON_NUM_THREADS=1 TESSARIN_POOL_THREADS_OUTPUT='" + out + "' '" +
                              self + "' --gtest_filter=" + info->test_suite_name() + "." +
                              info->name() + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::istringstream counts(testing::file_bytes(out));
  size_t before = 0, after = 0;
  ASSERT_TRUE(counts >> before >> after);
  EXPECT_EQ(after, before);
}

class PoolStressTest : public testing::CollectionTest {};

// One thread each for import, export, add_batch and compact, and six
// searchers, for a few seconds on a collection of a few thousand records.
// The import file is short so the import starts its passes often: each of
// its lines replaces a stored record, which commits at once.
TEST_F(PoolStressTest, ImportExportBatchCompactAndSearchesAllProgress) {
  constexpr uint64_t kDim = 16;
  constexpr size_t kRecords = 4000;
  constexpr size_t kImported = 20;
  constexpr int kSearchers = 6;
  constexpr auto kRun = std::chrono::seconds(3);
  constexpr auto kStall = std::chrono::seconds(20);
  open(kDim, Metric::kL2);
  const auto vectors = testing::normal_vectors(kRecords + 4096, kDim, 7);
  {
    BatchVectors v;
    std::vector<json::Value> metas;
    std::vector<std::string> ids;
    for (size_t i = 0; i < kRecords; ++i) {
      v.rows.push_back(vectors[i]);
      metas.push_back(json::Object());
      ids.push_back("r" + std::to_string(i));
    }
    ASSERT_TRUE(add_batch_impl(st(), v, std::move(metas), ids, std::nullopt).ok());
  }
  // The import file: the first kImported lines of an export. Every id in it
  // is stored, so each imported line is an upsert (one commit each).
  const std::string seed = path("seed.ndjson");
  {
    const std::string all = path("all.ndjson");
    ASSERT_EQ(testing::ok_value(export_to_file(st(), all)), kRecords);
    const std::string bytes = testing::file_bytes(all);
    size_t end = 0;
    for (size_t line = 0; line <= kImported; ++line) end = bytes.find('\n', end) + 1;
    testing::put_file(seed, std::string_view(bytes).substr(0, end));
  }

  enum Role { kImport, kExport, kBatch, kCompact, kSearch };
  std::vector<std::string> thread_names = {"import", "export", "add_batch", "compact"};
  for (int s = 0; s < kSearchers; ++s) thread_names.push_back("search " + std::to_string(s));
  const int threads = static_cast<int>(thread_names.size());
  std::vector<std::atomic<uint64_t>> calls(static_cast<size_t>(threads));
  std::atomic<int> failures{0};
  const auto deadline = Clock::now() + kRun;
  Watchdog watchdog(threads, kStall, thread_names);

  testing::run_threads(threads, [&](int t) {
    const Role role = t < kSearch ? static_cast<Role>(t) : kSearch;
    std::mt19937 rng(static_cast<uint32_t>(t) + 1);
    // Every thread makes at least one call, however slow the build.
    for (uint64_t n = 0; n == 0 || Clock::now() < deadline; ++n) {
      bool ok = true;
      switch (role) {
        case kImport: {
          auto stats = import_from_file(st(), seed);
          ok = stats.ok() && stats->imported == kImported;
          break;
        }
        case kExport:
          ok = export_to_file(st(), path("out.ndjson")).ok();
          break;
        case kBatch: {
          // The same ids each time (each batch replaces the last, so the
          // collection stays the same size), half of them already expired,
          // so compaction has work.
          BatchVectors v;
          std::vector<json::Value> metas;
          std::vector<std::string> ids;
          std::vector<std::optional<uint64_t>> ttls;
          for (size_t i = 0; i < 600; ++i) {
            v.rows.push_back(vectors[kRecords + (n * 600 + i) % 4096]);
            metas.push_back(json::Object());
            ids.push_back("b" + std::to_string(i));
            ttls.push_back(i % 2 == 0 ? std::optional<uint64_t>(0) : std::nullopt);
          }
          ok = add_batch_impl(st(), v, std::move(metas), ids, ttls).ok();
          break;
        }
        case kCompact:
          ok = compact_collection(st()).ok();
          break;
        case kSearch: {
          auto hits = search_collection(st(), vectors[rng() % kRecords], 10, std::nullopt);
          ok = hits.ok() && hits->size() == 10;
          break;
        }
      }
      if (!ok) ++failures;
      ++calls[static_cast<size_t>(t)];
      watchdog.progress(t);
    }
    watchdog.finished(t);
  });

  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < threads; ++t) EXPECT_GT(calls[static_cast<size_t>(t)].load(), 0u) << thread_names[t];
}

}  // namespace
}  // namespace tessarin
