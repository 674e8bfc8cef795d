// Opening and releasing a collection, the collection store's transactions
// and the mirror's upkeep, and the small read-only accessors.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <filesystem>
#include <unordered_set>
#include <utility>

#include "collection/state.h"
#include "platform/platform.h"
#include "search/hnsw/persist.h"

namespace tessarin {

CollectionState::CollectionState(CollectionConfig config_in, std::string dir_in,
                                 std::shared_ptr<const DatabaseDir> database_dir_in,
                                 Store store_in, VectorStore vectors_in, FreeList free_list_in)
    : config(std::move(config_in)),
      dir(std::move(dir_in)),
      database_dir(std::move(database_dir_in)),
      store(std::move(store_in)),
      vectors(std::move(vectors_in)),
      free_list(std::move(free_list_in)) {}

CollectionState::~CollectionState() {
  // What add() accepted must not vanish because nobody called sync().
  try {
    (void)flush_pending_writes(*this);
    // Nor may slots that a failed write gave back be lost for good.
    if (free_list_unsaved.load()) {
      Result<CollectionTxn> txn = CollectionTxn::begin(*this);
      if (txn.ok() && txn->save_free_list().ok()) (void)txn->commit();
    }
  } catch (...) {
  }
}

SlotClaim& SlotClaim::operator=(SlotClaim&& other) noexcept {
  if (this != &other) {
    drop();
    state_ = std::exchange(other.state_, nullptr);
    number_ = other.number_;
    slots_ = std::move(other.slots_);
  }
  return *this;
}

void SlotClaim::drop() {
  if (!state_) return;
  {
    MutexLock lock(state_->claims_mu);
    state_->claims.erase(number_);
  }
  state_ = nullptr;
  slots_.reset();
}

Result<SlotClaim> claim_slots(CollectionState& state, size_t n) {
  // Allocation and record under one hold: a census under claims_mu finds
  // each slot on the free list, beyond the slot count, or claimed.
  MutexLock lock(state.claims_mu);
  TS_ASSIGN_OR_RETURN(std::vector<uint64_t> slots,
                      allocate_slots(state.free_list, state.vectors, n));
  auto shared = std::make_shared<const std::vector<uint64_t>>(std::move(slots));
  const uint64_t number = state.next_claim++;
  state.claims.emplace(number, shared);
  return SlotClaim(&state, number, std::move(shared));
}

void give_back_slots(CollectionState& state, std::span<const uint64_t> slots) {
  if (slots.empty()) return;
  release_unused_slots(state.free_list, state.vectors, slots);
  state.free_list_unsaved.store(true);
}

std::string collection_dir(const std::string& database_path, const std::string& name) {
  return (std::filesystem::path(database_path) / "collections" / name).string();
}

namespace {

// Every state this process opened, by the identity of its directory, so that
// whoever removes a directory finds the states still open on it, including
// those of an earlier database object, whose map the remover never sees.
class OpenStates {
 public:
  // Lists `state`, dropping the entries of states already released.
  void add(const platform::FileId& dir, const std::shared_ptr<CollectionState>& state)
      EXCLUDES(mu_) {
    MutexLock lock(mu_);
    std::erase_if(entries_, [](const Entry& e) { return e.state.expired(); });
    entries_.push_back(Entry{dir, state});
  }
  // The live states opened on `dir`, or on any directory when none.
  std::vector<std::shared_ptr<CollectionState>> on(const std::optional<platform::FileId>& dir)
      EXCLUDES(mu_) {
    std::vector<std::shared_ptr<CollectionState>> out;
    MutexLock lock(mu_);
    for (const Entry& e : entries_) {
      if (dir && e.dir != *dir) continue;
      if (std::shared_ptr<CollectionState> state = e.state.lock()) out.push_back(std::move(state));
    }
    return out;
  }

 private:
  struct Entry {
    platform::FileId dir;
    std::weak_ptr<CollectionState> state;
  };
  Mutex mu_;  // a leaf: held for the list alone
  std::vector<Entry> entries_ GUARDED_BY(mu_);
};

OpenStates& open_states() {
  static OpenStates* states = new OpenStates;  // never destroyed: used at exit
  return *states;
}

// The index a collection opens with: the one in "hnsw.index" when it holds
// exactly the live records, else none. Stale without one when there are live
// records to index, or when a file was there (damaged or out of date: the
// next update rebuilds it).
struct InitialIndex {
  std::unique_ptr<HnswIndex> index;
  bool stale = false;
  bool file_found = false;  // "hnsw.index" was there, used or not
};

// Whether two configurations are the same, field for field and bit for bit
// (ml too: its encoding is what the file and the registry store).
bool same_bits(const HnswConfig& a, const HnswConfig& b) {
  return a.m == b.m && a.m_max0 == b.m_max0 && a.m_max == b.m_max &&
         a.ef_construction == b.ef_construction && a.ef_search == b.ef_search &&
         std::bit_cast<uint64_t>(a.ml) == std::bit_cast<uint64_t>(b.ml) && a.reserved == b.reserved;
}

Result<InitialIndex> load_initial_index(const CollectionConfig& config, const std::string& dir,
                                        const Store& store) {
  InitialIndex out;
  if (!config.hnsw_config) return out;
  const std::string path = (std::filesystem::path(dir) / kIndexFileName).string();
  if (!platform::file_exists(path)) {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
    TS_ASSIGN_OR_RETURN(uint64_t live, count_live_records(txn));
    out.stale = live > 0;
    return out;
  }
  out.file_found = true;
  Result<HnswIndex> loaded = load_index(path, config.metric);
  out.stale = true;
  if (!loaded.ok()) return out;  // not loadable: rebuilt from the records
  // A file made under another configuration (its own copy of it differs
  // from the registry's) is out of date: the graph would be searched with
  // the file's beam and linked with the file's degrees.
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
  TS_ASSIGN_OR_RETURN(std::vector<IndexItem> items, live_index_items(txn, platform::now_secs()));
  {
    // No other thread can reach the loaded index yet; the lock costs nothing.
    ExclusiveLock graph_lock(loaded->graph.mu);
    HnswGraph& graph = loaded->graph.value;
    if (!same_bits(graph.config(), *config.hnsw_config)) return out;
    if (index_fit(graph, items, {}) != IndexFit::kExact) return out;
    // The file keeps no expiries: each node learns its record's.
    for (const IndexItem& item : items) {
      graph.set_live_until(*graph.node_for(item.slot, item.id), item.live_until);
    }
  }
  out.index = std::make_unique<HnswIndex>(std::move(loaded).value());
  out.stale = false;
  return out;
}

}  // namespace

Result<std::shared_ptr<CollectionState>> open_collection(
    const std::string& dir, CollectionConfig config,
    std::shared_ptr<const DatabaseDir> database_dir) {
  TS_RETURN_IF_ERROR(platform::create_dir_all(dir));
  // Its identity lists the state for detach_states_of_dir.
  TS_ASSIGN_OR_RETURN(const std::optional<platform::FileId> found, platform::file_id(dir));
  if (!found) return DbError::Io(ENOENT);  // removed meanwhile
  const platform::FileId dir_id = *found;
  const std::filesystem::path base(dir);
  const std::string vector_path = (base / "vectors.bin").string();
  const std::string store_path = (base / "meta.redb").string();

  VectorStore vectors;
  // Set when the vector file never got its header: whether it may start
  // anew depends on the store, opened next.
  std::optional<DbError> headerless;
  if (!platform::file_exists(vector_path)) {
    TS_ASSIGN_OR_RETURN(vectors, VectorStore::create(vector_path, config.dimensions));
  } else if (Result<VectorStore> opened = VectorStore::open(vector_path, config.dimensions);
             opened.ok()) {
    vectors = std::move(opened).value();
  } else {
    if (opened.error().kind() != DbError::Kind::kDataCorruption) return std::move(opened).error();
    const Result<bool> lacks_header = vector_file_lacks_header(vector_path);
    if (!lacks_header.ok() || !*lacks_header) return std::move(opened).error();
    headerless = std::move(opened).error();
  }
  TS_ASSIGN_OR_RETURN(Store store, Store::open(store_path));
  if (headerless) {
    // A creation killed before the header was written (an earlier build
    // committed the registry row first). With nothing stored, no record
    // can point into the file: the collection starts empty. Otherwise the
    // file is damaged and stays an error.
    bool empty = false;
    {
      TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
      TS_ASSIGN_OR_RETURN(empty, store_is_empty(txn));
    }
    if (!empty) return std::move(*headerless);
    TS_ASSIGN_OR_RETURN(vectors, VectorStore::create(vector_path, config.dimensions));
  }
  std::vector<uint64_t> slots;
  {
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
    TS_ASSIGN_OR_RETURN(slots, load_free_list(txn));
  }
  TS_ASSIGN_OR_RETURN(InitialIndex initial, load_initial_index(config, dir, store));

  auto state = std::make_shared<CollectionState>(std::move(config), dir, database_dir,
                                                 std::move(store), std::move(vectors),
                                                 FreeList(std::move(slots)));
  {
    // Not shared yet: the lock is for the rule (index is guarded by index_mu).
    ExclusiveLock index_lock(state->index_mu);
    state->index = std::move(initial.index);
  }
  {
    // A file left unused (damaged, or out of date) is removed as well before
    // a slot is released: a later record could make it match again.
    MutexLock file_lock(state->index_file_mu);
    state->index_file_may_exist = initial.file_found;
  }
  state->index_stale.store(initial.stale);
  open_states().add(dir_id, state);
  return state;
}

Result<std::vector<platform::FileId>> files_held_open() {
  std::vector<std::shared_ptr<CollectionState>> states = open_states().on(std::nullopt);
  std::vector<platform::FileId> ids;
  for (const std::shared_ptr<CollectionState>& state : states) {
    {
      SharedLock lock(state->vectors.mu);
      TS_ASSIGN_OR_RETURN(const platform::FileId id, state->vectors.value.file_id());
      ids.push_back(id);
    }
    TS_ASSIGN_OR_RETURN(const std::vector<platform::FileId> store_ids, state->store.open_file_ids());
    ids.insert(ids.end(), store_ids.begin(), store_ids.end());
  }
  // A reference held here may be the last: its release (which flushes)
  // runs with no lock held.
  states.clear();
  return ids;
}

Status detach_states_of_dir(const std::string& dir) {
  TS_ASSIGN_OR_RETURN(const std::optional<platform::FileId> dir_id, platform::file_id(dir));
  if (!dir_id) return OkStatus();
  std::vector<std::shared_ptr<CollectionState>> states = open_states().on(*dir_id);
  for (const std::shared_ptr<CollectionState>& state : states) {
    MutexLock file_lock(state->index_file_mu);
    state->dropped = true;
  }
  // A reference held here may be the last: the release (which flushes) runs
  // after every lock above is let go.
  states.clear();
  return OkStatus();
}

// ---- CollectionTxn ----

namespace {

// Before a commit that releases slots: removes a saved "hnsw.index" durably
// (unlink, then the directory synced), as it would not describe the records
// the commit leaves, and counts the commit so that a sync which brought its
// graph up to date before it does not save. A kill after the removal and
// before the store commit leaves the records as they were and no file: the
// next update rebuilds the index.
// REQUIRES: `commit_mu` is state.commit_mu, held (see slot_release_commits).
Status retire_index_file(CollectionState& state, [[maybe_unused]] const Mutex& commit_mu)
    REQUIRES(commit_mu) EXCLUDES(state.index_file_mu) {
  if (!state.config.hnsw_config) return OkStatus();
  MutexLock file_lock(state.index_file_mu);
  ++state.slot_release_commits;
  // The path may hold a newer collection's file by now.
  if (state.dropped || !state.index_file_may_exist) return OkStatus();
  const std::string path = index_file_path(state);
  TS_RETURN_IF_ERROR(platform::remove_file(path));
  Status synced = platform::sync_parent_dir(path);
  // A directory removed by other hands took the file with it.
  if (!synced.ok() && platform::dir_exists(state.dir)) return synced;
  state.index_file_may_exist = false;
  return OkStatus();
}

}  // namespace

Result<CollectionTxn> CollectionTxn::begin(CollectionState& state) {
  std::unique_lock<Mutex> lock(state.commit_mu);  // moves into the transaction
  Result<WriteTxn> txn = state.store.begin_write();
  if (!txn.ok()) return std::move(txn).error();
  return CollectionTxn(&state, std::move(lock), std::move(txn).value());
}

CollectionTxn::CollectionTxn(CollectionState* state, std::unique_lock<Mutex> lock,
                             WriteTxn txn)
    : state_(state),
      lock_(std::move(lock)),
      txn_(std::move(txn)),
      mirror_ready_(state->mirror.state() == RecordMirror::State::kReady) {}

Status CollectionTxn::put_record(Record record, std::shared_ptr<const json::Value> parsed) {
  TS_RETURN_IF_ERROR(tessarin::put_record(txn_, record));
  // Only a Pending row leaves the set of live records as it was.
  if (record.status != RecordStatus::kPending) live_set_changed_ = true;
  // A Tombstone keeps its row but not its slot (its delete releases it).
  if (record.status != RecordStatus::kTombstone) {
    put_slots_.push_back(record.slot);
    if (!released_.empty()) released_saved_ = false;  // the next save checks it
  }
  if (mirror_ready_) ops_.push_back(MirrorOp{true, std::move(record), std::move(parsed)});
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

void CollectionTxn::release_slot(uint64_t slot, bool deleted) {
  {
    // Slot counts only grow, so a slot inside the file now stays inside.
    SharedLock lock(state_->vectors.mu);
    if (slot >= state_->vectors.value.slot_count()) return;  // a damaged row's slot
  }
  released_.push_back(GraphChange{slot, deleted});
  released_saved_ = false;
}

Status CollectionTxn::save_free_list() {
  std::vector<uint64_t> slots;
  {
    SharedLock lock(state_->free_list.mu);
    // A released slot that is listed already, or that a put of this
    // transaction references, is in use or free elsewhere (a row left by a
    // crash may share its slot with a newer record): releasing it would hand
    // it out twice. It is dropped, here and after the commit.
    if (!released_.empty()) {
      std::unordered_set<uint64_t> skip(put_slots_.begin(), put_slots_.end());
      std::vector<GraphChange> kept;
      for (const GraphChange& r : released_) {
        if (state_->free_list.value.contains_free_slot(r.slot)) continue;
        if (!skip.insert(r.slot).second) continue;  // or twice
        kept.push_back(r);
      }
      released_.swap(kept);
    }
    slots = state_->free_list.value.snapshot();
  }
  for (const GraphChange& r : released_) slots.push_back(r.slot);
  released_saved_ = true;
  return tessarin::save_free_list(txn_, slots);
}

Status CollectionTxn::commit() {
  if (!released_saved_) TS_RETURN_IF_ERROR(save_free_list());
  std::unique_lock<Mutex> lock = std::move(lock_);
  // Taken by begin() and moved here with the transaction, where the
  // analysis cannot follow it.
  Mutex& commit_mu = state_->commit_mu;
  assert(lock.owns_lock() && lock.mutex() == &commit_mu);
  commit_mu.assert_held();
  if (!released_.empty()) TS_RETURN_IF_ERROR(retire_index_file(*state_, commit_mu));
  platform::crash_point("collection_txn.before_commit");
  Status status = txn_.commit();
  if (!status.ok()) return status;
  platform::crash_point("collection_txn.committed");
  // Readers hold queued writes up to committed_seq as committed from here
  // on; their queue entries go only after this returns.
  if (queued_through_ > state_->committed_seq.load()) state_->committed_seq.store(queued_through_);
  RecordMirror& mirror = state_->mirror;
  mirror.note_commit(commit_mu);
  if (mirror_ready_) {
    ExclusiveLock mirror_lock(mirror.mu);
    mirror.apply(ops_, state_->committed_seq.load(), commit_mu);
  }
  ops_.clear();
  if (released_.empty()) {
    // Set after the commit, not before: an index update that ran in between
    // read the records without this commit's and cleared the flag, which
    // would leave them out of the graph until a sync.
    if (live_set_changed_) mark_index_stale(*state_);
    return OkStatus();
  }
  // Nothing committed refers to these slots any more. The graph learns of
  // them, and they are marked free, before they are listed: once listed, an
  // add may take one and write into it.
  if (state_->config.hnsw_config) {
    MutexLock changes_lock(state_->graph_changes_mu);
    std::vector<GraphChange>& changes = state_->graph_changes;
    changes.insert(changes.end(), released_.begin(), released_.end());
    if (changes.size() > CollectionState::kMaxGraphChanges) {
      changes = {};
      state_->graph_changes_dropped = true;
    }
  }
  // After the changes are queued: an update that sees the flag sees them.
  mark_index_stale(*state_);
  {
    ExclusiveLock vectors_lock(state_->vectors.mu);
    for (const GraphChange& r : released_) (void)state_->vectors.value.mark_slot_free(r.slot);
  }
  ExclusiveLock free_lock(state_->free_list.mu);
  FreeList& free_list = state_->free_list.value;
  for (const GraphChange& r : released_) (void)free_list.push_free_slot(r.slot);  // never twice
  return OkStatus();
}

Result<std::vector<std::optional<StoredRow>>> committed_rows(
    CollectionState& state, std::span<const std::string_view> ids) {
  std::vector<std::optional<StoredRow>> rows(ids.size());
  if (ids.empty()) return rows;
  RecordMirror& mirror = state.mirror;
  if (mirror.state() == RecordMirror::State::kReady) {
    // Ready stays ready: only a commit (excluded by writer_mu) changes it.
    SharedLock lock(mirror.mu);
    for (size_t i = 0; i < ids.size(); ++i) {
      const ptrdiff_t pos = mirror.find(ids[i]);
      if (pos < 0) continue;
      const Record& r = mirror.record(static_cast<size_t>(pos));
      rows[i] = StoredRow{r.slot, r.status};
    }
    return rows;
  }
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  TS_RETURN_IF_ERROR(txn.get_each(kRecordsTable, ids,
                                  [&](size_t i, std::optional<std::string_view> bytes) -> Status {
                                    if (!bytes) return OkStatus();
                                    TS_ASSIGN_OR_RETURN(RecordView row, decode_record_view(*bytes));
                                    rows[i] = StoredRow{row.slot, row.status};
                                    return OkStatus();
                                  }));
  return rows;
}

bool ensure_mirror(CollectionState& state) {
  RecordMirror& mirror = state.mirror;
  if (mirror.state() == RecordMirror::State::kReady) return true;
  MutexLock commit_lock(state.commit_mu);
  switch (mirror.state()) {
    case RecordMirror::State::kReady:
      return true;
    case RecordMirror::State::kBroken:
      if (!mirror.rebuild_worthwhile(state.commit_mu)) return false;
      break;
    case RecordMirror::State::kUnbuilt:
      break;
  }
  Result<ReadTxn> txn = read_transaction(state.store);
  if (!txn.ok()) return false;  // transient: stays unbuilt, the store path reports it
  ExclusiveLock mirror_lock(mirror.mu);
  return mirror.build(*txn, state.committed_seq.load(), state.commit_mu).ok();
}

Result<ReadTxn> committed_records(CollectionState& state, uint64_t* seq) {
  MutexLock commit_lock(state.commit_mu);
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
  *seq = state.committed_seq.load();
  return txn;
}

Result<WriteTxn> write_transaction(const Store& store) { return store.begin_write(); }

uint64_t now_secs() { return platform::now_secs(); }

// ---- Read-only accessors ----

const CollectionConfig& collection_config(const CollectionState& state) { return state.config; }

size_t max_id_bytes(const CollectionState& state) { return state.store.max_id_bytes(); }

void preload(CollectionState& state) {
  SharedLock lock(state.vectors.mu);
  (void)state.vectors.value.advise_willneed();
}

uint64_t vectors_size_bytes(CollectionState& state) {
  SharedLock lock(state.vectors.mu);
  return state.vectors.value.mapped_len();
}

}  // namespace tessarin
