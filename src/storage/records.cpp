#include "storage/records.h"

#include "platform/platform.h"

namespace tessarin {

Result<ReadTxn> read_transaction(const Store& store) { return store.begin_read(); }

Status check_id_length(size_t max_id_bytes, std::string_view id) {
  if (id.size() <= max_id_bytes) return OkStatus();
  return DbError::InvalidInput("id is " + std::to_string(id.size()) +
                               " bytes long; ids may be at most " + std::to_string(max_id_bytes) +
                               " bytes");
}

Status put_record(WriteTxn& txn, const Record& record) {
  TS_RETURN_IF_ERROR(check_id_length(txn.max_key_bytes(), record.id));
  return txn.put(kRecordsTable, record.id, encode_record(record));
}

Result<std::optional<Record>> get_record(const ReadTxn& txn, std::string_view id) {
  TS_ASSIGN_OR_RETURN(auto bytes, txn.get(kRecordsTable, id));
  if (!bytes) return std::optional<Record>{};
  TS_ASSIGN_OR_RETURN(Record record, decode_record(*bytes));
  return std::optional<Record>(std::move(record));
}

Status remove_record(WriteTxn& txn, std::string_view id) { return txn.remove(kRecordsTable, id); }

Result<uint64_t> count_live_records(const ReadTxn& txn) {
  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  uint64_t count = 0;
  RecordView r;
  for (;;) {
    TS_ASSIGN_OR_RETURN(bool more, scan.next_view(&r));
    if (!more) break;
    if (r.status != RecordStatus::kActive) continue;
    if (!r.expires_at || is_live(r.status, r.expires_at, platform::now_secs())) ++count;
  }
  return count;
}

Result<bool> store_is_empty(const ReadTxn& txn) {
  TS_ASSIGN_OR_RETURN(std::optional<Cursor> cursor, txn.cursor(kRecordsTable));
  if (cursor) {
    std::string_view key, value;
    TS_ASSIGN_OR_RETURN(const bool any_row, cursor->next(&key, &value));
    if (any_row) return false;
  }
  TS_ASSIGN_OR_RETURN(const auto free_list, txn.get(kFreeListTable, kFreeListKey));
  return !free_list || free_list->empty();
}

Result<RecordScan> RecordScan::open(const ReadTxn& txn) {
  TS_ASSIGN_OR_RETURN(auto cursor, txn.cursor(kRecordsTable));
  return RecordScan(std::move(cursor));
}

Result<bool> RecordScan::next_view(RecordView* out) {
  if (!cursor_) return false;
  std::string_view key, value;
  TS_ASSIGN_OR_RETURN(bool more, cursor_->next(&key, &value));
  if (!more) return false;
  TS_ASSIGN_OR_RETURN(*out, decode_record_view(value));
  return true;
}

Status save_free_list(WriteTxn& txn, const std::vector<uint64_t>& slots) {
  return txn.put(kFreeListTable, kFreeListKey, encode_slot_list(slots));
}

Result<std::vector<uint64_t>> load_free_list(const ReadTxn& txn) {
  TS_ASSIGN_OR_RETURN(auto bytes, txn.get(kFreeListTable, kFreeListKey));
  if (!bytes || bytes->empty()) return std::vector<uint64_t>{};
  return decode_slot_list(*bytes);
}

}  // namespace tessarin
