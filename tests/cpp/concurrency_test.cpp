// Many threads on one collection, plain or with a graph index: adds,
// upserts, batch adds, deletes, exports and imports racing with group
// commits, searches, gets, counts, compactions and syncs. Each writer checks its own writes
// after every call (read-your-writes: get, search and len see them while
// other threads' commits, batches and imports run); afterwards exactly the
// records whose last write succeeded and that were not deleted are stored.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "collection_test_util.h"
#include "collection/filter.h"

namespace tessarin {
namespace {

using testing::obj;

class ConcurrencyTest : public testing::CollectionTest,
                        public ::testing::WithParamInterface<bool> {};

// One record as its writer last wrote it.
struct Written {
  int64_t version = 0;
  std::vector<float> vector;
};

TEST_P(ConcurrencyTest, WritersAndReadersOnOneCollection) {
  constexpr int kWriters = 4, kReaders = 2;
  constexpr uint64_t kDim = 8;
  constexpr size_t kMaxOwn = 60;  // records a writer keeps live (the graph's beam covers all)
  const bool graph = GetParam();
  open(kDim, Metric::kL2, "coll",
       graph ? std::optional(HnswConfig{16, 32, 16, 100, 1024, 0.36, 0}) : std::nullopt);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  std::atomic<int> failures{0};
  // Each writer owns the ids "w<t>-<n>": its model below is exact.
  std::vector<std::map<std::string, Written>> expected(kWriters);

  auto writer = [&](int t) {
    std::mt19937 rng(static_cast<uint32_t>(t) + 1);
    std::uniform_real_distribution<float> value(-1, 1);
    std::uniform_int_distribution<int> choice(0, 99);
    std::map<std::string, Written>& mine = expected[t];
    int64_t serial = 0;
    auto fail = [&](const std::string& what) {
      ++failures;
      ADD_FAILURE() << "writer " << t << ": " << what;
    };
    auto new_vector = [&] {
      std::vector<float> v(kDim);
      for (float& x : v) x = value(rng);
      return v;
    };
    auto pick = [&] {
      auto it = mine.begin();
      std::advance(it, std::uniform_int_distribution<size_t>(0, mine.size() - 1)(rng));
      return it->first;
    };
    auto metadata = [&](int64_t version) {
      return obj({{"version", json::Value(version)}, {"writer", json::Value(t)}});
    };
    // After every call: each id written is seen as written, by get and by
    // a search for its vector; a deleted one by neither; len counts at
    // least this writer's records.
    auto check = [&](const std::vector<std::string>& written, const std::vector<std::string>& gone) {
      for (const std::string& id : written) {
        const Written& w = mine.at(id);
        auto got = get_by_id(st(), id);
        if (!got.ok() || !*got || (*got)->metadata != metadata(w.version)) fail("get " + id);
        auto hits = search_collection(st(), w.vector, 1, std::nullopt);
        if (!hits.ok() || hits->empty() || (*hits)[0].id != id) fail("search " + id);
      }
      for (const std::string& id : gone) {
        auto got = get_by_id(st(), id);
        if (!got.ok() || *got) fail("get of deleted " + id);
      }
      auto n = live_record_count(st());
      if (!n.ok() || *n < mine.size()) fail("len");
    };
    const std::string file = path("w" + std::to_string(t) + ".ndjson");
    while (std::chrono::steady_clock::now() < deadline) {
      const int c = choice(rng);
      ++serial;
      std::vector<std::string> written, gone;
      if (c < 35 || mine.empty()) {
        std::string id = "w" + std::to_string(t) + "-" + std::to_string(serial);
        std::vector<float> v = new_vector();
        if (!add_record(st(), v, metadata(serial), id, std::nullopt).ok()) fail("add");
        mine[id] = {serial, v};
        written.push_back(id);
      } else if (c < 50) {
        const std::string id = pick();
        std::vector<float> v = new_vector();
        if (!upsert_record(st(), id, v, metadata(serial), std::nullopt).ok()) fail("upsert");
        mine[id] = {serial, v};
        written.push_back(id);
      } else if (c < 65) {  // a batch of a new id and one of this writer's
        BatchVectors batch;
        std::vector<json::Value> metas;
        std::vector<std::string> ids{"w" + std::to_string(t) + "-" + std::to_string(serial), pick()};
        for (const std::string& id : ids) {
          batch.rows.push_back(new_vector());
          metas.push_back(metadata(serial));
          mine[id] = {serial, batch.rows.back()};
        }
        if (!add_batch_impl(st(), batch, std::move(metas), ids, std::nullopt).ok()) fail("add_batch");
        written = ids;
      } else if (c < 85) {
        const std::string id = pick();
        auto r = delete_by_id(st(), id);
        if (!r.ok() || !*r) fail("delete " + id);  // the id exists: it must be found
        mine.erase(id);
        gone.push_back(id);
        auto missing = delete_by_id(st(), "w" + std::to_string(t) + "-never");
        if (!missing.ok() || *missing) fail("delete of a missing id");
      } else if (c < 92) {  // every record of this writer is in an export
        auto n = export_to_file(st(), file);
        if (!n.ok()) {
          fail("export");
          continue;
        }
        std::ifstream in(file);
        std::string line, text;
        std::getline(in, line);  // the header
        size_t found = 0;
        while (std::getline(in, line)) {
          const size_t start = line.find("\"id\":\"") + 6;
          const std::string id = line.substr(start, line.find('"', start) - start);
          auto it = mine.find(id);
          if (it == mine.end()) continue;
          ++found;
          if (line.find("\"version\":" + std::to_string(it->second.version) + ",") == std::string::npos) {
            fail("export of " + id);
          }
        }
        if (found != mine.size()) fail("export holds " + std::to_string(found) + " of mine");
      } else {  // an import of new versions of two of this writer's records
        std::ostringstream lines;
        lines << R"({"version":1,"collection":"c","dimensions":8,"metric":"l2","record_count":2,"exported_at":0})"
              << "\n";
        for (const std::string& id : {pick(), pick()}) {
          std::vector<float> v = new_vector();
          char number[32];
          lines << R"({"id":")" << id << R"(","vector":[)";
          for (size_t i = 0; i < v.size(); ++i) {
            std::snprintf(number, sizeof number, "%.9g", v[i]);
            lines << (i ? "," : "") << number;
            v[i] = std::strtof(number, nullptr);
          }
          lines << R"(],"metadata":{"version":)" << serial << R"(,"writer":)" << t << "}}\n";
          mine[id] = {serial, v};
          written.push_back(id);
        }
        testing::put_file(file, lines.str());
        auto stats = import_from_file(st(), file);
        if (!stats.ok() || stats->imported != 2) fail("import");
      }
      check(written, gone);
      while (mine.size() > kMaxOwn) {
        const std::string id = mine.begin()->first;
        if (!delete_by_id(st(), id).ok()) fail("trim");
        mine.erase(id);
      }
    }
  };
  auto reader = [&](int t) {
    std::mt19937 rng(static_cast<uint32_t>(t) + 100);
    std::uniform_real_distribution<float> value(-1, 1);
    auto filter = parse_filter(obj({{"writer", json::Value(1)}}));
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<float> q(kDim);
      for (float& x : q) x = value(rng);
      auto hits = search_collection(st(), q, 10, rng() % 2 ? std::optional(filter) : std::nullopt);
      if (!hits.ok() || hits->size() > 10) ++failures;
      if (!live_record_count(st()).ok()) ++failures;
      if (!get_by_id(st(), "w0-1").ok()) ++failures;
      // One reader also compacts and syncs now and then, beside the writes.
      if (t == 1 && rng() % 8 == 0 && !compact_collection(st()).ok()) ++failures;
      if (t == 1 && rng() % 8 == 0 && !sync_collection(st()).ok()) ++failures;
    }
  };

  testing::run_threads(kWriters + kReaders, [&](int t) { t < kWriters ? writer(t) : reader(t - kWriters); });
  EXPECT_EQ(failures.load(), 0);

  std::map<std::string, int64_t> all;
  for (const auto& m : expected) {
    for (const auto& [id, w] : m) all[id] = w.version;
  }
  sync();
  EXPECT_EQ(len(), all.size());
  reopen();
  EXPECT_EQ(len(), all.size());
  const auto rows = stored_rows();
  EXPECT_EQ(rows.size(), all.size());
  expect_slots_accounted();  // no two records share a slot, none is listed free
  for (const Record& r : rows) {
    auto it = all.find(r.id);
    ASSERT_NE(it, all.end()) << "unexpected record " << r.id;
    EXPECT_EQ(r.status, RecordStatus::kActive);
    EXPECT_EQ(*get(r.id).value().metadata.as_object().find("version"), json::Value(it->second)) << r.id;
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndGraph, ConcurrencyTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Graph" : "Plain";
                         });

}  // namespace
}  // namespace tessarin
