#include "database.h"

#include <cerrno>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "collection/state.h"
#include "platform/platform.h"
#include "search/distance.h"
#include "storage/records.h"
#include "storage/registry.h"
#include "storage/store.h"
#include "storage/vectors.h"

namespace tessarin {

namespace {

// The longest file name the file systems we run on take (NAME_MAX).
constexpr size_t kMaxCollectionNameBytes = 255;

// The checks that keep a name's directory inside "collections/".
Status check_name_stays_inside(const std::string& name) {
  if (name.empty()) return DbError::InvalidInput("Collection name must not be empty");
  if (name == "." || name == "..") {
    return DbError::InvalidInput("Collection name must not be '" + name + "'");
  }
  if (name.find('/') != std::string::npos) {
    return DbError::InvalidInput("Collection name must not contain '/'");
  }
  if (name.find('\0') != std::string::npos) {
    return DbError::InvalidInput("Collection name must not contain a NUL character");
  }
  return OkStatus();
}

}  // namespace

Status validate_collection_name(const std::string& name) {
  TS_RETURN_IF_ERROR(check_name_stays_inside(name));
  // A longer name could be registered but its directory never made, which
  // leaves a collection listed that no call can open.
  if (name.size() > kMaxCollectionNameBytes) {
    return DbError::InvalidInput("Collection name must be at most " +
                                 std::to_string(kMaxCollectionNameBytes) + " bytes, got " +
                                 std::to_string(name.size()));
  }
  return OkStatus();
}

namespace {

std::shared_ptr<CollectionState> find_open(DatabaseState& db, const std::string& name)
    EXCLUDES(db.map_mu) {
  SharedLock lock(db.map_mu);
  auto it = db.open_collections.find(name);
  return it == db.open_collections.end() ? nullptr : it->second;
}

std::shared_ptr<CollectionState> enter_open(DatabaseState& db, const std::string& name,
                                            std::shared_ptr<CollectionState> state)
    EXCLUDES(db.map_mu) {
  std::shared_ptr<CollectionState> replaced;
  {
    ExclusiveLock lock(db.map_mu);
    auto [it, inserted] = db.open_collections.try_emplace(name, state);
    if (!inserted) {
      replaced = std::move(it->second);
      it->second = state;
    }
  }
  // A replaced state (if ever) is released outside the lock: its release
  // flushes and may take a while.
  replaced.reset();
  return state;
}

Result<std::optional<CollectionConfig>> load_config(DatabaseState& db, const std::string& name) {
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(db.registry));
  return load_collection_config(txn, name);
}

// Dimensions first, then the metric.
Status check_existing(const CollectionConfig& stored, const std::string& name, uint64_t dim,
                      Metric metric) {
  if (stored.dimensions != dim) return DbError::DimensionMismatch(stored.dimensions, dim);
  if (stored.metric != metric) {
    return DbError::CollectionAlreadyExists("Collection '" + name + "' exists with metric " +
                                            std::string(format_metric(stored.metric)) + ", not " +
                                            std::string(format_metric(metric)));
  }
  return OkStatus();
}

// Whether the store in collection directory `dir` is held open by another
// process (whose Collection object may outlive its Tessarin object): its
// files are then left alone, as that process goes on writing into them.
Result<bool> held_by_another_process(const std::string& dir) {
  return Store::locked_by_another_process((std::filesystem::path(dir) / "meta.redb").string());
}

// What stands at `path` (a link is not followed): not_found when nothing
// does; `ec` is set when it cannot be told.
std::filesystem::file_type entry_type(const std::string& path, std::error_code& ec) {
  const std::filesystem::file_type type = std::filesystem::symlink_status(path, ec).type();
  if (type == std::filesystem::file_type::not_found) ec.clear();
  return type;
}

// The database acts on the directory it opened by its absolute path. One
// moved or replaced since would have the operation land at the old place
// (a new directory made there, another database's files removed): refused.
Status check_at_path(const DatabaseState& db) {
  TS_ASSIGN_OR_RETURN(const std::optional<platform::FileId> id, platform::file_id(db.path));
  if (id != db.dir->id) {
    return DbError::IoMessage("Database directory '" + db.path +
                              "' was moved or replaced since it was opened");
  }
  return OkStatus();
}

std::string drop_marker_path(const std::string& dir) {
  return (std::filesystem::path(dir) / kDropMarker).string();
}

// Whether a drop marked the collection directory `dir` (an entry of the
// marker's name, of any type; nothing at `dir` is no mark).
Result<bool> is_marked(const std::string& dir) {
  std::error_code ec;
  const std::filesystem::file_type type = entry_type(drop_marker_path(dir), ec);
  if (ec) return DbError::Io(ec.value());
  return type != std::filesystem::file_type::not_found;
}

// Marks `dir` as being dropped, durably: the marker's entry is synced, so it
// is on disk before the registry row's removal commits.
Status mark_dropped(const std::string& dir) {
  const std::string marker = drop_marker_path(dir);
  { TS_ASSIGN_OR_RETURN(const platform::File file, platform::create_file(marker)); }
  return platform::sync_parent_dir(marker);
}

// Takes back the marker of a registered collection, whose drop never
// committed; durably.
Status unmark(const std::string& dir) {
  const std::string marker = drop_marker_path(dir);
  TS_RETURN_IF_ERROR(platform::remove_dir_all(marker));
  return platform::sync_parent_dir(marker);
}

// Removes the drop-marked directory `dir` of a name without a row, marker
// last. The states of this process still open on it are detached first:
// they keep working on their unlinked files but write nothing by path.
Status remove_dropped_dir(const std::string& dir) {
  TS_RETURN_IF_ERROR(detach_states_of_dir(dir));
  return platform::remove_marked_dir(dir, std::string(kDropMarker));
}

// The refusal of a creation over something at `dir` that is not the
// collection's to remove.
DbError in_the_way(const std::string& dir, const std::string& name, const std::string& why) {
  return DbError::CollectionAlreadyExists("Directory '" + dir + "' (" + why +
                                          ") belongs to no registered collection; move it away "
                                          "to create collection '" +
                                          name + "'");
}

// Whether the unregistered collection directory `dir` holds no record: its
// store is missing, empty, or holds nothing (store_is_empty).
Result<bool> holds_no_record(const std::string& dir) {
  const std::string store_path = (std::filesystem::path(dir) / "meta.redb").string();
  std::error_code ec;
  const uintmax_t length = std::filesystem::file_size(store_path, ec);
  if (ec == std::errc::no_such_file_or_directory || (!ec && length == 0)) return true;
  if (ec) return DbError::Io(ec.value());
  TS_ASSIGN_OR_RETURN(const Store store, Store::open(store_path));
  TS_ASSIGN_OR_RETURN(const ReadTxn txn, read_transaction(store));
  return store_is_empty(txn);
}

// Before `name`, which has no row, is created with `dims` dimensions: deals
// with what stands at its directory. Nothing: done. A directory a drop
// marked: removed. An unmarked one whose vector file has `dims` dimensions:
// kept, to be adopted as it is. An unmarked one that holds no record (what
// a creation cut short leaves): removed. Anything else is refused, and so is
// a directory that another process has open.
Status prepare_collection_dir(DatabaseState& db, const std::string& name, uint64_t dims)
    REQUIRES(db.open_mu) {
  const std::string dir = collection_dir(db.path, name);
  std::error_code ec;
  const std::filesystem::file_type type = entry_type(dir, ec);
  if (ec) return DbError::Io(ec.value());
  if (type == std::filesystem::file_type::not_found) return OkStatus();
  if (type != std::filesystem::file_type::directory) return in_the_way(dir, name, "no directory");
  TS_ASSIGN_OR_RETURN(const bool busy, held_by_another_process(dir));
  if (busy) return DbError::Database(std::string(kDatabaseAlreadyOpen));
  TS_ASSIGN_OR_RETURN(const bool marked, is_marked(dir));
  if (marked) return remove_dropped_dir(dir);
  const std::string vector_path = (std::filesystem::path(dir) / "vectors.bin").string();
  if (VectorStore::open(vector_path, dims).ok()) return OkStatus();
  const Result<bool> empty = holds_no_record(dir);
  if (!empty.ok()) return in_the_way(dir, name, "its store: " + empty.error().message());
  if (!*empty) {
    return in_the_way(dir, name, "holding records, without a vector file of " +
                                     std::to_string(dims) + " dimensions");
  }
  // Nothing stored: removed at once, as the directory of a dropped
  // collection would be.
  TS_RETURN_IF_ERROR(detach_states_of_dir(dir));
  TS_RETURN_IF_ERROR(platform::remove_dir_all(dir));
  return platform::sync_parent_dir(dir);
}

// At open: settles the directories drops marked (best effort: what cannot
// be listed or removed now is settled by a later open, or by the creation
// of its name). A marked directory whose name has a row is one whose drop
// never committed: it loses the marker. One without a row is what a drop
// left: it is removed, unless another process has it open. Unmarked
// directories are left alone.
void settle_marked_dirs(const std::string& path, const Store& registry) {
  Result<std::vector<std::string>> names = list_collection_names(registry);
  if (!names.ok()) return;
  const std::unordered_set<std::string> registered(names->begin(), names->end());
  std::vector<std::string> marked;
  std::error_code ec;
  std::filesystem::directory_iterator it(std::filesystem::path(path) / "collections", ec);
  for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->symlink_status(type_ec).type() != std::filesystem::file_type::directory) continue;
    const Result<bool> is = is_marked(it->path().string());
    if (is.ok() && *is) marked.push_back(it->path().string());
  }
  for (const std::string& dir : marked) {
    if (registered.contains(std::filesystem::path(dir).filename().string())) {
      (void)unmark(dir);
      continue;
    }
    const Result<bool> busy = held_by_another_process(dir);
    if (busy.ok() && !*busy) (void)remove_dropped_dir(dir);
  }
}

// Opens the collection `name` in its directory of the database.
Result<std::shared_ptr<CollectionState>> open_in_database(DatabaseState& db,
                                                          const std::string& name,
                                                          CollectionConfig config) {
  TS_RETURN_IF_ERROR(check_at_path(db));
  return open_collection(collection_dir(db.path, name), std::move(config), db.dir);
}

// Makes the files of a collection just opened durable: the vector file's
// header, written into the mapping only, and what LMDB wrote to set up a new
// store, which no commit has synced yet.
Status sync_new_files(CollectionState& state) {
  {
    SharedLock lock(state.vectors.mu);
    TS_RETURN_IF_ERROR(state.vectors.value.flush_vectors());
  }
  return state.store.sync_file();
}

// Creates the collection of `config`, whose name has no row: deals with what
// stands at its directory, opens it (making its files), syncs the files and
// only then commits the row. A failure before the commit leaves no row.
Result<std::shared_ptr<CollectionState>> create_collection(DatabaseState& db,
                                                           const CollectionConfig& config)
    REQUIRES(db.open_mu) {
  TS_RETURN_IF_ERROR(check_at_path(db));
  TS_RETURN_IF_ERROR(prepare_collection_dir(db, config.name, config.dimensions));
  TS_ASSIGN_OR_RETURN(std::shared_ptr<CollectionState> state,
                      open_in_database(db, config.name, config));
  TS_RETURN_IF_ERROR(sync_new_files(*state));
  // A crash from here to the commit leaves complete files and no row: the
  // next creation of the name adopts them, or clears them for other
  // dimensions (they hold no record).
  platform::crash_point("create.files_durable");
  TS_ASSIGN_OR_RETURN(WriteTxn txn, write_transaction(db.registry));
  TS_RETURN_IF_ERROR(save_collection_config(txn, config));
  TS_RETURN_IF_ERROR(txn.commit());
  return state;
}

// Removes the registry row of `name` in a transaction of its own.
Status delete_row(DatabaseState& db, const std::string& name) {
  TS_ASSIGN_OR_RETURN(WriteTxn txn, write_transaction(db.registry));
  TS_RETURN_IF_ERROR(delete_collection_config(txn, name));
  return txn.commit();
}

}  // namespace

Result<std::unique_ptr<DatabaseState>> open_database(const std::string& path) {
  TS_RETURN_IF_ERROR(platform::create_dir_all(path));
  // Resolved once, against the working directory of this moment.
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::canonical(path, ec);
  if (ec) return DbError::Io(ec.value());
  TS_ASSIGN_OR_RETURN(platform::File handle, platform::open_directory(base.string()));
  TS_ASSIGN_OR_RETURN(const platform::FileId id, platform::file_id(handle));
  auto dir = std::make_shared<const DatabaseDir>(DatabaseDir{std::move(handle), id});
  TS_RETURN_IF_ERROR(platform::create_dir_all((base / "collections").string()));
  TS_ASSIGN_OR_RETURN(Store registry, Store::open((base / "meta.redb").string()));
  // The registry's lock is held: no other database object runs meanwhile.
  settle_marked_dirs(base.string(), registry);
  return std::make_unique<DatabaseState>(base.string(), std::move(dir), std::move(registry));
}

Result<std::shared_ptr<CollectionState>> collection(DatabaseState& db, const std::string& name,
                                                    uint64_t dim, Metric metric) {
  TS_RETURN_IF_ERROR(validate_dimensions(dim));
  TS_RETURN_IF_ERROR(validate_collection_name(name));
  if (std::shared_ptr<CollectionState> state = find_open(db, name)) {
    TS_RETURN_IF_ERROR(check_existing(state->config, name, dim, metric));
    return state;
  }
  MutexLock open_lock(db.open_mu);
  if (std::shared_ptr<CollectionState> state = find_open(db, name)) {  // opened meanwhile
    TS_RETURN_IF_ERROR(check_existing(state->config, name, dim, metric));
    return state;
  }
  TS_ASSIGN_OR_RETURN(std::optional<CollectionConfig> stored, load_config(db, name));
  std::shared_ptr<CollectionState> state;
  if (stored) {
    TS_RETURN_IF_ERROR(check_existing(*stored, name, dim, metric));
    TS_ASSIGN_OR_RETURN(state, open_in_database(db, name, std::move(*stored)));
  } else {
    CollectionConfig config;
    config.name = name;
    config.dimensions = dim;
    config.metric = metric;
    config.created_at = platform::now_secs();
    TS_ASSIGN_OR_RETURN(state, create_collection(db, config));
  }
  return enter_open(db, name, std::move(state));
}

Status register_collection(DatabaseState& db, const CollectionConfig& config) {
  TS_RETURN_IF_ERROR(validate_dimensions(config.dimensions));
  TS_RETURN_IF_ERROR(validate_collection_name(config.name));
  MutexLock open_lock(db.open_mu);
  TS_ASSIGN_OR_RETURN(std::optional<CollectionConfig> stored, load_config(db, config.name));
  if (stored) return DbError::CollectionAlreadyExists(config.name);
  // Its files are made as collection() makes them; the state closes again
  // (nothing is queued in it).
  TS_ASSIGN_OR_RETURN(const std::shared_ptr<CollectionState> state, create_collection(db, config));
  return OkStatus();
}

Result<std::shared_ptr<CollectionState>> get_collection(DatabaseState& db,
                                                        const std::string& name) {
  TS_RETURN_IF_ERROR(validate_collection_name(name));
  if (std::shared_ptr<CollectionState> state = find_open(db, name)) return state;
  MutexLock open_lock(db.open_mu);
  if (std::shared_ptr<CollectionState> state = find_open(db, name)) return state;
  TS_ASSIGN_OR_RETURN(std::optional<CollectionConfig> stored, load_config(db, name));
  if (!stored) return DbError::CollectionNotFound(name);
  TS_ASSIGN_OR_RETURN(std::shared_ptr<CollectionState> state,
                      open_in_database(db, name, std::move(*stored)));
  return enter_open(db, name, std::move(state));
}

Status drop_collection(DatabaseState& db, const std::string& name) {
  // Such a name can never have been registered, and its directory would not
  // be the collection's own. A name too long for a directory may have been
  // registered by an older build: only its row goes.
  if (!check_name_stays_inside(name).ok()) return OkStatus();
  const bool has_dir = name.size() <= kMaxCollectionNameBytes;
  MutexLock open_lock(db.open_mu);
  std::shared_ptr<CollectionState> released;
  {
    ExclusiveLock lock(db.map_mu);
    auto it = db.open_collections.find(name);
    if (it != db.open_collections.end()) {
      released = std::move(it->second);
      db.open_collections.erase(it);
    }
  }
  released.reset();  // the last reference flushes its queue, outside the lock
  TS_ASSIGN_OR_RETURN(std::optional<CollectionConfig> stored, load_config(db, name));
  if (!stored) return OkStatus();
  if (!has_dir) return delete_row(db, name);
  TS_RETURN_IF_ERROR(check_at_path(db));
  const std::string dir = collection_dir(db.path, name);
  // A collection that another process still has open (its Tessarin object
  // may be gone while a Collection object lives on) keeps its files: that
  // process would go on writing into unlinked files and lose everything.
  // Within this process the files go, and live Collection objects keep
  // working on them until they are released.
  TS_ASSIGN_OR_RETURN(const bool busy, held_by_another_process(dir));
  if (busy) return DbError::Database(std::string(kDatabaseAlreadyOpen));
  std::error_code ec;
  const std::filesystem::file_type type = entry_type(dir, ec);
  if (ec) return DbError::Io(ec.value());
  // Only a directory is the collection's to remove; where there is none,
  // the row goes alone.
  const bool has_files = type == std::filesystem::file_type::directory;
  if (has_files) TS_RETURN_IF_ERROR(mark_dropped(dir));
  // A crash from here until the row is gone leaves the collection registered
  // with a marked directory: the next open takes the marker back.
  platform::crash_point("drop.marked");
  if (Status deleted = delete_row(db, name); !deleted.ok()) {
    if (has_files) (void)unmark(dir);  // the collection stays, and so does its directory
    return deleted;
  }
  // A crash from here on leaves the marked directory, whole or in part,
  // without its row: the next open of the database or creation of the name
  // removes it.
  platform::crash_point("drop.row_deleted");
  if (!has_files) return OkStatus();
  return remove_dropped_dir(dir);
}

Result<std::vector<std::string>> collections(DatabaseState& db) {
  return list_collection_names(db.registry);
}

Status sync_all(DatabaseState& db) {
  SharedLock lock(db.map_mu);
  for (auto& [name, state] : db.open_collections) {
    TS_RETURN_IF_ERROR(sync_collection(*state));
  }
  return OkStatus();
}

RecoveryStats recovery_stats(const DatabaseState& db) {
  return RecoveryStats{db.promoted, db.rolled_back, db.tombstones};
}

}  // namespace tessarin
