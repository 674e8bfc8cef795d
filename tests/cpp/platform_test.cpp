#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

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
  auto missing = open_file(path("none"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_error(), ENOENT);
  EXPECT_FALSE(file_exists(path("none")));

  write_text("f", "hello");
  {
    auto f = open_or_create_file(path("f"));  // keeps existing content
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(*file_length(*f), 5u);
  }
  {
    auto f = create_file(path("f"));  // truncates
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(*file_length(*f), 0u);
  }
  auto made = open_or_create_file(path("new"));
  ASSERT_TRUE(made.ok());
  EXPECT_TRUE(file_exists(path("new")));
  EXPECT_TRUE(sync_parent_dir(path("new")).ok());
}

TEST_F(PlatformTest, MappingIsSharedWithTheFile) {
  auto f = create_file(path("m"));
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(set_file_length(*f, 10000).ok());
  ASSERT_EQ(*file_length(*f), 10000u);
  {
    auto m = map_file(*f, 10000);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m->length(), 10000u);
    std::memcpy(m->data() + 9990, "tail", 4);
    EXPECT_TRUE(sync_mapping(*m).ok());
    EXPECT_TRUE(full_sync(*f).ok());
    EXPECT_TRUE(advise_willneed(*m).ok());
  }
  std::ifstream in(path("m"), std::ios::binary);
  in.seekg(9990);
  std::string tail(4, ' ');
  in.read(tail.data(), 4);
  EXPECT_EQ(tail, "tail");

  // An empty file still maps (one byte), so a reader can inspect it.
  auto e = create_file(path("empty"));
  ASSERT_TRUE(e.ok());
  auto em = map_file(*e, 0);
  ASSERT_TRUE(em.ok());
  EXPECT_EQ(em->length(), 1u);

  auto huge = map_file(*f, uint64_t{1} << 63);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().message(), "I/O error: memory map length overflows isize");
}

TEST_F(PlatformTest, SecondExclusiveLockFailsUntilFirstCloses) {
  auto a = open_or_create_file(path("lock"));
  auto b = open_or_create_file(path("lock"));
  ASSERT_TRUE(a.ok() && b.ok());
  auto first = try_lock_exclusive(*a);
  ASSERT_TRUE(first.ok());
  EXPECT_TRUE(*first);
  auto second = try_lock_exclusive(*b);
  ASSERT_TRUE(second.ok());
  EXPECT_FALSE(*second);
  *a = File();  // closing the descriptor releases its lock
  auto third = try_lock_exclusive(*b);
  ASSERT_TRUE(third.ok());
  EXPECT_TRUE(*third);
}

TEST_F(PlatformTest, DirectoriesCreateAndRemove) {
  const std::string nested = path("a/b/c");
  ASSERT_TRUE(create_dir_all(nested).ok());
  EXPECT_TRUE(dir_exists(nested));
  EXPECT_TRUE(create_dir_all(nested).ok());  // existing is fine
  EXPECT_TRUE(create_dir_all(path("a/d/")).ok());
  EXPECT_TRUE(dir_exists(path("a/d")));

  write_text("plain", "x");
  auto over_file = create_dir_all(path("plain"));
  ASSERT_FALSE(over_file.ok());
  EXPECT_EQ(over_file.error().kind(), DbError::Kind::kIo);
  EXPECT_FALSE(create_dir_all(path("plain/sub")).ok());

  write_text("a/b/c/file", "y");
  ASSERT_TRUE(remove_dir_all(path("a")).ok());
  EXPECT_FALSE(dir_exists(path("a")));
  EXPECT_TRUE(remove_dir_all(path("a")).ok());  // missing is fine
}

TEST(PlatformClockTest, ClocksAndEntropy) {
  const uint64_t secs = now_secs();
  const uint64_t millis = now_millis();
  EXPECT_GT(secs, 1600000000u);  // after September 2020
  EXPECT_LE(secs, millis / 1000);
  EXPECT_LE(millis / 1000 - secs, 1u);

  std::vector<uint8_t> a(1000), b(1000);
  ASSERT_TRUE(fill_random(a.data(), a.size()).ok());
  ASSERT_TRUE(fill_random(b.data(), b.size()).ok());
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tessarin::platform
