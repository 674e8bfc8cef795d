// JSON: the metadata read-back a filtered scan performs once per record
// (parse_or_null of stored, sorted, compact text), and the printing done for
// every stored record and every export line.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "json/parse.h"
#include "json/print.h"

namespace tessarin::json {
namespace {

// Typical metadata as stored: sorted keys, compact.
std::string stored_metadata(int i) {
  return R"({"author":"user_)" + std::to_string(i) +
         R"(","category":"news","lang":"en","published":true,"score":)" +
         std::to_string(i % 100) + R"(.25,"tags":["a","b","c"],"views":)" + std::to_string(i * 37) +
         R"(,"year":2023})";
}

void BM_ParseOrNull(benchmark::State& state) {
  std::vector<std::string> texts;
  for (int i = 0; i < 1024; ++i) texts.push_back(stored_metadata(i));
  size_t bytes = 0;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& t = texts[i++ & 1023];
    Value v = parse_or_null(t);
    benchmark::DoNotOptimize(v);
    bytes += t.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ParseOrNull);

// The same text with its keys reversed: the parser has to sort.
void BM_ParseUnsorted(benchmark::State& state) {
  std::string text =
      R"({"year":2023, "views":37, "tags":["a","b","c"], "score":1.25, "published":true,)"
      R"( "lang":"en", "category":"news", "author":"user_1"})";
  for (auto _ : state) {
    auto r = parse(text);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseUnsorted);

void BM_Print(benchmark::State& state) {
  Value v = parse_or_null(stored_metadata(12345));
  for (auto _ : state) {
    std::string s = print(v);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_Print);

void BM_PrintF32Vector(benchmark::State& state) {
  std::vector<float> vec(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < vec.size(); ++i) vec[i] = 0.001f * static_cast<float>(i) - 0.37f;
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (float f : vec) {
      print_f32(out, f);
      out.push_back(',');
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * vec.size()));
}
BENCHMARK(BM_PrintF32Vector)->Arg(768);

}  // namespace
}  // namespace tessarin::json

BENCHMARK_MAIN();
