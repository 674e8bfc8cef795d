// DbError and Result<T>: the error values of every fallible engine operation.
//
// A DbError is one of a closed set of 15 kinds, each with a fixed payload and
// a fixed display template. Its display text (message()) is the only thing
// that leaves the engine: the Python layer raises one exception type per
// method carrying exactly that text. Errors of lower layers (the store, the
// binary decoder, the operating system) are rendered into an owned string at
// the point where they occur; no error keeps a reference to its cause.
//
// Result<T> holds either a T or a DbError. Status is Result<void>. Both are
// [[nodiscard]]; no C++ exception is used as the normal error road.
//
// Thread safety: plain values; copy or move freely between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tessarin {

class DbError {
 public:
  // Declaration order is part of the contract (it orders the kinds).
  enum class Kind : uint8_t {
    kIo = 0,
    kDatabase,
    kDimensionMismatch,
    kDimensionsTooLarge,
    kInvalidDimensions,
    kInvalidInput,
    kInvalidFormat,
    kDeserialization,
    kRecordNotFound,
    kCollectionNotFound,
    kCollectionAlreadyExists,
    kDataCorruption,
    kSerialization,
    kTransaction,
    kLock,
  };

  // Io from an errno value: displays "<strerror> (os error N)".
  static DbError Io(int errnum);
  // Io created by the system itself with its own message (displays just it).
  static DbError IoMessage(std::string message);
  static DbError Database(std::string text) { return Text(Kind::kDatabase, std::move(text)); }
  static DbError DimensionMismatch(uint64_t expected, uint64_t got) {
    return Pair(Kind::kDimensionMismatch, expected, got);
  }
  static DbError DimensionsTooLarge(uint64_t maximum, uint64_t got) {
    return Pair(Kind::kDimensionsTooLarge, maximum, got);
  }
  static DbError InvalidDimensions(uint64_t expected, uint64_t got) {
    return Pair(Kind::kInvalidDimensions, expected, got);
  }
  static DbError InvalidInput(std::string t) { return Text(Kind::kInvalidInput, std::move(t)); }
  static DbError InvalidFormat(std::string t) { return Text(Kind::kInvalidFormat, std::move(t)); }
  static DbError Deserialization(std::string t) { return Text(Kind::kDeserialization, std::move(t)); }
  static DbError RecordNotFound(std::string t) { return Text(Kind::kRecordNotFound, std::move(t)); }
  static DbError CollectionNotFound(std::string t) { return Text(Kind::kCollectionNotFound, std::move(t)); }
  static DbError CollectionAlreadyExists(std::string t) {
    return Text(Kind::kCollectionAlreadyExists, std::move(t));
  }
  static DbError DataCorruption(std::string t) { return Text(Kind::kDataCorruption, std::move(t)); }
  static DbError Serialization(std::string t) { return Text(Kind::kSerialization, std::move(t)); }
  static DbError Transaction(std::string t) { return Text(Kind::kTransaction, std::move(t)); }
  static DbError Lock(std::string t) { return Text(Kind::kLock, std::move(t)); }

  Kind kind() const { return kind_; }
  // The text payload (for Io: the rendered I/O description).
  const std::string& text() const { return text_; }
  // The two numbers of the dimension kinds; 0 for the others.
  uint64_t first() const { return a_; }
  uint64_t second() const { return b_; }
  // For Io created from an errno: that number; 0 otherwise.
  int os_error() const { return errno_; }

  // The display text: the kind's template with the payload inserted.
  std::string message() const;

 private:
  static DbError Text(Kind k, std::string t) {
    DbError e;
    e.kind_ = k;
    e.text_ = std::move(t);
    return e;
  }
  static DbError Pair(Kind k, uint64_t a, uint64_t b) {
    DbError e;
    e.kind_ = k;
    e.a_ = a;
    e.b_ = b;
    return e;
  }

  Kind kind_ = Kind::kIo;
  int errno_ = 0;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
  std::string text_;
};

// The conversions from the store (LMDB). Each takes the store's display text
// (mdb_strerror or our own composed text) and picks the kind.
DbError from_table_error(std::string_view store_text);        // -> Database
DbError from_storage_error(std::string_view store_text);      // -> Database
DbError from_database_error(std::string_view store_text);     // -> Database
DbError from_transaction_error(std::string_view store_text);  // -> Transaction
DbError from_commit_error(std::string_view store_text);       // -> Transaction

// Fixed texts of store-open and transaction failures.
inline constexpr std::string_view kDatabaseAlreadyOpen = "Database already open. Cannot acquire lock.";
inline constexpr std::string_view kDatabaseRepairAborted = "Database repair aborted.";
inline constexpr std::string_view kTransactionStillInUse = "Transaction still in use";

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(DbError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const DbError& error() const& { return std::get<1>(v_); }
  DbError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, DbError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(DbError error) : error_(std::move(error)), ok_(false) {}  // NOLINT
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const DbError& error() const& { return error_; }
  DbError&& error() && { return std::move(error_); }

 private:
  DbError error_;
  bool ok_ = true;
};

using Status = Result<void>;

inline Status OkStatus() { return Status(); }

}  // namespace tessarin

// Early return on error. The expression must yield a Result or Status.
#define TS_CONCAT_INNER(a, b) a##b
#define TS_CONCAT(a, b) TS_CONCAT_INNER(a, b)

#define TS_RETURN_IF_ERROR(expr)                         \
  do {                                                   \
    auto ts_status_ = (expr);                            \
    if (!ts_status_.ok()) return std::move(ts_status_).error(); \
  } while (0)

// TS_ASSIGN_OR_RETURN(auto x, f()) or TS_ASSIGN_OR_RETURN(x, f()).
#define TS_ASSIGN_OR_RETURN(lhs, expr) \
  TS_ASSIGN_OR_RETURN_IMPL(TS_CONCAT(ts_result_, __LINE__), lhs, expr)
#define TS_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)  \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()
