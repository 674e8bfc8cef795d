// Graph index figures: the level draw, single insertion into a graph of
// 100 000 clustered vectors of 128 dimensions (cosine), and writing and
// reading that graph's index file, with load time / insertion time.
//
//   BM_DrawLevel    draw_level calls per second.
//   BM_InsertNodes  the whole graph built by insert_nodes, one node after
//                   another (m 16, m_max0 32, m_max 16, ef_construction 100,
//                   so a beam of 75); items/s is nodes per second. Built
//                   once and shared with the two below.
//   BM_SaveIndex    save_index of that graph; file_bytes is the file size.
//   BM_LoadIndex    load_index of that file; insert_over_load is the
//                   insertion time divided by the load time.
//   BM_BuildGraph   the full parallel build (same configuration, beam
//                   ef_construction) of those vectors (arg 0) and of
//                   100 000 standard normal 384-dimensional vectors under
//                   L2 (arg 1), on RAYON_NUM_THREADS pool threads.
//
// Data: a Gaussian mixture of 400 centres (N(0, 1) per component), points
// at a centre plus N(0, 1.5^2) noise, normalised. Files live in $TMPDIR (or
// /tmp) and are removed at exit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "search/distance.h"
#include "search/hnsw/build.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/level.h"
#include "search/hnsw/persist.h"
#include "storage/freelist.h"
#include "storage/vectors.h"
#include "sync/pool.h"

namespace tessarin {
namespace {

constexpr size_t kNodes = 100000;
constexpr size_t kDims = 128;
constexpr size_t kCentres = 400;

std::filesystem::path bench_dir() {
  static const std::filesystem::path dir = [] {
    auto d = std::filesystem::temp_directory_path() / "tessarin_bench_hnsw";
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// n clustered vectors of `dims` (the mixture above), normalised, row after
// row, drawn from mt19937(seed).
std::vector<float> clustered_vectors(size_t n, size_t dims, size_t centres, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centre(centres, std::vector<float>(dims));
  for (auto& c : centre) {
    for (float& x : c) x = normal(rng);
  }
  std::vector<float> out(n * dims);
  std::vector<float> v(dims);
  for (size_t i = 0; i < n; ++i) {
    const auto& c = centre[rng() % centres];
    for (size_t d = 0; d < dims; ++d) v[d] = c[d] + 1.5f * normal(rng);
    prepare_vector_into(Metric::kCosine, v, out.data() + i * dims);
  }
  return out;
}

// n vectors of `dims` standard normal components, from mt19937(seed).
std::vector<float> normal_vectors(size_t n, size_t dims, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> out(n * dims);
  for (float& x : out) x = normal(rng);
  return out;
}

// A new vector file `name` in the bench directory holding row i of `rows`
// in slot i.
std::unique_ptr<Locked<VectorStore>> make_store(const std::string& name, size_t dims,
                                                const std::vector<float>& rows) {
  auto created = VectorStore::create((bench_dir() / name).string(), dims);
  if (!created.ok()) std::abort();
  auto store = std::make_unique<Locked<VectorStore>>(std::move(created).value());
  Locked<FreeList> free_list;
  const size_t n = rows.size() / dims;
  if (!allocate_slots(free_list, *store, n).ok()) std::abort();
  for (size_t i = 0; i < n; ++i) {
    if (!store->value.write_vector(i, {rows.data() + i * dims, dims}).ok()) std::abort();
  }
  return store;
}

// Items for slots 0 .. n-1 with UUID-shaped ids.
std::vector<IndexItem> bench_items(size_t n) {
  std::vector<IndexItem> items;
  for (size_t i = 0; i < n; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "%08zx-0000-4000-8000-%012zx", i, i * 7919);
    items.push_back({i, id});
  }
  return items;
}

const HnswConfig kBenchConfig{16, 32, 16, 100, 50, 1 / std::log(16.0), 0};

// The shared graph: its vectors, the index and how long inserting took.
struct Built {
  std::unique_ptr<Locked<VectorStore>> store;
  std::unique_ptr<HnswIndex> index;
  double insert_seconds = 0;
};

Built& built() {
  static Built b = [] {
    Built out;
    out.store = make_store("vectors.bin", kDims, clustered_vectors(kNodes, kDims, kCentres, 42));
    out.index = std::make_unique<HnswIndex>(HnswGraph(kBenchConfig), Metric::kCosine);
    const auto start = std::chrono::steady_clock::now();
    insert_nodes(*out.index, bench_items(kNodes), out.store->value);
    out.insert_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
  }();
  return b;
}

std::string index_file() { return (bench_dir() / "hnsw.index").string(); }

void BM_DrawLevel(benchmark::State& state) {
  uint64_t slot = 0;
  for (auto _ : state) benchmark::DoNotOptimize(draw_level(slot++, 1 / std::log(16.0)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DrawLevel);

void BM_InsertNodes(benchmark::State& state) {
  const Built& b = built();
  for (auto _ : state) state.SetIterationTime(b.insert_seconds);
  state.SetItemsProcessed(static_cast<int64_t>(kNodes));
  state.counters["layers"] = static_cast<double>(b.index->graph.value.layer_count());
}
BENCHMARK(BM_InsertNodes)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_SaveIndex(benchmark::State& state) {
  const Built& b = built();
  for (auto _ : state) {
    std::filesystem::remove(index_file());
    if (!save_index(b.index->graph.value, index_file()).ok()) state.SkipWithError("save failed");
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(index_file()));
}
BENCHMARK(BM_SaveIndex)->Unit(benchmark::kMillisecond);

void BM_LoadIndex(benchmark::State& state) {
  Built& b = built();
  std::filesystem::remove(index_file());
  if (!save_index(b.index->graph.value, index_file()).ok()) state.SkipWithError("save failed");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto loaded = load_index(index_file(), Metric::kCosine);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!loaded.ok()) state.SkipWithError(loaded.error().message().c_str());
    benchmark::DoNotOptimize(loaded);
  }
  const double load_seconds = total / static_cast<double>(state.iterations());
  state.counters["insert_over_load"] = b.insert_seconds / load_seconds;
}
BENCHMARK(BM_LoadIndex)->Unit(benchmark::kMillisecond);

// The full parallel build (build_graph) of 100 000 vectors on the pool
// (RAYON_NUM_THREADS threads): arg 0 the clustered 128-dimensional vectors
// above under Cosine, arg 1 standard normal 384-dimensional vectors under
// L2. Seconds per build; distance_calcs is the profile's count. The build
// profile itself goes to standard error.
void BM_BuildGraph(benchmark::State& state) {
  const bool normal = state.range(0) == 1;
  const size_t dims = normal ? 384 : kDims;
  const Metric metric = normal ? Metric::kL2 : Metric::kCosine;
  static std::unique_ptr<Locked<VectorStore>> stores[2];
  auto& store = stores[normal ? 1 : 0];
  if (!store) {
    store = normal ? make_store("normal384.bin", dims, normal_vectors(kNodes, dims, 7))
                   : make_store("clustered128.bin", dims, clustered_vectors(kNodes, dims, kCentres, 42));
  }
  const std::vector<IndexItem> items = bench_items(kNodes);
  BuildProfile profile;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    HnswGraph graph = build_graph(items, store->value, kBenchConfig, metric, {.profile = &profile});
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    benchmark::DoNotOptimize(graph);
  }
  state.SetItemsProcessed(static_cast<int64_t>(kNodes * state.iterations()));
  state.counters["distance_calcs"] = static_cast<double>(profile.distance_calcs);
  state.counters["threads"] = static_cast<double>(pool_thread_count());
}
BENCHMARK(BM_BuildGraph)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

struct RemoveFilesAtExit {
  ~RemoveFilesAtExit() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::temp_directory_path() / "tessarin_bench_hnsw", ec);
  }
} remove_files_at_exit;

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
