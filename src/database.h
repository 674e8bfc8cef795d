// Database: a directory holding a registry store ("meta.redb", table
// "collections") and one subdirectory per collection under "collections/".
//
// DatabaseState owns the registry store (and with it the exclusive lock on
// "<path>/meta.redb") and a map name -> shared CollectionState of the
// collections opened so far. Collections open lazily, on the first
// collection()/get_collection() for their name, and stay in the map until
// drop_collection(). A CollectionState does not refer to its database:
// states held elsewhere outlive the database state and stay usable.
//
// The path is resolved once, at open, to an absolute one free of links:
// every later operation acts on that directory, whatever the process's
// working directory becomes; one moved or replaced since the open is
// refused rather than written at its old place.
//
// Directories under "collections/" and what may remove them:
//   - A drop marks the directory durably (the file kDropMarker in it)
//     before the registry row is deleted, and removes the marker last. A
//     marked directory without a row is what a drop left: opening the
//     database, and creating its name, remove it. A marked directory whose
//     name is registered is one whose drop never committed: the marker goes
//     and the collection stays.
//   - A directory that no drop marked is never removed wholesale: an open
//     leaves it alone; creating its name adopts it when its vector file has
//     the requested dimensions, clears it when it holds no record (what a
//     creation cut short leaves), and otherwise refuses
//     (CollectionAlreadyExists naming the directory).
//   - Directories that another process has open are kept.
// A creation writes the collection's files completely and syncs them before
// the registry row commits: a crash at any instant leaves the name absent
// (its directory adopted or cleared by the next creation) or registered
// with files that open.
//
// Thread safety: all functions are safe to call concurrently. The map is
// guarded by a read-write lock that is never held across a registry
// transaction or a collection open.
//
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
// open_mu is held across registry transactions, collection opens and the
// release of a dropped collection (whose last reference flushes under the
// collection's locks); map_mu shared across the database-wide sync.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/collection.h"
#include "error.h"
#include "metric.h"
#include "platform/platform.h"
#include "storage/store.h"
#include "sync/mutex.h"
#include "sync/thread_annotations.h"

namespace tessarin {

struct DatabaseDir;  // collection/state.h

// The state behind one open database directory.
//
// Thread safety: `open_collections` is guarded by `map_mu`: shared for
// lookups and the database-wide sync, exclusive for inserts and removals.
// map_mu is never held across a registry transaction or a collection open,
// and a state removed from the map is released after map_mu is let go (its
// release flushes its queue). The registry store serialises its own writers.
//
// Destruction: the map goes first (states whose last reference it held
// flush and close), then the registry store, releasing its file lock.
class DatabaseState {
 public:
  DatabaseState(std::string path_in, std::shared_ptr<const DatabaseDir> dir_in, Store registry_in)
      : path(std::move(path_in)), dir(std::move(dir_in)), registry(std::move(registry_in)) {}
  DatabaseState(const DatabaseState&) = delete;
  DatabaseState& operator=(const DatabaseState&) = delete;

  // Absolute and free of links: the path given to open_database, resolved
  // against the working directory of that moment.
  const std::string path;
  // The directory `path` named at the open, held open; handed to every
  // collection opened here (CollectionState::database_dir).
  const std::shared_ptr<const DatabaseDir> dir;
  Store registry;          // "<path>/meta.redb", table "collections"
  // Serialises the slow paths that read or change the registry and open or
  // drop collections (the lookups of open collections do not take it), so
  // two threads asking for one unopened collection open it once. Taken
  // before map_mu, never while holding it.
  Mutex open_mu ACQUIRED_BEFORE(map_mu);
  SharedMutex map_mu;
  // name -> the open collection's state.
  std::unordered_map<std::string, std::shared_ptr<CollectionState>> open_collections
      GUARDED_BY(map_mu);
  // Reported by recovery_stats; opening performs no recovery, so always 0.
  const uint64_t promoted = 0;
  const uint64_t rolled_back = 0;
  const uint64_t tombstones = 0;
};

struct RecoveryStats {
  uint64_t promoted = 0;
  uint64_t rolled_back = 0;
  uint64_t tombstones = 0;
};

// Collection names become a directory name under "<path>/collections", so
// only names that stay inside it are accepted: InvalidInput for the empty
// name, "." and "..", names containing '/' or a NUL byte, and names longer
// than 255 bytes (no file system makes such a directory).
Status validate_collection_name(const std::string& name);

// The file by which a drop marks the directory it is removing.
inline constexpr std::string_view kDropMarker = ".dropped";

// Creates the directory (and "collections/") when missing, resolves its
// path, opens the registry store under its exclusive lock, then settles the
// directories drops marked (best effort: what cannot be done now is done by
// a later open, or by the creation of the name).
Result<std::unique_ptr<DatabaseState>> open_database(const std::string& path);

// Get or create. The metric is already parsed (parse_metric); dimension
// bounds, then the name, then an existing collection's dimensions and metric
// are checked in that order. Creating deals with what stands at the
// directory as the header says; a directory that another process has open
// is refused (Database, "Database already open. Cannot acquire lock."). A
// creation that fails commits no registry row.
Result<std::shared_ptr<CollectionState>> collection(DatabaseState& db, const std::string& name,
                                                    uint64_t dim, Metric metric);
// Registers a new collection with exactly `config` (which may carry an
// HnswConfig, unlike the ones collection() creates), creating its files as
// collection() does; nothing stays open. The name and dimensions are checked
// as collection() checks them; a name already registered is
// CollectionAlreadyExists; what stands at the directory is dealt with as
// collection() deals with it.
Status register_collection(DatabaseState& db, const CollectionConfig& config);
// An existing collection (CollectionNotFound otherwise).
Result<std::shared_ptr<CollectionState>> get_collection(DatabaseState& db, const std::string& name);
// Marks the directory (durably), removes the registry row, then the
// directory, the marker last; an unregistered name is no error. States of
// this process still open on the directory are detached before it goes
// (CollectionState::dropped). A failed row removal takes the marker back. A
// name too long to have a directory (registered by an older build), or whose
// path holds no directory, loses its row only.
Status drop_collection(DatabaseState& db, const std::string& name);
// Registered names in ascending byte order, open or not.
Result<std::vector<std::string>> collections(DatabaseState& db);
// sync_collection for every open collection; stops at the first error.
Status sync_all(DatabaseState& db);
RecoveryStats recovery_stats(const DatabaseState& db);

}  // namespace tessarin
