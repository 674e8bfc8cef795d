// Store throughput in records per second: 100 000 puts in one write
// transaction (with its durable commit), point gets in one read
// transaction, and a full ascending scan decoding every record.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "storage/records.h"

namespace tessarin {
namespace {

constexpr int kRecords = 100000;

std::filesystem::path bench_dir() {
  const char* base = std::getenv("TESSARIN_BENCH_TMP");
  std::filesystem::path dir = std::filesystem::path(base ? base : "/tmp") /
                              ("tessarin-bench-store-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::string id_of(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "doc-%08d", i);
  return buf;
}

Record record_of(int i) {
  return Record{id_of(i), static_cast<uint64_t>(i),
                R"({"category":"news","rank":)" + std::to_string(i % 1000) + "}", 1700000000,
                std::nullopt, RecordStatus::kActive};
}

Status fill(const Store& store) {
  TS_ASSIGN_OR_RETURN(WriteTxn txn, store.begin_write());
  for (int i = 0; i < kRecords; ++i) TS_RETURN_IF_ERROR(put_record(txn, record_of(i)));
  return txn.commit();
}

void BM_PutOneTransaction(benchmark::State& state) {
  const auto dir = bench_dir();
  std::vector<Record> records;
  for (int i = 0; i < kRecords; ++i) records.push_back(record_of(i));
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto path = (dir / ("put-" + std::to_string(round++) + ".redb")).string();
    auto store = Store::open(path);
    if (!store.ok()) return state.SkipWithError(store.error().message().c_str());
    state.ResumeTiming();
    auto txn = store->begin_write();
    for (const Record& r : records) {
      if (!put_record(*txn, r).ok()) return state.SkipWithError("put failed");
    }
    if (!txn->commit().ok()) return state.SkipWithError("commit failed");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PutOneTransaction)->Unit(benchmark::kMillisecond)->UseRealTime();

class FilledStore : public benchmark::Fixture {
 public:
  void SetUp(const benchmark::State&) override {
    dir_ = bench_dir();
    auto s = Store::open((dir_ / "meta.redb").string());
    if (s.ok()) store_.emplace(std::move(s).value());
    if (store_ && !fill(*store_).ok()) store_.reset();
  }
  void TearDown(const benchmark::State&) override {
    store_.reset();
    std::filesystem::remove_all(dir_);
  }

 protected:
  std::filesystem::path dir_;
  std::optional<Store> store_;
};

BENCHMARK_DEFINE_F(FilledStore, PointGet)(benchmark::State& state) {
  if (!store_) return state.SkipWithError("store setup failed");
  std::vector<std::string> ids;
  std::mt19937 rng(7);
  for (int i = 0; i < kRecords; ++i) ids.push_back(id_of(static_cast<int>(rng() % kRecords)));
  auto txn = read_transaction(*store_);
  size_t next = 0;
  for (auto _ : state) {
    auto r = get_record(*txn, ids[next]);
    if (!r.ok() || !*r) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(r->value().slot);
    if (++next == ids.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_REGISTER_F(FilledStore, PointGet);

BENCHMARK_DEFINE_F(FilledStore, ScanDecode)(benchmark::State& state) {
  if (!store_) return state.SkipWithError("store setup failed");
  for (auto _ : state) {
    auto txn = read_transaction(*store_);
    auto scan = RecordScan::open(*txn);
    RecordView r;
    uint64_t n = 0;
    for (;;) {
      auto more = scan->next_view(&r);
      if (!more.ok()) return state.SkipWithError("scan failed");
      if (!*more) break;
      n += r.slot;
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK_REGISTER_F(FilledStore, ScanDecode)->Unit(benchmark::kMillisecond);

BENCHMARK_DEFINE_F(FilledStore, CountLive)(benchmark::State& state) {
  if (!store_) return state.SkipWithError("store setup failed");
  for (auto _ : state) {
    auto txn = read_transaction(*store_);
    auto n = count_live_records(*txn);
    if (!n.ok() || *n != static_cast<uint64_t>(kRecords)) return state.SkipWithError("count failed");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK_REGISTER_F(FilledStore, CountLive)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
