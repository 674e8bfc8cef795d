// Product quantisation, on 100 000 random normal vectors of dimension 384
// (48 sub-vectors of 8) and 128 (32 sub-vectors of 4).
//
// BM_Train/<dim>: train_pq (the first 10 000 vectors, 10 Lloyd iterations,
// one pool task per sub-vector).
// BM_Encode/<dim>: encode_pq_parallel of all 100 000 vectors;
// "vectors" is vectors encoded per second.
// BM_AdcTable/<dim>: one build_adc_table (squared distance), as the graph
// build does once per node.
// BM_AdcDistance/<dim>: adc_distance of one table against the codes of all
// 100 000 vectors in turn; "codes" is approximate distances per second.
//
// The pool size is fixed per process: run the program once per thread count,
//   RAYON_NUM_THREADS=1 build/bench_pq  and  RAYON_NUM_THREADS=8 build/bench_pq
// ("threads" reports the size in use). BM_AdcTable and BM_AdcDistance run on
// the calling thread and do not depend on it.

#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <vector>

#include "sync/pool.h"
#include "search/pq.h"

namespace tessarin {
namespace {

constexpr size_t kCount = 100000;

struct PqData {
  explicit PqData(size_t dim)
      : dim(dim), config(*PqConfig::create(dim, choose_num_subquantizers(dim))) {
    std::mt19937 rng(static_cast<uint32_t>(dim));
    std::normal_distribution<float> normal;
    vectors.resize(kCount * dim);
    for (float& x : vectors) x = normal(rng);
  }
  size_t dim;
  PqConfig config;
  std::vector<float> vectors;
};

const PqData& data_for(size_t dim) {
  static std::map<size_t, PqData> cache;
  return cache.try_emplace(dim, dim).first->second;
}

void BM_Train(benchmark::State& state) {
  const PqData& data = data_for(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    PqCodebook book = train_pq(data.config, data.vectors, false);
    benchmark::DoNotOptimize(book.centroids().data());
  }
  state.counters["threads"] = static_cast<double>(pool_thread_count());
}
BENCHMARK(BM_Train)->Arg(384)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Encode(benchmark::State& state) {
  const PqData& data = data_for(static_cast<size_t>(state.range(0)));
  const PqCodebook book = train_pq(data.config, data.vectors, false);
  for (auto _ : state) {
    PqCodes codes = encode_pq_parallel(book, data.vectors);
    benchmark::DoNotOptimize(codes.bytes().data());
  }
  state.counters["threads"] = static_cast<double>(pool_thread_count());
  state.counters["vectors"] = benchmark::Counter(static_cast<double>(state.iterations() * kCount),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Encode)->Arg(384)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AdcTable(benchmark::State& state) {
  const PqData& data = data_for(static_cast<size_t>(state.range(0)));
  const PqCodebook book = train_pq(data.config, data.vectors, false);
  size_t next = 0;
  for (auto _ : state) {
    std::vector<float> table =
        build_adc_table(book, std::span(data.vectors).subspan(next * data.dim, data.dim));
    benchmark::DoNotOptimize(table.data());
    next = (next + 1) % kCount;
  }
}
BENCHMARK(BM_AdcTable)->Arg(384)->Arg(128)->Unit(benchmark::kMicrosecond);

void BM_AdcDistance(benchmark::State& state) {
  const PqData& data = data_for(static_cast<size_t>(state.range(0)));
  const PqCodebook book = train_pq(data.config, data.vectors, false);
  const PqCodes codes = encode_pq_parallel(book, data.vectors);
  const std::vector<float> table =
      build_adc_table(book, std::span(data.vectors).first(data.dim));
  for (auto _ : state) {
    float sum = 0.0f;
    for (size_t i = 0; i < kCount; ++i) sum += adc_distance(table, codes.code(i));
    benchmark::DoNotOptimize(sum);
  }
  state.counters["codes"] = benchmark::Counter(static_cast<double>(state.iterations() * kCount),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AdcDistance)->Arg(384)->Arg(128)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
