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
// Opens (or creates) the database at DB_PATH and registers NAME through the
// engine's registry writer. Exits 0 on success; prints the error and exits 1
// otherwise (an existing collection of that name is an error). A graph
// parameter out of its range (below) is refused before anything is created.
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

// The first parameter out of its range, as a message; empty when none is.
std::string check_ranges(const tessarin::HnswConfig& c) {
  const struct {
    const char* name;
    uint64_t value, low, high;
  } ranges[] = {{"M", c.m, 1, kMaxNeighbours},
                {"M_MAX0", c.m_max0, 1, kMaxNeighbours},
                {"M_MAX", c.m_max, 1, kMaxNeighbours},
                {"EF_CONSTRUCTION", c.ef_construction, 0, kMaxBeam},
                {"EF_SEARCH", c.ef_search, 0, kMaxBeam}};
  for (const auto& r : ranges) {
    if (r.value < r.low || r.value > r.high) {
      return std::string(r.name) + " must be between " + std::to_string(r.low) + " and " +
             std::to_string(r.high) + ", got " + std::to_string(r.value);
    }
  }
  if (!(c.ml >= 0.0 && c.ml <= kMaxMl)) {  // NaN fails both
    char text[64];
    std::snprintf(text, sizeof text, "ML must be between 0 and %g, got %g", kMaxMl, c.ml);
    return text;
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
  if (const std::string range = check_ranges(hnsw); !range.empty()) return fail(range);
  config.created_at = platform::now_secs();
  config.hnsw_config = hnsw;

  Result<std::unique_ptr<DatabaseState>> db = open_database(argv[1]);
  if (!db.ok()) return fail(db.error().message());
  Status registered = register_collection(**db, config);
  if (!registered.ok()) return fail(registered.error().message());
  return 0;
}
