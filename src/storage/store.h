// Store: the embedded transactional key-value store behind one "meta.redb"
// (the registry of a database, or one collection's records and free list).
// Built on LMDB (store_lmdb.cpp): "meta.redb" is one LMDB data file, opened
// with MDB_NOSUBDIR | MDB_NOTLS; LMDB keeps its reader table in
// "meta.redb-lock" beside it. LMDB trusts its pages: a data file shorter
// than the pages its metadata names is refused at open, but other damage
// inside the file can still fault in the library.
//
// Tables hold byte-string keys and values, ordered by the bytes of the key.
// A table exists once the first write transaction that wrote to it (put or
// remove) has committed; before that, and in read transactions that began
// before that commit, a read finds no table, which readers treat as empty
// (get -> nullopt, cursor -> nullopt); no reader tells an absent table from
// an empty one.
//
// Keys: callers' keys may be empty and at most max_key_bytes() (510) long.
//
// Ownership: a Store owns its library handle and the exclusive flock of the
// store (storage/store_lock.h: taken before the library opens the files and
// released after it closed them, so a second Store on the same path, in this
// process or another, is refused). Transactions and cursors point into the
// Store.
//   REQUIRES: every ReadTxn, WriteTxn and Cursor is destroyed (or ended)
//   before its Store.
//
// Thread safety:
//   - begin_read/begin_write may be called from any thread concurrently.
//   - A ReadTxn may move between threads but is used by one thread at a
//     time; any number may be open at once, in any threads.
//   - A WriteTxn belongs to the thread that began it: it must be used,
//     committed and destroyed there. One write transaction at a time per
//     store: a second begin_write waits until the first commits or ends.
//     A thread must not begin a second WriteTxn while it holds one.
//   - A thread holding a WriteTxn may begin ReadTxns (they see the last
//     committed state, not the open write), but it must release them before
//     its next put, remove or commit: the store may have to grow its map
//     there, which waits for every open transaction of the process, and it
//     refuses such a write (DbError::Transaction, the write is not done)
//     rather than wait for the thread's own reader.
//
// Views: a value returned by get stays valid until the next get or get_each
// on the same transaction, or its end; the views of a cursor step stay valid
// until the cursor's next step or its destruction. Copy what must live
// longer.
//
// Durability: commit returns once the transaction is on disk (LMDB syncs its
// data file: the environment carries none of LMDB's flags that relax or skip
// that sync, which commits_wait_for_disk() tells tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/platform.h"

namespace tessarin {

class ReadTxn;
class WriteTxn;
class Cursor;

struct StoreOptions {
  // The initial map size in bytes (rounded up to whole pages); 0 selects
  // max(64 MiB, 2 × the data file's length). Tests use a small value to
  // exercise growth.
  uint64_t initial_map_size = 0;
};

class Store {
 public:
  // Opens the store at `path` (created empty when missing, never truncated)
  // with its exclusive lock. A file it finds empty has its directory entry
  // synced, which LMDB's commits never do. Failures are DbError::Database: a
  // lock held through another open file description gives "Database already
  // open. Cannot acquire lock."; others carry the system's or the library's
  // text; but a failed sync of the directory is Io.
  [[nodiscard]] static Result<Store> open(const std::string& path, StoreOptions options = {});

  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store();

  // True when another process holds the lock of the store at `path` (a
  // non-blocking attempt on its lock file fails and no Store of this process
  // has it open); false when nothing exists there. The attempt's lock is
  // released before returning. Failure to inspect the file -> Database.
  [[nodiscard]] static Result<bool> locked_by_another_process(const std::string& path);

  // Failure -> DbError::Transaction with the library's text.
  [[nodiscard]] Result<ReadTxn> begin_read() const;
  // Waits while another write transaction is open. Failure -> Transaction.
  [[nodiscard]] Result<WriteTxn> begin_write() const;

  // The longest key (in bytes) a table accepts: 510 (LMDB's maximum key
  // size minus the store's prefix byte).
  size_t max_key_bytes() const;
  // The longest record id the store accepts (ids are the keys of "records").
  size_t max_id_bytes() const { return max_key_bytes(); }
  // The current map size in bytes.
  uint64_t map_size() const;
  // True when a commit returns only once the disk has it: the environment
  // is open without MDB_NOSYNC, MDB_NOMETASYNC and MDB_MAPASYNC. For tests
  // (a killed process cannot tell a skipped sync).
  bool commits_wait_for_disk() const;
  const std::string& path() const;

  // A full sync of the data file through the store's own descriptor: makes
  // durable what LMDB wrote when it set up a new file, which no commit has
  // synced yet. Failure -> Io.
  [[nodiscard]] Status sync_file() const;
  // The identities of the files the store holds open: the data file (by
  // fstat of the store's descriptor) and LMDB's "-lock" file beside it
  // (looked up once LMDB had opened it, as LMDB keeps its descriptor to
  // itself). Both are mapped by this process: truncating either kills it.
  [[nodiscard]] Result<std::vector<platform::FileId>> open_file_ids() const;

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
  // last row. The views stay valid until the next call or the cursor's
  // destruction. A failed step -> DbError::Database.
  [[nodiscard]] Result<bool> next(std::string_view* key, std::string_view* value);

  struct Rep;

 private:
  friend class ReadTxn;
  explicit Cursor(std::unique_ptr<Rep> rep);
  std::unique_ptr<Rep> rep_;
};

// A read-only snapshot of the last committed state. Ended on destruction.
class ReadTxn {
 public:
  ReadTxn(ReadTxn&& o) noexcept;
  ReadTxn& operator=(ReadTxn&& o) noexcept;
  ReadTxn(const ReadTxn&) = delete;
  ReadTxn& operator=(const ReadTxn&) = delete;
  ~ReadTxn();

  // The value of `key` in `table`; nullopt when the table or the key is
  // absent. The view stays valid until the next get or get_each, or the
  // transaction's end. Failure -> DbError::Database.
  [[nodiscard]] Result<std::optional<std::string_view>> get(std::string_view table,
                                                            std::string_view key) const;
  // Looks every key of `keys` up in `table` and calls visit(i, value of
  // keys[i]) for each i in order (nullopt when absent; the view is valid
  // during the call). A failed
  // lookup -> Database; an error returned by visit stops the walk and is
  // returned.
  using Visit = std::function<Status(size_t, std::optional<std::string_view>)>;
  [[nodiscard]] Status get_each(std::string_view table, std::span<const std::string_view> keys,
                                const Visit& visit) const;
  // A cursor over `table`; nullopt when the table is absent. Failure ->
  // DbError::Database.
  [[nodiscard]] Result<std::optional<Cursor>> cursor(std::string_view table) const;

  // Ends the transaction now; later calls are no-ops.
  void end();

  struct Rep;

 private:
  friend class Store;
  explicit ReadTxn(std::unique_ptr<Rep> rep);
  std::unique_ptr<Rep> rep_;  // null once ended
};

// The single write transaction of a store. Aborted on destruction unless
// committed. Writes are blind: there is no read through a write transaction
// (read the committed state with a ReadTxn). The store relies on it to
// replay a transaction after a map growth.
class WriteTxn {
 public:
  WriteTxn(WriteTxn&& o) noexcept;
  WriteTxn& operator=(WriteTxn&& o) noexcept;
  WriteTxn(const WriteTxn&) = delete;
  WriteTxn& operator=(const WriteTxn&) = delete;
  ~WriteTxn();

  // Inserts or replaces key -> value in `table`, creating the table when
  // missing. A key longer than max_key_bytes() -> InvalidInput (nothing
  // written); opening the table fails -> Database; the insert fails ->
  // Database (for example a value beyond the library's size limit).
  [[nodiscard]] Status put(std::string_view table, std::string_view key, std::string value);
  // Removes key from `table` (created when missing); a missing key is not an
  // error. Failure -> Database.
  [[nodiscard]] Status remove(std::string_view table, std::string_view key);
  // Makes every write durable and ends the transaction, also when it fails.
  // Failure -> DbError::Transaction.
  // REQUIRES: not yet committed or aborted.
  [[nodiscard]] Status commit();
  // Drops every write and ends the transaction; later calls are no-ops.
  void abort();

  size_t max_key_bytes() const;

  struct Rep;

 private:
  friend class Store;
  explicit WriteTxn(std::unique_ptr<Rep> rep);
  std::unique_ptr<Rep> rep_;  // null only when moved from
};

}  // namespace tessarin
