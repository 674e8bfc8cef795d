// Many threads on one collection: adds, upserts and deletes racing with
// group commits, searches, gets and counts. Afterwards exactly the records
// whose last write succeeded and that were not deleted are stored.
#include <atomic>
#include <chrono>
#include <map>

#include "collection_test_util.h"
#include "collection/filter.h"

namespace tessarin {
namespace {

using testing::obj;

class ConcurrencyTest : public testing::CollectionTest {};

TEST_F(ConcurrencyTest, WritersAndReadersOnOneCollection) {
  constexpr int kWriters = 4, kReaders = 2;
  constexpr uint64_t kDim = 8;
  open(kDim, Metric::kDot);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  std::atomic<int> failures{0};
  // Each writer owns the ids "w<t>-<n>": its model below is exact.
  std::vector<std::map<std::string, int64_t>> expected(kWriters);

  auto writer = [&](int t) {
    std::mt19937 rng(static_cast<uint32_t>(t) + 1);
    std::uniform_real_distribution<float> value(-1, 1);
    std::uniform_int_distribution<int> choice(0, 99);
    std::map<std::string, int64_t>& mine = expected[t];
    int64_t serial = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<float> v(kDim);
      for (float& x : v) x = value(rng);
      const int c = choice(rng);
      ++serial;
      json::Value md = obj({{"version", json::Value(serial)}, {"writer", json::Value(t)}});
      if (c < 60 || mine.empty()) {
        std::string id = "w" + std::to_string(t) + "-" + std::to_string(serial);
        auto r = add_record(st(), v, md, id, std::nullopt);
        if (!r.ok()) ++failures;
        mine[id] = serial;
      } else {
        auto it = mine.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, mine.size() - 1)(rng));
        if (c < 80) {
          if (!upsert_record(st(), it->first, v, md, std::nullopt).ok()) ++failures;
          it->second = serial;
        } else {
          auto r = delete_by_id(st(), it->first);
          if (!r.ok() || !*r) ++failures;  // the id exists: it must be found
          mine.erase(it);
          auto missing = delete_by_id(st(), "w" + std::to_string(t) + "-never");
          if (!missing.ok() || *missing) ++failures;
        }
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
    }
  };

  testing::run_threads(kWriters + kReaders, [&](int t) { t < kWriters ? writer(t) : reader(t - kWriters); });
  EXPECT_EQ(failures.load(), 0);

  std::map<std::string, int64_t> all;
  for (const auto& m : expected) all.insert(m.begin(), m.end());
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

}  // namespace
}  // namespace tessarin
