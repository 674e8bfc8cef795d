// Collections with a graph index: the graph road of search, the index kept
// up to date through adds, deletes, replacements and compaction, saved by
// sync and trusted at open only when it holds exactly the live records.
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <thread>

#include "collection_test_util.h"
#include "platform/platform.h"

namespace tessarin {

void set_sync_save_hook_for_testing(std::function<void()> hook);

namespace {

using testing::obj;

class GraphCollectionTest : public testing::CollectionTest {
 protected:
  static constexpr size_t kDim = 8;

  CollectionState& open_graph(uint64_t ef_search = 40) {
    return open(kDim, Metric::kL2, "graph", HnswConfig{16, 32, 16, 100, ef_search, 0.36, 0});
  }

  static std::vector<float> vec(uint32_t seed) { return testing::normal_vectors(1, kDim, seed)[0]; }
  bool has_index() {
    std::shared_lock lock(st().index_mu);
    return st().index != nullptr;
  }
  // The ids of the index's nodes, in node order.
  std::vector<std::string> node_ids() {
    std::shared_lock lock(st().index_mu);
    std::shared_lock graph_lock(st().index->graph.mu);
    std::vector<std::string> out;
    const HnswGraph& g = st().index->graph.value;
    for (uint32_t i = 0; i < g.node_count(); ++i) out.push_back(g.node_id(i));
    return out;
  }
  std::string index_file() { return path("graph") + "/hnsw.index"; }
  // One batch of `rows` under `ids` (empty metadata), with `ttl` for each.
  void add_batch_of(std::vector<std::vector<float>> rows, std::vector<std::string> ids,
                    std::optional<uint64_t> ttl = std::nullopt) {
    BatchVectors batch;
    batch.rows = std::move(rows);
    std::vector<json::Value> metadata(ids.size(), json::Object());
    std::optional<std::vector<std::optional<uint64_t>>> ttls;
    if (ttl) ttls.emplace(ids.size(), ttl);
    ASSERT_TRUE(add_batch_impl(st(), batch, std::move(metadata), std::move(ids), ttls).ok());
  }
  // The exact answer over every live record, for comparison.
  // (The graph is brought up to date first: a search without it would build
  // one, which the restored index would then replace.)
  std::vector<std::string> exact_ids(const std::vector<float>& q, uint64_t k) {
    EXPECT_TRUE(update_index(st()).ok());
    std::unique_ptr<HnswIndex> index;
    {
      std::unique_lock lock(st().index_mu);
      index = std::move(st().index);
    }
    std::vector<std::string> out = ids(search(q, k));
    std::unique_lock lock(st().index_mu);
    st().index = std::move(index);
    return out;
  }
};

// A beam wider than the graph reaches every node, so the graph road must give
// the exact answer; what it can get wrong here is resolution and filtering,
// not recall (a parallel build's graph varies with thread timing).
TEST_F(GraphCollectionTest, GraphRoadAnswersLikeTheExactRoad) {
  open_graph(/*ef_search=*/512);
  for (uint32_t i = 0; i < 300; ++i) {
    add(vec(i), obj({{"even", json::Value(i % 2 == 0)}}), "id" + std::to_string(i));
  }
  sync();
  ASSERT_TRUE(has_index());
  EXPECT_EQ(node_ids().size(), 300u);
  EXPECT_TRUE(std::filesystem::exists(index_file()));
  for (uint32_t q = 1000; q < 1020; ++q) {
    EXPECT_EQ(ids(search(vec(q), 5)), exact_ids(vec(q), 5)) << q;
    // A filter walks min(4k, nodes) graph hits and keeps the matching ones.
    const std::vector<SearchHit> even = search(vec(q), 5, parse_filter(obj({{"even", json::Value(true)}})));
    EXPECT_EQ(even.size(), 5u) << q;  // from 20 graph hits, not 5
    for (const SearchHit& h : even) EXPECT_EQ(h.metadata, obj({{"even", json::Value(true)}}));
  }
  // (A reopen loads the saved index: ConcurrentWritersSearchesAndSyncs.)
  // k far beyond the graph: every live record, no buffer sized from k.
  EXPECT_EQ(search(vec(7), std::numeric_limits<uint64_t>::max()).size(), 300u);
}

TEST_F(GraphCollectionTest, IndexFileIsTrustedOnlyWhenItHoldsExactlyTheLiveRecords) {
  open_graph();
  for (uint32_t i = 0; i < 50; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  // Same live count, other records: one expired, one added, no sync after.
  Record expiring = stored("id3").value();
  expiring.expires_at = 1;
  put_row(expiring);
  add(vec(500), json::Object(), "new");
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  reopen();
  EXPECT_FALSE(has_index());
  EXPECT_TRUE(st().index_stale.load());
  EXPECT_EQ(ids(search(vec(500), 1)), std::vector<std::string>{"new"});
  sync();

  // A delete committed while sync brings the graph up to date and saves it
  // may be missing from that graph: no file is written (one that linked
  // "id4" would pass the open's check again once "id4" is re-added into its
  // old slot), and the delete removed the older one.
  const std::string file = index_file();
  set_sync_save_hook_for_testing([&] { ASSERT_TRUE(*delete_by_id(st(), "id4")); });
  sync();
  set_sync_save_hook_for_testing(nullptr);
  EXPECT_FALSE(std::filesystem::exists(file));
  sync();
  // A delete whose removal of the file fails (unlink, or the directory's
  // sync) fails and commits nothing.
  for (platform::Op op : {platform::Op::kUnlink, platform::Op::kSyncDir}) {
    platform::FaultInjection::fail(op, EIO);
    const Result<bool> failed = delete_by_id(st(), "id5");
    platform::FaultInjection::reset();
    EXPECT_TRUE(!failed.ok() && failed.error().kind() == DbError::Kind::kIo);
    EXPECT_TRUE(stored("id5").has_value());
  }
  sync();

  // A file the loader refuses is dropped and rebuilt without an error; here
  // one without its entry point (tag at byte 67) and a recomputed checksum.
  const std::string saved = testing::file_bytes(file);
  std::string bytes = saved.substr(0, 67) + '\0' + saved.substr(72, saved.size() - 76);
  const uint32_t crc = ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(crc >> (8 * i)));
  testing::put_file(file, bytes);
  reopen();
  EXPECT_FALSE(has_index());
  EXPECT_EQ(ids(search(vec(500), 1)), std::vector<std::string>{"new"});
  EXPECT_TRUE(has_index());
  EXPECT_EQ(node_ids().size(), 49u);
}

// An index that only lags gets the missing records inserted; one holding
// as many nodes as there are live records (or more) is rebuilt.
TEST_F(GraphCollectionTest, UpdateInsertsIntoALaggingGraphAndRebuildsOtherwise) {
  open_graph();
  EXPECT_FALSE(st().index_stale.load());  // no file, nothing stored
  sync();  // so no index is built, and no file written
  EXPECT_FALSE(has_index() || std::filesystem::exists(index_file()));
  for (uint32_t i = 0; i < 10; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  reopen();
  EXPECT_TRUE(st().index_stale.load());  // no file, live records
  auto expect_nodes = [&](std::vector<std::string> want) {
    ASSERT_TRUE(update_index(st()).ok());
    EXPECT_FALSE(st().index_stale.load());
    EXPECT_EQ(node_ids(), want);
  };
  // A build takes the live records in key order.
  expect_nodes({"id0", "id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8", "id9"});
  // Marked stale again by a commit that the update already saw: a graph of
  // exactly the live records is kept.
  const HnswIndex* built = st().index.get();
  st().index_stale.store(true);
  ASSERT_TRUE(update_index(st()).ok());
  EXPECT_EQ(st().index.get(), built);
  // 10 nodes, 12 live records: only the two new ones are inserted.
  for (auto [seed, id] : {std::pair{10u, "a"}, {11u, "b"}}) add(vec(seed), json::Object(), id);
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  expect_nodes({"id0", "id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8", "id9", "a", "b"});
  // One deleted, two added (13 live records): "c" takes the deleted
  // record's slot and is inserted; the slot leaves the deleted set, and the
  // old node, which now reads "c"'s vector, is skipped.
  ASSERT_TRUE(*delete_by_id(st(), "id0"));
  for (auto [seed, id] : {std::pair{12u, "c"}, {13u, "d"}}) add(vec(seed), json::Object(), id);
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  expect_nodes({"id0", "id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8", "id9", "a", "b",
                "c", "d"});
  const std::vector<std::string> found = ids(search(vec(12), 2));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], "c");
  EXPECT_NE(found[1], "id0");
  // 14 nodes, 2 of them deleted, 1 added: 13 live records, not more than the
  // nodes, so a new graph is built, with an empty deleted set.
  ASSERT_TRUE(*delete_by_id(st(), "a"));
  add(vec(14), json::Object(), "e");
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  expect_nodes({"b", "c", "d", "e", "id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8", "id9"});
  EXPECT_TRUE(st().index->deleted.value.empty());
  // One deleted, one added: as many live records as nodes, one of them not
  // in the graph, so again a new graph.
  ASSERT_TRUE(*delete_by_id(st(), "b"));
  add(vec(15), json::Object(), "f");
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  expect_nodes({"c", "d", "e", "f", "id1", "id2", "id3", "id4", "id5", "id6", "id7", "id8", "id9"});
  // None live: the full build still gives an index, empty, and sync saves it.
  for (const std::string& id : node_ids()) ASSERT_TRUE(*delete_by_id(st(), id));
  sync();
  EXPECT_EQ(node_ids().size(), 0u);
  EXPECT_TRUE(std::filesystem::exists(index_file()));
}

// Replacing a stored record, deleting one, and compacting one away release
// slots that newer records then take: each of those records must be found,
// and only with its own vector's score, once per search.
TEST_F(GraphCollectionTest, RecordsThatReuseReleasedSlotsAreFoundOnce) {
  open_graph();
  for (uint32_t i = 0; i < 40; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  ASSERT_EQ(node_ids().size(), 40u);

  // Replacement: "id1" moves to a new slot; "reuse1" takes its old one.
  const uint64_t old_slot = stored("id1")->slot;
  ASSERT_TRUE(upsert_record(st(), "id1", vec(101), json::Object(), std::nullopt).ok());
  add(vec(102), json::Object(), "reuse1");
  sync();
  EXPECT_EQ(stored("reuse1")->slot, old_slot);
  // Compaction: "id2" expires (its row rewritten so), is compacted away, and
  // "reuse2" takes its slot.
  Record expiring = stored("id2").value();
  expiring.expires_at = 1;
  put_row(expiring);
  ASSERT_EQ(compact_collection(st())->expired_removed, 1u);
  add(vec(103), json::Object(), "reuse2");
  ASSERT_TRUE(flush_pending_writes(st()).ok());
  EXPECT_EQ(stored("reuse2")->slot, expiring.slot);

  for (const auto& [seed, id] : {std::pair{101u, "id1"}, {102u, "reuse1"}, {103u, "reuse2"}}) {
    const std::vector<SearchHit> hits = search(vec(seed), 3);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].id, id);
    EXPECT_EQ(hits[0].score, 0.0f);  // its own vector
    EXPECT_NE(hits[1].id, id) << "found twice";
  }
  EXPECT_EQ(exact_ids(vec(5), 10), ids(search(vec(5), 10)));

  // A hit whose record expired since is skipped; the rest keep their order.
  const std::vector<std::string> ranked = ids(search(vec(5), 4));
  Record top = stored(ranked[0]).value();
  top.expires_at = 1;
  put_row(top);
  EXPECT_EQ(ids(search(vec(5), 3)), std::vector<std::string>(ranked.begin() + 1, ranked.end()));
}

// A slot emptied and refilled round after round carries a node for each of
// its records; only the current one may be returned, and the others must
// not take its place among the 2k hits the query resolves.
TEST_F(GraphCollectionTest, NodesOfASlotsEarlierRecordsNeverTakeALiveRecordsPlace) {
  open_graph();
  for (uint32_t i = 0; i < 140; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  std::string holder = "id0";  // the record in the slot that is refilled
  for (uint32_t round = 0; round < 12; ++round) {
    const uint64_t slot = stored(holder)->slot;
    ASSERT_TRUE(*delete_by_id(st(), holder));
    holder = "refill" + std::to_string(round);
    add(vec(1000 + round), json::Object(), holder);  // takes the freed slot
    // More records than the graph has nodes of gone ones, so the graph only
    // lags and is inserted into, never rebuilt: the slot's nodes pile up.
    for (uint32_t i = 0; i <= round; ++i) {
      add(vec(2000 + 100 * round + i), json::Object(), "new" + std::to_string(round) + "." + std::to_string(i));
    }
    ASSERT_TRUE(flush_pending_writes(st()).ok());
    ASSERT_EQ(stored(holder)->slot, slot);
    for (uint64_t k : {1, 3, 10}) {
      const std::vector<SearchHit> hits = search(vec(1000 + round), k);
      ASSERT_EQ(hits.size(), k) << "round " << round;
      EXPECT_EQ(hits[0].id, holder) << "round " << round;
    }
  }
  EXPECT_EQ(node_ids().size(), 140u + 12 + 12 * 13 / 2);  // inserted, never rebuilt
}

// A record deleted and added again under its id takes back its slot: the
// graph must index it anew (its old node was unmapped, and was linked for
// the old vector), before and after sync, and after a reopen that loads the
// file sync wrote.
TEST_F(GraphCollectionTest, ARecordReaddedIntoItsOldSlotIsFoundAndSavedAnew) {
  open(kDim, Metric::kL2, "graph", HnswConfig{8, 16, 8, 50, 32, 0.5, 0});
  std::vector<std::vector<float>> rows;
  std::vector<std::string> ids;
  for (uint32_t i = 0; i < 200; ++i) {
    rows.push_back(vec(i));
    ids.push_back("r" + std::to_string(i));
  }
  add_batch_of(std::move(rows), std::move(ids));
  search(vec(0), 1);
  auto moved = [](uint32_t i) {
    std::vector<float> v = vec(i);
    for (float& x : v) x += 0.01f;
    return v;
  };
  for (uint32_t i = 7; i < 47; ++i) {
    const uint64_t slot = stored("r" + std::to_string(i))->slot;
    ASSERT_TRUE(*delete_by_id(st(), "r" + std::to_string(i)));
    add(moved(i), obj({{"i", json::Value(i)}}), "r" + std::to_string(i));
    ASSERT_TRUE(flush_pending_writes(st()).ok());
    ASSERT_EQ(stored("r" + std::to_string(i))->slot, slot);
  }
  for (int pass = 0; pass < 3; ++pass) {  // in memory, after sync, after a reopen
    SCOPED_TRACE(pass);
    if (pass == 1) sync();
    if (pass == 2) {
      ASSERT_TRUE(std::filesystem::exists(index_file()));
      reopen();
      EXPECT_TRUE(has_index());
    }
    for (uint32_t i = 7; i < 47; ++i) {
      const std::vector<SearchHit> hits = search(moved(i), 3);
      ASSERT_FALSE(hits.empty());
      EXPECT_EQ(hits[0].id, "r" + std::to_string(i));
      EXPECT_EQ(search(moved(i), 3, parse_filter(obj({{"i", json::Value(i)}}))).size(), 1u);
    }
  }
}

// Slots released by one thread's replacements and taken by its next batch
// while another thread searches (and so brings the graph up to date) in a
// loop: the batch's records are found as soon as it returns.
TEST_F(GraphCollectionTest, RecordsInSlotsReleasedAndRefilledDuringUpdatesAreFound) {
  open_graph();
  std::vector<std::vector<float>> rows;
  std::vector<std::string> stored_ids;
  for (uint32_t i = 0; i < 1000; ++i) {
    rows.push_back(vec(i));
    stored_ids.push_back("id" + std::to_string(i));
  }
  add_batch_of(std::move(rows), std::move(stored_ids));
  std::atomic<bool> writing{true};
  std::atomic<int> missed{0};
#ifdef __SANITIZE_THREAD__
  constexpr uint32_t kRounds = 4;  // each round rebuilds the graph, 50x slower here
#else
  constexpr uint32_t kRounds = 24;
#endif
  testing::run_threads(2, [&](int t) {
    while (t == 0 && writing.load()) EXPECT_TRUE(search_collection(st(), vec(0), 1, std::nullopt).ok());
    for (uint32_t round = 0; t == 1 && round < kRounds; ++round) {
      for (uint32_t j = 0; j < 2; ++j) {
        const std::string id = "id" + std::to_string(round * 2 + j);
        ASSERT_TRUE(upsert_record(st(), id, vec(10000 + round * 2 + j), json::Object(), std::nullopt).ok());
      }
      const std::vector<std::string> new_ids{"n" + std::to_string(round) + "a",
                                             "n" + std::to_string(round) + "b"};
      add_batch_of({vec(20000 + round * 2), vec(20001 + round * 2)}, new_ids);
      for (uint32_t j = 0; j < 2; ++j) {
        const std::vector<SearchHit> hits = search(vec(20000 + round * 2 + j), 1);
        if (hits.empty() || hits[0].id != new_ids[j]) ++missed;
      }
    }
    if (t == 1) writing = false;
  });
  EXPECT_EQ(missed.load(), 0);
}

// Records that expire while the graph holds them route the walk but take
// no place among the hits: a search returns k live records, whatever has
// expired near the query, until the graph is rebuilt and after.
TEST_F(GraphCollectionTest, ExpiredRecordsTakeNoPlaceAmongTheHits) {
  open_graph();
  std::vector<std::vector<float>> far, near;
  std::vector<std::string> far_ids, near_ids;
  for (uint32_t i = 0; i < 500; ++i) {
    std::vector<float> v = vec(i);
    for (float& x : v) x *= 10;
    far.push_back(v);
    far_ids.push_back("far" + std::to_string(i));
  }
  for (uint32_t i = 0; i < 30; ++i) {
    std::vector<float> v = vec(1000 + i);
    for (float& x : v) x *= 0.01f;
    near.push_back(v);
    near_ids.push_back("near" + std::to_string(i));
  }
  add_batch_of(std::move(far), std::move(far_ids));
  const std::vector<float> origin(kDim, 0.0f);
  search(origin, 1);  // the graph built first: inserting the near ones is quick
  add_batch_of(std::move(near), std::move(near_ids), /*ttl=*/2);  // live for a second at least
  const uint64_t expires_at = *stored("near0")->expires_at;
  ASSERT_EQ(search(origin, 1)[0].id.substr(0, 4), "near");  // indexed while live
  while (platform::now_secs() < expires_at) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (uint64_t k : {1, 5, 10, 20}) {
    EXPECT_EQ(ids(search(origin, k)), exact_ids(origin, k)) << k;
    EXPECT_EQ(search(origin, k, parse_filter(json::Object())).size(), k) << k;
  }
}

// A file whose own copy of the configuration differs from the registry's
// (here ef_search, with the checksum made right) is out of date: the open
// rebuilds the graph under the registry's configuration.
TEST_F(GraphCollectionTest, AnIndexFileOfAnotherConfigurationIsRebuilt) {
  open_graph(/*ef_search=*/40);
  for (uint32_t i = 0; i < 50; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  std::string bytes = testing::file_bytes(index_file());
  bytes[6 + 4 * 8] = 1;  // ef_search, the fifth u64 of the configuration at byte 6
  bytes.resize(bytes.size() - 4);
  const uint32_t crc = ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(crc >> (8 * i)));
  testing::put_file(index_file(), bytes);
  reopen();
  EXPECT_FALSE(has_index());
  EXPECT_EQ(ids(search(vec(3), 1)), std::vector<std::string>{"id3"});
  std::shared_lock lock(st().index_mu);
  std::shared_lock graph_lock(st().index->graph.mu);
  EXPECT_EQ(st().index->graph.value.config().ef_search, 40u);
}

// The graph kept up to date by insertion, kept as it is or rebuilt, against
// the plain answer (the exact road over the same records) on random
// sequences of every write, expiry, compaction, sync and reopen. The beam
// is wider than the collection, so the walk reaches every node: what can
// differ is which records the graph holds and returns.
TEST_F(GraphCollectionTest, AMaintainedGraphAnswersAsTheExactRoadOnRandomSequences) {
  for (uint32_t seed = 0; seed < 6; ++seed) {
    SCOPED_TRACE(seed);
    open(kDim, Metric::kL2, "random" + std::to_string(seed), HnswConfig{8, 16, 8, 50, 256, 0.5, 0});
    std::mt19937 rng(seed);
    std::map<std::string, std::vector<float>> live;
    uint32_t next = 0;
    auto pick = [&]() -> std::string {
      auto it = live.begin();
      std::advance(it, std::uniform_int_distribution<size_t>(0, live.size() - 1)(rng));
      return it->first;
    };
    for (int step = 0; step < 120; ++step) {
      const int op = std::uniform_int_distribution<int>(0, 11)(rng);
      const std::string id = live.empty() || op % 2 ? "id" + std::to_string(next % 90) : pick();
      const std::vector<float> v = vec(100000 * seed + next++);
      if (op <= 2 && !live.contains(id)) {
        add(v, json::Object(), id);
        live[id] = v;
      } else if (op <= 4) {
        add_batch_of({v}, {id});
        live[id] = v;
      } else if (op == 5) {
        ASSERT_TRUE(upsert_record(st(), id, v, json::Object(), std::nullopt).ok());
        live[id] = v;
      } else if (op == 6) {
        ASSERT_TRUE(delete_by_id(st(), id).ok());
        live.erase(id);
      } else if (op == 7 && live.contains(id)) {
        ASSERT_TRUE(flush_pending_writes(st()).ok());
        Record expiring = stored(id).value();  // expired in place, its slot kept
        expiring.expires_at = 1;
        put_row(expiring);
        live.erase(id);
      } else if (op == 8) {
        ASSERT_TRUE(compact_collection(st()).ok());
      } else if (op == 9) {
        sync();
      } else if (op == 10) {
        reopen();
      } else if (op == 11 && live.contains(id)) {  // deleted and at once written again
        ASSERT_TRUE(*delete_by_id(st(), id));
        add(v, json::Object(), id);
        if (next % 2) ASSERT_TRUE(flush_pending_writes(st()).ok());
        live[id] = v;
      }
      for (int q = 0; q < 2; ++q) {
        const std::vector<float> query = vec(900000 + step * 2 + q);
        const uint64_t k = std::uniform_int_distribution<uint64_t>(1, 12)(rng);
        ASSERT_EQ(ids(search(query, k)), exact_ids(query, k)) << "step " << step;
      }
      if (!live.empty()) {
        const std::string own = pick();
        const std::vector<SearchHit> hits = search(live[own], 1);
        ASSERT_TRUE(!hits.empty() && hits[0].id == own) << "step " << step << " " << own;
      }
    }
  }
}

// A record committed while another thread brings the graph up to date is
// found by the next search: the update that read the records before the
// commit must not leave the index marked current.
TEST_F(GraphCollectionTest, RecordsCommittedDuringASearchAreFoundAfterIt) {
  open_graph();
  for (uint32_t i = 0; i < 200; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  std::atomic<bool> writing{true};
  testing::run_threads(2, [&](int t) {
    while (t == 0 && writing.load()) EXPECT_TRUE(search_collection(st(), vec(0), 1, std::nullopt).ok());
    for (uint32_t i = 0; t == 1 && i < 60; ++i) {
      const std::string id = "new" + std::to_string(i);
      if (i % 2 == 0) {  // the batch's second transaction
        BatchVectors v;
        v.rows = {vec(5000 + i)};
        std::vector<json::Value> metadata(1, json::Object());
        ASSERT_TRUE(add_batch_impl(st(), v, std::move(metadata), std::vector{id}, std::nullopt).ok());
      } else {  // a group commit
        add(vec(5000 + i), json::Object(), id);
        ASSERT_TRUE(flush_pending_writes(st()).ok());
      }
    }
    if (t == 1) writing = false;
  });
  const std::vector<SearchHit> all = search(vec(0), 1000);
  std::set<std::string> found;
  for (const SearchHit& h : all) found.insert(h.id);
  EXPECT_EQ(all.size(), 260u);
  for (uint32_t i = 0; i < 60; ++i) EXPECT_TRUE(found.contains("new" + std::to_string(i))) << i;
}

// Threads add, delete, upsert and search a graph collection while syncs
// rebuild and save the index; afterwards a reopen answers as before it.
TEST_F(GraphCollectionTest, ConcurrentWritersSearchesAndSyncs) {
  open_graph();
  for (uint32_t i = 0; i < 200; ++i) add(vec(i), json::Object(), "id" + std::to_string(i));
  sync();
  std::atomic<int> writing{2};  // threads 0 and 1 write while 2 searches and 3 syncs
  testing::run_threads(4, [&](int t) {
    for (; t == 2 && writing.load() > 0;) EXPECT_TRUE(search_collection(st(), vec(9), 10, std::nullopt).ok());
    for (; t == 3 && writing.load() > 0;) EXPECT_TRUE(sync_collection(st()).ok());
    for (uint32_t i = 0; t < 2 && i < 150; ++i) {
      const std::string id = "id" + std::to_string((i * 7 + t * 31) % 260);
      switch (i % 3) {
        case 0: EXPECT_TRUE(add_record(st(), vec(i + 1000 * t), json::Object(), id, std::nullopt).ok()); break;
        case 1: EXPECT_TRUE(delete_by_id(st(), id).ok()); break;
        default: EXPECT_TRUE(upsert_record(st(), id, vec(i), json::Object(), std::nullopt).ok());
      }
    }
    if (t < 2) --writing;
  });
  sync();
  std::vector<std::vector<std::string>> before;
  for (uint32_t q = 0; q < 10; ++q) before.push_back(ids(search(vec(q), 10)));
  reopen();
  EXPECT_FALSE(st().index_stale.load());
  for (uint32_t q = 0; q < 10; ++q) EXPECT_EQ(ids(search(vec(q), 10)), before[q]);
}

}  // namespace
}  // namespace tessarin
