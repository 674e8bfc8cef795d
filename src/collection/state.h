// CollectionState: the shared state of one open collection, and the internal
// operations the collection layer (collection/*.cpp, export/, the batch add
// and compaction) builds on. The public operations are in collection.h.
//
// Directory layout: <database>/collections/<name>/ holds "vectors.bin" (the
// VectorStore), "meta.redb" (the collection store: tables "records" and
// "freelist") and, for a collection configured with a graph index,
// "hnsw.index".
//
// Ownership: a state is created by open_collection and shared through
// std::shared_ptr (database map, binding objects, operations in progress).
// It owns its store, vector file and mapping, free list, claims on slots
// in flight, pending queue, record mirror and optional index. When the last
// reference goes, the destructor flushes what is still queued (best effort:
// errors are swallowed, nothing throws), then the members close in reverse
// order: index, mirror, queue, claims, free list, vector mapping and file,
// store (releasing its file lock).
//
// Locks (each guards the fields listed under it below; clang's lock checking
// enforces it, see sync/thread_annotations.h). Lock order (the one list; a
// thread takes a lock only while every lock it holds comes earlier in this
// list; pairs never nested are noted where they are taken):
//   DatabaseState::open_mu -> DatabaseState::map_mu
//   -> CollectionState::writer_mu -> index_mu -> commit_mu -> claims_mu
//   -> pending_mu -> vectors.mu -> free_list.mu -> mirror.mu
//   -> index->graph.mu -> index->deleted.mu -> graph_changes_mu
//   -> index_file_mu
//   -> leaves: FreeList's own mutex, the store's internal mutexes, the
//      process-wide list of open states (detach_states_of_dir).
// What the code nests: writer_mu over claims_mu, pending_mu, commit_mu,
// vectors.mu, free_list.mu and mirror.mu; commit_mu (a CollectionTxn) over
// vectors.mu, free_list.mu, mirror.mu, graph_changes_mu and index_file_mu;
// claims_mu over pending_mu, vectors.mu and free_list.mu (claim_slots
// allocates under it; compaction's census of held slots reads the slot
// count, the queue and the free list under it); pending_mu over
// free_list.mu; index_mu over vectors.mu, mirror.mu, the graph's
// locks, graph_changes_mu and index_file_mu (sync saves the file under
// index_mu and the graph's lock, both shared); vectors.mu over mirror.mu
// and the graph's locks (a search walks the graph or the mirror under the
// vector lock). Never
// nested: writer_mu and index_mu; vectors.mu and free_list.mu
// (allocate_slot takes free_list.mu, releases it, then takes vectors.mu);
// pending_mu and vectors.mu (a flush releases pending_mu first). A search
// builds the mirror (ensure_mirror, which takes commit_mu) before it takes
// any other lock; a flush and a delete release vectors.mu before their
// transactions. vectors.mu, free_list.mu, mirror.mu, index_mu and the
// graph's locks prefer writers (sync/writer_priority_mutex.h), so no thread
// may take one of them shared twice.
//
// Rules for writers of the collection store (the batch add, compaction,
// export and import included):
//   - Every write transaction on `store` goes through CollectionTxn: it holds
//     commit_mu from begin until the committed operations are applied to the
//     mirror, so the mirror always equals the committed "records" table and
//     changes in commit order. Never begin a raw WriteTxn on `store`.
//   - Record puts and removes go through the CollectionTxn methods (not
//     storage/records.h directly), which log them for the mirror; the free
//     list is saved with CollectionTxn::save_free_list.
//   - Every transaction that changes rows of "records" runs under writer_mu,
//     held from the moment the writer looks up what it changes until its
//     last transaction committed. So a row read under writer_mu stays the
//     committed row until the reader's own commit, and no queued write is
//     ever half-way into the store unseen (a flush holds it from taking the
//     queue to its commit).
//   - Vectors must be durable (flush_vectors under vectors.mu shared) before
//     the transaction that commits records pointing at them.
//   - Slots are handed out only by claim_slots, and the write holds the
//     SlotClaim until each of its slots is queued, referred to by a
//     committed row or back on the free list. Compaction reclaims every
//     slot below the slot count that none of these holds (what a crash
//     left behind), so a slot nobody accounts for is taken as lost.
//   - A batch holds writer_mu from its first transaction (Pending rows)
//     through its second (Active): a Pending row seen under writer_mu
//     belongs to no running batch, and compaction removes it.
//   - A slot that a transaction stops referring to (a removed or replaced
//     row) is released through CollectionTxn::release_slot: saved with the
//     free list in that transaction, marked free in the vector file and put
//     on the in-memory list only after the commit. A crash at any point
//     leaves the slot either referenced by its committed row or free in the
//     saved list, never both in use and handed out. A Tombstone's slot was
//     released by the delete that made it: it is never released again.
//   - A commit that can change the set of live records (a put that is not
//     Pending, a released slot) sets index_stale after it committed, when
//     config.hnsw_config is present (CollectionTxn::commit): an index
//     update that read the records before the commit then runs again.
//   - "hnsw.index" describes the committed records or is absent: a commit
//     that releases slots removes it durably first (CollectionTxn::commit),
//     since a released slot may go to a new record of the same id, which
//     the open's check (index_fit) cannot tell from the old one.
//   - Files are written through descriptors opened at open, except
//     "hnsw.index" and the directory's sync, which go by the path `dir`.
//     Once `dropped` is set that path belongs to no one or to a newer
//     collection of the name: nothing goes by it any more.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/collection.h"
#include "error.h"
#include "collection/filter.h"
#include "json/value.h"
#include "platform/platform.h"
#include "collection/mirror.h"
#include "search/hnsw/graph.h"
#include "search/hnsw/insert.h"
#include "storage/freelist.h"
#include "sync/locked.h"
#include "sync/mutex.h"
#include "sync/thread_annotations.h"
#include "storage/record.h"
#include "storage/records.h"
#include "storage/store.h"
#include "storage/vectors.h"
#include "sync/writer_priority_mutex.h"

namespace tessarin {

// A slot the graph index must forget before it is used again: its record
// was deleted (the slot also joins the index's deleted set, so a node still
// routing through it is never returned, until a record that reuses the slot
// gets a node) or replaced or removed by compaction (its node is only
// unmapped); either way a record that reuses the slot gets a node of its
// own.
struct GraphChange {
  uint64_t slot = 0;
  bool deleted = false;
};

// One queued record write: the record (status Active) and its prepared
// vector (unit length for Cosine), whose values are already in the record's
// slot of "vectors.bin".
struct PendingWrite {
  Record record;
  std::vector<float> vector;
  // The metadata text parsed back (null when it does not parse); shared with
  // search copies of the queue and, after the commit, with the mirror.
  std::shared_ptr<const json::Value> parsed;
  // Queue sequence number, from 1, increasing in queue order: a write is in
  // the committed records exactly when its seq is at most the committed_seq
  // of their state (CollectionState::committed_seq, RecordMirror::seq, the
  // graph's index_seq).
  uint64_t seq = 0;
};

// The directory of the database a collection was opened in, held open by
// the database and by each of its collections' states: export finds the
// database's files through the descriptor, so a rename of the directory or
// a change of the working directory since the open hides none of them.
struct DatabaseDir {
  platform::File handle;  // the directory, opened O_RDONLY | O_DIRECTORY
  platform::FileId id;    // its identity, by fstat of `handle`
};

class CollectionState {
 public:
  CollectionState(CollectionConfig config, std::string dir,
                  std::shared_ptr<const DatabaseDir> database_dir, Store store,
                  VectorStore vectors, FreeList free_list);
  ~CollectionState();
  CollectionState(const CollectionState&) = delete;
  CollectionState& operator=(const CollectionState&) = delete;

  // ---- Fixed for the state's life; read without a lock ----
  const CollectionConfig config;
  const std::string dir;           // <database>/collections/<name>
  // The database directory that opened the collection (a rename keeps it);
  // null for a collection opened on its own (tests, tools), which belongs
  // to no database. Export refuses targets inside it and its files.
  const std::shared_ptr<const DatabaseDir> database_dir;
  Store store;                     // "meta.redb"; serialises its own writers
  const uint64_t max_pending_writes = 100;  // queue length that makes an add flush
  const uint64_t flush_interval_ms = 100;   // age of the oldest queued write that does

  // ---- Vector file ----
  Locked<VectorStore> vectors;  // mu: the mapping, slot count and slot bytes

  // ---- Free list ----
  Locked<FreeList> free_list;  // mu exclusive to push/pop, shared to save
  // Set when slots were listed that only memory knows of: slots given back
  // by a failed write (give_back_slots). The next transaction saving the
  // list makes them durable; the close saves it for them when set.
  std::atomic<bool> free_list_unsaved{false};

  // ---- Slots in flight ----
  // The slots of every live SlotClaim, by claim number: slots handed out to
  // a write that has not yet queued them, committed rows for them or given
  // them back. claim_slots
  // allocates and records under claims_mu, so whoever holds it sees every
  // slot handed out either here or still on the free list.
  Mutex claims_mu ACQUIRED_AFTER(writer_mu, commit_mu);
  std::unordered_map<uint64_t, std::shared_ptr<const std::vector<uint64_t>>> claims
      GUARDED_BY(claims_mu);
  uint64_t next_claim GUARDED_BY(claims_mu) = 0;

  // ---- Pending queue ----
  // A write stays in the queue until its group commit has committed it and
  // brought the mirror and committed_seq up to date: a reader never finds a
  // write in neither place. A reader that sees it in both tells the two
  // apart by its seq (see PendingWrite::seq).
  Mutex pending_mu ACQUIRED_AFTER(writer_mu, commit_mu, claims_mu);
  std::deque<PendingWrite> pending GUARDED_BY(pending_mu);  // arrival order
  uint64_t next_seq GUARDED_BY(pending_mu) = 1;  // the next write's seq
  // Wall-clock ms when the first write entered an empty queue; 0 after a
  // successful flush. Read and written atomically.
  std::atomic<uint64_t> oldest_pending_ms{0};

  // Serialises the writers of "records" rows (group commits, batch adds,
  // deletes, upserts of stored ids, compaction removals; see the rules
  // above). A group commit holds it from reading the queue until its
  // writes have left the queue (or stayed there, on failure), so commits
  // reach the store in queue order and a delete or an upsert looking for
  // an id never takes out of the queue a write that is being committed. It
  // guards no field: it orders the writers of the store's "records" table.
  Mutex writer_mu;

  // ---- Store writers and the mirror ----
  // Held by CollectionTxn from begin until its operations are applied to the
  // mirror; also by the mirror's build. The mirror's commit count is
  // under it (see collection/mirror.h), its contents under mirror.mu.
  Mutex commit_mu ACQUIRED_AFTER(writer_mu, index_mu);
  RecordMirror mirror;
  // The seq of the last queued write committed (0: none yet). Queued writes
  // are committed in queue order, so every write up to it is in the store.
  // Written under commit_mu; read under it, or without it by a reader that
  // reads it before it begins its read transaction (which then holds at
  // least the writes up to the value read).
  std::atomic<uint64_t> committed_seq{0};

  // ---- Graph index ----
  // Present only when config.hnsw_config is: loaded at open, or built and
  // replaced by update_index. Guarded by index_mu (exclusive to replace it
  // or to change it through update_index, shared to search or save it); the
  // graph and the deleted set inside have their own locks.
  WriterPriorityMutex index_mu ACQUIRED_AFTER(writer_mu);
  std::unique_ptr<HnswIndex> index GUARDED_BY(index_mu);
  // The committed_seq of the records the index was last brought up to date
  // with: queued writes up to it are in the graph (when live), later ones
  // only in the queue or committed since.
  uint64_t index_seq GUARDED_BY(index_mu) = 0;
  // Set: the index (present or absent) lags the stored records. Cleared by
  // update_index before it reads the records, so a change that lands while
  // it runs sets it again.
  std::atomic<bool> index_stale{false};
  // Slot changes recorded by committed writes for the graph, applied in
  // order by the next update_index (which every search and sync runs first)
  // under index_mu: a writer never waits for the index lock, which a full
  // build holds for its whole length.
  // A collection written for long without a search or sync would keep
  // them without bound: past kMaxGraphChanges they are dropped and the next
  // update rebuilds the index instead.
  static constexpr size_t kMaxGraphChanges = size_t{1} << 20;
  Mutex graph_changes_mu ACQUIRED_AFTER(writer_mu, index_mu, commit_mu, pending_mu);
  std::vector<GraphChange> graph_changes GUARDED_BY(graph_changes_mu);
  bool graph_changes_dropped GUARDED_BY(graph_changes_mu) = false;

  // ---- "hnsw.index" on disk ----
  // Held by sync while it writes the file and by a slot-releasing commit
  // while it removes it, so the two never overlap.
  Mutex index_file_mu ACQUIRED_AFTER(index_mu, commit_mu, graph_changes_mu);
  // Set while a file may be there: at open when one was, and before sync
  // writes one; cleared once a commit removed it durably.
  bool index_file_may_exist GUARDED_BY(index_file_mu) = false;
  // Slot-releasing commits so far, counted before their store commit and
  // under commit_mu too. sync reads it (under commit_mu, so every commit it
  // counts is visible to the update that follows) before it brings the
  // graph up to date, and saves only when it has not moved since: a graph
  // from before a release would outlive it in the file.
  uint64_t slot_release_commits GUARDED_BY(index_file_mu) = 0;
  // Set, and never cleared, before the directory this state was opened on
  // is removed (its collection dropped, or a leftover of an unregistered
  // name cleared): `dir` then names nothing, or the directory of a newer
  // collection of the same name, which would load a graph saved there. So
  // sync saves no index and a slot-releasing commit removes none. Set under
  // this lock: a save in progress ends before the directory goes.
  bool dropped GUARDED_BY(index_file_mu) = false;
};

// Sets index_stale when the collection is configured with a graph index.
inline void mark_index_stale(CollectionState& state) {
  if (state.config.hnsw_config) state.index_stale.store(true);
}

// What a stored row is, as far as slot release needs it.
struct StoredRow {
  uint64_t slot = 0;
  RecordStatus status = RecordStatus::kActive;
};

// The committed rows of `ids` (nullopt where none), from the mirror when it
// is ready, else from one read transaction.
// REQUIRES: writer_mu held (so the rows stay committed as read until the
// caller's own transaction); no ReadTxn of the store held by the caller.
[[nodiscard]] Result<std::vector<std::optional<StoredRow>>> committed_rows(
    CollectionState& state, std::span<const std::string_view> ids) REQUIRES(state.writer_mu);

// InvalidInput naming the first component of `vector` that is NaN or
// infinite: such a vector is refused before anything is queued or written.
[[nodiscard]] Status check_vector_values(std::span<const float> vector);

// Slots handed out to one write and not yet accounted for elsewhere (see
// CollectionState::claims). Dropping the claim (drop() or the destructor)
// says each slot is now queued, referred to by a committed row, or back on
// the free list; from then on compaction frees a slot that none of these
// holds. Move-only; the state must outlive it.
// Dropping takes claims_mu: not while holding a lock after it in the order.
class SlotClaim {
 public:
  SlotClaim() = default;
  SlotClaim(SlotClaim&& other) noexcept { *this = std::move(other); }
  SlotClaim& operator=(SlotClaim&& other) noexcept;
  SlotClaim(const SlotClaim&) = delete;
  SlotClaim& operator=(const SlotClaim&) = delete;
  ~SlotClaim() { drop(); }

  // The slots, in the order allocate_slots handed them out.
  const std::vector<uint64_t>& slots() const {
    static const std::vector<uint64_t> kNone;
    return slots_ ? *slots_ : kNone;
  }
  void drop();

 private:
  friend Result<SlotClaim> claim_slots(CollectionState& state, size_t n);
  SlotClaim(CollectionState* state, uint64_t number,
            std::shared_ptr<const std::vector<uint64_t>> slots)
      : state_(state), number_(number), slots_(std::move(slots)) {}

  CollectionState* state_ = nullptr;  // null once dropped or moved from
  uint64_t number_ = 0;               // key in state_->claims
  std::shared_ptr<const std::vector<uint64_t>> slots_;
};

// Hands out `n` slots (allocate_slots: free list first, then the file's
// end) and claims them, in one hold of claims_mu. Failure: allocate_slots's
// error, nothing handed out.
[[nodiscard]] Result<SlotClaim> claim_slots(CollectionState& state, size_t n)
    EXCLUDES(state.claims_mu, state.vectors.mu, state.free_list.mu);

// Gives back slots taken for a write that failed before any committed record
// referred to them (release_unused_slots) and notes that the free list
// holding them is not saved yet.
void give_back_slots(CollectionState& state, std::span<const uint64_t> slots);

// The group commit of flush_pending_writes, for a caller that holds
// writer_mu already (the batch add, which commits what was queued before it).
[[nodiscard]] Status flush_pending_writes_locked(CollectionState& state)
    REQUIRES(state.writer_mu) EXCLUDES(state.pending_mu);

// <database path>/collections/<name>. The name must have passed
// validate_collection_name (database.h keeps every collection inside its own
// subdirectory).
std::string collection_dir(const std::string& database_path, const std::string& name);

// Opens (creating when missing) the collection directory `dir` for `config`:
// the vector file, the store (exclusively locked), the free list and the
// index state. On failure whatever was opened is closed again.
// A vector file that never got its header (vector_file_lacks_header: a
// creation killed half-way) is created anew when the store holds nothing
// (store_is_empty), so the collection opens empty; beside a store that
// holds anything it stays the DataCorruption error it is.
// `database_dir` is the directory of the database `dir` lies in (database.cpp
// passes it); null opens a collection that belongs to no database.
Result<std::shared_ptr<CollectionState>> open_collection(
    const std::string& dir, CollectionConfig config,
    std::shared_ptr<const DatabaseDir> database_dir = nullptr);

// The identities of every file the live states of this process hold open,
// by fstat of their descriptors: each vector file and each store's data and
// lock files. All are mapped: truncating one kills the process.
// REQUIRES: no lock of any collection state held (each state's vectors.mu
// is taken shared in turn).
[[nodiscard]] Result<std::vector<platform::FileId>> files_held_open();

// Sets `dropped` on every live state of this process opened on the
// directory at `dir` (found by the directory's identity, whichever database
// object opened it); to be called before that directory is removed. Nothing
// at `dir`: nothing to do. A failure to read the directory's identity is Io.
// REQUIRES: no lock of any collection state held.
[[nodiscard]] Status detach_states_of_dir(const std::string& dir);

// A write transaction on the collection store that keeps the mirror equal to
// the committed table and releases the slots its rows stop referring to.
// Holds commit_mu for its whole life.
// REQUIRES: used, committed and destroyed on the thread that began it; that
// thread holds no ReadTxn of the store while it writes or commits, and holds
// neither vectors.mu nor pending_mu nor mirror.mu nor free_list.mu.
class CollectionTxn {
 public:
  // Takes commit_mu, then begins the store's write transaction (failure:
  // Transaction; the lock is released again).
  [[nodiscard]] static Result<CollectionTxn> begin(CollectionState& state)
      EXCLUDES(state.commit_mu, state.pending_mu);

  CollectionTxn(CollectionTxn&&) = default;
  CollectionTxn& operator=(CollectionTxn&&) = default;
  // Aborts unless committed; the mirror and the released slots are
  // untouched.
  ~CollectionTxn() = default;

  // put_record: inserts or replaces the row of record.id. `parsed` is the
  // metadata parsed back, when the caller has it (else it is parsed when the
  // operation is applied). The slot of a row it replaces is not released
  // here: the caller knows whether that row was a Tombstone.
  [[nodiscard]] Status put_record(Record record,
                                  std::shared_ptr<const json::Value> parsed = nullptr);
  // remove_record: a missing id is not an error.
  [[nodiscard]] Status remove_record(std::string_view id);
  // Releases `slot`, whose row this transaction removes, replaces or (with
  // `deleted`) turns into a Tombstone: it is saved with the free list
  // (save_free_list, or commit when the list was not saved after the last
  // release) and, once the commit succeeded, told to the graph index
  // (GraphChange), marked free in the vector file and put on the in-memory
  // free list. A slot outside the vector file, already listed, or
  // referenced by a put of this transaction (other than a Tombstone's) is
  // not released.
  void release_slot(uint64_t slot, bool deleted = false);
  // The queued writes up to `seq` are among this transaction's puts (a
  // group commit): once it commits, committed_seq is at least `seq`.
  void commits_queued_through(uint64_t seq) { queued_through_ = seq; }
  // save_free_list: the current free list (under free_list.mu shared) with
  // the slots released so far appended, as the next ones reused.
  [[nodiscard]] Status save_free_list();

  // Commits; on success applies the logged operations to the mirror, then
  // queues the released slots for the graph, sets index_stale (see the
  // rules above) and marks and lists the released slots. The commit lock is
  // released in both cases.
  [[nodiscard]] Status commit();

 private:
  CollectionTxn(CollectionState* state, std::unique_lock<Mutex> lock, WriteTxn txn);

  CollectionState* state_;
  // On state_->commit_mu. The analysis does not follow a lock that moves
  // with its holder: commit() asserts it held (Mutex::assert_held).
  std::unique_lock<Mutex> lock_;
  WriteTxn txn_;
  // Whether the mirror is ready, so takes the operations. Fixed for the
  // transaction's life: the mirror changes state only under commit_mu.
  bool mirror_ready_ = false;
  std::vector<MirrorOp> ops_;  // logged in order for the mirror, when ready
  std::vector<uint64_t> put_slots_;  // the slot of every put but a Tombstone's
  std::vector<GraphChange> released_;  // slots to release once committed
  bool released_saved_ = true;       // the free list was saved after the last release
  bool live_set_changed_ = false;    // a put that is not Pending: the live records change
  uint64_t queued_through_ = 0;      // see commits_queued_through
};

// Builds the mirror when it is not ready (or broken and worth retrying).
// Returns whether it is ready afterwards; a build failure is not returned
// here: readers fall back to the store, which reports it.
// REQUIRES: no lock of the state held.
bool ensure_mirror(CollectionState& state) EXCLUDES(state.commit_mu, state.mirror.mu);

// A read transaction of the collection store begun between two commits
// (under commit_mu), and the committed_seq of the records it sees (*seq).
// REQUIRES: no lock of the state held but index_mu or writer_mu.
[[nodiscard]] Result<ReadTxn> committed_records(CollectionState& state, uint64_t* seq)
    EXCLUDES(state.commit_mu);

// A write transaction of `store`, or Transaction with the store's text.
// Collection stores are written only through CollectionTxn; this is for the
// registry and other stores.
[[nodiscard]] Result<WriteTxn> write_transaction(const Store& store);

// Whole seconds of the wall clock since the Unix epoch (0 before it).
uint64_t now_secs();

// Whole milliseconds of the monotonic clock elapsed since `start`,
// truncated; 0 should the clock read earlier (duration_ms of the stats).
inline uint64_t millis_since(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<uint64_t>(std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

// created_at + ttl, saturating at 2^64 - 1; none without a ttl.
std::optional<uint64_t> expiry_after(uint64_t created_at, std::optional<uint64_t> ttl);

// A random version-4 UUID as 36 lower-case hyphenated characters; fails
// only when the system's entropy source does (Io).
Result<std::string> make_uuid_v4();
// The UUID text of 16 random bytes, with the version-4 and variant bits set
// (for callers that draw the entropy of many ids at once).
std::string uuid_v4_text(const uint8_t (&random)[16]);

enum class IndexUpdate {
  kIfStale,  // searches: only when index_stale is set
  kExact,    // sync: also until the graph holds exactly the live records
};

// Brings the graph index up to date (collection/index.cpp). Returns at once
// unless the collection has an HnswConfig and index_stale is set (or, for
// kExact, an index is present). Otherwise, under index_mu exclusively: takes
// an IndexSnapshot (consuming the recorded graph changes) and applies its
// changes, then keeps the graph when it fits the live records exactly
// (index_fit), inserts the records it lacks (an index of N nodes, 0 < N <
// live count) or builds a new index from all of them; kExact then rebuilds
// a graph that does not fit exactly (nodes of records no longer live), so
// that the index sync saves is one the next open keeps. index_seq becomes
// the snapshot's committed_seq. A collection that never had a live record
// (index_stale clear, no index) gets no index.
// On failure the index stays as it was (the snapshot's changes applied) and
// index_stale stays set.
// REQUIRES: no lock of the state held.
[[nodiscard]] Status update_index(CollectionState& state,
                                  IndexUpdate mode = IndexUpdate::kIfStale)
    EXCLUDES(state.index_mu);

// ---- The graph index (collection/index.cpp) ----

inline constexpr std::string_view kIndexFileName = "hnsw.index";

// <dir>/hnsw.index.
std::string index_file_path(const CollectionState& state);

// The records a graph index is checked against, and the graph changes that
// go with them, read at one instant between two commits (under commit_mu):
// every slot release committed before it is among `changes` or already
// applied to the graph, and none committed after it is.
struct IndexSnapshot {
  std::vector<IndexItem> items;      // the live records (at `now`), key order
  std::vector<GraphChange> changes;  // recorded slot releases not yet applied
  bool changes_dropped = false;      // more were recorded than kept
  uint64_t committed_seq = 0;        // CollectionState::committed_seq
  uint64_t slot_release_commits = 0;
};

// Takes a snapshot. With `consume` the recorded changes move into it (the
// caller applies them to the index it holds exclusively); otherwise they are
// copied and stay recorded.
// Failure: Transaction when the read transaction cannot begin (nothing is
// consumed then), or the scan's error (the changes are consumed already:
// apply them all the same).
// REQUIRES: index_mu held (shared, or exclusively with `consume`); no other
// lock of the state.
[[nodiscard]] Status take_index_snapshot(CollectionState& state, bool consume,
                                         IndexSnapshot* out)
    REQUIRES_SHARED(state.index_mu)
    EXCLUDES(state.commit_mu, state.graph_changes_mu, state.index_file_mu);

// How a graph stands to the live records: the one rule by which the update
// keeps a graph, sync saves one and the open loads one.
enum class IndexFit : uint8_t {
  kLacks,   // a live record has no node that stands for it
  kCovers,  // every live record has one, and other nodes route the walks
  kExact,   // the nodes are exactly one for each live record
};
// A node stands for a live record (slot, id) when it is the current node of
// that slot and has that id (HnswGraph::node_for), and no slot release the
// graph has not applied (`unapplied`) names the slot: until then the node
// may be linked for the vector of a record the slot held before. `missing`
// (optional) receives the records without one, in their order.
// REQUIRES: the graph's shared lock.
IndexFit index_fit(const HnswGraph& graph, std::span<const IndexItem> items,
                   std::span<const GraphChange> unapplied,
                   std::vector<IndexItem>* missing = nullptr);

// The live records of a store (read transaction), in key order, with their
// live_until (at `now`, whole seconds).
[[nodiscard]] Result<std::vector<IndexItem>> live_index_items(const ReadTxn& txn, uint64_t now);

// ---- Search (collection/search.cpp) ----

// The writes of a copy of the queue that get, search and len see: those
// that committed records read up to `seq` do not hold yet, live at `now`,
// and of each id only its newest live write, which stands for the id's
// record (a flush commits it over whatever the id had; an expired write
// does not hide an older live one). In queue order.
std::vector<const PendingWrite*> visible_queued(std::span<const PendingWrite> queued,
                                                uint64_t seq, uint64_t now);

// One query as every source of candidates sees it.
struct SearchQuery {
  std::vector<float> vector;  // prepared for the metric (unit length for Cosine)
  uint64_t k = 0;
  // None (no where_), or the conditions (possibly none, as for {}).
  const std::optional<std::vector<FilterCondition>>* filter = nullptr;
  uint64_t now = 0;  // whole seconds since the epoch, read once: who is live
  Metric metric = Metric::kCosine;

  // Conditions that restrict: a filter with at least one condition.
  const std::vector<FilterCondition>* conditions() const {
    return *filter && !(*filter)->empty() ? &**filter : nullptr;
  }
  bool has_filter() const { return filter->has_value(); }
};

// The query for `state`: the vector prepared, `now` read.
// REQUIRES: `filter` outlives the query; query.size() == dimensions.
SearchQuery make_search_query(const CollectionState& state, std::span<const float> query,
                              uint64_t k, const std::optional<std::vector<FilterCondition>>& filter);

// The exact road over the committed records, two implementations with the
// same hits (exposed for tests):
// The literal road: a scan of "records" in `txn`, in key order, liveness
// and filter on the parsed metadata text, scoring (sequential up to 499
// candidates, pooled from 500) and a TopK of 10k (with conditions) or k.
// REQUIRES: vectors.mu held shared by the caller.
Result<std::vector<SearchHit>> exact_road_literal(CollectionState& state, const ReadTxn& txn,
                                                  const SearchQuery& q)
    REQUIRES_SHARED(state.vectors.mu);

// The mirror road: the same hits computed from the mirror, or nullopt when
// it cannot stand in (the mirror is not ready, or a score is NaN, where only
// the key-ordered buffer gives the defined order). *seq (when given)
// receives the mirror's seq.
// REQUIRES: vectors.mu held shared by the caller; k > 0.
std::optional<std::vector<SearchHit>> exact_road_mirror(CollectionState& state,
                                                        const SearchQuery& q,
                                                        uint64_t* seq = nullptr)
    REQUIRES_SHARED(state.vectors.mu) EXCLUDES(state.mirror.mu);

}  // namespace tessarin
