#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tessarin {
namespace {

TEST(DbErrorTest, DisplayTemplates) {
  const std::pair<DbError, const char*> cases[] = {
      {DbError::DimensionMismatch(128, 3), "Dimension mismatch: expected 128, got 3"},
      {DbError::InvalidDimensions(4, 5), "Invalid dimensions: expected 4, got 5"},
      {DbError::Database(""), "Database error: "},
      {from_database_error(kDatabaseAlreadyOpen),
       "Database error: Database already open. Cannot acquire lock."},
      {DbError::Io(ENOENT), "I/O error: No such file or directory (os error 2)"},
  };
  for (const auto& [error, message] : cases) EXPECT_EQ(error.message(), message);
  EXPECT_EQ(DbError::Io(ENOENT).kind(), DbError::Kind::kIo);
}

}  // namespace
}  // namespace tessarin
