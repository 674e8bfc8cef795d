#include "platform/platform.h"

#include <cerrno>

#include "test_util.h"

namespace tessarin::platform {
namespace {

class PlatformTest : public tessarin::testing::TempDirTest {
 protected:
  void write_text(const std::string& name, const std::string& text) { testing::put_file(path(name), text); }
};

TEST_F(PlatformTest, OpenModesCreateTruncateOrKeep) {
  EXPECT_EQ(open_file(path("none")).error().os_error(), ENOENT);
  EXPECT_FALSE(file_exists(path("none")));
  write_text("f", "hello");
  EXPECT_EQ(*file_length(*open_or_create_file(path("f"))), 5u);  // keeps the content
  EXPECT_EQ(*file_length(*create_file(path("f"))), 0u);          // truncates
  ASSERT_TRUE(open_or_create_file(path("new")).ok());
  EXPECT_TRUE(file_exists(path("new")));
}

TEST_F(PlatformTest, BufferedWriterAndReadFileRoundTrip) {
  EXPECT_EQ(read_file(path("none")).error().os_error(), ENOENT);
  write_text("f", "old content that is longer");
  std::string expected;
  {
    BufferedWriter out(*create_file_write_only(path("f")));
    // Small pieces are buffered, a piece of the buffer's size goes straight
    // through after what was buffered, and the destructor writes the rest.
    for (const size_t n : {size_t{10}, kWriteBufferBytes - 20, kWriteBufferBytes, size_t{3}}) {
      const std::string piece(n, static_cast<char>('a' + expected.size() % 26));
      ASSERT_TRUE(out.write(piece).ok());
      expected += piece;
    }
  }
  EXPECT_EQ(read_file(path("f"))->view(), expected);
  write_text("empty", "");
  EXPECT_EQ(read_file(path("empty"))->view(), "");
}

// The shared mapping itself, an empty file's too, is seen through the vector
// file's tests.
TEST_F(PlatformTest, OverlongMapping) {
  EXPECT_EQ(map_file(*create_file(path("f")), uint64_t{1} << 63).error().message(),
            "I/O error: memory map length overflows isize");
}

TEST_F(PlatformTest, DirectoriesCreateAndRemove) {
  ASSERT_TRUE(create_dir_all(path("a/b/c")).ok());
  EXPECT_TRUE(create_dir_all(path("a/b/c")).ok());  // existing is fine
  EXPECT_TRUE(create_dir_all(path("a/d/")).ok());
  EXPECT_TRUE(dir_exists(path("a/d")));
  write_text("plain", "x");
  EXPECT_EQ(create_dir_all(path("plain")).error().kind(), DbError::Kind::kIo);
  EXPECT_FALSE(create_dir_all(path("plain/sub")).ok());

  write_text("a/b/c/file", "y");
  ASSERT_TRUE(remove_dir_all(path("a")).ok());
  EXPECT_FALSE(dir_exists(path("a")));
  EXPECT_TRUE(remove_dir_all(path("a")).ok());  // missing is fine
}

}  // namespace
}  // namespace tessarin::platform
