// Opening and releasing a collection, the collection store's transactions
// and the mirror's upkeep, and the small read-only accessors.
#include <algorithm>
#include <filesystem>

#include "collection_state.h"
#include "platform/platform.h"

namespace tessarin {

CollectionState::CollectionState(CollectionConfig config_in, std::string dir_in, Store store_in,
                                 VectorStore vectors_in, FreeList free_list_in)
    : config(std::move(config_in)),
      dir(std::move(dir_in)),
      store(std::move(store_in)),
      vectors(std::move(vectors_in)),
      free_list(std::move(free_list_in)) {}

CollectionState::~CollectionState() {
  // What add() accepted must not vanish because nobody called sync().
  try {
    (void)flush_pending_writes(*this);
  } catch (...) {
  }
}

std::string collection_dir(const std::string& database_path, const std::string& name) {
  return (std::filesystem::path(database_path) / "collections" / name).string();
}

namespace {

// Whether the collection opens with a stale index. The graph index cannot be
// loaded yet, so a configured index is always absent after open: stale when
// the store holds live records that an index would have to cover, or when an
// "hnsw.index" exists (it is not loaded, so it must be rebuilt).
Result<bool> initial_index_stale(const CollectionConfig& config, const std::string& dir,
                                 const Store& store) {
  if (!config.hnsw_config) return false;
  const std::string index_path = (std::filesystem::path(dir) / "hnsw.index").string();
  if (platform::file_exists(index_path)) return true;
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
  TS_ASSIGN_OR_RETURN(uint64_t live, count_live_records(txn));
  return live > 0;
}

}  // namespace

Result<std::shared_ptr<CollectionState>> open_collection(const std::string& dir,
                                                         CollectionConfig config) {
  TS_RETURN_IF_ERROR(platform::create_dir_all(dir));
  const std::filesystem::path base(dir);
  const std::string vector_path = (base / "vectors.bin").string();
  const std::string store_path = (base / "meta.redb").string();

  VectorStore vectors;
  if (!platform::file_exists(vector_path)) {
    TS_ASSIGN_OR_RETURN(vectors, VectorStore::create(vector_path, config.dimensions));
  } else {
    TS_ASSIGN_OR_RETURN(vectors, VectorStore::open(vector_path, config.dimensions));
  }
  TS_ASSIGN_OR_RETURN(Store store, Store::open(store_path));
  std::vector<uint64_t> slots;
  {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
    TS_ASSIGN_OR_RETURN(slots, load_free_list(txn));
  }
  TS_ASSIGN_OR_RETURN(bool stale, initial_index_stale(config, dir, store));

  auto state = std::make_shared<CollectionState>(std::move(config), dir, std::move(store),
                                                 std::move(vectors), FreeList(std::move(slots)));
  state->index_stale.store(stale);
  return state;
}

// ---- CollectionTxn ----

Result<CollectionTxn> CollectionTxn::begin(CollectionState& state) {
  std::unique_lock<std::mutex> lock(state.commit_mu);
  Result<WriteTxn> txn = state.store.begin_write();
  if (!txn.ok()) return std::move(txn).error();
  return CollectionTxn(&state, std::move(lock), std::move(txn).value());
}

CollectionTxn::CollectionTxn(CollectionState* state, std::unique_lock<std::mutex> lock,
                             WriteTxn txn)
    : state_(state),
      lock_(std::move(lock)),
      txn_(std::move(txn)),
      mirror_ready_(state->mirror.state() == RecordMirror::State::kReady) {}

Status CollectionTxn::put_record(Record&& record, std::shared_ptr<const json::Value> parsed) {
  TS_RETURN_IF_ERROR(tessarin::put_record(txn_, record));
  if (mirror_ready_) ops_.push_back(MirrorOp{true, std::move(record), std::move(parsed)});
  return OkStatus();
}

Status CollectionTxn::put_record(const Record& record, std::shared_ptr<const json::Value> parsed) {
  TS_RETURN_IF_ERROR(tessarin::put_record(txn_, record));
  if (mirror_ready_) ops_.push_back(MirrorOp{true, record, std::move(parsed)});
  return OkStatus();
}

Status CollectionTxn::remove_record(std::string_view id) {
  TS_RETURN_IF_ERROR(tessarin::remove_record(txn_, id));
  if (!mirror_ready_) return OkStatus();
  MirrorOp op;
  op.is_put = false;
  op.record.id = std::string(id);
  ops_.push_back(std::move(op));
  return OkStatus();
}

Result<bool> CollectionTxn::set_record_status(std::string_view id, RecordStatus status) {
  std::optional<Record> record;
  {
    // The committed state, not this transaction's writes; released before
    // the put (see "Map growth" in storage/store.h).
    TS_ASSIGN_OR_RETURN(ReadTxn read, read_transaction(state_->store));
    TS_ASSIGN_OR_RETURN(record, get_record(read, id));
  }
  if (!record) return false;
  record->status = status;
  TS_RETURN_IF_ERROR(put_record(std::move(*record)));
  return true;
}

Status CollectionTxn::save_free_list(std::optional<uint64_t> also_listed) {
  std::vector<uint64_t> slots;
  {
    std::shared_lock lock(state_->free_list.mu);
    slots = state_->free_list.value.snapshot();
  }
  if (also_listed && std::find(slots.begin(), slots.end(), *also_listed) == slots.end()) {
    slots.push_back(*also_listed);
  }
  return tessarin::save_free_list(txn_, slots);
}

Status CollectionTxn::commit() {
  std::unique_lock<std::mutex> lock = std::move(lock_);
  Status status = txn_.commit();
  if (!status.ok()) return status;
  RecordMirror& mirror = state_->mirror;
  mirror.note_commit();
  if (mirror_ready_) {
    std::unique_lock mirror_lock(mirror.mu);
    mirror.apply(ops_);
  }
  ops_.clear();
  return OkStatus();
}

bool ensure_mirror(CollectionState& state) {
  RecordMirror& mirror = state.mirror;
  if (mirror.state() == RecordMirror::State::kReady) return true;
  std::lock_guard<std::mutex> commit_lock(state.commit_mu);
  switch (mirror.state()) {
    case RecordMirror::State::kReady:
      return true;
    case RecordMirror::State::kBroken:
      if (!mirror.rebuild_worthwhile()) return false;
      break;
    case RecordMirror::State::kUnbuilt:
      break;
  }
  Result<ReadTxn> txn = read_transaction(state.store);
  if (!txn.ok()) return false;  // transient: stays unbuilt, the store path reports it
  std::unique_lock mirror_lock(mirror.mu);
  return mirror.build(*txn).ok();
}

Result<WriteTxn> write_transaction(const Store& store) { return store.begin_write(); }

uint64_t now_secs() { return platform::now_secs(); }

// ---- Read-only accessors ----

const CollectionConfig& collection_config(const CollectionState& state) { return state.config; }

size_t max_id_bytes(const CollectionState& state) { return state.store.max_id_bytes(); }

void preload(CollectionState& state) {
  std::shared_lock lock(state.vectors.mu);
  (void)state.vectors.value.advise_willneed();
}

uint64_t vectors_size_bytes(CollectionState& state) {
  std::shared_lock lock(state.vectors.mu);
  return state.vectors.value.mapped_len();
}

}  // namespace tessarin
