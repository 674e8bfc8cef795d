// The batch add: n records in two store transactions around one write and
// sync of the vector file.
//
//   checks      lengths, dimensions, finite values, id lengths
//   slots       one claim_slots for all records (free list first, then
//               growth), claimed until the batch returns
//   vectors     each read once into a copy, checked again and written,
//               prepared for the metric, into its slot, all under one hold
//               of the vector lock
//   queue       the writes queued before the batch are committed first, so
//               writes reach the store in the order their calls returned
//   txn 1       the new ids' records with status Pending, and the free list
//   sync        the vector file made durable (msync + full file sync)
//   txn 2       every id's record Active, replacing what the id had; the
//               slots of replaced rows released with the commit
//
// A 2-D float32 array reaches the batch as a block over the caller's own
// memory, read without the interpreter lock, so another Python thread may
// change it while the batch runs. The first check refuses a bad batch
// before anything changes; the write reads each row once more, into a copy
// of its own, checks that copy and prepares the slot's vector from it. What
// is stored is therefore what was checked, and a value made non-finite in
// between fails the batch with the first check's error.
//
// The rows of ids that are stored already are left alone by txn 1 and
// replaced only by txn 2, so a crash between the two keeps their old
// versions; a new id's Pending row is invisible to every reader until txn 2.
// Of several records of one id in a batch, the last is the one stored; the
// slots of the others are released by txn 2.
//
// Nothing changes before the first slot is taken, so a batch refused by a
// check leaves the collection as it was. Until txn 1 commits no record
// refers to the slots taken (vectors written into them included: a crash
// leaves them unreferenced, as a single add's before its commit, for a
// compaction to reclaim), and a failure gives them back (marked free and
// listed again). One after txn 1 leaves what it has done: records committed
// by txn 1 stay Pending (invisible to every reader, their slots taken) when
// the vector sync or txn 2 fails, until a batch of the same ids replaces
// them or a compaction removes them. writer_mu is held from the queue's commit to txn 2, so the
// rows read before txn 1 are still the stored rows when txn 2 replaces them,
// and a compaction (which looks under writer_mu) never sees the Pending rows
// of a batch that is still running.
//
// An expiry is created_at + ttl, saturating at 2^64 - 1 (a record that
// practically never expires) instead of wrapping into the past.
//
// The per-record work that needs no order runs on the worker pool: new ids,
// metadata texts, and the vector preparation and writes (while this thread
// holds the vector lock exclusively on their behalf, each task writing only
// the slots of its own range). Slot allocation and the puts stay in order.
#include <tbb/task_arena.h>

#include <algorithm>

#include "collection/state.h"
#include "json/print.h"
#include "platform/platform.h"
#include "search/distance.h"
#include "sync/pool.h"

namespace tessarin {

std::span<const float> BatchVectors::row(size_t i, std::vector<float>& scratch) const {
  if (!is_block || col_stride != 1) return copied_row(i, scratch);
  return {data + static_cast<ptrdiff_t>(i) * row_stride, block_cols};
}

std::span<const float> BatchVectors::copied_row(size_t i, std::vector<float>& scratch) const {
  if (!is_block) return rows[i];
  const float* start = data + static_cast<ptrdiff_t>(i) * row_stride;
  if (col_stride == 1) {
    scratch.assign(start, start + block_cols);
    return scratch;
  }
  scratch.resize(block_cols);
  for (size_t c = 0; c < block_cols; ++c) scratch[c] = start[static_cast<ptrdiff_t>(c) * col_stride];
  return scratch;
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

// InvalidInput naming row i's first component that is a NaN or an
// infinity, as the single add does for its vector.
Status check_finite_row(size_t i, std::span<const float> row) {
  if (std::optional<size_t> c = first_non_finite(row)) {
    return DbError::InvalidInput("vectors[" + std::to_string(i) + "] component " +
                                 std::to_string(*c) + " is not a finite number");
  }
  return OkStatus();
}

// The first check, before anything changes: reads the rows where they are.
Status check_finite_rows(const BatchVectors& vectors) {
  return parallel_chunks(vectors.size(), [&](size_t begin, size_t end) -> Status {
    std::vector<float> row;
    for (size_t i = begin; i < end; ++i) {
      TS_RETURN_IF_ERROR(check_finite_row(i, vectors.row(i, row)));
    }
    return OkStatus();
  });
}

// Writes every vector, prepared for the metric, into its slot under one
// exclusive hold of the vector lock. Each row is read from the caller once,
// into a copy of the task's own, and that copy is checked again and
// prepared, so the slot holds exactly the values checked; a row changed to
// a non-finite value since check_finite_rows fails as it would have there.
// Leaves the file unsynced.
// REQUIRES: every row has the collection's dimensions.
Status write_vectors(CollectionState& state, const BatchVectors& vectors,
                     const std::vector<uint64_t>& slots) {
  const Metric metric = state.config.metric;
  ExclusiveLock lock(state.vectors.mu);
  return parallel_chunks(slots.size(), [&](size_t begin, size_t end) -> Status {
    // Runs inside this call (on the pool too), under its exclusive lock.
    state.vectors.mu.assert_held();
    VectorStore& store = state.vectors.value;
    std::vector<float> scratch;
    for (size_t i = begin; i < end; ++i) {
      TS_ASSIGN_OR_RETURN(std::span<float> out, store.slot_for_write(slots[i]));
      const std::span<const float> row = vectors.copied_row(i, scratch);
      TS_RETURN_IF_ERROR(check_finite_row(i, row));
      prepare_vector_into(metric, row, out.data());
    }
    return OkStatus();
  });
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
  TS_RETURN_IF_ERROR(check_finite_rows(vectors));
  if (ids) {
    for (const std::string& id : *ids) {
      TS_RETURN_IF_ERROR(check_id_length(state.store.max_id_bytes(), id));
    }
  }
  // Ids, slots and records, in input order.
  const bool ids_given = ids.has_value();
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

  // Claimed until the batch returns; by then each slot is referred to by a
  // committed row or back on the free list.
  TS_ASSIGN_OR_RETURN(const SlotClaim claim, claim_slots(state, n));
  const std::vector<uint64_t>& slots = claim.slots();
  // No record refers to the new slots yet: a failure gives them back.
  if (Status written = write_vectors(state, vectors, slots); !written.ok()) {
    give_back_slots(state, slots);
    return written.error();
  }
  std::vector<Record> records(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t created_at = now_secs();
    const std::optional<uint64_t> ttl = ttls ? (*ttls)[i] : std::nullopt;
    records[i] = Record{result[i], slots[i], std::move(texts[i]), created_at,
                        expiry_after(created_at, ttl), RecordStatus::kPending};
  }

  // From here on no other writer changes "records" (see the top of this file).
  MutexLock writer_lock(state.writer_mu);
  std::vector<size_t> order;   // input indices in key order
  std::vector<size_t> finals;  // positions in `order` of each id's last record
  std::vector<std::optional<StoredRow>> stored;  // the stored row of each distinct id
  // Until transaction 1 commits no record refers to the slots just taken,
  // so a failure up to there gives them back.
  const Status pending = [&]() -> Status {
    state.writer_mu.assert_held();  // the lambda runs here, under writer_lock
    TS_RETURN_IF_ERROR(flush_pending_writes_locked(state));

    // Records of one id are adjacent in key order, the last of them last:
    // the one stored. `stored[r]` is the stored row of the r-th distinct id.
    order = key_order(records);
    finals.reserve(n);
    for (size_t k = 0; k < n; ++k) {
      if (k + 1 == n || records[order[k + 1]].id != records[order[k]].id) finals.push_back(k);
    }
    stored.resize(finals.size());
    if (ids_given) {  // new random ids are stored nowhere
      std::vector<std::string_view> distinct(finals.size());
      for (size_t r = 0; r < finals.size(); ++r) distinct[r] = records[order[finals[r]]].id;
      TS_ASSIGN_OR_RETURN(stored, committed_rows(state, distinct));
    }

    // Transaction 1: the new ids' records as Pending, and the free list
    // without the slots just taken. Put in key order: neighbouring puts
    // share the store's pages.
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    for (size_t r = 0; r < finals.size(); ++r) {
      if (stored[r]) continue;
      const size_t i = order[finals[r]];
      TS_RETURN_IF_ERROR(txn.put_record(records[i], parsed[i]));
    }
    TS_RETURN_IF_ERROR(txn.save_free_list());
    return txn.commit();
  }();
  if (!pending.ok()) {
    give_back_slots(state, slots);
    return pending.error();
  }
  platform::crash_point("batch.pending_committed");

  // A failure from here on leaves txn 1's Pending rows holding their slots;
  // the other slots taken (for ids stored already, and for records that a
  // later one of their id supersedes) no record refers to, and they go back.
  std::vector<uint64_t> unreferenced;
  for (size_t r = 0, k = 0; r < finals.size(); ++r, ++k) {
    for (; k < finals[r]; ++k) unreferenced.push_back(records[order[k]].slot);
    if (stored[r]) unreferenced.push_back(records[order[k]].slot);
  }
  const Status done = [&]() -> Status {
    // The vectors, made durable before any record points at them as Active.
    {
      SharedLock lock(state.vectors.mu);
      TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
    }
    platform::crash_point("batch.vectors_durable");

    // Transaction 2: every id's last record Active, over whatever it replaces.
    TS_ASSIGN_OR_RETURN(CollectionTxn txn, CollectionTxn::begin(state));
    size_t k = 0;
    for (size_t r = 0; r < finals.size(); ++r) {
      for (; k < finals[r]; ++k) txn.release_slot(records[order[k]].slot);  // superseded
      const size_t i = order[k++];
      records[i].status = RecordStatus::kActive;
      TS_RETURN_IF_ERROR(txn.put_record(std::move(records[i]), std::move(parsed[i])));
      if (stored[r] && stored[r]->status != RecordStatus::kTombstone) {
        txn.release_slot(stored[r]->slot);
      }
    }
    return txn.commit();
  }();
  if (!done.ok()) {
    give_back_slots(state, unreferenced);
    return done.error();
  }
  return result;
}

}  // namespace tessarin
