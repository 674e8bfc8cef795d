// The graph index on one data set: full build time and distance count,
// save and load of "hnsw.index", recall@10 and single-thread queries per
// second at several beam widths, and the rate of incremental insertion.
// bench/bench_graph.py runs it on the documented data sets next to hnswlib
// and FAISS; without arguments it runs on a small generated set.
//
//   bench_graph BASE QUERIES TRUTH DIM [ADDED] [--grown]
//
// BASE, QUERIES and ADDED hold float32 rows of DIM values, TRUTH the ids of
// each query's 10 nearest base rows (uint32, 10 per query). L2 distance,
// m = 16, m_max0 = 32, m_max = 16, ef_construction = 100, ml = 1/ln 16.
// Prints one "name value" line per figure, and one "query ef=E recall R
// qps Q" line per beam width.
//
// --grown adds the graph a collection grows into: the first 90% of BASE
// built at once (an add_batch, then a search), the rest inserted 100 at a
// time (adds with a search every 100), then the same queries ("grown_query"
// lines).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "search/hnsw/build.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"
#include "search/hnsw/query.h"
#include "storage/freelist.h"
#include "storage/vectors.h"
#include "sync/pool.h"

namespace {

using namespace tessarin;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
std::vector<T> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const auto bytes = static_cast<size_t>(in.tellg());
  in.seekg(0);
  std::vector<T> out(bytes / sizeof(T));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(T)));
  return out;
}

struct DataSet {
  size_t dim = 0;
  std::vector<float> base, queries, added;
  std::vector<uint32_t> truth;  // 10 per query
};

// A small Gaussian mixture and its exact answers, for a run without files.
DataSet generated() {
  DataSet d;
  d.dim = 32;
  const size_t n = 20000, nq = 200, centres = 100;
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  std::vector<float> c(centres * d.dim);
  for (float& x : c) x = normal(rng);
  auto draw = [&](size_t rows, std::vector<float>& out) {
    out.resize(rows * d.dim);
    for (size_t r = 0; r < rows; ++r) {
      const size_t k = rng() % centres;
      for (size_t j = 0; j < d.dim; ++j) out[r * d.dim + j] = c[k * d.dim + j] + normal(rng);
    }
  };
  draw(n, d.base);
  draw(nq, d.queries);
  draw(1000, d.added);
  for (size_t q = 0; q < nq; ++q) {
    std::vector<std::pair<float, uint32_t>> all;
    for (size_t i = 0; i < n; ++i) {
      float s = 0;
      for (size_t j = 0; j < d.dim; ++j) {
        const float t = d.queries[q * d.dim + j] - d.base[i * d.dim + j];
        s += t * t;
      }
      all.emplace_back(s, static_cast<uint32_t>(i));
    }
    std::partial_sort(all.begin(), all.begin() + 10, all.end());
    for (size_t k = 0; k < 10; ++k) d.truth.push_back(all[k].second);
  }
  return d;
}

// Queries on one thread: the greedy descent and the layer-0 beam, as the
// graph road runs them, at several beam widths; a hit counts when its
// node's slot (= base row) is among the query's true 10.
void run_queries(const char* label, const HnswGraph& graph, const DataSet& data, const VectorStore& store,
                 Metric metric) {
  const size_t dim = data.dim;
  const size_t nq = data.queries.size() / dim;
  const std::unordered_set<uint64_t> none;
  for (size_t ef : {10, 16, 24, 32, 48, 64, 96, 128, 192, 256}) {
    size_t found = 0;
    const auto start = Clock::now();
    for (size_t q = 0; q < nq; ++q) {
      const std::span<const float> query(&data.queries[q * dim], dim);
      uint32_t cur = *graph.entry_point();
      for (size_t l = graph.max_level(); l >= 1; --l) {
        cur = greedy_search_layer(graph, query, cur, l, store, metric);
      }
      const std::vector<ScoredNode> hits = search_layer_filtered(graph, query, cur, ef, store, metric, none);
      const uint32_t* truth = &data.truth[q * 10];
      for (size_t h = 0; h < hits.size() && h < 10; ++h) {
        found += std::count(truth, truth + 10, static_cast<uint32_t>(graph.node_slot(hits[h].node)));
      }
    }
    const double s = seconds_since(start);
    std::printf("%s ef=%zu recall %.4f qps %.0f\n", label, ef, double(found) / double(nq * 10), double(nq) / s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  DataSet data;
  bool grown = false;
  if (argc > 1 && std::string(argv[argc - 1]) == "--grown") grown = true, --argc;
  if (argc >= 5) {
    data.dim = std::stoul(argv[4]);
    data.base = read_file<float>(argv[1]);
    data.queries = read_file<float>(argv[2]);
    data.truth = read_file<uint32_t>(argv[3]);
    if (argc >= 6) data.added = read_file<float>(argv[5]);
  } else {
    data = generated();
  }
  const size_t dim = data.dim;
  const size_t n = data.base.size() / dim;
  const size_t nq = data.queries.size() / dim;
  const size_t n_added = data.added.size() / dim;
  const HnswConfig config{16, 32, 16, 100, 10, 1.0 / std::log(16.0), 0};
  const Metric metric = Metric::kL2;

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bench_graph." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto created = VectorStore::create((dir / "vectors.bin").string(), dim);
  if (!created.ok()) return std::fprintf(stderr, "%s\n", created.error().message().c_str()), 1;
  Locked<VectorStore> store(std::move(created).value());
  Locked<FreeList> free_list;
  if (!allocate_slots(free_list, store, n + n_added).ok()) return 1;
  for (size_t i = 0; i < n + n_added; ++i) {
    const float* row = i < n ? &data.base[i * dim] : &data.added[(i - n) * dim];
    (void)store.value.write_vector(i, std::span<const float>(row, dim));
  }
  std::vector<IndexItem> items(n);
  for (size_t i = 0; i < n; ++i) items[i] = IndexItem{i, "r" + std::to_string(i)};

  std::printf("nodes %zu\ndim %zu\nthreads %zu\n", n, dim, pool_thread_count());
  BuildProfile profile;
  BuildOptions options;
  options.profile_out = nullptr;
  options.profile = &profile;
  auto start = Clock::now();
  HnswGraph graph = build_graph(items, store.value, config, metric, options);
  const double build_s = seconds_since(start);
  std::printf("build_seconds %.3f\ndistance_calcs %llu\n", build_s,
              static_cast<unsigned long long>(profile.distance_calcs));

  const std::string index_path = (dir / "hnsw.index").string();
  start = Clock::now();
  if (!save_index(graph, index_path).ok()) return 1;
  std::printf("save_seconds %.4f\nfile_bytes %llu\n", seconds_since(start),
              static_cast<unsigned long long>(std::filesystem::file_size(index_path)));
  start = Clock::now();
  auto loaded = load_index(index_path, metric);
  const double load_s = seconds_since(start);
  if (!loaded.ok()) return 1;
  std::printf("load_seconds %.4f\nbuild_over_load %.1f\n", load_s, build_s / load_s);

  run_queries("query", graph, data, store.value, metric);

  if (grown) {
    const size_t first = n * 9 / 10;
    start = Clock::now();
    HnswIndex index(build_graph(std::span<const IndexItem>(items.data(), first), store.value, config,
                                metric, options),
                    metric);
    const double built_s = seconds_since(start);
    start = Clock::now();
    for (size_t begin = first; begin < n; begin += 100) {
      insert_nodes(index, std::span<const IndexItem>(items).subspan(begin, std::min<size_t>(100, n - begin)),
                   store.value);
    }
    std::printf("grown_build_seconds %.3f\ngrown_insert_nodes_per_second %.0f\n", built_s,
                double(n - first) / seconds_since(start));
    run_queries("grown_query", index.graph.value, data, store.value, metric);
  }

  if (n_added > 0) {
    HnswIndex index(std::move(graph), metric);
    std::vector<IndexItem> more;
    for (size_t i = n; i < n + n_added; ++i) more.push_back(IndexItem{i, "a" + std::to_string(i)});
    start = Clock::now();
    insert_nodes(index, more, store.value);
    std::printf("incremental_nodes_per_second %.0f\n", double(n_added) / seconds_since(start));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
