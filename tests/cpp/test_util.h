// Shared test helpers: a fresh temporary directory per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace tessarin::testing {

// Creates a unique empty directory for the test and removes it afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TESSARIN_TEST_TMP");
    std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(root);
    std::random_device rd;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = root / (std::string(info->test_suite_name()) + "." + info->name() + "." +
                   std::to_string(rd()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

}  // namespace tessarin::testing
