// RecordMirror: an in-memory copy of a collection's committed "records"
// table, kept so that a search or a count does not decode and parse every
// stored record per query.
//
// Contents: one entry per stored row (whatever its status or expiry), in no
// particular order, held as parallel arrays indexed by entry position:
//   hot (read by every scan):  slot, live_until, and a pointer to the parsed
//                              metadata (owned by the cold part), so a
//                              filtering scan reaches it without walking
//                              the cold entries
//   cold (hits, ties):          the record, the parsed metadata's owner
// live_until folds status and expiry into one number: a record is live at
// time `now` (whole seconds) exactly when now < live_until, so it is
//   0                       for any status other than Active,
//   expires_at              for an Active record that expires,
//   UINT64_MAX              for an Active record that never expires.
// An id -> position map finds entries; removal moves the last entry into the
// hole (swap-remove), so positions change on removal.
//
// Invariant (kept by CollectionTxn, collection/state.h): while the mirror is
// ready it holds exactly the rows of the last transaction whose operations
// were applied, i.e. the committed table minus at most the one commit whose
// application is in progress. Readers holding the shared lock therefore see
// the table as it was at one instant, like a read transaction.
//
// Lifecycle: kUnbuilt after open; built on first need from a read-transaction
// scan (kReady), or kBroken when a stored row did not decode (readers then use
// the store directly, so the decode error surfaces as it would without a
// mirror). A broken mirror is rebuilt on a later need once another commit has
// changed the table.
//
// Thread safety: `mu` guards all contents. Readers take it shared. build()
// and apply() require it exclusively AND the owning collection's commit
// mutex (so the state changes in commit order); the commit count requires
// the commit mutex. Those functions are handed the commit mutex only so
// that clang's lock checking can see the requirement. state() is an atomic
// read usable without the lock. Lock order: sync/thread_annotations.h
// (mirror.mu comes after the collection's commit_mu and vectors.mu).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "json/value.h"
#include "storage/record.h"
#include "storage/store.h"
#include "sync/mutex.h"
#include "sync/thread_annotations.h"
#include "sync/writer_priority_mutex.h"

namespace tessarin {

// One change of the committed table, recorded by CollectionTxn and applied
// after its commit succeeded.
struct MirrorOp {
  bool is_put = true;                          // put (insert or replace) or remove
  Record record;                               // put: the whole record; remove: only id
  std::shared_ptr<const json::Value> parsed;   // put: metadata parsed, or null to parse here
};

class RecordMirror {
 public:
  enum class State : uint8_t { kUnbuilt = 0, kReady = 1, kBroken = 2 };

  static constexpr uint64_t kNeverExpires = std::numeric_limits<uint64_t>::max();

  static uint64_t live_until(const Record& r) {
    if (r.status != RecordStatus::kActive) return 0;
    return r.expires_at ? *r.expires_at : kNeverExpires;
  }

  State state() const { return state_.load(std::memory_order_acquire); }

  // Replaces the contents with every row of `txn`'s "records" table, ordered
  // by slot (so scans read the vector file mostly front to back); `seq` is
  // the collection's committed_seq of that table. A row that does not decode
  // returns its Serialization error and leaves the mirror empty and kBroken.
  // REQUIRES: mu exclusively and the commit mutex.
  Status build(const ReadTxn& txn, uint64_t seq, const Mutex& commit_mu) REQUIRES(mu, commit_mu);

  // Applies committed operations in order; `seq` is the collection's
  // committed_seq after them. Does nothing unless ready.
  // REQUIRES: mu exclusively and the commit mutex.
  void apply(std::vector<MirrorOp>& ops, uint64_t seq, const Mutex& commit_mu)
      REQUIRES(mu, commit_mu);

  // Counts a commit (called for every successful commit, built or not), so a
  // broken mirror knows whether a rebuild could succeed.
  // REQUIRES: the commit mutex.
  void note_commit([[maybe_unused]] const Mutex& commit_mu) REQUIRES(commit_mu) { ++commits_; }
  // The commits counted so far: equal counts mean an unchanged table.
  // REQUIRES: the commit mutex.
  uint64_t commit_count([[maybe_unused]] const Mutex& commit_mu) const REQUIRES(commit_mu) {
    return commits_;
  }
  // True when a broken mirror has seen a commit since it broke.
  // REQUIRES: the commit mutex.
  bool rebuild_worthwhile([[maybe_unused]] const Mutex& commit_mu) const REQUIRES(commit_mu) {
    return commits_ != broken_at_commit_;
  }

  // ---- Readers (REQUIRE mu shared or exclusive; state() == kReady) ----
  size_t size() const REQUIRES_SHARED(mu) { return slot_.size(); }
  // The collection's committed_seq of the contents: the queued writes up to
  // it are among them (see PendingWrite::seq).
  uint64_t seq() const REQUIRES_SHARED(mu) { return seq_; }
  const uint64_t* slots() const REQUIRES_SHARED(mu) { return slot_.data(); }
  const uint64_t* live_untils() const REQUIRES_SHARED(mu) { return live_until_.data(); }
  const std::string& id(size_t i) const REQUIRES_SHARED(mu) { return cold_[i].record.id; }
  const json::Value& metadata(size_t i) const REQUIRES_SHARED(mu) { return *meta_[i]; }
  const json::Value* const* metadata_ptrs() const REQUIRES_SHARED(mu) { return meta_.data(); }
  const Record& record(size_t i) const REQUIRES_SHARED(mu) { return cold_[i].record; }
  // Position of `id`, or -1.
  ptrdiff_t find(std::string_view id) const REQUIRES_SHARED(mu);
  // Entries live at `now`.
  uint64_t count_live(uint64_t now) const REQUIRES_SHARED(mu);

  mutable WriterPriorityMutex mu;

 private:
  struct Cold {
    Record record;
    std::shared_ptr<const json::Value> parsed;  // never null
  };

  void put(Record record, std::shared_ptr<const json::Value> parsed) REQUIRES(mu);
  // Adds an entry for an id not in the mirror; `parsed` is not null.
  void append(Record record, std::shared_ptr<const json::Value> parsed) REQUIRES(mu);
  void remove(std::string_view id) REQUIRES(mu);
  void clear() REQUIRES(mu);

  std::atomic<State> state_{State::kUnbuilt};
  // Both under the commit mutex (not nameable here: see build()).
  uint64_t commits_ = 0;
  uint64_t broken_at_commit_ = 0;  // commits_ when the mirror broke
  // Parallel arrays.
  std::vector<uint64_t> slot_ GUARDED_BY(mu);
  std::vector<uint64_t> live_until_ GUARDED_BY(mu);
  std::vector<const json::Value*> meta_ GUARDED_BY(mu);  // meta_[i] == cold_[i].parsed.get()
  std::vector<Cold> cold_ GUARDED_BY(mu);
  std::unordered_map<std::string, size_t> index_ GUARDED_BY(mu);  // id -> position
  uint64_t seq_ GUARDED_BY(mu) = 0;
};

// The metadata text read back: parsed, null when it does not parse.
std::shared_ptr<const json::Value> parse_metadata_shared(std::string_view text);

}  // namespace tessarin
