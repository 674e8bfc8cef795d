// make_graph_collection: registers a collection whose stored configuration
// carries a graph index (HnswConfig), which no Python call creates. For
// tests, benchmarks and users' own experiments; afterwards
// Tessarin(DB_PATH).get_collection(NAME) opens it.
//
//   make_graph_collection DB_PATH NAME DIM METRIC M M_MAX0 M_MAX
//                         EF_CONSTRUCTION EF_SEARCH ML [SEVENTH]
//
// SEVENTH (default 0) is stored in the seventh HnswConfig field, which no
// operation reads: it is carried through the registry and "hnsw.index".
//
// Checks every argument, in command-line order, before anything is created:
// the first bad one is printed (exit 1) and DB_PATH is left as it was. Each
// number is its whole argument, in decimal: no spaces, no '+', no
// hexadecimal (ML may carry a '-', and is then out of range); a value out
// of its range (below) is refused with the text as given. Then opens (or creates) the
// database at DB_PATH and registers NAME through the engine's registry
// writer. Exits 0 on success; prints the error and exits 1 otherwise (an
// existing collection of that name is an error).
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "database.h"
#include "platform/platform.h"
#include "search/distance.h"
#include "storage/vectors.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "make_graph_collection: %s\n", message.c_str());
  return 1;
}

// Parses all of `text` as a whole number in [low, high] into *out; the
// message for argument `name` when it is not one.
std::string parse_whole(const char* name, std::string_view text, uint64_t low, uint64_t high,
                        uint64_t* out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  const bool too_large = ec == std::errc::result_out_of_range;
  if (text.empty() || ptr != end || (ec != std::errc() && !too_large)) {
    return std::string(name) + " is not a whole number: " + std::string(text);
  }
  if (too_large || *out < low || *out > high) {
    return std::string(name) + " must be between " + std::to_string(low) + " and " +
           std::to_string(high) + ", got " + std::string(text);
  }
  return {};
}

// Ranges of the graph parameters. No sensible configuration comes near a
// bound; beyond one a graph costs ever more time and space and gets no
// better (all four at 2^64 - 1 with ML = inf: a 20 s build and a 130 MB
// file for 1 000 records of 8 dimensions).
// M, M_MAX0, M_MAX: 1 ..= 4096. Common settings keep 4 to 64 neighbours (128
// on layer 0); 0 keeps no links on its layers, and a cap near 2^64 never
// prunes, so lists grow towards the node count.
constexpr uint64_t kMaxNeighbours = 4096;
// EF_CONSTRUCTION, EF_SEARCH: 0 ..= 32768, far above the beams of a few
// hundred to a few thousand that settings for recall near 1 use. 0 means 1
// while building; a query's beam is at least 2k. A wider beam only makes the
// full build and every query walk more of the graph, up to all of it (more
// work than the exact scan).
constexpr uint64_t kMaxBeam = 32768;
// ML: 0 ..= 4. The usual 1 / ln M is at most 1.44 (M >= 2); 0 is a flat
// graph. At 4 a node draws the capped level 32 with probability e^-8; above
// it ever more nodes stand on every layer, and at infinity all of them do.
constexpr double kMaxMl = 4.0;

// Parses all of `text` (NUL-terminated) as ML into *out; the message when it
// is not a number in [0, kMaxMl].
std::string parse_ml(const char* text, double* out) {
  const std::string_view view(text);
  const char* end = view.data() + view.size();
  const auto [ptr, ec] = std::from_chars(view.data(), end, *out);  // no spaces, '+' or hex
  const bool beyond_double = ec == std::errc::result_out_of_range;
  if (view.empty() || ptr != end || (ec != std::errc() && !beyond_double)) {
    return "ML is not a number: " + std::string(view);
  }
  // The text is a number too large or too small for a double: strtod reads
  // the same text as infinity or (nearly) zero.
  if (beyond_double) *out = std::strtod(text, nullptr);
  if (!(*out >= 0.0 && *out <= kMaxMl)) {  // NaN fails both
    char range[64];
    std::snprintf(range, sizeof range, "ML must be between 0 and %g, got ", kMaxMl);
    return range + std::string(view);
  }
  return {};
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
  if (Status name = validate_collection_name(config.name); !name.ok()) {
    return fail(name.error().message());
  }
  std::string bad = parse_whole("DIM", argv[3], 1, kMaxDimensions, &config.dimensions);
  if (!bad.empty()) return fail(bad);
  Result<Metric> metric = parse_metric(argv[4]);
  if (!metric.ok()) return fail(metric.error().text());
  config.metric = *metric;

  HnswConfig hnsw;
  const struct {
    const char* name;
    uint64_t* field;
    uint64_t low, high;
  } graph[] = {{"M", &hnsw.m, 1, kMaxNeighbours},
               {"M_MAX0", &hnsw.m_max0, 1, kMaxNeighbours},
               {"M_MAX", &hnsw.m_max, 1, kMaxNeighbours},
               {"EF_CONSTRUCTION", &hnsw.ef_construction, 0, kMaxBeam},
               {"EF_SEARCH", &hnsw.ef_search, 0, kMaxBeam}};
  for (size_t i = 0; i < std::size(graph); ++i) {
    bad = parse_whole(graph[i].name, argv[5 + i], graph[i].low, graph[i].high, graph[i].field);
    if (!bad.empty()) return fail(bad);
  }
  if (bad = parse_ml(argv[10], &hnsw.ml); !bad.empty()) return fail(bad);
  if (argc == 12) {
    bad = parse_whole("SEVENTH", argv[11], 0, UINT64_MAX, &hnsw.reserved);
    if (!bad.empty()) return fail(bad);
  }
  config.created_at = platform::now_secs();
  config.hnsw_config = hnsw;

  Result<std::unique_ptr<DatabaseState>> db = open_database(argv[1]);
  if (!db.ok()) return fail(db.error().message());
  Status registered = register_collection(**db, config);
  if (!registered.ok()) return fail(registered.error().message());
  return 0;
}
