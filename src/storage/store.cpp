#include "storage/store.h"

#include <lmdb.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/platform.h"

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

namespace {

// The store files this process holds open (and locked), so that a failed
// lock attempt can be told from this process's own lock. A multiset: a file
// re-opened after a drop may briefly be listed twice.
struct OpenStoreFiles {
  std::mutex mu;
  std::multiset<platform::FileId> ids;  // guarded by mu

  void add(platform::FileId id) {
    std::lock_guard lock(mu);
    ids.insert(id);
  }
  void remove(platform::FileId id) {
    std::lock_guard lock(mu);
    if (auto it = ids.find(id); it != ids.end()) ids.erase(it);
  }
  bool contains(platform::FileId id) {
    std::lock_guard lock(mu);
    return ids.contains(id);
  }
};

OpenStoreFiles& open_store_files() {
  static OpenStoreFiles* files = new OpenStoreFiles;  // never destroyed: used at exit
  return *files;
}

// Lists the locked file for its lifetime.
class OpenStoreFileEntry {
 public:
  OpenStoreFileEntry() = default;
  explicit OpenStoreFileEntry(platform::FileId id) : id_(id) { open_store_files().add(id); }
  OpenStoreFileEntry(const OpenStoreFileEntry&) = delete;
  OpenStoreFileEntry& operator=(const OpenStoreFileEntry&) = delete;
  ~OpenStoreFileEntry() {
    if (id_) open_store_files().remove(*id_);
  }

 private:
  std::optional<platform::FileId> id_;
};

}  // namespace

struct Store::Impl {
  // Lists the data file as this process's while lock_file holds its lock
  // (and a moment longer: destroyed last).
  std::unique_ptr<OpenStoreFileEntry> listed;
  // Declared before the env so it is destroyed after it: the flock outlives
  // the env.
  platform::File lock_file;
  EnvHandle env;
  std::string path;
  size_t max_key = 0;                 // callers' keys, without the prefix
  std::atomic<uint64_t> map_size{0};  // changed only inside gate.exclusive
  // Set when a resize left the environment without a mapping; every later
  // begin fails rather than touch it.
  std::atomic<bool> broken{false};
  TxnGate gate;

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
    });
    if (!ran) {
      return from_transaction_error(
          "the map must grow, but this thread still holds a read transaction of the store");
    }
    return status;
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
Result<std::vector<std::pair<std::string, MDB_dbi>>> export_existing_tables(MDB_env* env) {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return from_database_error(mdb_text(rc));
  std::vector<std::pair<std::string, MDB_dbi>> out;
  MDB_dbi main_dbi;
  MDB_cursor* cursor = nullptr;
  rc = mdb_dbi_open(txn, nullptr, 0, &main_dbi);
  if (rc == 0) rc = mdb_cursor_open(txn, main_dbi, &cursor);
  if (rc == 0) {
    MDB_val k, v;
    MDB_cursor_op op = MDB_FIRST;
    while ((rc = mdb_cursor_get(cursor, &k, &v, op)) == 0) {
      op = MDB_NEXT;
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

}  // namespace

Result<Store> Store::open(const std::string& path, StoreOptions options) {
  auto file = platform::open_or_create_file(path);
  if (!file.ok()) return from_database_error(file.error().text());
  auto locked = platform::try_lock_exclusive(*file);
  if (!locked.ok()) return from_database_error(locked.error().text());
  if (!*locked) return from_database_error(kDatabaseAlreadyOpen);
  auto length = platform::file_length(*file);
  if (!length.ok()) return from_database_error(length.error().text());

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
  // Frees reader slots left behind by processes that died in a read.
  int dead = 0;
  mdb_reader_check(env.get(), &dead);

  TS_ASSIGN_OR_RETURN(auto tables, export_existing_tables(env.get()));
  MDB_envinfo info;
  mdb_env_info(env.get(), &info);

  auto id = platform::file_id(*file);
  if (!id.ok()) return from_database_error(id.error().text());
  auto impl = std::make_unique<Impl>();
  impl->lock_file = std::move(*file);
  impl->listed = std::make_unique<OpenStoreFileEntry>(*id);
  impl->env = std::move(env);
  impl->path = path;
  impl->max_key = static_cast<size_t>(mdb_env_get_maxkeysize(impl->env.get())) - 1;
  impl->map_size = info.me_mapsize;
  impl->dbis = std::move(tables);
  return Store(std::move(impl));
}

Result<bool> Store::locked_by_another_process(const std::string& path) {
  auto id = platform::file_id(path);
  if (!id.ok()) return from_database_error(id.error().text());
  if (!*id) return false;
  // This process's lock excludes every other process's.
  if (open_store_files().contains(**id)) return false;
  auto file = platform::open_file_read_only(path);
  if (!file.ok()) return from_database_error(file.error().text());
  auto locked = platform::try_lock_exclusive(*file);
  if (!locked.ok()) return from_database_error(locked.error().text());
  return !*locked;  // closing the descriptor releases a lock it took
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() = default;

size_t Store::max_key_bytes() const { return impl_->max_key; }
uint64_t Store::map_size() const { return impl_->map_size.load(); }
const std::string& Store::path() const { return impl_->path; }

Result<ReadTxn> Store::begin_read() const {
  MDB_txn* txn;
  TxnGate::Ticket ticket;
  TS_RETURN_IF_ERROR(impl_->begin_txn(MDB_RDONLY, &txn, &ticket));
  return ReadTxn(impl_.get(), txn, ticket);
}

Result<WriteTxn> Store::begin_write() const {
  MDB_txn* txn;
  TxnGate::Ticket ticket;
  TS_RETURN_IF_ERROR(impl_->begin_txn(0, &txn, &ticket));
  return WriteTxn(impl_.get(), txn, ticket);
}

// ---- Cursor ----

Cursor::Cursor(Cursor&& o) noexcept : cursor_(o.cursor_), started_(o.started_) { o.cursor_ = nullptr; }

Cursor& Cursor::operator=(Cursor&& o) noexcept {
  if (this != &o) {
    if (cursor_) mdb_cursor_close(cursor_);
    cursor_ = o.cursor_;
    started_ = o.started_;
    o.cursor_ = nullptr;
  }
  return *this;
}

Cursor::~Cursor() {
  // A read-only transaction's cursor may be closed after the transaction.
  if (cursor_) mdb_cursor_close(cursor_);
}

Result<bool> Cursor::next(std::string_view* key, std::string_view* value) {
  MDB_val k, v;
  const int rc = mdb_cursor_get(cursor_, &k, &v, started_ ? MDB_NEXT : MDB_FIRST);
  started_ = true;
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return from_storage_error(mdb_text(rc));
  std::string_view stored = view(k);
  if (!stored.empty()) stored.remove_prefix(1);
  *key = stored;
  *value = view(v);
  return true;
}

// ---- ReadTxn ----

ReadTxn::ReadTxn(ReadTxn&& o) noexcept { *this = std::move(o); }

ReadTxn& ReadTxn::operator=(ReadTxn&& o) noexcept {
  if (this != &o) {
    end();
    impl_ = o.impl_;
    txn_ = o.txn_;
    ticket_ = o.ticket_;
    o.txn_ = nullptr;
  }
  return *this;
}

void ReadTxn::end() {
  if (!txn_) return;
  mdb_txn_abort(txn_);
  txn_ = nullptr;
  impl_->gate.leave(ticket_);
}

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

}  // namespace

Result<std::optional<std::string_view>> ReadTxn::get(std::string_view table,
                                                     std::string_view key) const {
  using Found = std::optional<std::string_view>;
  assert(txn_);
  auto dbi = read_side_dbi(impl_, txn_, table);
  if (!dbi) return Found{};
  if (key.size() > impl_->max_key) return Found{};  // could never have been stored
  StoredKey k(key);
  MDB_val v;
  const int rc = mdb_get(txn_, *dbi, k.val(), &v);
  if (rc == MDB_NOTFOUND) return Found{};
  if (rc != 0) return from_storage_error(mdb_text(rc));
  return Found{view(v)};
}

Result<std::optional<Cursor>> ReadTxn::cursor(std::string_view table) const {
  assert(txn_);
  auto dbi = read_side_dbi(impl_, txn_, table);
  if (!dbi) return std::optional<Cursor>{};
  MDB_cursor* c = nullptr;
  const int rc = mdb_cursor_open(txn_, *dbi, &c);
  if (rc != 0) return from_table_error(mdb_text(rc));
  return std::optional<Cursor>(Cursor(c));
}

// ---- WriteTxn ----

struct WriteTxn::Applied {
  int rc = 0;
  bool at_open = false;  // the failure came from opening the table
};

WriteTxn::WriteTxn(WriteTxn&& o) noexcept { *this = std::move(o); }

WriteTxn& WriteTxn::operator=(WriteTxn&& o) noexcept {
  if (this != &o) {
    abort();
    impl_ = o.impl_;
    txn_ = o.txn_;
    holds_ticket_ = o.holds_ticket_;
    ticket_ = o.ticket_;
    tables_ = std::move(o.tables_);
    log_ = std::move(o.log_);
    log_blocks_ = std::move(o.log_blocks_);
    log_end_ = std::exchange(o.log_end_, nullptr);
    log_free_ = std::exchange(o.log_free_, 0);
    opened_ = std::move(o.opened_);
    o.txn_ = nullptr;
    o.holds_ticket_ = false;
  }
  return *this;
}

size_t WriteTxn::max_key_bytes() const { return impl_->max_key; }

void WriteTxn::end_lmdb_txn() {
  if (txn_) {
    mdb_txn_abort(txn_);
    txn_ = nullptr;
  }
  opened_.clear();
  if (holds_ticket_) {
    holds_ticket_ = false;
    impl_->gate.leave(ticket_);
  }
}

void WriteTxn::abort() {
  end_lmdb_txn();
  log_.clear();
  log_blocks_.clear();
  log_end_ = nullptr;
  log_free_ = 0;
  tables_.clear();
}

uint32_t WriteTxn::table_index(std::string_view table) {
  for (uint32_t i = 0; i < tables_.size(); ++i) {
    if (tables_[i] == table) return i;
  }
  tables_.emplace_back(table);
  return static_cast<uint32_t>(tables_.size() - 1);
}

int WriteTxn::open_for_write(uint32_t table, MDB_dbi* dbi) {
  for (const auto& [t, d] : opened_) {
    if (t == table) {
      *dbi = d;
      return 0;
    }
  }
  // Handles in the cache came from transactions that committed before this
  // one began (only one write transaction runs at a time), so they are
  // valid here.
  if (auto cached = impl_->cached_dbi(tables_[table])) {
    unsigned flags = 0;
    if (mdb_dbi_flags(txn_, *cached, &flags) == 0) {
      *dbi = *cached;
      return 0;
    }
  }
  const int rc = mdb_dbi_open(txn_, tables_[table].c_str(), MDB_CREATE, dbi);
  if (rc == 0) opened_.emplace_back(table, *dbi);
  return rc;
}

WriteTxn::Applied WriteTxn::apply(const Op& op) {
  MDB_dbi dbi;
  int rc = open_for_write(op.table, &dbi);
  if (rc != 0) return {rc, true};
  MDB_val k{op.key_size, const_cast<char*>(op.bytes)};
  if (op.is_put) {
    MDB_val v{op.value_size, const_cast<char*>(op.bytes + op.key_size)};
    rc = mdb_put(txn_, dbi, &k, &v, 0);
  } else {
    rc = mdb_del(txn_, dbi, &k, nullptr);
    if (rc == MDB_NOTFOUND) rc = 0;
  }
  return {rc, false};
}

Status WriteTxn::grow_and_replay() {
  for (;;) {
    const uint64_t observed = impl_->map_size.load();
    end_lmdb_txn();
    TS_RETURN_IF_ERROR(impl_->grow(observed));
    TS_RETURN_IF_ERROR(impl_->begin_txn(0, &txn_, &ticket_));
    holds_ticket_ = true;
    bool full = false;
    for (const Op& op : log_) {
      const Applied a = apply(op);
      if (a.rc == MDB_MAP_FULL) {
        full = true;
        break;
      }
      if (a.rc != 0) {
        return a.at_open ? from_table_error(mdb_text(a.rc)) : from_storage_error(mdb_text(a.rc));
      }
    }
    if (!full) return OkStatus();
  }
}

Status WriteTxn::put(std::string_view table, std::string_view key, std::string value) {
  if (key.size() > impl_->max_key) {
    return DbError::InvalidInput("key of " + std::to_string(key.size()) +
                                 " bytes is longer than the store accepts (at most " +
                                 std::to_string(impl_->max_key) + " bytes)");
  }
  return log_and_apply(table, key, true, value);
}

Status WriteTxn::remove(std::string_view table, std::string_view key) {
  if (key.size() > impl_->max_key) return OkStatus();  // such a key was never stored
  return log_and_apply(table, key, false, {});
}

char* WriteTxn::log_bytes(std::string_view key, std::string_view value) {
  constexpr size_t kBlockBytes = size_t{1} << 20;
  const size_t n = 1 + key.size() + value.size();
  if (n > log_free_) {
    const size_t block = std::max(kBlockBytes, n);
    log_blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    log_end_ = log_blocks_.back().get();
    log_free_ = block;
  }
  char* start = log_end_;
  start[0] = kKeyPrefix;
  if (!key.empty()) std::memcpy(start + 1, key.data(), key.size());
  if (!value.empty()) std::memcpy(start + 1 + key.size(), value.data(), value.size());
  log_end_ += n;
  log_free_ -= n;
  return start;
}

Status WriteTxn::log_and_apply(std::string_view table, std::string_view key, bool is_put,
                               std::string_view value) {
  if (!txn_) return from_transaction_error(mdb_text(MDB_BAD_TXN));
  const uint32_t index = table_index(table);
  char* bytes = log_bytes(key, value);
  log_.push_back(Op{index, is_put, static_cast<uint32_t>(key.size() + 1), value.size(), bytes});
  const Applied a = apply(log_.back());
  if (a.rc == MDB_MAP_FULL) return grow_and_replay();
  if (a.rc != 0) {
    // Not logged after all: its bytes are the last ones appended.
    const size_t n = log_.back().key_size + log_.back().value_size;
    log_end_ -= n;
    log_free_ += n;
    log_.pop_back();
    return a.at_open ? from_table_error(mdb_text(a.rc)) : from_storage_error(mdb_text(a.rc));
  }
  return OkStatus();
}

Status WriteTxn::commit() {
  if (!txn_) return from_commit_error(mdb_text(MDB_BAD_TXN));
  // Tables this transaction opened are visible to transactions begun once
  // the commit is through, before their handles are published: readers
  // that miss a table wait meanwhile (Impl::publishing).
  const bool publishes = !opened_.empty();
  if (publishes) impl_->begin_publishing();
  int rc = mdb_txn_commit(txn_);  // frees the transaction, also on failure
  txn_ = nullptr;
  while (rc == MDB_MAP_FULL) {
    // Nothing was committed; the growth waits for open transactions, so
    // no reader may wait on this commit meanwhile.
    if (publishes) impl_->end_publishing();
    Status replayed = grow_and_replay();
    if (!replayed.ok()) {
      abort();
      return replayed;
    }
    if (publishes) impl_->begin_publishing();
    rc = mdb_txn_commit(txn_);
    txn_ = nullptr;
  }
  if (rc == 0) {
    for (const auto& [t, dbi] : opened_) impl_->publish_dbi(tables_[t], dbi);
  }
  if (publishes) impl_->end_publishing();
  abort();  // gives back the ticket, forgets the opened tables, drops the log
  if (rc != 0) return from_commit_error(mdb_text(rc));
  return OkStatus();
}

}  // namespace tessarin
