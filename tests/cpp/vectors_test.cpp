#include "storage/vectors.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "test_util.h"

namespace tessarin {
namespace {

using Bytes = std::vector<uint8_t>;

// Checksums computed here independently of the engine.
uint32_t fnv1a(const uint8_t* p, size_t n) {
  uint32_t h = 0x811c9dc5u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}
uint32_t crc(const uint8_t* p, size_t n) { return static_cast<uint32_t>(::crc32(0, p, n)); }

template <typename T>
T get(const Bytes& b, size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}
template <typename T>
void put(Bytes& b, size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

// A 64-byte header checksummed by the rule of its version, unless `checksum`
// is given.
Bytes header(uint32_t magic, uint16_t version, uint32_t dims, uint64_t slots,
             std::optional<uint32_t> checksum = std::nullopt) {
  Bytes h(64, 0);
  put(h, 0, magic);
  put(h, 4, version);
  put(h, 6, dims);
  put(h, 10, slots);
  put(h, 18, checksum ? *checksum : (version <= 1 ? fnv1a(h.data(), 18) : crc(h.data(), 18)));
  return h;
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Disarms every fault hook when it goes, whatever the test did.
struct FaultGuard {
  ~FaultGuard() {
    platform::FaultInjection::fail_full_sync(0);
    platform::FaultInjection::fail_set_length(0);
  }
};

class VectorStoreTest : public tessarin::testing::TempDirTest {
 protected:
  std::string file() const { return path("vectors.bin"); }

  Bytes read_file() const {
    std::ifstream in(file(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // The file becomes `head`, zero-padded to `total` bytes.
  void write_file(Bytes head, size_t total = 0) const {
    if (head.size() < total) head.resize(total, 0);
    std::ofstream(file(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(head.data()), head.size());
  }
  std::string open_error(uint64_t dims) const {
    auto r = VectorStore::open(file(), dims);
    return r.ok() ? "opened" : r.error().message();
  }

  static Locked<VectorStore> locked(Result<VectorStore> r) {
    EXPECT_TRUE(r.ok()) << r.error().message();
    return Locked<VectorStore>(std::move(r).value());
  }
  Locked<VectorStore> make(uint64_t dims) { return locked(VectorStore::create(file(), dims)); }
  Locked<VectorStore> reopen(uint64_t dims) { return locked(VectorStore::open(file(), dims)); }

  Locked<FreeList> free_list_;
};

TEST_F(VectorStoreTest, NewFileLayout) {
  auto vs = make(768);
  EXPECT_EQ(vs.value.mapped_len(), 3145792u);
  EXPECT_EQ(vs.value.slot_count(), 0u);
  EXPECT_EQ(vs.value.version(), 2);
  EXPECT_EQ(vs.value.slot_size(), 3072u);

  Bytes b = read_file();  // the shared mapping is visible through the file
  ASSERT_EQ(b.size(), 3145792u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "NRST");
  EXPECT_EQ(get<uint16_t>(b, 4), 2);
  EXPECT_EQ(get<uint32_t>(b, 6), 768u);
  EXPECT_EQ(get<uint64_t>(b, 10), 0u);
  EXPECT_EQ(get<uint32_t>(b, 18), crc(b.data(), 18));
  EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 64), Bytes(42, 0));
}

TEST_F(VectorStoreTest, DimensionBounds) {
  auto zero = VectorStore::create(file(), 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().message(), "Invalid input: Dimensions must be greater than 0");
  auto big = VectorStore::create(file(), 65537);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(), "Dimensions too large: maximum is 65536, got 65537");
  EXPECT_FALSE(std::filesystem::exists(file()));  // nothing created

  for (uint64_t d : {1u, 65536u}) {
    auto ok = VectorStore::create(file(), d);
    ASSERT_TRUE(ok.ok()) << d;
    EXPECT_EQ(ok->mapped_len(), 64 + d * 4096);
  }
}

TEST_F(VectorStoreTest, GrowsByHalfWhenFullAndFailsCleanly) {
  FaultGuard guard;
  auto vs = make(4);
  for (uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(*allocate_slot(free_list_, vs), i);
  EXPECT_EQ(vs.value.mapped_len(), 16448u);  // 1024 slots fit without growth
  const std::vector<float> first{1, 2, 3, 4}, last{5, 6, 7, 8};
  ASSERT_TRUE(vs.value.write_vector(0, first).ok());
  ASSERT_TRUE(vs.value.write_vector(1023, last).ok());

  // A failed growth leaves count, mapping and header as they were.
  const Bytes before = read_file();
  platform::FaultInjection::fail_set_length(ENOSPC);
  auto failed = allocate_slot(free_list_, vs);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().os_error(), ENOSPC);
  EXPECT_EQ(vs.value.slot_count(), 1024u);
  EXPECT_EQ(vs.value.mapped_len(), 16448u);
  EXPECT_EQ(read_file(), before);
  platform::FaultInjection::fail_set_length(0);

  EXPECT_EQ(*allocate_slot(free_list_, vs), 1024u);
  EXPECT_EQ(vs.value.mapped_len(), 24672u);
  EXPECT_EQ(std::filesystem::file_size(file()), 24672u);
  auto r0 = vs.value.read_vector(0);
  auto r1023 = vs.value.read_vector(1023);
  EXPECT_EQ(std::vector<float>(r0->begin(), r0->end()), first);  // survived the remap
  EXPECT_EQ(std::vector<float>(r1023->begin(), r1023->end()), last);
  Bytes b = read_file();
  EXPECT_EQ(get<uint64_t>(b, 10), 1025u);
  EXPECT_EQ(get<uint32_t>(b, 18), crc(b.data(), 18));

  platform::FaultInjection::fail_full_sync(EIO);
  Status flushed = vs.value.flush_vectors();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().message(), "I/O error: Input/output error (os error 5)");
  platform::FaultInjection::fail_full_sync(0);
  ASSERT_TRUE(vs.value.flush_vectors().ok());

  vs.value = VectorStore();  // close before reopening
  auto again = reopen(4);
  EXPECT_EQ(again.value.slot_count(), 1025u);
  EXPECT_EQ(again.value.read_vector(1023)->front(), 5.0f);
}

TEST_F(VectorStoreTest, VersionOneHeaderKeepsFnvThroughAllocationAndGrowth) {
  // Version 1, two slots handed out, room for exactly four.
  write_file(header(kVectorMagic, 1, 4, 2), 64 + 16 * 4);
  auto vs = reopen(4);
  EXPECT_EQ(vs.value.version(), 1);
  for (uint64_t expect = 2; expect < 5; ++expect) {  // the last one grows
    auto slot = allocate_slot(free_list_, vs);
    ASSERT_TRUE(slot.ok());
    EXPECT_EQ(*slot, expect);
    Bytes b = read_file();
    EXPECT_EQ(get<uint16_t>(b, 4), 1);
    EXPECT_EQ(get<uint32_t>(b, 18), fnv1a(b.data(), 18)) << "after slot " << expect;
  }
  EXPECT_EQ(vs.value.mapped_len(), 192u);  // max(128 * 1.5, 144)
}

TEST_F(VectorStoreTest, OpenChecksRunInOrderWithExactMessages) {
  const std::string small = "Data corruption: Vector file too small for header";
  write_file(Bytes(63, 0xAB));
  EXPECT_EQ(open_error(4), small);
  write_file(Bytes{});
  EXPECT_EQ(open_error(4), small);

  // Wrong magic and wrong checksum: the checksum is reported.
  Bytes bad = header(0xDEADBEEF, 2, 4, 0, 0x0000ABCD);
  write_file(bad, 16448);
  EXPECT_EQ(open_error(4), "Data corruption: Header checksum mismatch: expected 0x0000ABCD, got " +
                               hex(crc(bad.data(), 18)));
  EXPECT_EQ(get<uint32_t>(read_file(), 0), 0xDEADBEEFu);  // a failed open leaves the file

  struct Case {
    Bytes head;
    uint64_t dims;
    std::string message;
  };
  const Case cases[] = {
      {header(0xDEADBEEF, 2, 4, 0), 4,
       "Data corruption: Invalid magic number: expected 0x5453524E, got 0xDEADBEEF"},
      {header(kVectorMagic, 3, 4, 0), 4,
       "Data corruption: Unsupported version: expected 2 or 1, got 3"},
      {header(kVectorMagic, 0, 4, 0), 4,
       "Data corruption: Unsupported version: expected 2 or 1, got 0"},
      {header(kVectorMagic, 2, 0, 0), 4, "Invalid input: Dimensions must be greater than 0"},
      {header(kVectorMagic, 2, 70000, 0), 70000,
       "Dimensions too large: maximum is 65536, got 70000"},
      {header(kVectorMagic, 2, 8, 0), 4, "Dimension mismatch: expected 4, got 8"},
  };
  for (const Case& c : cases) {
    write_file(c.head, 16448);
    EXPECT_EQ(open_error(c.dims), c.message);
  }
}

TEST_F(VectorStoreTest, HeaderClaimingMoreSlotsThanTheFileHoldsIsRefused) {
  write_file(header(kVectorMagic, 2, 4, 2000), 16448);
  EXPECT_EQ(open_error(4),
            "Data corruption: Vector file truncated: header claims 2000 slots but file holds "
            "16448 bytes");
  write_file(header(kVectorMagic, 2, 4, UINT64_MAX), 16448);  // slot_count * size overflows
  EXPECT_EQ(open_error(4).rfind("Data corruption: Vector file truncated", 0), 0u);

  // A real file cut short after three slots were handed out.
  {
    auto vs = make(4);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(allocate_slot(free_list_, vs).ok());
  }
  std::filesystem::resize_file(file(), 64 + 16 * 2);
  EXPECT_EQ(open_error(4),
            "Data corruption: Vector file truncated: header claims 3 slots but file holds 96 "
            "bytes");

  // Exactly full, no capacity: opens, reads its last slot, grows on the next.
  std::filesystem::resize_file(file(), 64 + 16 * 3);
  auto vs = reopen(4);
  EXPECT_TRUE(vs.value.read_vector(2).ok());
  auto slot = allocate_slot(free_list_, vs);
  ASSERT_TRUE(slot.ok());
  EXPECT_EQ(*slot, 3u);
  EXPECT_EQ(vs.value.mapped_len(), 168u);  // max(112 * 1.5, 128)
}

TEST_F(VectorStoreTest, SlotAccessIsBoundedBySlotCount) {
  auto vs = make(4);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(allocate_slot(free_list_, vs).ok());
  VectorStore& s = vs.value;
  const std::vector<float> three{1, 2, 3}, four{1, 2, 3, 4};

  EXPECT_EQ(s.write_vector(0, three).error().message(), "Dimension mismatch: expected 4, got 3");
  const std::string missing = "Record not found: Slot 5 not allocated";
  EXPECT_EQ(s.read_vector(5).error().message(), missing);
  EXPECT_EQ(s.write_vector(5, four).error().message(), missing);
  EXPECT_EQ(s.is_slot_free(5).error().message(), missing);
  EXPECT_EQ(s.mark_slot_free(5).error().message(), missing);

  ASSERT_TRUE(s.write_vector(4, four).ok());
  auto v = s.read_vector(4);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(std::vector<float>(v->begin(), v->end()), four);
  EXPECT_EQ(s.slots_base()[4 * 4 + 3], 4.0f);
}

TEST_F(VectorStoreTest, AnyNanInComponentZeroMeansFree) {
  auto vs = make(4);
  ASSERT_TRUE(allocate_slot(free_list_, vs).ok());
  VectorStore& s = vs.value;
  const std::vector<float> v{1, 2, 3, 4};
  ASSERT_TRUE(s.write_vector(0, v).ok());
  EXPECT_FALSE(*s.is_slot_free(0));

  ASSERT_TRUE(s.mark_slot_free(0).ok());
  EXPECT_TRUE(*s.is_slot_free(0));
  Bytes b = read_file();
  EXPECT_EQ(Bytes(b.begin() + 64, b.begin() + 68), (Bytes{0x00, 0x00, 0xC0, 0x7F}));
  EXPECT_EQ((*s.read_vector(0))[3], 4.0f);  // the rest is left alone

  auto with_bits = [&](uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    const std::vector<float> w{f, 0, 0, 0};
    EXPECT_TRUE(s.write_vector(0, w).ok());
    return *s.is_slot_free(0);
  };
  EXPECT_TRUE(with_bits(0xFFFFFFFFu));   // negative NaN, full payload
  EXPECT_TRUE(with_bits(0x7F800001u));   // signalling NaN
  EXPECT_FALSE(with_bits(0x7F800000u));  // +infinity is a value
  EXPECT_FALSE(with_bits(0x00000000u));
}

TEST_F(VectorStoreTest, FreedSlotsAreReusedLastInFirstOut) {
  auto vs = make(4);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(allocate_slot(free_list_, vs).ok());
  for (uint64_t s : {4, 9, 2}) free_list_.value.push_free_slot(s);
  std::vector<uint64_t> got;
  for (int i = 0; i < 4; ++i) got.push_back(*allocate_slot(free_list_, vs));
  EXPECT_EQ(got, (std::vector<uint64_t>{2, 9, 4, 10}));
  EXPECT_EQ(vs.value.slot_count(), 11u);

  // A stale slot from a list saved for a larger file is handed out as is,
  // and the write that follows refuses it.
  free_list_.value.push_free_slot(5000);
  auto stale = allocate_slot(free_list_, vs);
  ASSERT_TRUE(stale.ok());
  EXPECT_EQ(*stale, 5000u);
  const std::vector<float> v{1, 2, 3, 4};
  EXPECT_EQ(vs.value.write_vector(5000, v).error().message(),
            "Record not found: Slot 5000 not allocated");
}

TEST_F(VectorStoreTest, ConcurrentAllocationsHandOutDistinctSlots) {
  auto vs = make(4);
  constexpr int kThreads = 4, kEach = 700;  // 2800 slots: grows twice
  std::vector<std::vector<uint64_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto slot = allocate_slot(free_list_, vs);
        ASSERT_TRUE(slot.ok());
        const std::vector<float> v(4, static_cast<float>(t));
        std::unique_lock lock(vs.mu);
        ASSERT_TRUE(vs.value.write_vector(*slot, v).ok());
        got[t].push_back(*slot);
      }
    });
  }
  for (auto& th : threads) th.join();

  std::set<uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t s : got[t]) {
      all.insert(s);
      EXPECT_EQ(vs.value.read_vector(s)->back(), static_cast<float>(t));
    }
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*all.rbegin(), uint64_t{kThreads * kEach - 1});
  EXPECT_EQ(vs.value.slot_count(), uint64_t{kThreads * kEach});
}

}  // namespace
}  // namespace tessarin
