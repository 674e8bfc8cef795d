// The worker pool's thread rules, checked from outside: the threads a
// process has before and after work that runs parallel passes.
#include <sstream>

#include "collection_test_util.h"

namespace tessarin {
namespace {

// The pool's size is fixed per process, so this runs in a child process of
// this binary with RAYON_NUM_THREADS=1, which writes the number of its
// threads before and after an export and an import (each overlaps two parts
// with a TBB task group) to a file.
class PoolOneThreadTest : public testing::CollectionTest {};

size_t process_thread_count() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

TEST_F(PoolOneThreadTest, ExportAndImportStartNoThread) {
  if (const char* out = std::getenv("TESSARIN_POOL_THREADS_OUTPUT")) {
    const size_t before = process_thread_count();
    open(4, Metric::kL2);
    for (const auto& v : testing::normal_vectors(100, 4, 3)) add(v);
    EXPECT_EQ(testing::ok_value(export_to_file(st(), path("out.ndjson"))), 100u);
    EXPECT_EQ(testing::ok_value(import_from_file(st(), path("out.ndjson"))).imported, 100u);
    testing::put_file(out, std::to_string(before) + " " + std::to_string(process_thread_count()));
    return;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string out = path("threads");
  const std::string command = "RAYON_NUM_THREADS=1 TESSARIN_POOL_THREADS_OUTPUT='" + out + "' '" +
                              self + "' --gtest_filter=" + info->test_suite_name() + "." +
                              info->name() + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::istringstream counts(testing::file_bytes(out));
  size_t before = 0, after = 0;
  ASSERT_TRUE(counts >> before >> after);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace tessarin
