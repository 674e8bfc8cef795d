// Store: the embedded transactional key-value store behind one "meta.redb"
// file (the registry of a database, or one collection's records and free
// list), built on one LMDB environment opened with MDB_NOSUBDIR | MDB_NOTLS.
// LMDB keeps its reader table in "meta.redb-lock" beside the data file.
//
// Tables are LMDB named databases with byte-string keys and values, ordered
// by the bytes of the key. A table exists once the first write transaction
// that wrote to it (put or remove) has committed; before that, and in read
// transactions that began before that commit, a read-side open finds no
// table, which readers treat as empty (get -> nullopt, cursor -> nullopt).
//
// Keys: callers' keys may be empty and at most max_key_bytes() long. Every
// stored key is the caller's key behind one constant prefix byte, because
// LMDB refuses empty keys; the prefix keeps the byte order of the keys.
//
// Ownership: a Store owns the environment and its own descriptor on the data
// file, on which it holds an exclusive flock (taken before the environment
// opens and kept until the Store is destroyed, so a second Store on the same
// file, in this process or another, is refused). Transactions and cursors
// point into the Store.
//   REQUIRES: every ReadTxn, WriteTxn and Cursor is destroyed (or ended)
//   before its Store.
//
// Thread safety (LMDB's rules, plus ours):
//   - begin_read/begin_write may be called from any thread concurrently.
//   - A ReadTxn may move between threads (MDB_NOTLS) but is used by one
//     thread at a time; any number may be open at once, in any threads.
//   - A WriteTxn belongs to the thread that began it: it must be used,
//     committed and destroyed there. One write transaction at a time per
//     store: a second begin_write waits until the first commits or ends.
//     A thread must not begin a second WriteTxn while it holds one.
//   - A thread holding a WriteTxn may begin ReadTxns (they see the last
//     committed state, not the open write), but it must release them before
//     its next put, remove or commit: see "Map growth".
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
// Table handles (LMDB "DBIs") are cached per store. mdb_dbi_open is called
// only at open (one read transaction exporting the tables already in the
// file) and inside write transactions (one at a time); a handle opened by a
// write transaction enters the cache only after that transaction commits,
// since an abort invalidates it. Read transactions only look handles up; one
// that misses a table while such a commit is publishing its handles waits
// for it, so a transaction begun after a commit always finds the tables that
// commit created.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "error.h"

struct MDB_txn;
struct MDB_cursor;

namespace tessarin {

class ReadTxn;
class WriteTxn;
class Cursor;

struct StoreOptions {
  // Initial map size in bytes (rounded up to whole pages); 0 selects
  // max(64 MiB, 2 × the data file's length). Tests use a small value to
  // exercise growth.
  uint64_t initial_map_size = 0;
};

class Store {
 public:
  // Opens `path` (created empty when missing, never truncated, mode 0666)
  // with its exclusive lock. Failures are DbError::Database: a lock held
  // through another open file description gives "Database already open.
  // Cannot acquire lock."; others carry the system's or LMDB's text.
  [[nodiscard]] static Result<Store> open(const std::string& path, StoreOptions options = {});

  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store();

  // True when another process holds the lock of the store file at `path`
  // (a non-blocking attempt on it fails and no Store of this process has
  // it open); false when nothing exists there. The attempt's lock is
  // released before returning. Failure to inspect the file -> Database.
  [[nodiscard]] static Result<bool> locked_by_another_process(const std::string& path);

  // Failure -> DbError::Transaction with LMDB's text.
  [[nodiscard]] Result<ReadTxn> begin_read() const;
  // Waits while another write transaction is open. Failure -> Transaction.
  [[nodiscard]] Result<WriteTxn> begin_write() const;

  // The longest key (in bytes) a table accepts: LMDB's maximum key size
  // minus the prefix byte (510 with the usual build of LMDB).
  size_t max_key_bytes() const;
  // The longest record id the store accepts (ids are the keys of "records").
  size_t max_id_bytes() const { return max_key_bytes(); }
  // The current map size in bytes.
  uint64_t map_size() const;
  const std::string& path() const;

  struct Impl;

 private:
  explicit Store(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A cursor over one table of a read transaction, ascending byte order.
// REQUIRES: not used after its transaction ended (it may be destroyed after).
class Cursor {
 public:
  Cursor(Cursor&& o) noexcept;
  Cursor& operator=(Cursor&& o) noexcept;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor();

  // Moves to the next row (the first on the first call). False after the
  // last row. The views point into the map and stay valid until the
  // transaction ends. A failed step -> DbError::Database.
  [[nodiscard]] Result<bool> next(std::string_view* key, std::string_view* value);

 private:
  friend class ReadTxn;
  explicit Cursor(MDB_cursor* cursor) : cursor_(cursor) {}
  MDB_cursor* cursor_ = nullptr;
  bool started_ = false;
};

// A read-only snapshot of the last committed state. Ended on destruction.
class ReadTxn {
 public:
  ReadTxn(ReadTxn&& o) noexcept;
  ReadTxn& operator=(ReadTxn&& o) noexcept;
  ReadTxn(const ReadTxn&) = delete;
  ReadTxn& operator=(const ReadTxn&) = delete;
  ~ReadTxn() { end(); }

  // The value of `key` in `table`; nullopt when the table or the key is
  // absent. The view stays valid until the transaction ends. Failure ->
  // DbError::Database.
  [[nodiscard]] Result<std::optional<std::string_view>> get(std::string_view table,
                                                            std::string_view key) const;
  // A cursor over `table`; nullopt when the table is absent. Failure ->
  // DbError::Database.
  [[nodiscard]] Result<std::optional<Cursor>> cursor(std::string_view table) const;

  // Ends the transaction now; later calls are no-ops.
  void end();

 private:
  friend class Store;
  ReadTxn(Store::Impl* impl, MDB_txn* txn, std::thread::id ticket)
      : impl_(impl), txn_(txn), ticket_(ticket) {}
  Store::Impl* impl_ = nullptr;
  MDB_txn* txn_ = nullptr;  // null once ended
  std::thread::id ticket_;  // the thread its gate ticket is counted against
};

// The single write transaction of a store. Aborted on destruction unless
// committed. Writes are blind (there is no read through a write transaction;
// read the committed state with a ReadTxn), which is what makes the replay
// after a map growth sound.
class WriteTxn {
 public:
  WriteTxn(WriteTxn&& o) noexcept;
  WriteTxn& operator=(WriteTxn&& o) noexcept;
  WriteTxn(const WriteTxn&) = delete;
  WriteTxn& operator=(const WriteTxn&) = delete;
  ~WriteTxn() { abort(); }

  // Inserts or replaces key -> value in `table`, creating the table when
  // missing. A key longer than max_key_bytes() -> InvalidInput (nothing
  // written); opening the table fails -> Database; the insert fails ->
  // Database (for example a value beyond LMDB's size limit).
  [[nodiscard]] Status put(std::string_view table, std::string_view key, std::string value);
  // Removes key from `table` (created when missing); a missing key is not an
  // error. Failure -> Database.
  [[nodiscard]] Status remove(std::string_view table, std::string_view key);
  // Makes every write durable (LMDB syncs the data file) and ends the
  // transaction, also when it fails. Failure -> DbError::Transaction.
  // REQUIRES: not yet committed or aborted.
  [[nodiscard]] Status commit();
  // Drops every write and ends the transaction; later calls are no-ops.
  void abort();

  size_t max_key_bytes() const;

 private:
  friend class Store;
  WriteTxn(Store::Impl* impl, MDB_txn* txn, std::thread::id ticket)
      : impl_(impl), txn_(txn), holds_ticket_(true), ticket_(ticket) {}

  // One logged write; table is an index into tables_. Its key (as stored,
  // with the prefix byte) and then its value are the bytes at `bytes`, in a
  // block of log_blocks_.
  struct Op {
    uint32_t table;
    bool is_put;
    uint32_t key_size;
    size_t value_size;
    const char* bytes;
  };
  struct Applied;
  Applied apply(const Op& op);
  int open_for_write(uint32_t table, unsigned int* dbi);
  Status log_and_apply(std::string_view table, std::string_view key, bool is_put,
                       std::string_view value);
  // Copies the prefix byte, key and value into the log's blocks; returns
  // where they start.
  char* log_bytes(std::string_view key, std::string_view value);
  Status grow_and_replay();
  uint32_t table_index(std::string_view table);
  void end_lmdb_txn();

  Store::Impl* impl_ = nullptr;
  MDB_txn* txn_ = nullptr;    // null once ended (and briefly during a growth)
  bool holds_ticket_ = false;  // whether this txn holds a gate ticket
  std::thread::id ticket_;     // the thread that ticket is counted against
  std::vector<std::string> tables_;  // names used by this txn
  std::vector<Op> log_;              // every put and remove, in order
  // The bytes of the logged keys and values, appended in blocks that never
  // move (so Op::bytes stays valid): one allocation per block, not two per
  // write. log_free_ bytes are unused at log_end_ in the last block.
  std::vector<std::unique_ptr<char[]>> log_blocks_;
  char* log_end_ = nullptr;
  size_t log_free_ = 0;
  // Tables this LMDB transaction opened with mdb_dbi_open (index into
  // tables_, handle); published to the store's cache on commit.
  std::vector<std::pair<uint32_t, unsigned int>> opened_;
};

}  // namespace tessarin
