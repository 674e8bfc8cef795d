#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "test_util.h"

namespace tessarin::platform {
namespace {

class PlatformTest : public tessarin::testing::TempDirTest {
 protected:
  void write_text(const std::string& name, const std::string& text) {
    std::ofstream(path(name), std::ios::binary) << text;
  }
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

TEST_F(PlatformTest, MappingIsSharedWithTheFile) {
  auto f = create_file(path("m"));
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(set_file_length(*f, 10000).ok());
  {
    auto m = map_file(*f, 10000);
    ASSERT_TRUE(m.ok());
    std::memcpy(m->data() + 9990, "tail", 4);
    EXPECT_TRUE(sync_mapping(*m).ok());
  }
  std::ifstream in(path("m"), std::ios::binary);
  in.seekg(9990);
  std::string tail(4, ' ');
  in.read(tail.data(), 4);
  EXPECT_EQ(tail, "tail");

  // An empty file still maps (one byte), so a reader can inspect it.
  EXPECT_EQ(map_file(*create_file(path("empty")), 0)->length(), 1u);
  EXPECT_EQ(map_file(*f, uint64_t{1} << 63).error().message(),
            "I/O error: memory map length overflows isize");
}

TEST_F(PlatformTest, SecondExclusiveLockFailsUntilFirstCloses) {
  auto a = open_or_create_file(path("lock"));
  auto b = open_or_create_file(path("lock"));
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_TRUE(*try_lock_exclusive(*a));
  EXPECT_FALSE(*try_lock_exclusive(*b));
  *a = File();  // closing the descriptor releases its lock
  EXPECT_TRUE(*try_lock_exclusive(*b));
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
