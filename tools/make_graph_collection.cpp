// make_graph_collection: registers a collection whose stored configuration
// carries a graph index (HnswConfig), which no Python call creates. For
// tests, benchmarks and users' own experiments; afterwards
// Tessarin(DB_PATH).get_collection(NAME) opens it.
//
//   make_graph_collection DB_PATH NAME DIM METRIC M M_MAX0 M_MAX
//                         EF_CONSTRUCTION EF_SEARCH ML [SEVENTH]
//
// Opens (or creates) the database at DB_PATH and registers NAME through the
// engine's registry writer. Exits 0 on success; prints the error and exits 1
// otherwise (an existing collection of that name is an error).
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "database.h"
#include "platform/platform.h"
#include "search/distance.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "make_graph_collection: %s\n", message.c_str());
  return 1;
}

// A whole decimal number, all of `text`.
template <typename T>
bool parse_number(std::string_view text, T* out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessarin;
  if (argc != 11 && argc != 12) {
    return fail(
        "usage: make_graph_collection DB_PATH NAME DIM METRIC M M_MAX0 M_MAX "
        "EF_CONSTRUCTION EF_SEARCH ML [SEVENTH]");
  }
  CollectionConfig config;
  config.name = argv[2];
  const char* names[] = {"DIM", "M", "M_MAX0", "M_MAX", "EF_CONSTRUCTION", "EF_SEARCH"};
  uint64_t* fields[] = {&config.dimensions, nullptr, nullptr, nullptr, nullptr, nullptr};
  HnswConfig hnsw;
  fields[1] = &hnsw.m;
  fields[2] = &hnsw.m_max0;
  fields[3] = &hnsw.m_max;
  fields[4] = &hnsw.ef_construction;
  fields[5] = &hnsw.ef_search;
  const int positions[] = {3, 5, 6, 7, 8, 9};
  for (int i = 0; i < 6; ++i) {
    if (!parse_number(argv[positions[i]], fields[i])) {
      return fail(std::string(names[i]) + " is not a whole number: " + argv[positions[i]]);
    }
  }
  char* end = nullptr;
  hnsw.ml = std::strtod(argv[10], &end);
  if (end == argv[10] || *end != '\0') return fail(std::string("ML is not a number: ") + argv[10]);
  if (argc == 12 && !parse_number(argv[11], &hnsw.reserved)) {
    return fail(std::string("SEVENTH is not a whole number: ") + argv[11]);
  }
  Result<Metric> metric = parse_metric(argv[4]);
  if (!metric.ok()) return fail(metric.error().text());
  config.metric = *metric;
  config.created_at = platform::now_secs();
  config.hnsw_config = hnsw;

  Result<std::unique_ptr<DatabaseState>> db = open_database(argv[1]);
  if (!db.ok()) return fail(db.error().message());
  Status registered = register_collection(**db, config);
  if (!registered.ok()) return fail(registered.error().message());
  return 0;
}
