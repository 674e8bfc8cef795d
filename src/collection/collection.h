// Collection operations: the engine behind one open collection.
//
// A CollectionState is the shared state of an open collection: its
// configuration, directory, mapped vector file, own store ("meta.redb"), free
// list, queue of pending writes, the in-memory mirror of its committed
// records, and the (future) graph index slot. It is shared by reference
// counting (std::shared_ptr) between the database's map of open collections
// and every Python Collection object; an operation in progress holds its own
// reference. When the last reference goes, writes still queued are flushed
// (best effort, errors swallowed), then the mapping, files and store close.
//
// Thread safety: every function below may be called from any thread at any
// time on a shared state, holding none of the state's locks; the state's
// own locks order them (collection/state.h says what each guards).
// Lock order (the one list; a thread takes a lock only while every lock it
// holds comes earlier in this list; pairs never nested are noted where they
// are taken):
//   DatabaseState::open_mu -> DatabaseState::map_mu
//   -> CollectionState::writer_mu -> index_mu -> commit_mu -> claims_mu
//   -> pending_mu -> vectors.mu -> free_list.mu -> mirror.mu
//   -> index->graph.mu -> index->deleted.mu -> graph_changes_mu
//   -> index_file_mu
//   -> leaves: FreeList's own mutex, the store's internal mutexes, the
//      process-wide list of open states (detach_states_of_dir).
// A flush releases the pending mutex before it takes the vector lock; the
// free-list read lock is taken only inside a store transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "collection/filter.h"
#include "json/value.h"
#include "metric.h"
#include "storage/record.h"

namespace tessarin {

class CollectionState;

// One hit of a query or a get: id, metadata parsed as JSON (null when the
// stored text does not parse), raw kernel score (0.0 for get).
struct SearchHit {
  std::string id;
  json::Value metadata;
  float score = 0.0f;
};

struct CompactStats {
  uint64_t expired_removed = 0;
  uint64_t tombstones_removed = 0;
  uint64_t bytes_freed = 0;
  uint64_t duration_ms = 0;
};

struct ImportStats {
  uint64_t imported = 0;
  uint64_t skipped = 0;  // always 0
  uint64_t failed = 0;
  uint64_t duration_ms = 0;
};

// The vectors of a batch add, as the binding hands them over without another
// copy: either a strided 2-D float32 block (strides in elements, any sign) or
// a list of owned rows (possibly of different lengths).
struct BatchVectors {
  // Strided block form (used when rows.empty() && block_rows > 0 or data set).
  const float* data = nullptr;
  size_t block_rows = 0;
  size_t block_cols = 0;
  ptrdiff_t row_stride = 0;  // elements between row starts
  ptrdiff_t col_stride = 1;  // elements between columns
  bool is_block = false;
  // List form.
  std::vector<std::vector<float>> rows;

  size_t size() const { return is_block ? block_rows : rows.size(); }
  size_t row_length(size_t i) const { return is_block ? block_cols : rows[i].size(); }
  // Row i in place when its values are contiguous, else copied into
  // `scratch`; valid while both this and `scratch` are unchanged.
  std::span<const float> row(size_t i, std::vector<float>& scratch) const;
  // Row i as values no one else writes: a block row (the caller's memory,
  // which other threads of the caller may change at any time) copied into
  // `scratch`, a list row (the batch's own) in place.
  std::span<const float> copied_row(size_t i, std::vector<float>& scratch) const;
};

// ---- Operations (all return errors as values) ----

// Adds one record through the pending queue; returns its id (the given one,
// else a new UUID v4). May run a group commit.
Result<std::string> add_record(CollectionState& state, std::span<const float> vector,
                               json::Value metadata, std::optional<std::string> id,
                               std::optional<uint64_t> ttl);

// Replaces the first queued write of `id` and, when `id` is stored, the
// stored record: the new version is then committed before the call returns
// (the old one stays until that commit). An id that is not stored is added
// through the queue.
Status upsert_record(CollectionState& state, const std::string& id, std::span<const float> vector,
                     json::Value metadata, std::optional<uint64_t> ttl);

// The batch add: two store transactions around one vector-file write + sync.
Result<std::vector<std::string>> add_batch_impl(
    CollectionState& state, const BatchVectors& vectors, std::vector<json::Value> metadatas,
    std::optional<std::vector<std::string>> ids,
    std::optional<std::vector<std::optional<uint64_t>>> ttls);

// Nearest-neighbour search; `filter` is none (no where_) or the parsed
// conditions (possibly empty). At most k hits, best first.
Result<std::vector<SearchHit>> search_collection(
    CollectionState& state, std::span<const float> query, uint64_t k,
    const std::optional<std::vector<FilterCondition>>& filter);

// Get by id: the queued write first, then the store; none when not visible.
Result<std::optional<SearchHit>> get_by_id(CollectionState& state, std::string_view id);

// Collection.delete: a queued write of the id first, else the stored record.
// True when something was deleted. Deleting a stored record commits the
// writes queued before it first (durable on return, in call order).
Result<bool> delete_by_id(CollectionState& state, std::string_view id);

Status flush_pending_writes(CollectionState& state);
Status sync_collection(CollectionState& state);
// Live stored records plus every queued write.
Result<uint64_t> live_record_count(CollectionState& state);
Result<CompactStats> compact_collection(CollectionState& state);
// madvise(WILLNEED) over the vector mapping; never fails.
void preload(CollectionState& state);
// Mapped length of "vectors.bin" in bytes.
uint64_t vectors_size_bytes(CollectionState& state);

// NDJSON export / import (export/export.cpp). The export refuses, with
// InvalidInput "export target is a file of the database", a target inside
// the database directory (the path resolved as the open resolves it: links,
// relative paths and ".." included), before anything is created, and a hard
// link to one of the database's own files (any collection's vector file,
// store, lock file or index, or the registry's store and lock file), before
// truncating anything. Only a regular file is truncated: a FIFO or a device
// is written as it is. The import only reads its file. A path with a NUL
// byte is the platform's Io error.
Result<uint64_t> export_to_file(CollectionState& state, const std::string& path);
Result<ImportStats> import_from_file(CollectionState& state, const std::string& path);

// Read-only configuration (fixed for the state's life).
const CollectionConfig& collection_config(const CollectionState& state);

// The longest id (in bytes) the store accepts; longer ids are refused by add,
// upsert and add_batch with InvalidInput before anything is queued.
size_t max_id_bytes(const CollectionState& state);

}  // namespace tessarin
