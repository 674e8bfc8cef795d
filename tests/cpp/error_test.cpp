#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tessarin {
namespace {

TEST(DbErrorTest, DisplayTemplates) {
  EXPECT_EQ(DbError::DimensionMismatch(128, 3).message(), "Dimension mismatch: expected 128, got 3");
  EXPECT_EQ(DbError::DimensionsTooLarge(65536, 70000).message(),
            "Dimensions too large: maximum is 65536, got 70000");
  EXPECT_EQ(DbError::InvalidDimensions(4, 5).message(), "Invalid dimensions: expected 4, got 5");
  EXPECT_EQ(DbError::Database("").message(), "Database error: ");
  EXPECT_EQ(DbError::RecordNotFound("Slot 12 not allocated").message(),
            "Record not found: Slot 12 not allocated");
  EXPECT_EQ(from_database_error(kDatabaseAlreadyOpen).message(),
            "Database error: Database already open. Cannot acquire lock.");
  EXPECT_EQ(from_transaction_error(kTransactionStillInUse).message(),
            "Transaction error: Transaction still in use");
  EXPECT_EQ(DbError::Lock("x").message(), "Lock error: x");
}

TEST(DbErrorTest, IoShowsOsDescriptionAndNumber) {
  DbError e = DbError::Io(ENOENT);
  EXPECT_EQ(e.kind(), DbError::Kind::kIo);
  EXPECT_EQ(e.message(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(DbError::IoMessage("memory map length overflows isize").message(),
            "I/O error: memory map length overflows isize");
}

Result<int> Half(int x) {
  if (x % 2) return DbError::InvalidInput("odd");
  return x / 2;
}

Result<int> Quarter(int x) {
  TS_ASSIGN_OR_RETURN(int h, Half(x));
  TS_ASSIGN_OR_RETURN(h, Half(h));
  return h;
}

TEST(DbErrorTest, ResultPropagates) {
  EXPECT_EQ(*Quarter(8), 2);
  auto r = Quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Invalid input: odd");
}

}  // namespace
}  // namespace tessarin
