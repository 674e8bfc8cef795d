#include "error.h"

#include <cstring>

namespace tessarin {

DbError DbError::Io(int errnum) {
  DbError e;
  e.kind_ = Kind::kIo;
  e.errno_ = errnum;
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* desc = strerror_r(errnum, buf, sizeof buf);
  e.text_ = std::string(desc) + " (os error " + std::to_string(errnum) + ")";
  return e;
}

DbError DbError::IoMessage(std::string message) {
  return Text(Kind::kIo, std::move(message));
}

std::string DbError::message() const {
  auto pair = [this](const char* a, const char* b) {
    return std::string(a) + std::to_string(a_) + b + std::to_string(b_);
  };
  switch (kind_) {
    case Kind::kIo: return "I/O error: " + text_;
    case Kind::kDatabase: return "Database error: " + text_;
    case Kind::kDimensionMismatch: return pair("Dimension mismatch: expected ", ", got ");
    case Kind::kDimensionsTooLarge: return pair("Dimensions too large: maximum is ", ", got ");
    case Kind::kInvalidDimensions: return pair("Invalid dimensions: expected ", ", got ");
    case Kind::kInvalidInput: return "Invalid input: " + text_;
    case Kind::kInvalidFormat: return "Invalid format: " + text_;
    case Kind::kDeserialization: return "Deserialization error: " + text_;
    case Kind::kRecordNotFound: return "Record not found: " + text_;
    case Kind::kCollectionNotFound: return "Collection not found: " + text_;
    case Kind::kCollectionAlreadyExists: return "Collection already exists: " + text_;
    case Kind::kDataCorruption: return "Data corruption: " + text_;
    case Kind::kSerialization: return "Serialization error: " + text_;
    case Kind::kTransaction: return "Transaction error: " + text_;
    case Kind::kLock: return "Lock error: " + text_;
  }
  return text_;
}

DbError from_table_error(std::string_view t) { return DbError::Database(std::string(t)); }
DbError from_storage_error(std::string_view t) { return DbError::Database(std::string(t)); }
DbError from_database_error(std::string_view t) { return DbError::Database(std::string(t)); }
DbError from_transaction_error(std::string_view t) { return DbError::Transaction(std::string(t)); }
DbError from_commit_error(std::string_view t) { return DbError::Transaction(std::string(t)); }

}  // namespace tessarin
