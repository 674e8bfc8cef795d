#include "collection/mirror.h"

#include <algorithm>

#include "json/parse.h"
#include "storage/records.h"

namespace tessarin {

std::shared_ptr<const json::Value> parse_metadata_shared(std::string_view text) {
  return std::make_shared<const json::Value>(json::parse_or_null(text));
}

namespace {

// Every row of the "records" table, decoded.
Result<std::vector<Record>> read_rows(const ReadTxn& txn) {
  std::vector<Record> rows;
  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  RecordView view;
  for (;;) {
    TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
    if (!more) break;
    rows.push_back(view.to_record());
  }
  return rows;
}

}  // namespace

Status RecordMirror::build(const ReadTxn& txn, uint64_t seq,
                           [[maybe_unused]] const Mutex& commit_mu) {
  clear();
  seq_ = seq;
  Result<std::vector<Record>> read = read_rows(txn);
  if (!read.ok()) {
    clear();
    state_.store(State::kBroken, std::memory_order_release);
    broken_at_commit_ = commits_;
    return std::move(read).error();
  }
  std::vector<Record> rows = std::move(read).value();
  // Slot order, so a scan walks the vector file forwards; the metadata is
  // parsed in that order too, so the parsed values a filtering scan visits
  // lie in the heap roughly in the order it visits them.
  std::sort(rows.begin(), rows.end(),
            [](const Record& a, const Record& b) { return a.slot < b.slot; });
  slot_.reserve(rows.size());
  live_until_.reserve(rows.size());
  meta_.reserve(rows.size());
  cold_.reserve(rows.size());
  index_.reserve(rows.size());
  for (Record& r : rows) {
    std::shared_ptr<const json::Value> parsed = parse_metadata_shared(r.metadata);
    append(std::move(r), std::move(parsed));
  }
  state_.store(State::kReady, std::memory_order_release);
  return OkStatus();
}

void RecordMirror::apply(std::vector<MirrorOp>& ops, uint64_t seq,
                         [[maybe_unused]] const Mutex& commit_mu) {
  if (state() != State::kReady) return;
  seq_ = seq;
  for (MirrorOp& op : ops) {
    if (op.is_put) {
      put(std::move(op.record), std::move(op.parsed));
    } else {
      remove(op.record.id);
    }
  }
}

ptrdiff_t RecordMirror::find(std::string_view id) const {
  auto it = index_.find(std::string(id));
  return it == index_.end() ? -1 : static_cast<ptrdiff_t>(it->second);
}

uint64_t RecordMirror::count_live(uint64_t now) const {
  uint64_t count = 0;
  for (uint64_t until : live_until_) count += now < until ? 1 : 0;
  return count;
}

void RecordMirror::put(Record record, std::shared_ptr<const json::Value> parsed) {
  auto it = index_.find(record.id);
  if (it != index_.end()) {
    Cold& cold = cold_[it->second];
    // A status change puts the same text back: keep the parsed value.
    if (!parsed) {
      parsed = cold.record.metadata == record.metadata ? cold.parsed
                                                        : parse_metadata_shared(record.metadata);
    }
    slot_[it->second] = record.slot;
    live_until_[it->second] = live_until(record);
    meta_[it->second] = parsed.get();
    cold.record = std::move(record);
    cold.parsed = std::move(parsed);
    return;
  }
  if (!parsed) parsed = parse_metadata_shared(record.metadata);
  append(std::move(record), std::move(parsed));
}

void RecordMirror::append(Record record, std::shared_ptr<const json::Value> parsed) {
  slot_.push_back(record.slot);
  live_until_.push_back(live_until(record));
  meta_.push_back(parsed.get());
  index_.emplace(record.id, cold_.size());
  cold_.push_back(Cold{std::move(record), std::move(parsed)});
}

void RecordMirror::remove(std::string_view id) {
  auto it = index_.find(std::string(id));
  if (it == index_.end()) return;
  const size_t pos = it->second;
  const size_t last = cold_.size() - 1;
  index_.erase(it);
  if (pos != last) {
    slot_[pos] = slot_[last];
    live_until_[pos] = live_until_[last];
    meta_[pos] = meta_[last];
    cold_[pos] = std::move(cold_[last]);
    index_[cold_[pos].record.id] = pos;
  }
  slot_.pop_back();
  live_until_.pop_back();
  meta_.pop_back();
  cold_.pop_back();
}

void RecordMirror::clear() {
  slot_.clear();
  live_until_.clear();
  meta_.clear();
  cold_.clear();
  index_.clear();
}

}  // namespace tessarin
