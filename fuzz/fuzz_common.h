// Helpers shared by the fuzz targets and the seed writer: inputs as files,
// checksum repair, the framing of multi-part inputs, and the small
// collection the directory target damages.
//
// Every target must end each input with a result or an error value; a
// result that breaks an invariant the engine promises (two decoders
// disagreeing, a round trip changing bytes) is reported with
// fuzz_check, which aborts so the fuzzer keeps the input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "collection/state.h"
#include "database.h"
#include "json/value.h"
#include "storage/vectors.h"

namespace tessarin::fuzz {

inline void fuzz_check(bool ok, const char* what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "fuzz invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

// The input's bytes as an anonymous in-memory file, opened by path through
// /proc/self/fd like any file the engine reads. The file may be grown or
// rewritten by the code under test; it vanishes with the object.
class MemFile {
 public:
  explicit MemFile(std::string_view bytes) {
    fd_ = ::memfd_create("tessarin-fuzz", 0);
    fuzz_check(fd_ >= 0, "memfd_create");
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      fuzz_check(n > 0, "memfd write");
      done += static_cast<size_t>(n);
    }
  }
  ~MemFile() { ::close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_ = -1;
};

// A directory of this process under /dev/shm (falling back to the temporary
// directory), emptied on construction and removed on destruction.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    std::error_code ec;
    std::filesystem::path root = "/dev/shm";
    if (!std::filesystem::is_directory(root, ec)) root = std::filesystem::temp_directory_path();
    path_ = root / ("tessarin-fuzz-" + std::to_string(::getpid()) + "-" + tag);
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline uint32_t crc32_of(std::string_view bytes) {
  return static_cast<uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

inline void put_u32_le(std::string& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

// Rewrites the CRC-32 trailer of an "hnsw.index" image so that damage past
// the checksum reaches the decoder.
inline void repair_index_crc(std::string& file) {
  if (file.size() < 4) return;
  const size_t body = file.size() - 4;
  put_u32_le(file, body, crc32_of(std::string_view(file).substr(0, body)));
}

// Rewrites the header checksum of a "vectors.bin" image by the rule of the
// header's own version.
inline void repair_vector_checksum(std::string& file) {
  if (file.size() < kVectorHeaderSize) return;
  const uint16_t version =
      static_cast<uint16_t>(static_cast<uint8_t>(file[4]) | static_cast<uint8_t>(file[5]) << 8);
  put_u32_le(file, kVectorChecksummedBytes,
             vector_header_checksum(version, reinterpret_cast<const uint8_t*>(file.data())));
}

// Multi-part inputs: the parts joined by kPartSeparator (the seed writer
// joins, the target splits).
inline constexpr std::string_view kPartSeparator = "\n--8<--part--8<--\n";

inline std::vector<std::string_view> split_parts(std::string_view input) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = input.find(kPartSeparator);
    parts.push_back(input.substr(0, at));
    if (at == std::string_view::npos) return parts;
    input.remove_prefix(at + kPartSeparator.size());
  }
}

inline std::string join_parts(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += kPartSeparator;
    out += parts[i];
  }
  return out;
}

// ---- The collection the directory target starts from ----

inline constexpr const char* kBaseCollection = "c";
inline constexpr uint64_t kBaseDims = 4;
inline constexpr int kBaseRecords = 24;

inline std::string base_id(int i) { return "r" + std::to_string(i); }

inline std::vector<float> base_vector(int i) {
  std::vector<float> v(kBaseDims);
  for (uint64_t d = 0; d < kBaseDims; ++d) {
    v[d] = static_cast<float>((i * 7 + static_cast<int>(d) * 3) % 11) - 5.0f;
  }
  return v;
}

inline json::Value base_metadata(int i) {
  json::Object o;
  o.insert_or_assign("n", json::Value(static_cast<uint64_t>(i)));
  o.insert_or_assign("tag", json::Value(i % 2 ? "odd" : "even"));
  return json::Value(std::move(o));
}

// A database at `db_dir` holding collection "c" of dimension 4 with a graph
// index: records added, some deleted (their slots on the free list), the
// graph built and saved to "hnsw.index". Aborts on any error: the seed must
// be sound.
inline void make_base_database(const std::string& db_dir) {
  auto db = open_database(db_dir);
  fuzz_check(db.ok(), "open_database (base)");
  CollectionConfig config;
  config.name = kBaseCollection;
  config.dimensions = kBaseDims;
  config.metric = Metric::kL2;
  config.hnsw_config = HnswConfig{4, 8, 4, 16, 16, 0.7213475204444817, 0};
  fuzz_check(register_collection(**db, config).ok(), "register_collection (base)");
  auto state = get_collection(**db, kBaseCollection);
  fuzz_check(state.ok(), "get_collection (base)");
  CollectionState& c = **state;
  for (int i = 0; i < kBaseRecords; ++i) {
    fuzz_check(add_record(c, base_vector(i), base_metadata(i), base_id(i), std::nullopt).ok(),
               "add_record (base)");
  }
  for (int i = 0; i < kBaseRecords; i += 5) {
    fuzz_check(delete_by_id(c, base_id(i)).ok(), "delete_by_id (base)");
  }
  fuzz_check(sync_collection(c).ok(), "sync_collection (base)");
}

}  // namespace tessarin::fuzz
