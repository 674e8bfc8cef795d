// Fault injection on the write path: each write operation (and the creation
// of a collection) runs with each system call it makes (and each store
// commit) failing in turn, the 1st, then the 2nd, ... until the operation
// no longer reaches the armed call.
// Every run must fail with the fault's kind of error (or succeed where the
// failed step is one the engine tolerates), lose nothing acknowledged
// before it, leave memory and files telling the same story, account for
// every slot, and succeed once the fault is cleared.
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "collection_test_util.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

using platform::FaultInjection;
using platform::Op;
using testing::obj;

// id -> version. A record of version v has the metadata {"v": v} and the
// vector (v, 1, 0, 0), so the dot score against e0 is v again.
using Model = std::map<std::string, uint64_t>;

std::vector<float> vec(uint64_t v) { return {float(v), 1, 0, 0}; }
json::Value meta(uint64_t v) { return obj({{"v", json::Value(v)}}); }

// What an operation runs on, and the failures it only counts (an import's
// failed records).
struct Target {
  CollectionState& s;
  std::string dir;
  uint64_t tolerated = 0;
};

struct WriteOp {
  const char* name;
  std::function<Status(Target&)> run;
  Model after;                        // what the ids it writes hold once it succeeded
  std::vector<std::string> deleted;   // the ids it deletes
  bool graph = false;                 // run on a collection with a graph index
};

Status status_of(Status s) { return s; }
template <typename T>
Status status_of(const Result<T>& r) {
  return r.ok() ? OkStatus() : Status(r.error());
}

const WriteOp kOps[] = {
    {"add", [](Target& r) -> Status {
       TS_RETURN_IF_ERROR(status_of(add_record(r.s, vec(2000), meta(2000), "n", {})));
       return flush_pending_writes(r.s);
     }, {{"n", 2000}}},
    // Three new ids (one slot reused, two that grow the file) and one replaced.
    {"add_batch", [](Target& r) -> Status {
       BatchVectors v;
       v.rows = {vec(2001), vec(2002), vec(2003), vec(2004)};
       return status_of(add_batch_impl(r.s, v, {meta(2001), meta(2002), meta(2003), meta(2004)},
                                       std::vector<std::string>{"n0", "n1", "b2", "n2"}, {}));
     }, {{"n0", 2001}, {"n1", 2002}, {"b2", 2003}, {"n2", 2004}}},
    {"upsert", [](Target& r) { return upsert_record(r.s, "b3", vec(2005), meta(2005), {}); },
     {{"b3", 2005}}},
    {"delete", [](Target& r) { return status_of(delete_by_id(r.s, "b4")); }, {}, {"b4"}},
    {"compact", [](Target& r) { return status_of(compact_collection(r.s)); }},
    {"sync", [](Target& r) { return sync_collection(r.s); }},
    // Also writes "hnsw.index"; a file left short is rebuilt at the next open.
    {"sync (graph)", [](Target& r) { return sync_collection(r.s); }, {}, {}, true},
    {"export", [](Target& r) { return status_of(export_to_file(r.s, r.dir + "/out.ndjson")); }},
    // A record line that replaces b5 and one that adds n9.
    {"import", [](Target& r) -> Status {
       Result<ImportStats> stats = import_from_file(r.s, r.dir + "/in.ndjson");
       if (stats.ok()) r.tolerated = stats->failed;
       return status_of(stats);
     }, {{"b5", 2006}, {"n9", 2007}}},
    // Creating a collection beside it and writing to it.
    {"create", [](Target& r) -> Status {
       TS_ASSIGN_OR_RETURN(std::shared_ptr<CollectionState> other,
                           open_collection(r.dir + "/other/new", CollectionConfig{"o", 4}));
       TS_RETURN_IF_ERROR(status_of(add_record(*other, vec(1), meta(1), "x", {})));
       return sync_collection(*other);
     }},
};

constexpr std::pair<Op, const char*> kFaults[] = {
    {Op::kOpen, "open"},   {Op::kMkdir, "mkdir"},       {Op::kLock, "flock"},
    {Op::kReserve, "fallocate"},  {Op::kSetLength, "ftruncate"},
    {Op::kMap, "mmap"},    {Op::kSyncMapping, "msync"}, {Op::kFullSync, "fsync"},
    {Op::kSyncDir, "fsync of the directory"}, {Op::kWrite, "write"},
    {Op::kStoreCommit, "store commit"}};

class FaultTest : public testing::CollectionTest {
 protected:
  void TearDown() override {
    FaultInjection::reset();
    CollectionTest::TearDown();
  }

  // A fresh collection whose vector file is full (any new slot grows it),
  // with one slot on the free list, an expired record for compaction to
  // remove, a write still queued and an export file to import.
  Model set_up(const std::string& name, bool graph) {
    open(4, Metric::kDot, name,
         graph ? std::optional(HnswConfig{16, 32, 16, 100, 40, 0.36, 0}) : std::nullopt);
    BatchVectors v;
    std::vector<json::Value> metas;
    std::vector<std::string> ids;
    std::vector<std::optional<uint64_t>> ttls;
    for (uint64_t i = 1; i < 1024; ++i) {
      v.rows.push_back(vec(i));
      metas.push_back(meta(i));
      ids.push_back("b" + std::to_string(i));
      ttls.push_back(std::nullopt);
    }
    v.rows.push_back(vec(0)), metas.push_back(meta(0)), ids.push_back("expired"), ttls.push_back(0);
    EXPECT_TRUE(add_batch_impl(st(), v, std::move(metas), ids, ttls).ok());
    EXPECT_TRUE(status_of(delete_by_id(st(), "b1")).ok());
    add(vec(1999), meta(1999), "q");
    std::ofstream(path(name) + "/in.ndjson")
        << R"({"version":1,"collection":"c","dimensions":4,"metric":"dot","record_count":2,"exported_at":0})"
        << "\n"
        << R"({"id":"b5","vector":[2006.0,1.0,0.0,0.0],"metadata":{"v":2006},"created_at":0})" << "\n"
        << R"({"id":"n9","vector":[2007.0,1.0,0.0,0.0],"metadata":{"v":2007},"created_at":0})" << "\n";
    Model model{{"q", 1999}};
    for (uint64_t i = 2; i < 1024; ++i) model["b" + std::to_string(i)] = i;
    return model;
  }

  // What get, len and an exact search over everything say, checked to agree
  // with one another: each id once, with the score of the version get sees.
  Model observe() {
    Model seen;
    for (const std::string& id : universe_) {
      std::optional<SearchHit> hit = get(id);
      if (hit) seen[id] = hit->metadata.as_object().find("v")->as_u64();
    }
    EXPECT_EQ(len(), seen.size());
    std::vector<SearchHit> hits = search({1, 0, 0, 0}, 4096);
    EXPECT_EQ(hits.size(), seen.size());
    for (const SearchHit& h : hits) {
      auto it = seen.find(h.id);
      EXPECT_TRUE(it != seen.end() && float(it->second) == h.score) << h.id;
    }
    return seen;
  }

  // True when each id of `seen` holds what it held `before`, or what the
  // op leaves it with.
  static bool explained(const Model& seen, const Model& before, const WriteOp& op) {
    const Model done = applied(before, op);
    auto at = [](const Model& m, const std::string& id) {
      auto it = m.find(id);
      return it == m.end() ? std::nullopt : std::optional(it->second);
    };
    return std::all_of(universe_.begin(), universe_.end(), [&](const std::string& id) {
      return at(seen, id) == at(before, id) || at(seen, id) == at(done, id);
    });
  }

  static Model applied(Model model, const WriteOp& op) {
    for (const std::string& id : op.deleted) model.erase(id);
    for (const auto& [id, v] : op.after) model[id] = v;
    return model;
  }

  static inline std::vector<std::string> universe_ = [] {
    std::vector<std::string> ids{"q", "n", "n0", "n1", "n2", "n9", "expired"};
    for (int i = 1; i < 1024; ++i) ids.push_back("b" + std::to_string(i));
    return ids;
  }();
};

TEST_F(FaultTest, EveryFailingCallOfEveryWriteLeavesAConsistentCollection) {
  int cases = 0;
  for (const WriteOp& op : kOps) {
    for (const auto& [fault, call] : kFaults) {
      for (int nth = 0;; ++nth) {
        const std::string where =
            std::string(op.name) + ": " + call + " number " + std::to_string(nth + 1) + " fails";
        SCOPED_TRACE(where);
        const std::string name = "c" + std::to_string(cases++);
        const Model before = set_up(name, op.graph);
        const int errnum = fault == Op::kReserve ? ENOSPC : EIO;
        FaultInjection::fail(fault, errnum, nth);
        Target first{st(), path(name)};
        const Status failed = op.run(first);
        const bool fired = FaultInjection::fired();
        FaultInjection::reset();
        if (!fired) {
          ASSERT_TRUE(failed.ok() && first.tolerated == 0) << where;
          EXPECT_EQ(observe(), applied(before, op));
          break;
        }
        if (!failed.ok()) {
          // Opening a store reports its file's failures as Database errors.
          const DbError::Kind kind = failed.error().kind();
          EXPECT_TRUE(fault == Op::kStoreCommit ? kind == DbError::Kind::kTransaction
                      : kind == DbError::Kind::kIo ||
                            ((fault == Op::kOpen || fault == Op::kLock) &&
                             kind == DbError::Kind::kDatabase))
              << failed.error().message();
        }
        const Model seen = observe();
        EXPECT_TRUE(explained(seen, before, op));
        expect_slots_accounted(/*leak=*/3);  // a queued write, two of a failed one
        reopen();
        EXPECT_EQ(observe(), seen);
        Target second{st(), path(name)};
        const Status again = op.run(second);
        ASSERT_TRUE(again.ok() && second.tolerated == 0) << (again.ok() ? "" : again.error().message());
        EXPECT_EQ(observe(), applied(before, op));
        reopen();
        EXPECT_EQ(observe(), applied(before, op));
        expect_slots_accounted();
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace tessarin
