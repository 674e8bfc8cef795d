// The batch add: n records in two store transactions around one write and
// sync of the vector file.
//
//   checks      lengths, dimensions, id lengths
//   slots       one allocate_slots for all records (free list first, then
//               growth)
//   txn 1       every record with status Pending, and the free list
//   vectors     each prepared for the metric straight into its slot, all
//               under one hold of the vector lock, then made durable
//               (msync + full file sync)
//   txn 2       every record still stored set to Active
//
// Nothing changes before the first slot is taken, so a batch refused by a
// check leaves the collection as it was. A failure after that point leaves
// what it has done: taken slots are not given back, and records committed by
// txn 1 stay Pending (invisible to every reader) when the vector sync or
// txn 2 fails. A batch never touches the pending queue.
//
// An expiry is created_at + ttl, saturating at 2^64 - 1 (a record that
// practically never expires) instead of wrapping into the past.
//
// The per-record work that needs no order runs on the worker pool: new ids,
// metadata texts, the vector preparation and writes (while this thread
// holds the vector lock exclusively on their behalf, each task writing only
// the slots of its own range) and the reads of transaction 2 (while this
// thread holds the commit lock). Slot allocation and the puts stay in order.
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstring>

#include "collection_state.h"
#include "json/print.h"
#include "search/distance.h"
#include "search/pool.h"

namespace tessarin {

void BatchVectors::copy_row(size_t i, float* out) const {
  if (!is_block) {
    std::copy(rows[i].begin(), rows[i].end(), out);
    return;
  }
  const float* row = data + static_cast<ptrdiff_t>(i) * row_stride;
  if (col_stride == 1) {
    std::memcpy(out, row, block_cols * sizeof(float));
    return;
  }
  for (size_t c = 0; c < block_cols; ++c) out[c] = row[static_cast<ptrdiff_t>(c) * col_stride];
}

namespace {

// Rows per task of the parallel passes.
constexpr size_t kRowsPerTask = 256;

// Runs fn(begin, end) -> Status over [0, n) in chunks of kRowsPerTask on the
// pool. Each chunk stops at its own first failure; the
// failure of the lowest chunk is returned, as a pass in index order would
// have stopped there.
template <typename Fn>
Status parallel_chunks(size_t n, Fn&& fn) {
  std::vector<std::optional<DbError>> failures((n + kRowsPerTask - 1) / kRowsPerTask);
  parallel_for_chunks(n, kRowsPerTask, [&](size_t begin, size_t end) {
    Status st = fn(begin, end);
    if (!st.ok()) failures[begin / kRowsPerTask] = std::move(st).error();
  });
  for (std::optional<DbError>& failure : failures) {
    if (failure) return std::move(*failure);
  }
  return OkStatus();
}

// Writes every vector, prepared for the metric, straight into its slot and
// makes the file durable, under one exclusive hold of the vector lock. A
// failed write is not synced.
// REQUIRES: every row has the collection's dimensions.
Status write_vectors(CollectionState& state, const BatchVectors& vectors,
                     const std::vector<uint64_t>& slots) {
  const Metric metric = state.config.metric;
  std::unique_lock lock(state.vectors.mu);
  VectorStore& store = state.vectors.value;
  TS_RETURN_IF_ERROR(parallel_chunks(slots.size(), [&](size_t begin, size_t end) -> Status {
    std::vector<float> row;
    for (size_t i = begin; i < end; ++i) {
      TS_ASSIGN_OR_RETURN(std::span<float> out, store.slot_for_write(slots[i]));
      std::span<const float> view;
      if (!vectors.is_block) {
        view = vectors.rows[i];
      } else if (vectors.col_stride == 1) {
        view = {vectors.data + static_cast<ptrdiff_t>(i) * vectors.row_stride, vectors.block_cols};
      } else {
        row.resize(vectors.block_cols);
        vectors.copy_row(i, row.data());
        view = row;
      }
      prepare_vector_into(metric, view, out.data());
    }
    return OkStatus();
  }));
  return store.flush_vectors();
}

// Input indices in ascending order of the records' ids; records of one id
// keep their input order, so the last of them is still written last.
// Compares the ids' first 8 bytes as one number first (random ids almost
// never share them), then the whole ids, then the input positions.
std::vector<size_t> key_order(const std::vector<Record>& records) {
  struct Key {
    uint64_t prefix;  // the id's first 8 bytes, big-endian, zero-padded
    size_t index;
  };
  std::vector<Key> keys(records.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string& id = records[i].id;
    uint64_t prefix = 0;
    for (size_t b = 0; b < 8; ++b) {
      prefix = (prefix << 8) | (b < id.size() ? static_cast<unsigned char>(id[b]) : 0u);
    }
    keys[i] = Key{prefix, i};
  }
  std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = records[a.index].id.compare(records[b.index].id);
    return c != 0 ? c < 0 : a.index < b.index;
  });
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
  return order;
}

// Transaction 2: every record of the batch that is still stored becomes
// Active, whatever happened to it since transaction 1. The rows are read
// from the committed state inside the transaction (it holds the commit lock,
// so nothing else commits meanwhile), by the pool in read transactions that
// all end before the first put; the puts follow in key order (`order`, from
// key_order), which keeps the store's page accesses local. `committed` are
// the records of transaction 1, by input index; a row still equal to its
// record is taken from there instead of being decoded into new strings.
Status activate(CollectionState& state, std::vector<Record>& committed,
                const std::vector<size_t>& order) {
  TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
  std::vector<std::optional<Record>> updates(order.size());  // by position in `order`
  TS_RETURN_IF_ERROR(parallel_chunks(order.size(), [&](size_t begin, size_t end) -> Status {
    TS_ASSIGN_OR_RETURN(ReadTxn read, read_transaction(state.store));
    for (size_t k = begin; k < end; ++k) {
      Record& mine = committed[order[k]];
      TS_ASSIGN_OR_RETURN(std::optional<std::string_view> bytes, read.get(kRecordsTable, mine.id));
      if (!bytes) continue;  // gone since: passed over
      TS_ASSIGN_OR_RETURN(RecordView row, decode_record_view(*bytes));
      const bool unchanged = row.slot == mine.slot && row.metadata == mine.metadata &&
                             row.created_at == mine.created_at &&
                             row.expires_at == mine.expires_at && row.status == mine.status;
      updates[k] = unchanged ? std::move(mine) : row.to_record();
    }
    return OkStatus();
  }));
  for (std::optional<Record>& record : updates) {
    if (!record) continue;
    record->status = RecordStatus::kActive;
    // The mirror keeps the metadata it parsed for transaction 1 (same text).
    TS_RETURN_IF_ERROR(txn.put_record(std::move(*record)));
  }
  return txn.commit();
}

}  // namespace

Result<std::vector<std::string>> add_batch_impl(
    CollectionState& state, const BatchVectors& vectors, std::vector<json::Value> metadatas,
    std::optional<std::vector<std::string>> ids,
    std::optional<std::vector<std::optional<uint64_t>>> ttls) {
  const size_t n = vectors.size();
  if (metadatas.size() != n) {
    return DbError::InvalidInput("vectors and metadatas must have same length");
  }
  if (ids && ids->size() != n) return DbError::InvalidInput("ids must have same length as vectors");
  if (ttls && ttls->size() != n) {
    return DbError::InvalidInput("ttls must have same length as vectors");
  }
  const uint64_t dims = state.config.dimensions;
  for (size_t i = 0; i < n; ++i) {
    if (vectors.row_length(i) != dims) {
      return DbError::DimensionMismatch(dims, vectors.row_length(i));
    }
  }
  if (ids) {
    for (const std::string& id : *ids) {
      TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), id));
    }
  }
  // Ids, slots and records, in input order.
  std::vector<std::string> result;
  if (ids) {
    result = std::move(*ids);
  } else {
    result.resize(n);
    TS_RETURN_IF_ERROR(parallel_chunks(n, [&](size_t begin, size_t end) -> Status {
      for (size_t i = begin; i < end; ++i) {
        TS_ASSIGN_OR_RETURN(result[i], make_uuid_v4());
      }
      return OkStatus();
    }));
  }
  // Metadata texts, and each text parsed back (what readers of the mirror
  // filter on), on the pool.
  std::vector<std::string> texts(n);
  std::vector<std::shared_ptr<const json::Value>> parsed(n);
  parallel_for_chunks(n, kRowsPerTask, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      texts[i] = json::print(metadatas[i]);
      parsed[i] = parse_metadata_shared(texts[i]);
    }
  });
  metadatas = {};

  TS_ASSIGN_OR_RETURN(const std::vector<uint64_t> slots,
                      allocate_slots(state.free_list, state.vectors, n));
  std::vector<Record> records(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t created_at = now_secs();
    const std::optional<uint64_t> ttl = ttls ? (*ttls)[i] : std::nullopt;
    records[i] = Record{result[i], slots[i], std::move(texts[i]), created_at,
                        expiry_after(created_at, ttl), RecordStatus::kPending};
  }

  // Transaction 1: the records as Pending, and the free list without the
  // slots just taken. Put in key order, as transaction 2 does: neighbouring
  // puts share the store's pages.
  const std::vector<size_t> order = key_order(records);
  {
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    for (size_t i : order) TS_RETURN_IF_ERROR(txn.put_record(records[i], std::move(parsed[i])));
    TS_RETURN_IF_ERROR(txn.save_free_list());
    TS_RETURN_IF_ERROR(txn.commit());
  }

  // The vectors, made durable before any record points at them as Active.
  TS_RETURN_IF_ERROR(write_vectors(state, vectors, slots));
  mark_index_stale(state);

  TS_RETURN_IF_ERROR(activate(state, records, order));
  return result;
}

}  // namespace tessarin
