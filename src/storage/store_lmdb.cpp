// The LMDB store (built with TESSARIN_STORE=lmdb): one LMDB environment on
// the data file "meta.redb", opened with MDB_NOSUBDIR | MDB_NOTLS, under the
// flock of storage/store_lock.h on that same file.
//
// Map growth: the environment's map starts at max(64 MiB, 2 × file length)
// and doubles whenever a write runs out of map space (MDB_MAP_FULL), so no
// write fails for lack of map space before the disk is full. LMDB can only
// change the map size while no transaction of this process is open, so every
// open transaction holds a ticket of the store's transaction gate; a write
// that hits MDB_MAP_FULL aborts its LMDB transaction, gives back its own
// ticket, waits until no ticket is out, doubles the map, begins a new LMDB
// transaction and replays every put and remove of the WriteTxn so far (the
// WriteTxn keeps a log of them; write transactions never read, so the replay
// is equivalent). All of this is invisible to the caller. Consequences:
//   - A thread must hold no ReadTxn of the same store while it puts, removes
//     or commits in a WriteTxn: a growth would wait for its own reader, so
//     it is refused instead (DbError::Transaction, the write is not done).
//     Tickets are counted against the thread that began the transaction; a
//     ReadTxn handed to another thread still counts against its first one.
//   - While a growth waits for the open transactions to end, a transaction
//     begun by a thread without one pauses briefly (10 ms at most) to let
//     them drain, then begins anyway (it may hold a lock a reader waits
//     for); a thread that already holds a transaction begins at once. So no
//     begin deadlocks on a growth, and a growth is delayed only by
//     transactions that stay open.
//   - A write transaction keeps a copy of everything it wrote until it ends.
//
// Damage: LMDB trusts its pages. Open refuses the damage LMDB would crash
// on at once (check_file_covers_pages): a data file shorter than the pages
// its metadata names (a SIGBUS on the first page past the end) and a page
// size LMDB never writes. Other damage (a flipped bit, a zeroed or
// overwritten page) can still crash the process inside LMDB; store_fuzz
// (tools/) counts how.
//
// Table handles (LMDB "DBIs") are cached per store. mdb_dbi_open is called
// only at open (one read transaction exporting the tables already in the
// file) and inside write transactions (one at a time); a handle opened by a
// write transaction enters the cache only after that transaction commits,
// since an abort invalidates it. Read transactions only look handles up; one
// that misses a table while such a commit is publishing its handles waits
// for it, so a transaction begun after a commit always finds the tables that
// commit created.
#include "storage/store.h"

#include <lmdb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "storage/store_lock.h"

namespace tessarin {

namespace {

// Every stored key is the caller's key behind this byte (LMDB refuses empty
// keys; a constant prefix keeps the byte order).
constexpr char kKeyPrefix = 'k';

constexpr uint64_t kDefaultMinMapSize = uint64_t{64} << 20;
// Growth stops here (64 TiB); a write needing more fails with MDB_MAP_FULL.
constexpr uint64_t kMaxMapSize = uint64_t{1} << 46;
constexpr unsigned kMaxTables = 8;
constexpr unsigned kMaxReaders = 512;

std::string mdb_text(int rc) { return mdb_strerror(rc); }

// Free space below which a write's EIO is taken for a full disk.
constexpr uint64_t kFullDiskBytes = uint64_t{1} << 20;

uint64_t round_up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

// The caller's key behind the prefix byte, on the stack for the key sizes
// LMDB accepts.
class StoredKey {
 public:
  explicit StoredKey(std::string_view key) : size_(key.size() + 1) {
    char* p = buf_;
    if (size_ > sizeof buf_) {
      heap_.resize(size_);
      p = heap_.data();
    }
    p[0] = kKeyPrefix;
    std::memcpy(p + 1, key.data(), key.size());
    val_.mv_size = size_;
    val_.mv_data = p;
  }
  MDB_val* val() { return &val_; }

 private:
  char buf_[512];
  std::string heap_;
  size_t size_;
  MDB_val val_;
};

std::string_view view(const MDB_val& v) {
  return std::string_view(static_cast<const char*>(v.mv_data), v.mv_size);
}

// The bytes of the data file a transaction may hand out: LMDB's mapping of
// the file up to the last page of the newest committed state. LMDB follows
// page numbers and node offsets as stored, so on a damaged page it returns
// keys and values that point past the file (SIGBUS on first touch) or past
// the mapping (SIGSEGV). Every key and value a read returns is checked
// against these bounds first; one outside them is a damaged store. LMDB
// does not tell where it mapped the file, so the mapping is looked up in the
// process's list of mappings after each open and map growth
// (platform::find_file_mapping); where that list is missing nothing is
// refused.
struct FileBounds {
  const char* begin = nullptr;
  const char* end = reinterpret_cast<const char*>(UINTPTR_MAX);

  // `map` is LMDB's mapping, when found. REQUIRES: no map growth runs (the
  // caller holds a gate ticket or has the environment to itself).
  static FileBounds of(MDB_env* env, const std::optional<platform::AddressRange>& map) {
    if (!map) return {};
    MDB_envinfo info;
    mdb_env_info(env, &info);
    MDB_stat stat;
    mdb_env_stat(env, &stat);
    const uint64_t mapped = static_cast<uint64_t>(map->end - map->begin);
    const uint64_t used = (uint64_t{info.me_last_pgno} + 1) * stat.ms_psize;
    return {map->begin, map->begin + std::min(used, mapped)};
  }
  bool holds(const MDB_val& v) const {
    const char* p = static_cast<const char*>(v.mv_data);
    return p >= begin && p <= end && v.mv_size <= static_cast<size_t>(end - p);
  }
};

DbError outside_file() {
  return from_storage_error("data file damaged: a stored key or value lies outside the file");
}

// Admits transactions and, with none open, runs a map resize.
//
// Each ticket is counted against the thread that took it. A thread that
// already holds one (a read inside its own write) enters at once. Another
// newcomer only pauses (at most kPendingGrace) while a resize waits, which
// lets the open transactions drain, then enters anyway: it might hold a
// lock that a ticket holder waits for. Only a running resize (which starts
// when no ticket is out, and needs nothing) holds entries back for good.
// A resize asked for by a thread that holds a ticket would wait for itself
// and is refused instead.
class TxnGate {
 public:
  using Ticket = std::thread::id;

  Ticket enter() {
    const Ticket self = std::this_thread::get_id();
    std::unique_lock lock(mu_);
    if (pending_ > 0 && held_by(self) == 0) {
      cv_.wait_for(lock, kPendingGrace, [this] { return pending_ == 0; });
    }
    cv_.wait(lock, [this] { return !resizing_; });
    ++active_;
    for (auto& [thread, n] : holders_) {
      if (thread == self) {
        ++n;
        return self;
      }
    }
    holders_.emplace_back(self, 1);
    return self;
  }

  void leave(Ticket ticket) {
    std::lock_guard lock(mu_);
    assert(active_ > 0);
    for (size_t i = 0; i < holders_.size(); ++i) {
      if (holders_[i].first == ticket) {
        if (--holders_[i].second == 0) {
          holders_[i] = holders_.back();
          holders_.pop_back();
        }
        break;
      }
    }
    if (--active_ == 0) cv_.notify_all();
  }

  // Runs f() while no transaction of this process is open. False (f not
  // run) when the calling thread itself holds a ticket.
  template <typename F>
  bool exclusive(F&& f) {
    std::unique_lock lock(mu_);
    if (held_by(std::this_thread::get_id()) > 0) return false;
    ++pending_;
    cv_.wait(lock, [this] { return active_ == 0 && !resizing_; });
    --pending_;
    resizing_ = true;
    lock.unlock();
    f();
    lock.lock();
    resizing_ = false;
    cv_.notify_all();
    return true;
  }

 private:
  static constexpr std::chrono::milliseconds kPendingGrace{10};

  uint32_t held_by(Ticket thread) const {
    for (const auto& [t, n] : holders_) {
      if (t == thread) return n;
    }
    return 0;
  }

  // State below is protected by mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t active_ = 0;    // tickets out
  uint64_t pending_ = 0;   // resizes waiting for active_ == 0
  bool resizing_ = false;  // a resize runs (then active_ == 0)
  std::vector<std::pair<Ticket, uint32_t>> holders_;  // tickets out per thread
};

struct EnvCloser {
  void operator()(MDB_env* env) const { mdb_env_close(env); }
};
using EnvHandle = std::unique_ptr<MDB_env, EnvCloser>;

}  // namespace

struct Store::Impl {
  // Declared before the env so it is destroyed after it: the flock outlives
  // the env.
  StoreLock lock;
  EnvHandle env;
  std::string path;
  size_t max_key = 0;                 // callers' keys, without the prefix
  std::atomic<uint64_t> map_size{0};  // changed only inside gate.exclusive
  // Set when a resize left the environment without a mapping; every later
  // begin fails rather than touch it.
  std::atomic<bool> broken{false};
  TxnGate gate;
  // The data file, and LMDB's mapping of it: changed only at open and
  // inside gate.exclusive, read under a gate ticket.
  std::optional<platform::FileId> file;
  std::optional<platform::AddressRange> mapping;
  // LMDB's "<path>-lock", as found just after LMDB opened it; none when it
  // could not be looked up.
  std::optional<platform::FileId> lock_file;

  void find_mapping() { mapping = file ? platform::find_file_mapping(*file) : std::nullopt; }

  // Table handles valid for every transaction begun after they entered.
  // State below is protected by dbi_mu.
  std::mutex dbi_mu;
  std::condition_variable dbi_cv;  // signalled when `publishing` drops
  std::vector<std::pair<std::string, MDB_dbi>> dbis;
  // Commits of transactions that opened tables, from just before
  // mdb_txn_commit until their handles are published. A transaction begun
  // in that window sees the new tables in the file but not yet in `dbis`;
  // a reader that misses a table waits for the window to close. It never
  // spans a map growth (which waits for every open transaction).
  uint32_t publishing = 0;

  std::optional<MDB_dbi> find_dbi(std::string_view name) const {
    for (const auto& [n, dbi] : dbis) {
      if (n == name) return dbi;
    }
    return std::nullopt;
  }
  std::optional<MDB_dbi> cached_dbi(std::string_view name) {
    std::lock_guard lock(dbi_mu);
    return find_dbi(name);
  }
  // cached_dbi, but a miss first waits for the commits that are publishing.
  std::optional<MDB_dbi> published_dbi(std::string_view name) {
    std::unique_lock lock(dbi_mu);
    if (auto dbi = find_dbi(name)) return dbi;
    if (publishing == 0) return std::nullopt;
    dbi_cv.wait(lock, [this] { return publishing == 0; });
    return find_dbi(name);
  }
  void publish_dbi(std::string_view name, MDB_dbi dbi) {
    std::lock_guard lock(dbi_mu);
    if (!find_dbi(name)) dbis.emplace_back(std::string(name), dbi);
  }
  void begin_publishing() {
    std::lock_guard lock(dbi_mu);
    ++publishing;
  }
  void end_publishing() {
    std::lock_guard lock(dbi_mu);
    if (--publishing == 0) dbi_cv.notify_all();
  }

  // Doubles the map unless another writer already grew it past `observed`.
  // Refused (Transaction) while the calling thread holds a gate ticket.
  Status grow(uint64_t observed) {
    Status status;
    const bool ran = gate.exclusive([&] {
      const uint64_t current = map_size.load();
      if (current > observed) return;
      if (current >= kMaxMapSize) {
        status = from_storage_error(mdb_text(MDB_MAP_FULL));
        return;
      }
      const uint64_t next = std::min(current * 2, kMaxMapSize);
      // LMDB unmaps before it maps the new size and cannot undo a failed
      // map, so make sure the address space is there first.
      void* probe = mmap(nullptr, next, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (probe == MAP_FAILED) {
        status = from_storage_error(mdb_text(errno));
        return;
      }
      munmap(probe, next);
      const int rc = mdb_env_set_mapsize(env.get(), next);
      if (rc != 0) {
        broken = true;
        status = from_storage_error(mdb_text(rc));
        return;
      }
      MDB_envinfo info;
      mdb_env_info(env.get(), &info);
      map_size = info.me_mapsize;
      find_mapping();
    });
    if (!ran) {
      return from_transaction_error(
          "the map must grow, but this thread still holds a read transaction of the store");
    }
    return status;
  }

  // The cause of a failed write of pages to the data file. LMDB reports a
  // short write (what a full disk gives while part of the pages still fit)
  // as EIO, losing the system's ENOSPC; a file system left with less than
  // kFullDiskBytes is taken to be that case.
  int write_failure_cause(int rc) const {
    if (rc != EIO) return rc;
    Result<uint64_t> room = platform::free_space(path);
    return room.ok() && *room < kFullDiskBytes ? ENOSPC : rc;
  }

  Status check_usable() const {
    if (broken) return from_transaction_error("the store lost its memory map while growing it");
    return OkStatus();
  }

  // Enters the gate and begins an LMDB transaction with `flags`. On failure
  // the ticket is given back and *txn is null.
  Status begin_txn(unsigned flags, MDB_txn** txn, TxnGate::Ticket* ticket) {
    *txn = nullptr;
    TS_RETURN_IF_ERROR(check_usable());
    *ticket = gate.enter();
    const int rc = mdb_txn_begin(env.get(), nullptr, flags, txn);
    if (rc != 0) {
      *txn = nullptr;
      gate.leave(*ticket);
      return from_transaction_error(mdb_text(rc));
    }
    return OkStatus();
  }
};


// ---- Store ----

namespace {

// Opens, in one read transaction, every table already in the file and
// commits it, which makes the handles valid for all later transactions.
Result<std::vector<std::pair<std::string, MDB_dbi>>> export_existing_tables(
    MDB_env* env, const std::optional<platform::AddressRange>& mapping) {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return from_database_error(mdb_text(rc));
  std::vector<std::pair<std::string, MDB_dbi>> out;
  MDB_dbi main_dbi;
  MDB_cursor* cursor = nullptr;
  rc = mdb_dbi_open(txn, nullptr, 0, &main_dbi);
  if (rc == 0) rc = mdb_cursor_open(txn, main_dbi, &cursor);
  if (rc == 0) {
    const FileBounds bounds = FileBounds::of(env, mapping);
    MDB_val k, v;
    MDB_cursor_op op = MDB_FIRST;
    while ((rc = mdb_cursor_get(cursor, &k, &v, op)) == 0) {
      op = MDB_NEXT;
      if (!bounds.holds(k)) {
        mdb_cursor_close(cursor);
        mdb_txn_abort(txn);
        return outside_file();
      }
      std::string name(view(k));
      MDB_dbi dbi;
      rc = mdb_dbi_open(txn, name.c_str(), 0, &dbi);
      if (rc != 0) break;
      out.emplace_back(std::move(name), dbi);
    }
    if (rc == MDB_NOTFOUND) rc = 0;
    mdb_cursor_close(cursor);
  }
  if (rc != 0) {
    mdb_txn_abort(txn);
    return from_database_error(mdb_text(rc));
  }
  rc = mdb_txn_commit(txn);
  if (rc != 0) return from_database_error(mdb_text(rc));
  return out;
}

// LMDB's meta pages, pages 0 and 1 of the data file, as its file format
// lays them out on a 64-bit machine: a 16-byte page header (page number,
// padding, then the flags, which hold P_META), then the meta: magic,
// format version, map address, map size, two 48-byte database records (the
// first one's leading 4 bytes hold the page size), the last page number in
// use and the transaction id. LMDB reads page 1 at the offset of page 0's
// page size, takes a meta page with the flag, the magic and the version as
// valid, uses the one with the higher transaction id and trusts its page
// size and last page.
namespace lmdb_meta {
static_assert(sizeof(size_t) == 8 && sizeof(void*) == 8, "offsets below are for 64-bit LMDB");
constexpr size_t kFlagsOffset = 10;       // uint16_t
constexpr uint16_t kMetaPageFlag = 0x08;  // P_META
constexpr size_t kMagicOffset = 16;       // uint32_t
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr size_t kVersionOffset = 20;  // uint32_t
constexpr uint32_t kVersion = 1;
constexpr size_t kPageSizeOffset = 40;  // uint32_t
constexpr size_t kLastPageOffset = 136;  // uint64_t
constexpr size_t kTxnIdOffset = 144;     // uint64_t
constexpr size_t kBytes = 152;
// LMDB writes the system's page size, a power of two, at most 64 KiB.
constexpr uint64_t kMinPageSize = 512;
constexpr uint64_t kMaxPageSize = uint64_t{1} << 16;

struct Meta {
  uint64_t page_size = 0;
  uint64_t last_page = 0;
  uint64_t txn_id = 0;
};

template <typename T>
T field(const unsigned char* page, size_t offset) {
  T v;
  std::memcpy(&v, page + offset, sizeof v);
  return v;
}

// The meta page at `offset`, when it reads in full and LMDB takes it as
// valid.
std::optional<Meta> read(int fd, uint64_t offset) {
  unsigned char page[kBytes];
  size_t got = 0;
  while (got < kBytes) {
    const ssize_t n = ::pread(fd, page + got, kBytes - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  if (!(field<uint16_t>(page, kFlagsOffset) & kMetaPageFlag) ||
      field<uint32_t>(page, kMagicOffset) != kMagic ||
      field<uint32_t>(page, kVersionOffset) != kVersion) {
    return std::nullopt;
  }
  return Meta{field<uint32_t>(page, kPageSizeOffset), field<uint64_t>(page, kLastPageOffset),
              field<uint64_t>(page, kTxnIdOffset)};
}
}  // namespace lmdb_meta

// Refuses a data file of `length` bytes whose meta page in use (the one
// LMDB will read from) names pages the file does not hold: LMDB maps the
// file and would fault with SIGBUS on the first page past its end. A page
// size LMDB never writes is refused too (LMDB would divide by it). An empty
// file (a new store) and a file without a valid first meta page are left to
// LMDB, which creates the one and refuses the other.
Status check_file_covers_pages(const platform::File& file, uint64_t length) {
  using lmdb_meta::Meta;
  if (length == 0) return OkStatus();
  const std::optional<Meta> first = lmdb_meta::read(file.fd(), 0);
  if (!first) return OkStatus();
  const std::optional<Meta> second = lmdb_meta::read(file.fd(), first->page_size);
  const Meta& meta = second && second->txn_id > first->txn_id ? *second : *first;
  const uint64_t page = meta.page_size;
  if (page < lmdb_meta::kMinPageSize || page > lmdb_meta::kMaxPageSize || (page & (page - 1)) != 0) {
    return from_database_error("data file damaged: its metadata names a page size of " +
                               std::to_string(page) + " bytes");
  }
  if (meta.last_page < length / page) return OkStatus();
  const uint64_t needed = (meta.last_page + 1) * page;  // may wrap: shown, not used
  return from_database_error("data file truncated: its metadata names " +
                             std::to_string(meta.last_page + 1) + " pages of " +
                             std::to_string(page) + " bytes (" + std::to_string(needed) +
                             " bytes), but the file holds " + std::to_string(length) + " bytes");
}

}  // namespace

Result<Store> Store::open(const std::string& path, StoreOptions options) {
  TS_ASSIGN_OR_RETURN(StoreLock lock, StoreLock::acquire(path));
  auto length = platform::file_length(lock.file());
  if (!length.ok()) return from_database_error(length.error().text());
  TS_RETURN_IF_ERROR(check_file_covers_pages(lock.file(), *length));

  const uint64_t page = 4096;
  const uint64_t map_size =
      options.initial_map_size != 0
          ? round_up(options.initial_map_size, page)
          : std::max(kDefaultMinMapSize, round_up(*length * 2, uint64_t{1} << 20));

  MDB_env* raw = nullptr;
  int rc = mdb_env_create(&raw);
  if (rc != 0) return from_database_error(mdb_text(rc));
  EnvHandle env(raw);
  rc = mdb_env_set_maxdbs(env.get(), kMaxTables);
  if (rc == 0) rc = mdb_env_set_maxreaders(env.get(), kMaxReaders);
  if (rc == 0) rc = mdb_env_set_mapsize(env.get(), map_size);
  if (rc == 0) rc = mdb_env_open(env.get(), path.c_str(), MDB_NOSUBDIR | MDB_NOTLS, 0666);
  if (rc != 0) return from_database_error(mdb_text(rc));
  // A new file's directory entry, which LMDB's commits never sync: without
  // it a power cut can take the whole store, committed data included.
  if (*length == 0) TS_RETURN_IF_ERROR(platform::sync_parent_dir(path));
  std::optional<platform::FileId> lock_file;
  if (auto found = platform::file_id(path + "-lock"); found.ok()) lock_file = *found;
  // Frees reader slots left behind by processes that died in a read.
  int dead = 0;
  mdb_reader_check(env.get(), &dead);

  // Found by the file's identity: the path may be a link.
  auto id = platform::file_id(lock.file());
  std::optional<platform::FileId> file;
  if (id.ok()) file = *id;
  std::optional<platform::AddressRange> mapping;
  if (file) mapping = platform::find_file_mapping(*file);
  TS_ASSIGN_OR_RETURN(auto tables, export_existing_tables(env.get(), mapping));
  MDB_envinfo info;
  mdb_env_info(env.get(), &info);

  auto impl = std::make_unique<Impl>();
  impl->file = file;
  impl->mapping = mapping;
  impl->lock_file = lock_file;
  impl->lock = std::move(lock);
  impl->env = std::move(env);
  impl->path = path;
  impl->max_key = static_cast<size_t>(mdb_env_get_maxkeysize(impl->env.get())) - 1;
  impl->map_size = info.me_mapsize;
  impl->dbis = std::move(tables);
  return Store(std::move(impl));
}

Result<bool> Store::locked_by_another_process(const std::string& path) {
  return StoreLock::held_by_another_process(path);
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() = default;

size_t Store::max_key_bytes() const { return impl_->max_key; }
uint64_t Store::map_size() const { return impl_->map_size.load(); }

bool Store::commits_wait_for_disk() const {
  unsigned flags = 0;
  if (mdb_env_get_flags(impl_->env.get(), &flags) != 0) return false;
  return (flags & (MDB_NOSYNC | MDB_NOMETASYNC | MDB_MAPASYNC)) == 0;
}
const std::string& Store::path() const { return impl_->path; }

Status Store::sync_file() const { return platform::full_sync(impl_->lock.file()); }

Result<std::vector<platform::FileId>> Store::open_file_ids() const {
  TS_ASSIGN_OR_RETURN(const platform::FileId data, platform::file_id(impl_->lock.file()));
  std::vector<platform::FileId> ids{data};
  if (impl_->lock_file) ids.push_back(*impl_->lock_file);
  return ids;
}

// ---- Cursor ----

struct Cursor::Rep {
  Rep(MDB_cursor* c, FileBounds b) : cursor(c), bounds(b) {}
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  // A read-only transaction's cursor may be closed after the transaction.
  ~Rep() { mdb_cursor_close(cursor); }

  MDB_cursor* const cursor;
  const FileBounds bounds;  // of the transaction's snapshot
  bool started = false;
};

Cursor::Cursor(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;
Cursor::~Cursor() = default;

Result<bool> Cursor::next(std::string_view* key, std::string_view* value) {
  MDB_val k, v;
  const int rc = mdb_cursor_get(rep_->cursor, &k, &v, rep_->started ? MDB_NEXT : MDB_FIRST);
  rep_->started = true;
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return from_storage_error(mdb_text(rc));
  if (!rep_->bounds.holds(k) || !rep_->bounds.holds(v)) return outside_file();
  std::string_view stored = view(k);
  if (!stored.empty()) stored.remove_prefix(1);
  *key = stored;
  *value = view(v);
  return true;
}

// ---- ReadTxn ----

struct ReadTxn::Rep {
  Rep(Store::Impl* i, MDB_txn* t, TxnGate::Ticket k)
      : impl(i), txn(t), ticket(k), bounds(FileBounds::of(i->env.get(), i->mapping)) {}
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() {
    mdb_txn_abort(txn);
    impl->gate.leave(ticket);
  }

  Store::Impl* const impl;
  MDB_txn* const txn;
  const TxnGate::Ticket ticket;  // the thread its gate ticket is counted against
  // Taken after the snapshot began: the newest state's last page is at or
  // beyond the snapshot's.
  const FileBounds bounds;
};

Result<ReadTxn> Store::begin_read() const {
  MDB_txn* txn;
  TxnGate::Ticket ticket;
  TS_RETURN_IF_ERROR(impl_->begin_txn(MDB_RDONLY, &txn, &ticket));
  return ReadTxn(std::make_unique<ReadTxn::Rep>(impl_.get(), txn, ticket));
}

ReadTxn::ReadTxn(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
ReadTxn::ReadTxn(ReadTxn&&) noexcept = default;
ReadTxn& ReadTxn::operator=(ReadTxn&&) noexcept = default;  // ends the one it replaces
ReadTxn::~ReadTxn() = default;

void ReadTxn::end() { rep_.reset(); }

namespace {

// The handle of `table` when it exists in this read transaction's snapshot.
// A cached handle that this transaction cannot use belongs to a table
// created after the transaction began: absent here.
std::optional<MDB_dbi> read_side_dbi(Store::Impl* impl, MDB_txn* txn, std::string_view table) {
  auto dbi = impl->published_dbi(table);
  if (!dbi) return std::nullopt;
  unsigned flags = 0;
  if (mdb_dbi_flags(txn, *dbi, &flags) != 0) return std::nullopt;
  return dbi;
}

// The value of `key` in the table `dbi`, when stored.
Result<std::optional<std::string_view>> get_in(const ReadTxn::Rep& rep, MDB_dbi dbi,
                                              std::string_view key) {
  using Found = std::optional<std::string_view>;
  StoredKey k(key);
  MDB_val v;
  const int rc = mdb_get(rep.txn, dbi, k.val(), &v);
  if (rc == MDB_NOTFOUND) return Found{};
  if (rc != 0) return from_storage_error(mdb_text(rc));
  if (!rep.bounds.holds(v)) return outside_file();
  return Found{view(v)};
}

}  // namespace

Result<std::optional<std::string_view>> ReadTxn::get(std::string_view table,
                                                     std::string_view key) const {
  using Found = std::optional<std::string_view>;
  assert(rep_);
  auto dbi = read_side_dbi(rep_->impl, rep_->txn, table);
  if (!dbi) return Found{};
  if (key.size() > rep_->impl->max_key) return Found{};  // could never have been stored
  return get_in(*rep_, *dbi, key);
}

Status ReadTxn::get_each(std::string_view table, std::span<const std::string_view> keys,
                         const Visit& visit) const {
  assert(rep_);
  auto dbi = read_side_dbi(rep_->impl, rep_->txn, table);
  for (size_t i = 0; i < keys.size(); ++i) {
    std::optional<std::string_view> value;
    if (dbi && keys[i].size() <= rep_->impl->max_key) {
      TS_ASSIGN_OR_RETURN(value, get_in(*rep_, *dbi, keys[i]));
    }
    TS_RETURN_IF_ERROR(visit(i, value));
  }
  return OkStatus();
}

Result<std::optional<Cursor>> ReadTxn::cursor(std::string_view table) const {
  assert(rep_);
  auto dbi = read_side_dbi(rep_->impl, rep_->txn, table);
  if (!dbi) return std::optional<Cursor>{};
  MDB_cursor* c = nullptr;
  const int rc = mdb_cursor_open(rep_->txn, *dbi, &c);
  if (rc != 0) return from_table_error(mdb_text(rc));
  return std::optional<Cursor>(Cursor(std::make_unique<Cursor::Rep>(c, rep_->bounds)));
}

// ---- WriteTxn ----

// The LMDB transaction of a WriteTxn, with the log of its writes that a map
// growth replays.
struct WriteTxn::Rep {
  Rep(Store::Impl* i, MDB_txn* t, TxnGate::Ticket k)
      : impl(i), txn(t), holds_ticket(true), ticket(k) {}
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;
  ~Rep() { abort(); }

  // One logged write; table is an index into tables. Its key (as stored,
  // with the prefix byte) and then its value are the bytes at `bytes`, in a
  // block of log_blocks.
  struct Op {
    uint32_t table;
    bool is_put;
    uint32_t key_size;
    size_t value_size;
    const char* bytes;
  };
  struct Applied {
    int rc = 0;
    bool at_open = false;  // the failure came from opening the table
  };

  Applied apply(const Op& op);
  int open_for_write(uint32_t table, MDB_dbi* dbi);
  Status log_and_apply(std::string_view table, std::string_view key, bool is_put,
                       std::string_view value);
  // Copies the prefix byte, key and value into the log's blocks; returns
  // where they start.
  char* log_bytes(std::string_view key, std::string_view value);
  Status grow_and_replay();
  uint32_t table_index(std::string_view table);
  void end_lmdb_txn();
  Status commit();
  void abort();

  Store::Impl* const impl;
  MDB_txn* txn = nullptr;      // null once ended (and briefly during a growth)
  bool holds_ticket = false;   // whether this txn holds a gate ticket
  TxnGate::Ticket ticket;      // the thread that ticket is counted against
  std::vector<std::string> tables;  // names used by this txn
  std::vector<Op> log;              // every put and remove, in order
  // The bytes of the logged keys and values, appended in blocks that never
  // move (so Op::bytes stays valid): one allocation per block, not two per
  // write. log_free bytes are unused at log_end in the last block.
  std::vector<std::unique_ptr<char[]>> log_blocks;
  char* log_end = nullptr;
  size_t log_free = 0;
  // Tables this LMDB transaction opened with mdb_dbi_open (index into
  // tables, handle); published to the store's cache on commit.
  std::vector<std::pair<uint32_t, MDB_dbi>> opened;
};

Result<WriteTxn> Store::begin_write() const {
  MDB_txn* txn;
  TxnGate::Ticket ticket;
  TS_RETURN_IF_ERROR(impl_->begin_txn(0, &txn, &ticket));
  return WriteTxn(std::make_unique<WriteTxn::Rep>(impl_.get(), txn, ticket));
}

WriteTxn::WriteTxn(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
WriteTxn::WriteTxn(WriteTxn&&) noexcept = default;
WriteTxn& WriteTxn::operator=(WriteTxn&&) noexcept = default;  // aborts the one it replaces
WriteTxn::~WriteTxn() = default;

size_t WriteTxn::max_key_bytes() const { return rep_->impl->max_key; }

void WriteTxn::abort() {
  if (rep_) rep_->abort();
}

void WriteTxn::Rep::end_lmdb_txn() {
  if (txn) {
    mdb_txn_abort(txn);
    txn = nullptr;
  }
  opened.clear();
  if (holds_ticket) {
    holds_ticket = false;
    impl->gate.leave(ticket);
  }
}

void WriteTxn::Rep::abort() {
  end_lmdb_txn();
  log.clear();
  log_blocks.clear();
  log_end = nullptr;
  log_free = 0;
  tables.clear();
}

uint32_t WriteTxn::Rep::table_index(std::string_view table) {
  for (uint32_t i = 0; i < tables.size(); ++i) {
    if (tables[i] == table) return i;
  }
  tables.emplace_back(table);
  return static_cast<uint32_t>(tables.size() - 1);
}

int WriteTxn::Rep::open_for_write(uint32_t table, MDB_dbi* dbi) {
  for (const auto& [t, d] : opened) {
    if (t == table) {
      *dbi = d;
      return 0;
    }
  }
  // Handles in the cache came from transactions that committed before this
  // one began (only one write transaction runs at a time), so they are
  // valid here.
  if (auto cached = impl->cached_dbi(tables[table])) {
    unsigned flags = 0;
    if (mdb_dbi_flags(txn, *cached, &flags) == 0) {
      *dbi = *cached;
      return 0;
    }
  }
  const int rc = mdb_dbi_open(txn, tables[table].c_str(), MDB_CREATE, dbi);
  if (rc == 0) opened.emplace_back(table, *dbi);
  return rc;
}

WriteTxn::Rep::Applied WriteTxn::Rep::apply(const Op& op) {
  MDB_dbi dbi;
  int rc = open_for_write(op.table, &dbi);
  if (rc != 0) return {rc, true};
  MDB_val k{op.key_size, const_cast<char*>(op.bytes)};
  if (op.is_put) {
    MDB_val v{op.value_size, const_cast<char*>(op.bytes + op.key_size)};
    rc = mdb_put(txn, dbi, &k, &v, 0);
  } else {
    rc = mdb_del(txn, dbi, &k, nullptr);
    if (rc == MDB_NOTFOUND) rc = 0;
  }
  return {rc, false};
}

Status WriteTxn::Rep::grow_and_replay() {
  for (;;) {
    const uint64_t observed = impl->map_size.load();
    end_lmdb_txn();
    TS_RETURN_IF_ERROR(impl->grow(observed));
    TS_RETURN_IF_ERROR(impl->begin_txn(0, &txn, &ticket));
    holds_ticket = true;
    bool full = false;
    for (const Op& op : log) {
      const Applied a = apply(op);
      if (a.rc == MDB_MAP_FULL) {
        full = true;
        break;
      }
      if (a.rc != 0) {
        const int cause = impl->write_failure_cause(a.rc);
        return a.at_open ? from_table_error(mdb_text(cause)) : from_storage_error(mdb_text(cause));
      }
    }
    if (!full) return OkStatus();
  }
}

Status WriteTxn::put(std::string_view table, std::string_view key, std::string value) {
  const size_t max_key = rep_->impl->max_key;
  if (key.size() > max_key) {
    return DbError::InvalidInput("key of " + std::to_string(key.size()) +
                                 " bytes is longer than the store accepts (at most " +
                                 std::to_string(max_key) + " bytes)");
  }
  return rep_->log_and_apply(table, key, true, value);
}

Status WriteTxn::remove(std::string_view table, std::string_view key) {
  if (key.size() > rep_->impl->max_key) return OkStatus();  // such a key was never stored
  return rep_->log_and_apply(table, key, false, {});
}

char* WriteTxn::Rep::log_bytes(std::string_view key, std::string_view value) {
  constexpr size_t kBlockBytes = size_t{1} << 20;
  const size_t n = 1 + key.size() + value.size();
  if (n > log_free) {
    const size_t block = std::max(kBlockBytes, n);
    log_blocks.push_back(std::make_unique_for_overwrite<char[]>(block));
    log_end = log_blocks.back().get();
    log_free = block;
  }
  char* start = log_end;
  start[0] = kKeyPrefix;
  if (!key.empty()) std::memcpy(start + 1, key.data(), key.size());
  if (!value.empty()) std::memcpy(start + 1 + key.size(), value.data(), value.size());
  log_end += n;
  log_free -= n;
  return start;
}

Status WriteTxn::Rep::log_and_apply(std::string_view table, std::string_view key, bool is_put,
                                    std::string_view value) {
  if (!txn) return from_transaction_error(mdb_text(MDB_BAD_TXN));
  const uint32_t index = table_index(table);
  char* bytes = log_bytes(key, value);
  log.push_back(Op{index, is_put, static_cast<uint32_t>(key.size() + 1), value.size(), bytes});
  const Applied a = apply(log.back());
  if (a.rc == MDB_MAP_FULL) return grow_and_replay();
  if (a.rc != 0) {
    // Not logged after all: its bytes are the last ones appended.
    const size_t n = log.back().key_size + log.back().value_size;
    log_end -= n;
    log_free += n;
    log.pop_back();
    // A put may write pages out (LMDB spills a large transaction's pages).
    const int cause = impl->write_failure_cause(a.rc);
    return a.at_open ? from_table_error(mdb_text(cause)) : from_storage_error(mdb_text(cause));
  }
  return OkStatus();
}

Status WriteTxn::commit() { return rep_->commit(); }

Status WriteTxn::Rep::commit() {
  if (!txn) return from_commit_error(mdb_text(MDB_BAD_TXN));
  // A test's injected failure stands for one of LMDB's: nothing is written.
  if (int e = platform::injected_fault(platform::Op::kStoreCommit); e != 0) {
    abort();
    return from_commit_error(mdb_text(e));
  }
  // Tables this transaction opened are visible to transactions begun once
  // the commit is through, before their handles are published: readers
  // that miss a table wait meanwhile (Impl::publishing).
  const bool publishes = !opened.empty();
  if (publishes) impl->begin_publishing();
  int rc = mdb_txn_commit(txn);  // frees the transaction, also on failure
  txn = nullptr;
  while (rc == MDB_MAP_FULL) {
    // Nothing was committed; the growth waits for open transactions, so
    // no reader may wait on this commit meanwhile.
    if (publishes) impl->end_publishing();
    Status replayed = grow_and_replay();
    if (!replayed.ok()) {
      abort();
      return replayed;
    }
    if (publishes) impl->begin_publishing();
    rc = mdb_txn_commit(txn);
    txn = nullptr;
  }
  if (rc == 0) {
    for (const auto& [t, dbi] : opened) impl->publish_dbi(tables[t], dbi);
  }
  if (publishes) impl->end_publishing();
  abort();  // gives back the ticket, forgets the opened tables, drops the log
  if (rc != 0) return from_commit_error(mdb_text(impl->write_failure_cause(rc)));
  return OkStatus();
}

}  // namespace tessarin
