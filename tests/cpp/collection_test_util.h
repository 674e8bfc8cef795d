// Helpers for the collection-level tests: a collection opened straight from
// a directory of the test's temporary directory, and shortcuts to write and
// inspect it.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "collection/collection.h"
#include "collection/state.h"
#include "json/value.h"
#include "storage/records.h"
#include "test_util.h"

namespace tessarin::testing {

// An object value from key/value pairs.
inline json::Value obj(std::initializer_list<std::pair<std::string, json::Value>> members) {
  json::Object o;
  for (const auto& [k, v] : members) o.insert_or_assign(k, v);
  return json::Value(std::move(o));
}

class CollectionTest : public TempDirTest {
 protected:
  void TearDown() override {
    state_.reset();
    TempDirTest::TearDown();
  }

  static CollectionConfig make_config(uint64_t dim, Metric metric) {
    return CollectionConfig{"c", dim, metric, 1, std::nullopt};
  }

  // Opens (or reopens) the collection in directory `name` with this shape,
  // with a graph index when `hnsw` is given.
  CollectionState& open(uint64_t dim = 4, Metric metric = Metric::kDot, const std::string& name = "coll",
                        std::optional<HnswConfig> hnsw = std::nullopt) {
    dim_ = dim, metric_ = metric, name_ = name, hnsw_ = hnsw;
    state_.reset();
    state_ = open_other(name, dim, metric, hnsw);
    return *state_;
  }
  // Releases the state (flushing what is queued) and opens it again.
  CollectionState& reopen() { return open(dim_, metric_, name_, hnsw_); }
  // Another collection in directory `name`, beside the one under test.
  std::shared_ptr<CollectionState> open_other(const std::string& name, uint64_t dim, Metric metric,
                                              std::optional<HnswConfig> hnsw = std::nullopt) {
    CollectionConfig config = make_config(dim, metric);
    config.hnsw_config = hnsw;
    return ok_value(open_collection(path(name), config));
  }
  CollectionState& st() { return *state_; }

  std::string add(std::vector<float> v, json::Value md = json::Object(),
                  std::optional<std::string> id = std::nullopt,
                  std::optional<uint64_t> ttl = std::nullopt) {
    return ok_value(add_record(st(), v, std::move(md), std::move(id), ttl));
  }
  void sync() {
    auto s = sync_collection(st());
    ASSERT_TRUE(s.ok()) << s.error().message();
  }
  size_t queued() {
    MutexLock lock(st().pending_mu);
    return st().pending.size();
  }
  // Every row of "records", whatever its status.
  std::vector<Record> stored_rows() {
    std::vector<Record> rows;
    const ReadTxn txn = ok_value(read_transaction(st().store));
    RecordScan scan = ok_value(RecordScan::open(txn));
    RecordView r;
    while (ok_value(scan.next_view(&r))) rows.push_back(r.to_record());
    return rows;
  }
  std::optional<Record> stored(const std::string& id) {
    for (Record& r : stored_rows()) {
      if (r.id == id) return r;
    }
    return std::nullopt;
  }
  std::optional<SearchHit> get(const std::string& id) { return ok_value(get_by_id(st(), id)); }
  std::vector<SearchHit> search(std::vector<float> q, uint64_t k,
                                std::optional<std::vector<FilterCondition>> filter = std::nullopt) {
    return ok_value(search_collection(st(), q, k, filter));
  }
  uint64_t len() { return ok_value(live_record_count(st())); }
  std::vector<uint64_t> free_slots() {
    std::shared_lock lock(st().free_list.mu);
    return st().free_list.value.snapshot();
  }
  uint64_t slot_count() {
    std::shared_lock lock(st().vectors.mu);
    return st().vectors.value.slot_count();
  }
  std::vector<float> slot_values(uint64_t slot) {
    std::shared_lock lock(st().vectors.mu);
    const std::span<const float> v = ok_value(st().vectors.value.read_vector(slot));
    return {v.begin(), v.end()};
  }
  // Commits `row` as it is, releasing `release` (a slot) in the same
  // transaction when given.
  void put_row(const Record& row, std::optional<uint64_t> release = std::nullopt) {
    auto txn = CollectionTxn::begin(st());
    ASSERT_TRUE(txn.ok());
    if (release) txn->release_slot(*release);
    ASSERT_TRUE(txn->put_record(row).ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  // Leaves `id` as a delete does when it stops after its first transaction:
  // the row a Tombstone, its slot marked free and on the free list.
  void interrupted_delete(const std::string& id) {
    Record row = stored(id).value();
    row.status = RecordStatus::kTombstone;
    put_row(row, row.slot);
  }
  // Writes `v` into a slot as it is, bypassing the checks of add (a damaged
  // file may hold what add refuses).
  void write_slot(uint64_t slot, std::vector<float> v) {
    std::unique_lock lock(st().vectors.mu);
    ASSERT_TRUE(st().vectors.value.write_vector(slot, v).ok());
  }
  // Every slot below the slot count is used by exactly one stored record
  // (Tombstones use none) or listed free exactly once, except at most `leak`
  // slots taken for writes that never committed (a crash leaves those).
  void expect_slots_accounted(size_t leak = 0) {
    std::set<uint64_t> used;
    for (const Record& r : stored_rows()) {
      if (r.status != RecordStatus::kTombstone) EXPECT_TRUE(used.insert(r.slot).second) << r.id;
    }
    for (uint64_t s : free_slots()) EXPECT_TRUE(used.insert(s).second) << "slot " << s;
    EXPECT_LE(slot_count(), used.size() + leak);
  }
  static std::vector<std::string> ids(const std::vector<SearchHit>& hits) {
    std::vector<std::string> out;
    for (const SearchHit& h : hits) out.push_back(h.id);
    return out;
  }

  uint64_t dim_ = 4;
  Metric metric_ = Metric::kDot;
  std::string name_ = "coll";
  std::optional<HnswConfig> hnsw_;
  std::shared_ptr<CollectionState> state_;
};

}  // namespace tessarin::testing
