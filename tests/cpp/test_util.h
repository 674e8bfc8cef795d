// Shared test helpers: a fresh temporary directory per test, files, random
// vectors, float bits, threads and results. Includes the standard headers the
// tests share.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "error.h"

namespace tessarin::testing {

// The value of a result that must succeed (a failed one fails the test).
template <typename R>
auto ok_value(R&& r) {
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::forward<R>(r).value();
}
// The display text of a result's error, or "ok".
template <typename R>
std::string error_text(const R& r) {
  return r.ok() ? "ok" : r.error().message();
}

// `n` vectors of `dims` N(0, 1) components, drawn in order from one engine.
inline std::vector<std::vector<float>> normal_vectors(size_t n, size_t dims, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> out(n, std::vector<float>(dims));
  for (auto& v : out) {
    for (float& x : v) x = normal(rng);
  }
  return out;
}

// The bit patterns of floats, for comparisons that tell -0.0 from 0.0 and
// compare NaNs.
inline uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }
inline std::vector<uint32_t> bits(std::span<const float> v) {
  std::vector<uint32_t> out;
  for (float x : v) out.push_back(bits(x));
  return out;
}

// Runs fn(0) .. fn(n - 1) on n threads at once and waits for all of them.
template <typename Fn>
void run_threads(int n, Fn fn) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(fn, t);
  for (std::thread& th : threads) th.join();
}

// The whole content of a file ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
// Replaces the file at `path` by `bytes`. Removes it first: truncating a
// written file makes ext4 flush it on close, which costs a disk write.
inline void put_file(const std::string& path, std::string_view bytes) {
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

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
