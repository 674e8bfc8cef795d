// Vector file: slot allocation (with the growth it triggers) plus a vector
// write, and the read path a scan takes (read_vector per slot).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "storage/vectors.h"

namespace tessarin {
namespace {

std::filesystem::path bench_dir() {
  return std::filesystem::temp_directory_path() / "tessarin_bench_vectors";
}

std::string bench_file() {
  std::filesystem::create_directories(bench_dir());
  return (bench_dir() / "vectors.bin").string();
}

// A new store of `dims`, or nullopt after marking the benchmark failed.
std::optional<VectorStore> new_store(benchmark::State& state, uint64_t dims) {
  auto created = VectorStore::create(bench_file(), dims);
  if (!created.ok()) {
    state.SkipWithError(created.error().message().c_str());
    return std::nullopt;
  }
  return std::move(created).value();
}

// Allocates range(1) slots of dimension range(0) into a new file, writing
// each vector; growth from 1024 slots upwards is part of the cost.
void BM_AllocateAndWrite(benchmark::State& state) {
  const uint64_t dims = state.range(0);
  const int64_t count = state.range(1);
  const std::vector<float> v(dims, 0.5f);
  for (auto _ : state) {
    auto store = new_store(state, dims);
    if (!store) return;
    Locked<VectorStore> vs(std::move(*store));
    Locked<FreeList> free_list;
    for (int64_t i = 0; i < count; ++i) {
      auto slot = allocate_slot(free_list, vs);
      std::unique_lock lock(vs.mu);
      benchmark::DoNotOptimize(vs.value.write_vector(*slot, v));
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * count * dims * 4);
  std::filesystem::remove_all(bench_dir());
}
BENCHMARK(BM_AllocateAndWrite)->Args({128, 100000})->Args({768, 20000})->Unit(benchmark::kMillisecond);

// Sums the first component of every slot through read_vector under one
// shared lock, as a scan does.
void BM_ReadAllSlots(benchmark::State& state) {
  const uint64_t dims = state.range(0);
  const int64_t count = state.range(1);
  auto store = new_store(state, dims);
  if (!store) return;
  Locked<VectorStore> vs(std::move(*store));
  Locked<FreeList> free_list;
  const std::vector<float> v(dims, 0.25f);
  for (int64_t i = 0; i < count; ++i) {
    auto slot = allocate_slot(free_list, vs);
    (void)vs.value.write_vector(*slot, v);
  }
  for (auto _ : state) {
    std::shared_lock lock(vs.mu);
    float sum = 0;
    for (int64_t i = 0; i < count; ++i) sum += (*vs.value.read_vector(i))[0];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * count);
  std::filesystem::remove_all(bench_dir());
}
BENCHMARK(BM_ReadAllSlots)->Args({128, 100000})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
