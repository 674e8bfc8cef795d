#include "platform/platform.h"

#include <cerrno>
#include <csignal>

#include "test_util.h"

namespace tessarin::platform {
namespace {

using namespace std::string_literals;

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

// A directory found already there may be one whose entry never reached the
// disk: its maker failed at the sync (or is another thread that has not
// reached it yet). It is synced into its parent all the same.
TEST_F(PlatformTest, AnExistingDirectoryIsSyncedIntoItsParent) {
  FaultInjection::fail(Op::kSyncDir, EIO);
  EXPECT_EQ(create_dir_all(path("d")).error().os_error(), EIO);
  FaultInjection::reset();
  ASSERT_TRUE(dir_exists(path("d")));
  const uint64_t before = FaultInjection::durable_calls(Op::kSyncDir);
  ASSERT_TRUE(create_dir_all(path("d")).ok());
  EXPECT_EQ(FaultInjection::durable_calls(Op::kSyncDir), before + 1);
}

// A marked directory loses its marker last: a removal killed after any
// entry leaves the marker for as long as another entry is there. (One
// other entry, named differently in each directory, so that the system's
// listing puts the marker first in some of them.)
TEST_F(PlatformTest, AMarkedDirectoryLosesItsMarkerLast) {
  for (int i = 0; i < 8; ++i) {
    const std::string dir = path("d" + std::to_string(i));
    ASSERT_TRUE(create_dir_all(dir).ok());
    write_text("d" + std::to_string(i) + "/mark", "");
    write_text("d" + std::to_string(i) + "/f" + std::to_string(i), "x");
    EXPECT_EXIT(
        {
          FaultInjection::kill_at("remove_dir_all.entry_removed");
          (void)remove_marked_dir(dir, "mark");
          std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_TRUE(file_exists(dir + "/mark")) << i;
    EXPECT_FALSE(file_exists(dir + "/f" + std::to_string(i))) << i;
  }
  ASSERT_TRUE(remove_marked_dir(path("d0"), "mark").ok());
  EXPECT_FALSE(dir_exists(path("d0")));
  EXPECT_TRUE(remove_marked_dir(path("d0"), "mark").ok());  // missing is fine
}

// Where an open with O_CREAT would land, found without creating anything:
// the export refuses targets inside the database by this path.
TEST_F(PlatformTest, ResolveOpenTargetFollowsEveryLink) {
  namespace fs = std::filesystem;
  ASSERT_TRUE(create_dir_all(path("a/b")).ok());
  write_text("f", "x");
  fs::create_directory_symlink(path("a/b"), path("linked"));
  fs::create_symlink("a/b/new", path("dangling"));  // relative to its own directory
  fs::create_symlink(path("dangling"), path("chain"));
  fs::create_symlink("loop", path("loop"));
  const std::string real = fs::canonical(dir()).string();
  const std::pair<std::string, std::string> found[] = {
      {"new", "/new"}, {"f", "/f"}, {"linked/x", "/a/b/x"}, {"dangling", "/a/b/new"},
      {"chain", "/a/b/new"}, {"a/b/..", "/a"},
      {"linked/../b", "/a/b"}};  // ".." after a link leaves the link's target
  for (const auto& [given, want] : found) {
    auto r = resolve_open_target(path(given));
    ASSERT_TRUE(r.ok()) << given << ": " << r.error().message();
    EXPECT_EQ(*r, real + want) << given;
  }
  const std::pair<std::string, int> refused[] = {
      {"missing/x", ENOENT}, {"f/x", ENOTDIR}, {"loop", ELOOP}, {"gone/", ENOENT},
      {"a/gone/..", ENOENT}};
  for (const auto& [given, errnum] : refused) {
    EXPECT_EQ(resolve_open_target(path(given)).error().os_error(), errnum) << given;
  }
  EXPECT_FALSE(fs::exists(path("a/b/new")) || fs::exists(path("new")));
  EXPECT_EQ(resolve_open_target("x\0y"s).error().message(),
            "I/O error: file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace tessarin::platform
