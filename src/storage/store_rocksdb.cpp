// The RocksDB store (built with TESSARIN_STORE=rocksdb): "meta.redb" is a
// directory holding one RocksDB database.
//
// Tables are key ranges of the default column family: a stored key is the
// table's name, one zero byte, then the caller's key, so every table's rows
// are contiguous and in the byte order of the callers' keys (table names
// hold no byte below 0x02). A table is its rows: a cursor over a table with
// none is absent.
//
// Files and names: RocksDB names every file by path. The store opens the
// database by "/proc/self/fd/N" of a descriptor it holds on the directory,
// so a store whose directory was removed while it stays open (a dropped
// collection that is still used) can never create, delete or read files in
// a directory made anew at the same path (a collection re-created under the
// same name): there, it fails with RocksDB's I/O error instead. Error texts
// name the store's own path again. Where no such name exists, the path is
// used as it is.
//
// Lock: the StoreLock on "meta.redb/tessarin.lock" is taken before RocksDB
// opens the directory and released after it closed it. RocksDB's own LOCK
// file is taken too (under the descriptor's name, unique while the store is
// open).
//
// Transactions: a ReadTxn is a RocksDB snapshot (reads with checksums
// verified). A WriteTxn holds the store's writer slot (one at a time; a
// second begin_write waits) and collects its writes in one WriteBatch,
// which commit writes atomically with one synced write-ahead-log append.
// Reads never see the batch (writes are blind), as in the LMDB store.
//
// Shared by every store of the process (created on first open, never
// freed): one LRU block cache (index and filter blocks included, so a store
// holds little memory of its own), one write-buffer budget
// (WriteBufferManager) and RocksDB's default Env with a small background
// pool (one flush and one compaction thread, raised only if the host asks
// for more). Per store: small memtables (kWriteBufferBytes, two at most),
// bloom filters.
//
// Damage: paranoid checks on, checksums verified on every read, and the log
// replayed in kTolerateCorruptedTailRecords mode: an incomplete last record
// (a write cut short by a crash, never acknowledged) is dropped, any other
// damage fails the open with RocksDB's Corruption text. Before RocksDB
// opens the directory, every table file is checked for the one damage of
// its properties block that RocksDB 7.8 aborts on (check_table_files). A
// directory whose CURRENT file is missing while it holds tables or logs is
// refused rather than initialised anew over them.
//
// Full disk: a write that fails (the log append or sync finds no space, or
// a flush did before it) can leave RocksDB 7.8 writing to a log writer
// that keeps the error: its own recovery (DB::Resume, or its file manager's
// once space is back) does not replace that writer, so every later write
// fails again, and Debian's build, which keeps RocksDB's assertions, aborts
// the process there instead. So no write goes to a database instance after
// a failed one: the store closes the database and opens it again (which
// replays the log, dropping an incomplete last record, and starts a new one)
// before it writes again, in the failed commit itself (one more try) or in
// a later one. It does so once the file system has room for a new log and
// the recovered memtable (kReopenFreeBytes), and no read transaction or
// cursor is open (waiting kReopenWait for them at most; new readers wait
// while the reopen runs); otherwise the commit fails with the failed write's
// text and the store stays readable. A reopen that fails leaves the store
// closed: every begin_read and commit tries again.
//
// RocksDB's info log goes nowhere (SilentLogger): nothing grows in the
// user's directory, and a full disk cannot trip an assertion through a log
// file's failed append. Errors reach callers as Status texts.
#include "storage/store.h"

#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/options.h>
#include <rocksdb/table.h>
#include <rocksdb/write_batch.h>
#include <rocksdb/write_buffer_manager.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdarg>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "storage/store_lock.h"

namespace tessarin {

namespace {

// The same limit as the LMDB store's, so ids behave the same in both.
constexpr size_t kMaxKeyBytes = 510;

constexpr size_t kBlockCacheBytes = size_t{32} << 20;
constexpr size_t kWriteBufferBudgetBytes = size_t{64} << 20;  // all memtables of the process
constexpr size_t kWriteBufferBytes = size_t{4} << 20;         // one memtable
// Memtable memory is taken (and counted against the budget) in blocks of
// this size, so a store with a few rows holds little.
constexpr size_t kArenaBlockBytes = size_t{64} << 10;
// A failed write's store reopens only when the file system has this much
// room: a new log and the table the recovered memtable becomes.
constexpr uint64_t kReopenFreeBytes = 2 * kWriteBufferBytes;
// How long a commit waits for open readers before a reopen.
constexpr std::chrono::seconds kReopenWait{1};
constexpr uint64_t kManifestBytes = uint64_t{8} << 20;  // then a new one replaces it
// Keys looked up in one MultiGet by get_each.
constexpr size_t kLookupChunk = 1024;

class SilentLogger final : public rocksdb::Logger {
 public:
  SilentLogger() : rocksdb::Logger(rocksdb::InfoLogLevel::HEADER_LEVEL) {}
  using rocksdb::Logger::Logv;
  void Logv(const char* /*format*/, va_list /*ap*/) override {}
};

struct SharedResources {
  std::shared_ptr<rocksdb::Logger> info_log;
  std::shared_ptr<rocksdb::Cache> block_cache;
  std::shared_ptr<rocksdb::WriteBufferManager> write_buffers;
  std::shared_ptr<rocksdb::TableFactory> table_factory;
};

const SharedResources& shared_resources() {
  static const SharedResources* shared = [] {
    auto* s = new SharedResources;  // never destroyed: stores may close at exit
    s->info_log = std::make_shared<SilentLogger>();
    s->block_cache = rocksdb::NewLRUCache(kBlockCacheBytes);
    s->write_buffers = std::make_shared<rocksdb::WriteBufferManager>(kWriteBufferBudgetBytes);
    rocksdb::BlockBasedTableOptions table;
    table.block_cache = s->block_cache;
    table.cache_index_and_filter_blocks = true;
    table.pin_l0_filter_and_index_blocks_in_cache = true;
    table.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
    table.optimize_filters_for_memory = true;
    s->table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
    return s;
  }();
  return *shared;
}

rocksdb::Options store_options() {
  const SharedResources& shared = shared_resources();
  rocksdb::Options o;
  o.create_if_missing = true;
  o.paranoid_checks = true;
  o.wal_recovery_mode = rocksdb::WALRecoveryMode::kTolerateCorruptedTailRecords;
  o.max_background_jobs = 2;
  o.max_file_opening_threads = 1;
  o.write_buffer_manager = shared.write_buffers;
  o.write_buffer_size = kWriteBufferBytes;
  o.max_write_buffer_number = 2;
  o.arena_block_size = kArenaBlockBytes;
  o.level_compaction_dynamic_level_bytes = true;
  o.table_factory = shared.table_factory;
  o.info_log = shared.info_log;
  o.stats_dump_period_sec = 0;
  o.stats_persist_period_sec = 0;
  o.max_manifest_file_size = kManifestBytes;
  // Every table file stays open while the store is: none is ever opened by
  // name again (see "Files and names").
  o.max_open_files = -1;
  return o;
}

// RocksDB's text of `s`, with the directory's descriptor name replaced by
// the store's path.
std::string status_text(const rocksdb::Status& s, const std::string& db_name,
                        const std::string& path) {
  std::string text = s.ToString();
  if (db_name == path) return text;
  for (size_t at = text.find(db_name); at != std::string::npos; at = text.find(db_name, at)) {
    const size_t end = at + db_name.size();
    if (end < text.size() && text[end] >= '0' && text[end] <= '9') {  // another descriptor
      at = end;
      continue;
    }
    text.replace(at, db_name.size(), path);
    at += path.size();
  }
  return text;
}

// A store directory without CURRENT is new, unless it holds tables or logs:
// then CURRENT was lost, and a new store made over them would drop them.
Status check_current_file(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(fs::path(path) / "CURRENT", ec)) return OkStatus();
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string ext = it->path().extension().string();
    if (ext == ".sst" || ext == ".log") {
      return from_database_error("Corruption: CURRENT file missing in a store that holds " +
                                 it->path().filename().string());
    }
  }
  if (ec) return from_database_error(ec.message());
  return OkStatus();
}

// RocksDB 7.8 reads a table file's properties block at open without its
// checksum (it verifies the checksum only after parsing the block, to allow
// for ingested files whose global sequence number it rewrote), and the
// block's parser asserts, in Debian's build, which keeps RocksDB's
// assertions, when the block's last four bytes claim a hash index with more
// buckets than the block has bytes: a damaged properties block aborts the
// process instead of failing the open. RocksDB never writes a hash index
// into a properties block, so the store refuses a table file whose
// properties block claims one before RocksDB opens the store.
//
// The layout read here is the block-based table's (format versions 1 to 5,
// the ones RocksDB 7.8 reads): the file ends with a 53-byte footer (checksum
// type, the metaindex block's handle, the index block's handle, padding to
// 41 bytes, the format version as a fixed32 and the magic number as a
// fixed64); a handle is a varint64 offset and a varint64 size. The metaindex
// block lists the meta blocks by name, one entry per restart (varint32
// shared key bytes, varint32 unshared key bytes, varint32 value size, the
// unshared key bytes, the value: a handle), then the restart offsets and
// their count (fixed32 each). A block's last fixed32 holds its restart count
// with the hash-index flag in bit 31. Anything that does not parse is left
// to RocksDB, which checks the footer and the metaindex block's checksum
// before it reads the properties block.
namespace table_file {
constexpr uint64_t kMagic = 0x88e241b785f4cff7ull;
constexpr size_t kFooterBytes = 53;
constexpr size_t kVersionOffset = 41;  // in the footer
constexpr uint32_t kHashIndexFlag = 1u << 31;
constexpr uint64_t kMaxMetaindexBytes = uint64_t{1} << 20;  // larger: not parsed here

uint32_t fixed32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A varint of at most 64 bits from [*p, end); false when it does not fit.
bool varint(const char** p, const char* end, uint64_t* out) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64 && *p < end; shift += 7) {
    const auto byte = static_cast<uint8_t>(*(*p)++);
    v |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (byte < 0x80) {
      *out = v;
      return true;
    }
  }
  return false;
}

// n bytes at `offset` of the file; empty when they cannot be read in full.
std::string read(int fd, uint64_t offset, size_t n) {
  std::string bytes(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, bytes.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return {};
    got += static_cast<size_t>(r);
  }
  return bytes;
}

// The handle of the properties block named in `metaindex`, when found.
std::optional<std::pair<uint64_t, uint64_t>> properties_handle(const std::string& metaindex) {
  if (metaindex.size() < 4) return std::nullopt;
  const uint64_t restarts = fixed32(metaindex.data() + metaindex.size() - 4) & ~kHashIndexFlag;
  if (restarts > (metaindex.size() - 4) / 4) return std::nullopt;
  const char* p = metaindex.data();
  const char* const end = metaindex.data() + metaindex.size() - 4 - 4 * restarts;
  std::string key;
  while (p < end) {
    uint64_t shared, unshared, value_size;
    if (!varint(&p, end, &shared) || !varint(&p, end, &unshared) || !varint(&p, end, &value_size) ||
        shared > key.size() || unshared > static_cast<uint64_t>(end - p) ||
        value_size > static_cast<uint64_t>(end - p) - unshared) {
      return std::nullopt;
    }
    key.resize(shared);
    key.append(p, unshared);
    p += unshared;
    const char* value = p;
    p += value_size;
    if (key == "rocksdb.properties" || key == "rocksdb.stats") {  // the name, and its old one
      uint64_t offset, size;
      if (!varint(&value, p, &offset) || !varint(&value, p, &size)) return std::nullopt;
      return std::make_pair(offset, size);
    }
  }
  return std::nullopt;
}

// Refuses the table file at `path` when its properties block claims a hash
// index; Database with RocksDB's kind of text.
Status check_properties_block(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return OkStatus();  // RocksDB reports what it cannot open
  platform::File file(fd);
  auto length = platform::file_length(file);
  if (!length.ok() || *length < kFooterBytes) return OkStatus();
  const std::string footer = read(fd, *length - kFooterBytes, kFooterBytes);
  if (footer.empty()) return OkStatus();
  uint64_t magic;
  std::memcpy(&magic, footer.data() + kFooterBytes - 8, sizeof magic);
  const uint32_t version = fixed32(footer.data() + kVersionOffset);
  const char* p = footer.data() + 1;
  uint64_t meta_offset, meta_size;
  if (magic != kMagic || version < 1 || version > 5 ||
      !varint(&p, footer.data() + kVersionOffset, &meta_offset) ||
      !varint(&p, footer.data() + kVersionOffset, &meta_size) || meta_size > kMaxMetaindexBytes ||
      meta_offset > *length || meta_size > *length - meta_offset) {
    return OkStatus();
  }
  const auto handle = properties_handle(read(fd, meta_offset, meta_size));
  if (!handle || handle->second < 4 || handle->first > *length ||
      handle->second > *length - handle->first) {
    return OkStatus();
  }
  const std::string last = read(fd, handle->first + handle->second - 4, 4);
  if (last.empty() || !(fixed32(last.data()) & kHashIndexFlag)) return OkStatus();
  return from_database_error("Corruption: the properties block of " + path +
                             " claims a hash index (a damaged block)");
}
}  // namespace table_file

// check_properties_block for every table file in the store's directory.
Status check_table_files(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".sst") {
      TS_RETURN_IF_ERROR(table_file::check_properties_block(it->path().string()));
    }
  }
  return OkStatus();
}

// table, a zero byte, key: into *out.
void stored_key(std::string_view table, std::string_view key, std::string* out) {
  assert(table.find('\0') == std::string_view::npos && table.find('\1') == std::string_view::npos);
  out->assign(table);
  out->push_back('\0');
  out->append(key);
}

}  // namespace

struct Store::Impl {
  std::string text(const rocksdb::Status& s) const { return status_text(s, db_name, path); }

  // Opens the database at db_name into `db`.
  Status open_db() {
    rocksdb::DB* raw = nullptr;
    const rocksdb::Status s = rocksdb::DB::Open(store_options(), db_name, &raw);
    if (!s.ok()) return from_database_error(text(s));
    db.reset(raw);
    return OkStatus();
  }

  // Closes the database (when open) and opens it again. On failure the
  // store stays closed, with the reason in closed_text.
  // REQUIRES: gate_mu held through `lock`, no reader, no reopen running,
  // and no write running (the caller holds the writer slot, or the store
  // is closed).
  Status reopen(std::unique_lock<std::mutex>& lock) {
    reopening = true;
    lock.unlock();
    db.reset();
    Status opened = open_db();
    lock.lock();
    reopening = false;
    gate_cv.notify_all();
    if (!opened.ok()) {
      closed_text = opened.error().text();
      return opened;
    }
    write_failed = false;
    return OkStatus();
  }

  // Counts a new reader, first reopening a closed store. Failure ->
  // Transaction.
  Status enter_reader() {
    std::unique_lock lock(gate_mu);
    gate_cv.wait(lock, [this] { return !reopening; });
    if (!db) {
      Status opened = reopen(lock);  // no reader exists while closed
      if (!opened.ok()) return from_transaction_error(opened.error().text());
    }
    ++readers;
    return OkStatus();
  }
  // A reader that exists already counts another (a cursor of it).
  void add_reader() {
    std::lock_guard lock(gate_mu);
    ++readers;
  }
  void leave_reader() {
    std::lock_guard lock(gate_mu);
    if (--readers == 0) gate_cv.notify_all();
  }

  // Makes the database fit to write after a failed write (see "Full
  // disk"). Failure -> Transaction. REQUIRES: the caller holds the writer
  // slot.
  Status ready_to_write() {
    std::unique_lock lock(gate_mu);
    gate_cv.wait(lock, [this] { return !reopening; });  // a reader's reopen of a closed store
    if (!write_failed && db) return OkStatus();
    auto failed = [this](const std::string& why) {
      return from_commit_error(db ? failed_text + why : closed_text);
    };
    if (db) {
      auto room = platform::free_space(path);
      if (!room.ok() || *room < kReopenFreeBytes) return failed("");
    }
    if (!gate_cv.wait_for(lock, kReopenWait, [this] { return readers == 0 && !reopening; })) {
      return failed(" (writes resume once no read transaction is open)");
    }
    Status reopened = reopen(lock);
    if (!reopened.ok()) return from_commit_error(reopened.error().text());
    return OkStatus();
  }

  void note_write_failure(std::string text) {
    std::lock_guard lock(gate_mu);
    write_failed = true;
    failed_text = std::move(text);
  }

  // Waits for the writer slot.
  void acquire_writer() {
    std::unique_lock lock(writer_mu);
    writer_cv.wait(lock, [this] { return !writing; });
    writing = true;
  }
  void release_writer() {
    {
      std::lock_guard lock(writer_mu);
      writing = false;
    }
    writer_cv.notify_one();
  }

  // Members are destroyed bottom-up: the database closes before the
  // directory's descriptor, and the lock goes last.
  StoreLock lock;
  platform::File dir;  // the store's directory; db_name names it
  std::string path;
  std::string db_name;  // the name RocksDB knows the directory by

  // Readers and reopens. State below is protected by gate_mu.
  std::mutex gate_mu;
  std::condition_variable gate_cv;  // readers dropped to 0, or a reopen ended
  uint64_t readers = 0;    // open ReadTxns and Cursors
  bool reopening = false;  // db is being replaced: no reader begins
  bool write_failed = false;  // the next commit reopens db first
  std::string failed_text;    // the failed write's text
  std::string closed_text;    // why db is null
  // Null only after a failed reopen. Replaced only by reopen (readers == 0,
  // new ones held back); readers and the writer-slot holder use it without
  // gate_mu once they counted themselves or checked ready_to_write.
  std::unique_ptr<rocksdb::DB> db;

  // The writer slot. State below is protected by writer_mu.
  std::mutex writer_mu;
  std::condition_variable writer_cv;  // signalled when the slot frees
  bool writing = false;
};

// ---- Store ----

Result<Store> Store::open(const std::string& path, StoreOptions /*options: nothing per store*/) {
  if (Status made = platform::create_dir_all(path); !made.ok()) {
    return from_database_error(made.error().text());
  }
  TS_ASSIGN_OR_RETURN(StoreLock lock,
                      StoreLock::acquire((std::filesystem::path(path) / StoreLock::kLockFileName).string()));
  auto dir = platform::open_directory(path);
  if (!dir.ok()) return from_database_error(dir.error().text());
  TS_RETURN_IF_ERROR(check_current_file(path));
  TS_RETURN_IF_ERROR(check_table_files(path));
  auto impl = std::make_unique<Impl>();
  impl->db_name = platform::descriptor_path(*dir).value_or(path);
  impl->path = path;
  TS_RETURN_IF_ERROR(impl->open_db());
  impl->lock = std::move(lock);
  impl->dir = std::move(*dir);
  return Store(std::move(impl));
}

Result<bool> Store::locked_by_another_process(const std::string& path) {
  if (!platform::dir_exists(path)) return false;
  return StoreLock::held_by_another_process(
      (std::filesystem::path(path) / StoreLock::kLockFileName).string());
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() = default;

size_t Store::max_key_bytes() const { return kMaxKeyBytes; }
const std::string& Store::path() const { return impl_->path; }

// ---- Cursor ----

// A cursor counts as a reader of the store until its iterator is gone.
struct Cursor::Rep {
  explicit Rep(Store::Impl* i) : impl(i) { impl->add_reader(); }
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() {
    it.reset();
    impl->leave_reader();
  }

  Store::Impl* const impl;
  std::string prefix;  // the table's name and a zero byte
  std::string upper;   // the table's name and 0x01: past its last row
  rocksdb::Slice upper_slice;  // iterate_upper_bound points here
  std::unique_ptr<rocksdb::Iterator> it;
  bool started = false;  // whether next() has returned the first row
};

Cursor::Cursor(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;
Cursor::~Cursor() = default;

Result<bool> Cursor::next(std::string_view* key, std::string_view* value) {
  rocksdb::Iterator& it = *rep_->it;
  if (rep_->started) it.Next();
  rep_->started = true;
  if (!it.Valid()) {
    if (!it.status().ok()) return from_storage_error(rep_->impl->text(it.status()));
    return false;
  }
  const rocksdb::Slice k = it.key();
  const rocksdb::Slice v = it.value();
  *key = std::string_view(k.data() + rep_->prefix.size(), k.size() - rep_->prefix.size());
  *value = std::string_view(v.data(), v.size());
  return true;
}

// ---- ReadTxn ----

// REQUIRES: constructed by a counted reader (enter_reader), whom it
// releases.
struct ReadTxn::Rep {
  Rep(Store::Impl* i, const rocksdb::Snapshot* s) : impl(i), snapshot(s) {
    options.snapshot = snapshot;
    options.verify_checksums = true;
  }
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() {
    value.Reset();
    impl->db->ReleaseSnapshot(snapshot);
    impl->leave_reader();
  }

  Store::Impl* const impl;
  const rocksdb::Snapshot* const snapshot;
  rocksdb::ReadOptions options;  // at the snapshot
  rocksdb::PinnableSlice value;  // the last get's value
  std::string key;               // scratch for stored keys
};

Result<ReadTxn> Store::begin_read() const {
  TS_RETURN_IF_ERROR(impl_->enter_reader());
  const rocksdb::Snapshot* snapshot = impl_->db->GetSnapshot();
  if (snapshot == nullptr) {
    impl_->leave_reader();
    return from_transaction_error("the store could not take a snapshot");
  }
  return ReadTxn(std::make_unique<ReadTxn::Rep>(impl_.get(), snapshot));
}

ReadTxn::ReadTxn(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
ReadTxn::ReadTxn(ReadTxn&&) noexcept = default;
ReadTxn& ReadTxn::operator=(ReadTxn&&) noexcept = default;  // ends the one it replaces
ReadTxn::~ReadTxn() = default;

void ReadTxn::end() { rep_.reset(); }

Result<std::optional<std::string_view>> ReadTxn::get(std::string_view table,
                                                     std::string_view key) const {
  using Found = std::optional<std::string_view>;
  assert(rep_);
  if (key.size() > kMaxKeyBytes) return Found{};  // could never have been stored
  rocksdb::DB& db = *rep_->impl->db;
  stored_key(table, key, &rep_->key);
  rep_->value.Reset();
  const rocksdb::Status s = db.Get(rep_->options, db.DefaultColumnFamily(), rep_->key, &rep_->value);
  if (s.IsNotFound()) return Found{};
  if (!s.ok()) return from_storage_error(rep_->impl->text(s));
  return Found{std::string_view(rep_->value.data(), rep_->value.size())};
}

Status ReadTxn::get_each(std::string_view table, std::span<const std::string_view> keys,
                         const Visit& visit) const {
  assert(rep_);
  rocksdb::DB& db = *rep_->impl->db;
  rep_->value.Reset();
  const size_t chunk = std::min(keys.size(), kLookupChunk);
  std::vector<std::string> stored(chunk);
  std::vector<rocksdb::Slice> slices(chunk);
  std::vector<rocksdb::Status> statuses(chunk);
  std::unique_ptr<rocksdb::PinnableSlice[]> values(new rocksdb::PinnableSlice[chunk]);
  for (size_t begin = 0; begin < keys.size(); begin += chunk) {
    const size_t end = std::min(keys.size(), begin + chunk);
    size_t n = 0;  // keys looked up in this chunk, in order
    for (size_t i = begin; i < end; ++i) {
      if (keys[i].size() > kMaxKeyBytes) continue;  // never stored
      stored_key(table, keys[i], &stored[n]);
      slices[n] = stored[n];
      ++n;
    }
    db.MultiGet(rep_->options, db.DefaultColumnFamily(), n, slices.data(), values.get(),
                statuses.data());
    size_t j = 0;
    for (size_t i = begin; i < end; ++i) {
      std::optional<std::string_view> value;
      if (keys[i].size() <= kMaxKeyBytes) {
        const rocksdb::Status& s = statuses[j];
        if (s.ok()) {
          value = std::string_view(values[j].data(), values[j].size());
        } else if (!s.IsNotFound()) {
          return from_storage_error(rep_->impl->text(s));
        }
        ++j;
      }
      TS_RETURN_IF_ERROR(visit(i, value));
    }
    for (size_t k = 0; k < n; ++k) values[k].Reset();
  }
  return OkStatus();
}

Result<std::optional<Cursor>> ReadTxn::cursor(std::string_view table) const {
  assert(rep_);
  auto c = std::make_unique<Cursor::Rep>(rep_->impl);
  stored_key(table, {}, &c->prefix);
  c->upper = c->prefix;
  c->upper.back() = '\1';
  c->upper_slice = c->upper;
  rocksdb::ReadOptions options = rep_->options;
  options.iterate_upper_bound = &c->upper_slice;
  c->it.reset(rep_->impl->db->NewIterator(options));
  c->it->Seek(c->prefix);
  if (!c->it->Valid()) {
    if (!c->it->status().ok()) return from_storage_error(rep_->impl->text(c->it->status()));
    return std::optional<Cursor>{};  // no rows: no table
  }
  return std::optional<Cursor>(Cursor(std::move(c)));
}

// ---- WriteTxn ----

// The writer slot and the batch of a WriteTxn.
struct WriteTxn::Rep {
  explicit Rep(Store::Impl* i) : impl(i) {}
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() { end(); }

  // Drops the batch and gives the writer slot back; later calls no-ops.
  void end() {
    if (!open) return;
    open = false;
    batch.Clear();
    impl->release_writer();
  }

  Store::Impl* const impl;
  rocksdb::WriteBatch batch;
  std::string key;  // scratch for stored keys
  bool open = true;  // holds the writer slot
};

Result<WriteTxn> Store::begin_write() const {
  impl_->acquire_writer();
  return WriteTxn(std::make_unique<WriteTxn::Rep>(impl_.get()));
}

WriteTxn::WriteTxn(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
WriteTxn::WriteTxn(WriteTxn&&) noexcept = default;
WriteTxn& WriteTxn::operator=(WriteTxn&&) noexcept = default;  // aborts the one it replaces
WriteTxn::~WriteTxn() = default;

size_t WriteTxn::max_key_bytes() const { return kMaxKeyBytes; }

void WriteTxn::abort() {
  if (rep_) rep_->end();
}

namespace {
constexpr std::string_view kEnded = "the write transaction has ended";
}  // namespace

Status WriteTxn::put(std::string_view table, std::string_view key, std::string value) {
  if (!rep_->open) return from_transaction_error(kEnded);
  if (key.size() > kMaxKeyBytes) {
    return DbError::InvalidInput("key of " + std::to_string(key.size()) +
                                 " bytes is longer than the store accepts (at most " +
                                 std::to_string(kMaxKeyBytes) + " bytes)");
  }
  stored_key(table, key, &rep_->key);
  const rocksdb::Status s = rep_->batch.Put(rep_->key, value);
  if (!s.ok()) return from_storage_error(rep_->impl->text(s));
  return OkStatus();
}

Status WriteTxn::remove(std::string_view table, std::string_view key) {
  if (!rep_->open) return from_transaction_error(kEnded);
  if (key.size() > kMaxKeyBytes) return OkStatus();  // such a key was never stored
  stored_key(table, key, &rep_->key);
  const rocksdb::Status s = rep_->batch.Delete(rep_->key);
  if (!s.ok()) return from_storage_error(rep_->impl->text(s));
  return OkStatus();
}

Status WriteTxn::commit() {
  if (!rep_->open) return from_commit_error(kEnded);
  Store::Impl& impl = *rep_->impl;
  auto write = [&]() -> Status {
    TS_RETURN_IF_ERROR(impl.ready_to_write());
    rocksdb::WriteOptions options;
    options.sync = true;
    const rocksdb::Status s = impl.db->Write(options, &rep_->batch);
    if (s.ok()) return OkStatus();
    impl.note_write_failure(impl.text(s));
    return from_commit_error(impl.text(s));
  };
  Status result;
  if (rep_->batch.Count() > 0) {
    result = write();
    // A failure that was only the database's earlier background error (a
    // flush that found the disk full) passes once the store reopens with
    // room again. Writing the batch twice is harmless: it puts and removes
    // fixed rows.
    if (!result.ok()) {
      if (Status again = write(); again.ok()) result = OkStatus();
    }
  }
  rep_->end();
  return result;
}

}  // namespace tessarin
