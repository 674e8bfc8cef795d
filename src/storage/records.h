// The tables of a collection store: "records" (record id -> encoded Record)
// and "freelist" (one row, "slots" -> the free-slot list as a sequence of
// u64), with the operations the collection layer runs inside the store's
// transactions.
//
// Every operation opens its table afresh in the given transaction; a
// transaction may run any number of them. A read of a table that does not
// exist yet (no write has committed to it) means no rows: get gives
// nullopt, counts give 0, scans see nothing, the free list is empty.
// Nothing here commits or aborts: the owner of the write transaction does.
//
// Errors: table open, lookup, insert, remove and scan steps -> Database;
// a value that cannot be decoded -> Serialization; beginning a transaction
// -> Transaction; an id longer than the store's key limit -> InvalidInput.
//
// Thread safety: as the transactions (storage/store.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.h"
#include "storage/encoding.h"
#include "storage/record.h"
#include "storage/store.h"

namespace tessarin {

inline constexpr std::string_view kRecordsTable = "records";
inline constexpr std::string_view kFreeListTable = "freelist";
inline constexpr std::string_view kFreeListKey = "slots";

// Begins a read transaction on `store`; failure -> Transaction.
[[nodiscard]] Result<ReadTxn> read_transaction(const Store& store);

// InvalidInput unless `id` fits the store's key limit (max_id_bytes()).
[[nodiscard]] Status check_id_length(size_t max_id_bytes, std::string_view id);

// Inserts id -> encode_record(record), replacing any value of that id.
[[nodiscard]] Status put_record(WriteTxn& txn, const Record& record);
[[nodiscard]] Result<std::optional<Record>> get_record(const ReadTxn& txn, std::string_view id);
// A missing id is not an error.
[[nodiscard]] Status remove_record(WriteTxn& txn, std::string_view id);

// The number of live records (is_live, with the wall clock read for each
// record that has an expiry).
[[nodiscard]] Result<uint64_t> count_live_records(const ReadTxn& txn);

// True when the store holds nothing a collection ever wrote: no row in
// "records", whatever its status, and no bytes in the free list's row (a
// listed slot was a record's). Rows are not decoded: a damaged one counts.
[[nodiscard]] Result<bool> store_is_empty(const ReadTxn& txn);

// Iterates "records" in ascending byte order of the id, decoding each row.
// REQUIRES: the transaction outlives the scan's use.
class RecordScan {
 public:
  [[nodiscard]] static Result<RecordScan> open(const ReadTxn& txn);

  // The next record into *out, without copying: the views stay valid until
  // the next call or the scan's end. False after the last record.
  [[nodiscard]] Result<bool> next_view(RecordView* out);

 private:
  explicit RecordScan(std::optional<Cursor> cursor) : cursor_(std::move(cursor)) {}
  std::optional<Cursor> cursor_;  // none: the table does not exist
};

// Stores the whole free list (in list order; the last slot is the next one
// reused) as the row "slots" of "freelist", replacing the previous value.
[[nodiscard]] Status save_free_list(WriteTxn& txn, const std::vector<uint64_t>& slots);
// The stored free list; empty when the table, the row or its bytes are
// missing.
[[nodiscard]] Result<std::vector<uint64_t>> load_free_list(const ReadTxn& txn);

}  // namespace tessarin
