// Compaction: which records it removes and counts, what it does to their
// slots, and that records replaced while it runs survive it. Slot safety (a
// vector slot belongs to at most one live record): deletes, upserts and
// compaction must never put a slot on the free list twice, nor free a slot
// that a newer record has taken. And writers are not starved by searches.
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <tuple>

#include "collection_test_util.h"

namespace tessarin {

// Defined with the compaction: runs between its scan and its removals.
void set_compact_scan_hook_for_testing(std::function<void()> hook);

namespace {

using testing::obj;

class CompactTest : public testing::CollectionTest {
 protected:
  void TearDown() override {
    set_compact_scan_hook_for_testing(nullptr);
    CollectionTest::TearDown();
  }
  // {expired_removed, tombstones_removed, bytes_freed}
  std::vector<uint64_t> compact() {
    auto r = compact_collection(st());
    EXPECT_TRUE(r.ok()) << r.error().message();
    if (!r.ok()) return {};
    return {r->expired_removed, r->tombstones_removed, r->bytes_freed};
  }
  static std::vector<float> vec(float x) {  // 384 dimensions, x in the first
    std::vector<float> v(384, 0.0f);
    v[0] = x;
    return v;
  }
  using Counts = std::vector<uint64_t>;

  // What crashes leave behind: `lost` slots taken from the free list or the
  // file's end that nothing refers to (a lost queued add's, a batch's killed
  // before its first transaction), and `pending` Pending rows holding a slot
  // each (a batch killed between its transactions). REQUIRES: 4 dimensions.
  void leave_crash_leftovers(size_t lost, size_t pending, const std::string& tag) {
    const std::vector<uint64_t> slots =
        testing::ok_value(allocate_slots(st().free_list, st().vectors, lost + pending));
    for (uint64_t slot : slots) write_slot(slot, {-1, -1, -1, -1});
    MutexLock writer_lock(st().writer_mu);
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    for (size_t i = 0; i < pending; ++i) {
      ASSERT_TRUE(txn->put_record(Record{"pending-" + tag + "-" + std::to_string(i), slots[lost + i],
                                         "{}", 1, std::nullopt, RecordStatus::kPending})
                      .ok());
    }
    ASSERT_TRUE(txn->save_free_list().ok());
    ASSERT_TRUE(txn->commit().ok());
  }
};

TEST_F(CompactTest, ExpiredTombstonedAndExpiredTombstoneCountsAndBytes) {
  open(384);
  EXPECT_EQ(compact(), (Counts{0, 0, 0}));  // no "records" table yet
  add(vec(1), json::Object(), "expired", 0);       // expires_at == created_at
  add(vec(2), json::Object(), "tombstone");        // interrupted delete
  add(vec(3), json::Object(), "expired-tomb", 0);  // interrupted delete of an expired one
  add(vec(4), json::Object(), "live", 3600);
  sync();
  add(vec(5), json::Object(), "queued-expired", 0);  // still queued: invisible to compaction
  interrupted_delete("tombstone");
  interrupted_delete("expired-tomb");
  const uint64_t expired_slot = stored("expired").value().slot;
  const uint64_t tomb_slot = stored("tombstone").value().slot;
  const uint64_t expired_tomb_slot = stored("expired-tomb").value().slot;

  // Only the expired record's slot was not marked yet: 384 * 4 bytes freed.
  EXPECT_EQ(compact(), (Counts{2, 1, 1536}));
  EXPECT_TRUE(stored_rows().size() == 1 && stored("live"));
  EXPECT_EQ(queued(), 1u);
  EXPECT_TRUE(std::isnan(slot_values(expired_slot)[0]));  // marked free
  // Each freed slot listed once, in memory and as saved; the last freed is reused first.
  const std::vector<uint64_t> listed = free_slots();
  EXPECT_EQ(listed, (std::vector<uint64_t>{tomb_slot, expired_tomb_slot, expired_slot}));
  EXPECT_EQ(load_free_list(*read_transaction(st().store)).value(), listed);

  EXPECT_EQ(compact(), (Counts{0, 0, 0}));
  add(vec(6), json::Object(), "next");
  EXPECT_EQ(st().pending.back().record.slot, expired_slot);
}

TEST_F(CompactTest, SlotOutsideTheFileIsNotListed) {
  open(4);
  put_row(Record{"ghost", 1u << 20, "{}", 1, 1, RecordStatus::kActive});
  EXPECT_EQ(compact(), (Counts{1, 0, 0}));
  EXPECT_TRUE(stored_rows().empty());
  EXPECT_TRUE(free_slots().empty());  // would make the next add fail
  add({1, 0, 0, 0}, json::Object(), "after");
  sync();
  EXPECT_TRUE(get("after"));
}

TEST_F(CompactTest, RecordsReplacedBetweenScanAndRemovalSurvive) {
  open(4);
  add({1, 0, 0, 0}, obj({{"v", json::Value(1)}}), "upserted", 0);
  add({0, 1, 0, 0}, json::Object(), "tombstone");
  sync();
  interrupted_delete("tombstone");
  const uint64_t tomb_slot = stored("tombstone").value().slot;

  set_compact_scan_hook_for_testing([&] {
    // The expired record is upserted (its new version takes the
    // tombstone's slot, listed last) and an add takes the slot it frees.
    ASSERT_TRUE(upsert_record(st(), "upserted", std::vector<float>{0, 0, 1, 0},
                              obj({{"v", json::Value(2)}}), std::nullopt).ok());
    add({0, 0, 0, 1}, json::Object(), "reuser");
    sync();
  });
  EXPECT_EQ(compact(), (Counts{1, 1, 0}));  // counted as the scan chose them

  EXPECT_EQ(get("upserted").value().metadata, obj({{"v", json::Value(2)}}));
  EXPECT_EQ(stored("upserted").value().slot, tomb_slot);
  EXPECT_FALSE(stored("tombstone"));
  // Both vectors intact, neither slot back on the free list.
  EXPECT_EQ(ids(search({0, 0, 1, 0}, 1)), std::vector<std::string>{"upserted"});
  EXPECT_EQ(ids(search({0, 0, 0, 1}, 1)), std::vector<std::string>{"reuser"});
  const uint64_t upserted_slot = stored("upserted").value().slot;
  for (uint64_t slot : free_slots()) {
    EXPECT_NE(slot, upserted_slot);
    EXPECT_NE(slot, tomb_slot);
  }
}

// The leftovers of crashes go back to the free list with the next
// compaction, counted in bytes_freed, and the Pending rows go (counted
// nowhere); a second compaction finds nothing.
TEST_F(CompactTest, LostSlotsAndPendingRowsAreReclaimed) {
  open();
  add({1, 0, 0, 0}, json::Object(), "live");
  add({0, 1, 0, 0}, json::Object(), "stored");
  sync();
  leave_crash_leftovers(3, 2, "x");
  add({0, 0, 1, 0}, json::Object(), "queued");  // takes a new slot, stays queued
  EXPECT_EQ(compact(), (Counts{0, 0, 5 * 16}));
  EXPECT_EQ(stored_rows().size(), 2u);
  ASSERT_EQ(free_slots().size(), 5u);
  EXPECT_EQ(load_free_list(*read_transaction(st().store)).value(), free_slots());
  for (uint64_t slot : free_slots()) EXPECT_TRUE(std::isnan(slot_values(slot)[0]));
  EXPECT_EQ(free_slots().back(), 2u);  // the lowest is reused first
  EXPECT_EQ(compact(), (Counts{0, 0, 0}));
  sync();
  EXPECT_TRUE(get("queued"));
  expect_slots_accounted();
}

// The census of lost slots takes the committed rows from the compaction's
// own scan when no commit came since, else reads them again: from the
// mirror when it is built, else from the store. Copies of one collection
// holding random crash leftovers, compacted each way, must end alike.
TEST_F(CompactTest, LostSlotCensusReadsTheRowsAlikeEveryWay) {
  struct Outcome {
    Counts counts;
    std::vector<uint64_t> free;
    std::vector<std::tuple<std::string, RecordStatus, uint64_t>> rows;
    uint64_t slots = 0;
    bool operator==(const Outcome&) const = default;
  };
  std::mt19937 rng(5);
  for (int trial = 0; trial < 6; ++trial) {
    SCOPED_TRACE(trial);
    const std::string base = "census" + std::to_string(trial);
    open(4, Metric::kDot, base);
    for (int i = 0; i < 60; ++i) {
      const std::string id = "r" + std::to_string(rng() % 30);
      const std::optional<Record> row = stored(id);
      switch (rng() % 6) {
        case 0: leave_crash_leftovers(rng() % 3, rng() % 3, std::to_string(i)); break;
        case 1:
          if (row && row->status == RecordStatus::kActive) interrupted_delete(id);
          break;
        case 2: ASSERT_TRUE(delete_by_id(st(), id).ok()); break;
        default:  // a ttl of 0 has expired by the compaction
          add({float(i), 1, 0, 0}, json::Object(), id, rng() % 4 ? std::nullopt : std::optional<uint64_t>(0));
      }
    }
    state_.reset();  // queued adds committed
    std::vector<Outcome> outcomes;
    for (const char* way : {"scan", "store", "mirror"}) {
      const std::string name = base + way;
      std::filesystem::create_directory(path(name));
      for (const char* file : {"vectors.bin", "meta.redb"}) {
        std::filesystem::copy_file(path(base) + "/" + file, path(name) + "/" + file);
      }
      open(4, Metric::kDot, name);
      if (std::string_view(way) == "mirror") ASSERT_TRUE(ensure_mirror(st()));
      if (std::string_view(way) != "scan") {
        set_compact_scan_hook_for_testing([&] {  // a commit that changes no row
          auto txn = CollectionTxn::begin(st());
          ASSERT_TRUE(txn.ok() && txn->commit().ok());
        });
      }
      Outcome o{compact(), free_slots(), {}, slot_count()};
      set_compact_scan_hook_for_testing(nullptr);
      for (const Record& r : stored_rows()) o.rows.emplace_back(r.id, r.status, r.slot);
      outcomes.push_back(std::move(o));
    }
    EXPECT_GT(outcomes[0].counts[2], 0u);  // something was reclaimed
    EXPECT_TRUE(outcomes[1] == outcomes[0]) << "store";
    EXPECT_TRUE(outcomes[2] == outcomes[0]) << "mirror";
  }
}

class SlotSafetyTest : public CompactTest {};

// Compaction again and again while batches, single adds, upserts and
// deletes take and give back slots on other threads: each write holds slots
// that no row refers to for a while (an add from its allocation until it is
// queued, a batch until its second transaction). Compaction reclaims what
// crashes left, and never a slot that a write of this process holds:
// afterwards every record keeps its own vector, and every slot is used once
// or listed free once.
TEST_F(SlotSafetyTest, CompactionAmidWritesReclaimsOnlyWhatNoWriteHolds) {
  open(4, Metric::kL2);
  const auto vec = [](int k) { return std::vector<float>{float(k), float(k % 7), 1, 2}; };
  constexpr int kBatches = 40, kBatch = 25, kAdds = 1000, kUpserts = 300;
  leave_crash_leftovers(50, 20, "before");
  std::atomic<int> writers{3};
  testing::run_threads(4, [&](int t) {
    if (t == 3) {  // the compactor, until the writers are done
      for (int round = 0; writers.load() > 0; ++round) {
        if (round % 8 == 0) leave_crash_leftovers(5, 2, std::to_string(round));
        EXPECT_TRUE(compact_collection(st()).ok());
      }
      return;
    }
    if (t == 0) {
      for (int b = 0; b < kBatches; ++b) {
        BatchVectors v;
        std::vector<json::Value> metas;
        std::vector<std::string> ids;
        for (int k = b * kBatch; k < (b + 1) * kBatch; ++k) {
          v.rows.push_back(vec(k));
          metas.push_back(json::Object());
          ids.push_back("k" + std::to_string(k));
        }
        EXPECT_TRUE(add_batch_impl(st(), v, std::move(metas), ids, std::nullopt).ok());
      }
    } else if (t == 1) {
      for (int k = 10000; k < 10000 + kAdds; ++k) add(vec(k), json::Object(), "k" + std::to_string(k));
    } else {
      // Each id upserted twice (queued, then queued again or replaced when
      // stored by then); every fifth deleted afterwards.
      for (int i = 0; i < kUpserts; ++i) {
        const std::string id = "u" + std::to_string(i);
        for (int k : {20000 + i, 30000 + i}) {
          EXPECT_TRUE(upsert_record(st(), id, vec(k), json::Object(), std::nullopt).ok());
        }
        if (i % 5 == 0) EXPECT_TRUE(*delete_by_id(st(), id));
      }
    }
    writers.fetch_sub(1);
  });
  sync();
  EXPECT_TRUE(compact_collection(st()).ok());

  std::map<std::string, int> want;  // id -> k of its vector
  for (int k = 0; k < kBatches * kBatch; ++k) want["k" + std::to_string(k)] = k;
  for (int k = 10000; k < 10000 + kAdds; ++k) want["k" + std::to_string(k)] = k;
  for (int i = 0; i < kUpserts; ++i) {
    if (i % 5 != 0) want["u" + std::to_string(i)] = 30000 + i;
  }
  EXPECT_EQ(len(), want.size());
  for (const auto& [id, k] : want) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(get(id));
    const std::vector<SearchHit> hits = search(vec(k), 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, id);
    EXPECT_EQ(hits[0].score, 0.0f);
  }
  EXPECT_EQ(stored_rows().size(), want.size());  // no Pending row left
  expect_slots_accounted();
}

// Deleting a Tombstone left by an interrupted delete lists its slot once,
// and not at all once a newer record has taken it.
TEST_F(SlotSafetyTest, DeletingALeftoverTombstoneListsItsSlotOnceAndSparesANewOwner) {
  open();
  add({1, 0, 0, 0}, json::Object(), "t");
  add({1, 0, 0, 0}, json::Object(), "old");
  sync();
  interrupted_delete("t");
  ASSERT_TRUE(*delete_by_id(st(), "t"));
  EXPECT_FALSE(stored("t"));
  EXPECT_EQ(free_slots().size(), 1u);

  add({0, 2, 0, 0}, json::Object(), "reuse");  // takes that slot back
  const uint64_t slot = stored("old")->slot;
  interrupted_delete("old");
  add({0, 2, 0, 0}, json::Object(), "new");  // takes the freed slot
  sync();
  ASSERT_EQ(stored("new")->slot, slot);
  ASSERT_TRUE(*delete_by_id(st(), "old"));
  EXPECT_FALSE(stored("old"));
  ASSERT_TRUE(get("new"));
  EXPECT_EQ(ids(search({0, 1, 0, 0}, 5)), (std::vector<std::string>{"new", "reuse"}));
  EXPECT_TRUE(free_slots().empty());
}

// Adding an id again, singly or in a batch, over a Tombstone left by an
// interrupted delete replaces the row without releasing its slot a second
// time: the delete released it, and a newer record owns it by now.
TEST_F(SlotSafetyTest, ReAddingALeftoverTombstoneSparesTheNewOwnerOfItsSlot) {
  for (const bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "add_batch" : "add");
    open(4, Metric::kDot, batch ? "batch" : "single");
    add({1, 0, 0, 0}, json::Object(), "x");
    sync();
    const uint64_t slot = stored("x")->slot;
    interrupted_delete("x");
    add({0, 2, 0, 0}, json::Object(), "owner");  // takes the freed slot
    sync();
    ASSERT_EQ(stored("owner")->slot, slot);
    if (batch) {
      BatchVectors v;
      v.rows = {{0, 0, 3, 0}};
      ASSERT_TRUE(add_batch_impl(st(), v, {json::Object()}, std::vector<std::string>{"x"}, {}).ok());
    } else {
      add({0, 0, 3, 0}, json::Object(), "x");
      sync();
    }
    EXPECT_EQ(slot_values(slot), (std::vector<float>{0, 2, 0, 0}));
    EXPECT_TRUE(free_slots().empty());
    EXPECT_EQ(ids(search({0, 1, 1, 0}, 5)), (std::vector<std::string>{"x", "owner"}));
    expect_slots_accounted();
  }
}

// A transaction that does not commit releases nothing: the row still points
// at the slot, so it must not be handed to an add, nor marked free.
TEST_F(SlotSafetyTest, UncommittedReleaseLeavesTheSlotAlone) {
  open();
  add({1, 0, 0, 0}, json::Object(), "a");
  sync();
  const uint64_t slot = stored("a")->slot;
  {
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    ASSERT_TRUE(txn->remove_record("a").ok());
    txn->release_slot(slot);
    ASSERT_TRUE(txn->save_free_list().ok());
  }  // abandoned
  EXPECT_TRUE(free_slots().empty());
  EXPECT_EQ(slot_values(slot)[0], 1.0f);
  ASSERT_TRUE(get("a"));
  reopen();
  EXPECT_TRUE(free_slots().empty());
  ASSERT_TRUE(*delete_by_id(st(), "a"));
  EXPECT_EQ(free_slots(), std::vector<uint64_t>{slot});
}

// Deletes, upserts and compaction of the same (expiring) ids on several
// threads: afterwards no slot is listed twice and no listed slot is used by
// a stored record.
TEST_F(SlotSafetyTest, RacingRetirementsNeverListASlotTwice) {
  open();
  constexpr int kIds = 60;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < kIds; ++i) {
      add({float(i), 1, 0, 0}, json::Object(), "id" + std::to_string(i), /*ttl=*/0);
    }
    sync();  // stored, already expired
    testing::run_threads(4, [&](int t) {  // two deleters, an upserter, a compactor
      if (t == 3) {
        for (int i = 0; i < 5; ++i) EXPECT_TRUE(compact_collection(st()).ok());
        return;
      }
      for (int i = 0; i < kIds; ++i) {
        const std::string id = "id" + std::to_string((i * 7 + t * 13) % kIds);
        if (t == 2) {
          EXPECT_TRUE(upsert_record(st(), id, std::vector<float>{0, 0, 1, 0}, json::Object(), 0).ok());
        } else {
          EXPECT_TRUE(delete_by_id(st(), id).ok());
        }
      }
    });
    sync();
    expect_slots_accounted();
  }
}

// Searches that overlap one another without a gap must not starve an add
// that needs the vector file's exclusive lock (it grows the file here).
TEST_F(SlotSafetyTest, AddsProgressWhileSearchesKeepTheVectorsBusy) {
  CollectionState& s = open(64, Metric::kCosine);
  const auto vectors = testing::normal_vectors(5001, 64, 7);
  for (int i = 0; i < 3000; ++i) add(vectors[i]);
  sync();

  std::atomic<bool> stop{false};
  std::atomic<bool> gave_up{false};  // a searcher ran out of time first
  testing::run_threads(7, [&](int t) {
    if (t == 6) {  // enough adds to cross the file's first growth (1024 slots per step)
      for (int i = 3000; i < 5000; ++i) add(vectors[i]);
      stop.store(true);
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop.load()) {
      if (std::chrono::steady_clock::now() > deadline) {
        gave_up.store(true);
        break;
      }
      EXPECT_TRUE(search_collection(s, vectors[5000], 10, std::nullopt).ok());
    }
  });
  EXPECT_FALSE(gave_up.load()) << "the adds only went through once the searches stopped";
  EXPECT_EQ(len(), 5000u);
}

}  // namespace
}  // namespace tessarin
