// Collection-level search and add figures (a plain program, not a Google
// Benchmark suite: its set-up is one large collection shared by every
// figure, and its output is a short report).
//
//   add       single-record add_record throughput with the group commit
//             (every 100th add flushes: vector file sync + one store
//             transaction), over the whole build of the collection.
//   search    median latency of search_collection, k = 10, over the
//             collection of N records of 384 dimensions (cosine), queries
//             drawn at random: unfiltered, and with a two-condition filter
//             {"cat": {"$lt": 3}, "tag": "a"} that keeps 1/6 of the records.
//   memory    the reference floor: the time of a plain multi-threaded read
//             of every vector byte on the worker pool (a sum over the slot
//             area), and bytes / time as bandwidth. search / floor is how
//             close the search is to what the memory allows.
//
// Usage: bench_search [N] [queries]   (defaults 100000 and 200). The
// collection is built in $TMPDIR (or /tmp) and removed afterwards.
#include <immintrin.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/state.h"
#include "collection/filter.h"
#include "json/parse.h"
#include "sync/pool.h"

namespace tessarin {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

double minimum(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (float& x : v) x = normal(rng);
  return v;
}

json::Value metadata_for(size_t i) {
  json::Object o;
  o.insert_or_assign("cat", json::Value(static_cast<uint64_t>(i % 6)));
  static const char* kTags[] = {"a", "b", "c"};
  o.insert_or_assign("tag", json::Value(kTags[(i / 6) % 3]));
  o.insert_or_assign("n", json::Value(static_cast<uint64_t>(i)));
  return json::Value(std::move(o));
}

// Sums n floats with four independent 8-wide accumulators: one load per
// 32 bytes and no dependency chain, so only the memory limits it.
__attribute__((target("avx2"))) float sum_avx2(const float* p, size_t n) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a0 = _mm256_add_ps(a0, _mm256_loadu_ps(p + i));
    a1 = _mm256_add_ps(a1, _mm256_loadu_ps(p + i + 8));
    a2 = _mm256_add_ps(a2, _mm256_loadu_ps(p + i + 16));
    a3 = _mm256_add_ps(a3, _mm256_loadu_ps(p + i + 24));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  float s = 0;
  for (float l : lanes) s += l;
  for (; i < n; ++i) s += p[i];
  return s;
}

float sum_plain(const float* p, size_t n) {
  float acc[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int l = 0; l < 4; ++l) acc[l] += p[i + l];
  }
  for (; i < n; ++i) acc[0] += p[i];
  return acc[0] + acc[1] + acc[2] + acc[3];
}

// A plain parallel read of the slot area: the memory floor of a full scan.
double read_all_vectors_seconds(CollectionState& state) {
  std::shared_lock lock(state.vectors.mu);
  const VectorStore& vs = state.vectors.value;
  const float* base = vs.slots_base();
  const size_t n = static_cast<size_t>(vs.slot_count()) * vs.dimensions();
  const size_t chunk = std::max<size_t>(1 << 16, n / (pool_thread_count() * 8));
  const bool avx2 = __builtin_cpu_supports("avx2");
  std::vector<float> sums((n + chunk - 1) / chunk);
  const auto start = Clock::now();
  parallel_for_chunks(n, chunk, [&](size_t begin, size_t end) {
    sums[begin / chunk] =
        avx2 ? sum_avx2(base + begin, end - begin) : sum_plain(base + begin, end - begin);
  });
  const double t = seconds_since(start);
  volatile float sink = 0;
  for (float s : sums) sink = sink + s;
  return t;
}

int run(size_t n, size_t queries) {
  constexpr size_t kDim = 384;
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path dir =
      std::filesystem::path(tmp ? tmp : "/tmp") / ("tessarin_bench_search_" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);

  CollectionConfig config;
  config.name = "bench";
  config.dimensions = kDim;
  config.metric = Metric::kCosine;
  auto opened = open_collection((dir / "bench").string(), config);
  if (!opened.ok()) {
    std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
    return 1;
  }
  std::shared_ptr<CollectionState> state = std::move(opened).value();

  std::mt19937 rng(42);
  std::vector<std::vector<float>> vectors;
  vectors.reserve(n);
  for (size_t i = 0; i < n; ++i) vectors.push_back(random_vector(rng, kDim));
  std::vector<json::Value> metadatas;
  metadatas.reserve(n);
  for (size_t i = 0; i < n; ++i) metadatas.push_back(metadata_for(i));

  auto start = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    auto id = add_record(*state, vectors[i], std::move(metadatas[i]), std::nullopt, std::nullopt);
    if (!id.ok()) {
      std::fprintf(stderr, "add failed: %s\n", id.error().message().c_str());
      return 1;
    }
  }
  const double add_seconds = seconds_since(start);
  if (!sync_collection(*state).ok()) return 1;
  vectors.clear();

  std::printf("records           %zu x %zu (cosine), pool threads %zu\n", n, kDim,
              pool_thread_count());
  std::printf("add               %.0f records/s (%.2f s for %zu single adds)\n",
              static_cast<double>(n) / add_seconds, add_seconds, n);

  auto where = json::parse(R"({"cat":{"$lt":3},"tag":"a"})");
  const std::optional<std::vector<FilterCondition>> filter = parse_filter(where.value());
  std::vector<std::vector<float>> qs;
  for (size_t q = 0; q < queries; ++q) qs.push_back(random_vector(rng, kDim));

  auto time_queries = [&](const std::optional<std::vector<FilterCondition>>& f, size_t* hits) {
    std::vector<double> times;
    times.reserve(qs.size());
    for (const auto& q : qs) {
      const auto t0 = Clock::now();
      auto r = search_collection(*state, q, 10, f);
      times.push_back(seconds_since(t0));
      if (!r.ok()) std::abort();
      *hits = r->size();
    }
    return times;
  };
  size_t hits = 0;
  (void)time_queries(std::nullopt, &hits);  // warm-up: builds the record mirror
  const std::vector<double> unfiltered_times = time_queries(std::nullopt, &hits);
  const std::vector<double> filtered_times = time_queries(filter, &hits);
  const double unfiltered = median(unfiltered_times);
  const double filtered = median(filtered_times);

  std::vector<double> floors;
  for (int i = 0; i < 20; ++i) floors.push_back(read_all_vectors_seconds(*state));
  const double floor = median(floors);
  const double bytes = static_cast<double>(n) * kDim * sizeof(float);

  std::printf("search k=10       %.3f ms median, %.3f ms min (unfiltered)\n", unfiltered * 1e3,
              minimum(unfiltered_times) * 1e3);
  std::printf("search k=10       %.3f ms median, %.3f ms min (filter keeping 1/6, %zu hits)\n",
              filtered * 1e3, minimum(filtered_times) * 1e3, hits);
  std::printf("memory floor      %.3f ms median, %.3f ms min to read %.1f MB of vectors (%.1f GB/s)\n",
              floor * 1e3, minimum(floors) * 1e3, bytes / 1e6, bytes / floor / 1e9);
  std::printf("search / floor    %.2f (unfiltered), filtered / unfiltered %.2f\n",
              unfiltered / floor, filtered / unfiltered);

  state.reset();
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace
}  // namespace tessarin

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t queries = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
  return tessarin::run(n, queries);
}
