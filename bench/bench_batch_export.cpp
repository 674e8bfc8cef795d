// Batch add, export and import throughput on one collection of N records of
// D dimensions (cosine; defaults 100000 x 384, or $TESSARIN_BENCH_N and
// $TESSARIN_BENCH_DIM), each record with a small metadata object.
//
//   BatchAdd  one add_batch_impl of all N records into an empty collection:
//             two store commits and one vector-file sync, so the figure is
//             durable records per second.
//   Export    export_to_file of the whole collection: records/s and the
//             file's bytes/s.
//   Import    import_from_file of that file into an empty collection (every
//             line goes through upsert and the group commit): records/s
//             and bytes/s.
//
// Collections and files live in $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/state.h"

namespace tessarin {
namespace {

size_t env_size(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Data {
  size_t n = env_size("TESSARIN_BENCH_N", 100000);
  size_t dim = env_size("TESSARIN_BENCH_DIM", 384);
  std::vector<float> block;  // n x dim, row-major
  std::vector<json::Value> metadatas;
  std::filesystem::path root;

  Data() {
    std::mt19937 rng(42);
    std::normal_distribution<float> normal;
    block.resize(n * dim);
    for (float& x : block) x = normal(rng);
    static const char* kTags[] = {"red", "green", "blue"};
    for (size_t i = 0; i < n; ++i) {
      json::Object o;
      o.insert_or_assign("n", json::Value(static_cast<uint64_t>(i)));
      o.insert_or_assign("tag", json::Value(kTags[i % 3]));
      metadatas.emplace_back(std::move(o));
    }
    const char* tmp = std::getenv("TMPDIR");
    root = std::filesystem::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
           ("tessarin-bench-batch-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(root);
  }
  ~Data() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  BatchVectors vectors() const {
    BatchVectors v;
    v.is_block = true;
    v.data = block.data();
    v.block_rows = n;
    v.block_cols = dim;
    v.row_stride = static_cast<ptrdiff_t>(dim);
    return v;
  }

  std::shared_ptr<CollectionState> fresh(const std::string& name) const {
    const std::string dir = (root / name).string();
    std::filesystem::remove_all(dir);
    CollectionConfig config;
    config.name = name;
    config.dimensions = dim;
    config.metric = Metric::kCosine;
    auto state = open_collection(dir, config);
    if (!state.ok()) std::abort();
    return *state;
  }

  std::string export_path() const { return (root / "export.ndjson").string(); }
};

Data& data() {
  static Data d;
  return d;
}

// The collection that Export reads, filled once.
std::shared_ptr<CollectionState>& source() {
  static std::shared_ptr<CollectionState> s = [] {
    auto state = data().fresh("source");
    if (!add_batch_impl(*state, data().vectors(), data().metadatas, std::nullopt, std::nullopt).ok()) {
      std::abort();
    }
    return state;
  }();
  return s;
}

void BM_BatchAdd(benchmark::State& bench) {
  Data& d = data();
  for (auto _ : bench) {
    bench.PauseTiming();
    auto state = d.fresh("batch");
    std::vector<json::Value> metadatas = d.metadatas;
    bench.ResumeTiming();
    auto ids = add_batch_impl(*state, d.vectors(), std::move(metadatas), std::nullopt, std::nullopt);
    if (!ids.ok()) bench.SkipWithError(ids.error().message().c_str());
    bench.PauseTiming();
    state.reset();
    bench.ResumeTiming();
  }
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * d.n));
}

void BM_Export(benchmark::State& bench) {
  Data& d = data();
  auto& state = source();
  for (auto _ : bench) {
    auto n = export_to_file(*state, d.export_path());
    if (!n.ok() || *n != d.n) bench.SkipWithError("export failed");
  }
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * d.n));
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations() *
                                               std::filesystem::file_size(d.export_path())));
}

void BM_Import(benchmark::State& bench) {
  Data& d = data();
  if (!std::filesystem::exists(d.export_path()) &&
      !export_to_file(*source(), d.export_path()).ok()) {
    bench.SkipWithError("export failed");
    return;
  }
  for (auto _ : bench) {
    bench.PauseTiming();
    auto state = d.fresh("import");
    bench.ResumeTiming();
    auto stats = import_from_file(*state, d.export_path());
    if (!stats.ok() || stats->imported != d.n) bench.SkipWithError("import failed");
    bench.PauseTiming();
    state.reset();
    bench.ResumeTiming();
  }
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * d.n));
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations() *
                                               std::filesystem::file_size(d.export_path())));
}

BENCHMARK(BM_BatchAdd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Export)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Import)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
