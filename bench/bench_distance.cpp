// Distance kernels and the exact scan.
//
// BM_Kernel/<path>/<metric>/<dim>: one compute_distance per iteration of a
// fixed query against 256 stored vectors in turn (they stay in L2 cache).
// "bytes_per_second" counts the stored vector's bytes (dim * 4), the data a
// scan streams per candidate; "vectors" is distances per second.
//
// BM_Scan/<order>: the exact committed scan of a search: 100 000 slots of
// 384 floats (cosine, unit vectors), every slot a candidate, scored on the
// worker pool and pushed into a TopK of 10. Order 0 visits slots in slot
// order, order 1 in a random permutation (the records table's key order is
// unrelated to slot order). Run with RAYON_NUM_THREADS=1 for the
// single-thread figure.
//
// BM_TopK: the selection alone, see below.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "search/distance.h"
#include "search/exact.h"
#include "sync/pool.h"

namespace tessarin {
namespace {

std::vector<float> random_unit_vectors(size_t count, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> out(count * dim);
  for (size_t i = 0; i < count; ++i) {
    std::vector<float> v(dim);
    for (float& x : v) x = normal(rng);
    const std::vector<float> unit = prepare_vector(Metric::kCosine, v);
    std::copy(unit.begin(), unit.end(), out.begin() + static_cast<ptrdiff_t>(i * dim));
  }
  return out;
}

void BM_Kernel(benchmark::State& state) {
  const auto path = static_cast<KernelPath>(state.range(0));
  const auto metric = static_cast<Metric>(state.range(1));
  const auto dim = static_cast<size_t>(state.range(2));
  if (!set_kernel_path_for_testing(path)) {
    state.SkipWithError("AVX2+FMA not available");
    return;
  }
  constexpr size_t kStored = 256;
  const std::vector<float> stored = random_unit_vectors(kStored, dim, 1);
  const std::vector<float> query = random_unit_vectors(1, dim, 2);
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(compute_distance(metric, query.data(), &stored[next * dim], dim));
    next = (next + 1) % kStored;
  }
  reset_kernel_path_for_testing();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dim * sizeof(float)));
  state.counters["vectors"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel(std::string(path == KernelPath::kSse ? "sse " : "avx2+fma ") +
                 std::string(format_metric(metric)));
}

void KernelArgs(benchmark::internal::Benchmark* b) {
  for (KernelPath path : {KernelPath::kSse, KernelPath::kAvx2Fma}) {
    for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
      for (int64_t dim : {384, 768, 1536}) {
        b->Args({static_cast<int64_t>(path), static_cast<int64_t>(metric), dim});
      }
    }
  }
}
BENCHMARK(BM_Kernel)->Apply(KernelArgs);

struct ScanData {
  static constexpr size_t kSlots = 100000;
  static constexpr size_t kDim = 384;
  std::vector<float> area = random_unit_vectors(kSlots, kDim, 3);
  std::vector<float> query = random_unit_vectors(1, kDim, 4);
  std::vector<uint64_t> slot_order;
  std::vector<uint64_t> random_order;

  ScanData() {
    slot_order.resize(kSlots);
    std::iota(slot_order.begin(), slot_order.end(), 0);
    random_order = slot_order;
    std::shuffle(random_order.begin(), random_order.end(), std::mt19937(5));
  }
  SlotView view() const { return SlotView{area.data(), kSlots, kDim}; }
};

const ScanData& scan_data() {
  static const ScanData data;
  return data;
}

void BM_Scan(benchmark::State& state) {
  const ScanData& data = scan_data();
  const std::vector<uint64_t>& slots = state.range(0) == 0 ? data.slot_order : data.random_order;
  for (auto _ : state) {
    const std::vector<ScoredPair> pairs = score_committed_candidates(
        slots.size(), [&](size_t i) { return slots[i]; }, data.view(), data.query, Metric::kCosine);
    TopK top = *TopK::create(10, true, pairs.size());
    for (const ScoredPair& p : pairs) push_top_k(top, p.score, p.position);
    benchmark::DoNotOptimize(top.results().data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * ScanData::kSlots * ScanData::kDim * sizeof(float)));
  state.counters["threads"] = static_cast<double>(pool_thread_count());
  state.SetLabel(state.range(0) == 0 ? "slot order" : "random order");
}
BENCHMARK(BM_Scan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// BM_TopK/<k>: 100 000 scored pairs (random order) into a TopK of k.
void BM_TopK(benchmark::State& state) {
  const auto k = static_cast<size_t>(state.range(0));
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<ScoredPair> pairs;
  for (uint64_t i = 0; i < 100000; ++i) pairs.emplace_back(unit(rng), i);
  for (auto _ : state) {
    TopK top = *TopK::create(k, true, pairs.size());
    for (const ScoredPair& p : pairs) push_top_k(top, p.score, p.position);
    benchmark::DoNotOptimize(top.results().data());
  }
}
BENCHMARK(BM_TopK)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
