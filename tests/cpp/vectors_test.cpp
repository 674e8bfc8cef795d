#include "storage/vectors.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <tuple>

#include "test_util.h"

namespace tessarin {
namespace {

using Bytes = std::string;  // raw file bytes

// Checksums computed here independently of the engine.
uint32_t fnv1a(std::string_view b) {
  uint32_t h = 0x811c9dc5u;
  for (unsigned char c : b) h = (h ^ c) * 16777619u;
  return h;
}
uint32_t crc(std::string_view b) {
  return static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(b.data()), b.size()));
}

template <typename T>
void put(Bytes& b, size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

// A 64-byte header checksummed by the rule of its version, unless `checksum` is given.
Bytes header(uint32_t magic, uint16_t version, uint32_t dims, uint64_t slots,
             std::optional<uint32_t> checksum = std::nullopt) {
  Bytes h(64, 0);
  put(h, 0, magic);
  put(h, 4, version);
  put(h, 6, dims);
  put(h, 10, slots);
  put(h, 18, checksum ? *checksum : (version <= 1 ? fnv1a(h.substr(0, 18)) : crc(h.substr(0, 18))));
  return h;
}

std::vector<float> floats(Result<std::span<const float>> r) {  // none when the slot cannot be read
  return r.ok() ? std::vector<float>(r->begin(), r->end()) : std::vector<float>{};
}

class VectorStoreTest : public tessarin::testing::TempDirTest {
 protected:
  void TearDown() override {
    platform::FaultInjection::reset();
    TempDirTest::TearDown();
  }
  std::string file() const { return path("vectors.bin"); }
  Bytes read_file() const { return testing::file_bytes(file()); }
  // The file becomes `head`, zero-padded to `total` bytes.
  void write_file(Bytes head, size_t total = 0) const {
    if (head.size() < total) head.resize(total, 0);
    testing::put_file(file(), head);
  }
  std::string open_error(uint64_t dims) const { return testing::error_text(VectorStore::open(file(), dims)); }
  Locked<VectorStore> make(uint64_t dims) { return Locked<VectorStore>(testing::ok_value(VectorStore::create(file(), dims))); }
  Locked<VectorStore> reopen(uint64_t dims) { return Locked<VectorStore>(testing::ok_value(VectorStore::open(file(), dims))); }
  uint64_t allocate(Locked<VectorStore>& vs) { return testing::ok_value(allocate_slot(free_list_, vs)); }

  Locked<FreeList> free_list_;
};

TEST_F(VectorStoreTest, NewFileLayoutAndDimensionBounds) {
  // (The texts: the open-checks table below, which reads the same bounds.)
  for (uint64_t dims : {0, 65537}) EXPECT_FALSE(VectorStore::create(file(), dims).ok()) << dims;
  EXPECT_FALSE(std::filesystem::exists(file()));  // nothing created
  EXPECT_EQ(make(65536).value.mapped_len(), 64 + 65536u * 4096);

  auto vs = make(768);
  EXPECT_EQ(vs.value.mapped_len(), 3145792u);
  const Bytes b = read_file();  // the shared mapping is visible through the file
  ASSERT_EQ(b.size(), 3145792u);
  EXPECT_EQ(b.substr(0, 64), header(0x5453524E, 2, 768, 0));  // "NRST"
}

TEST_F(VectorStoreTest, GrowsByHalfWhenFullAndFailsCleanly) {
  auto vs = make(4);
  for (uint64_t i = 0; i < 1024; ++i) ASSERT_EQ(allocate(vs), i);
  EXPECT_EQ(vs.value.mapped_len(), 16448u);  // 1024 slots fit without growth
  ASSERT_TRUE(vs.value.write_vector(0, std::vector<float>{1, 2, 3, 4}).ok());
  ASSERT_TRUE(vs.value.write_vector(1023, std::vector<float>{5, 6, 7, 8}).ok());

  EXPECT_EQ(allocate(vs), 1024u);  // (A failed growth: FullDiskFailsBeforeAnySlotIsHandedOut.)
  EXPECT_EQ(vs.value.mapped_len(), 24672u);
  EXPECT_EQ(std::filesystem::file_size(file()), 24672u);
  EXPECT_EQ(floats(vs.value.read_vector(0)), (std::vector<float>{1, 2, 3, 4}));  // survived the remap
  EXPECT_EQ(read_file().substr(0, 64), header(kVectorMagic, 2, 4, 1025));
  ASSERT_TRUE(vs.value.flush_vectors().ok());

  vs.value = VectorStore();  // close before reopening
  auto again = reopen(4);
  EXPECT_EQ(again.value.slot_count(), 1025u);
  EXPECT_EQ(floats(again.value.read_vector(1023)), (std::vector<float>{5, 6, 7, 8}));
}

// allocate_slots hands out what as many allocate_slot calls would: free
// slots last-freed first, then appended ones across several growth steps,
// leaving the same file; a failed growth hands out nothing, not even the
// free slots it popped.
TEST_F(VectorStoreTest, BulkAllocationMatchesSingleCallsAllOrNothing) {
  auto three_used_two_freed = [&](Locked<VectorStore>& vs) {
    for (int i = 0; i < 3; ++i) allocate(vs);
    for (uint64_t s : {0, 2}) free_list_.value.push_free_slot(s);
  };
  auto single = make(4);
  three_used_two_freed(single);
  std::vector<uint64_t> expected;
  for (int i = 0; i < 2600; ++i) expected.push_back(allocate(single));
  const uint64_t expected_len = single.value.mapped_len();
  const Bytes expected_file = read_file();
  single.value = VectorStore();

  std::filesystem::remove(file());
  auto bulk = make(4);
  three_used_two_freed(bulk);
  EXPECT_EQ(allocate_slots(free_list_, bulk, 2600).value(), expected);
  EXPECT_EQ(bulk.value.mapped_len(), expected_len);
  EXPECT_EQ(read_file(), expected_file);

  for (uint64_t s : {7, 5}) free_list_.value.push_free_slot(s);
  const uint64_t room = (bulk.value.mapped_len() - 64) / 16 - bulk.value.slot_count();
  const Bytes before = read_file();
  platform::FaultInjection::fail(platform::Op::kReserve, ENOSPC);
  EXPECT_EQ(allocate_slots(free_list_, bulk, room + 5).error().os_error(), ENOSPC);
  platform::FaultInjection::reset();
  EXPECT_EQ(bulk.value.slot_count(), 2601u);
  EXPECT_EQ(bulk.value.mapped_len(), expected_len);
  EXPECT_EQ(read_file(), before);
  EXPECT_EQ(free_list_.value.snapshot(), (std::vector<uint64_t>{7, 5}));
}

// Every byte a slot may be handed out in has its storage reserved, by
// fallocate or, where the file system refuses it, by writing zeros: a store
// through the mapping then never meets a sparse page on a full disk.
TEST_F(VectorStoreTest, NewAndGrownFilesHaveTheirSpaceReserved) {
  auto reserved = [&] {
    struct stat st {};
    return ::stat(file().c_str(), &st) == 0 && uint64_t(st.st_blocks) * 512 >= uint64_t(st.st_size);
  };
  for (int fallocate_errno : {0, EOPNOTSUPP}) {
    platform::FaultInjection::fail(platform::Op::kReserve, fallocate_errno);
    std::filesystem::remove(file());
    auto vs = make(4);
    EXPECT_TRUE(reserved()) << fallocate_errno;
    for (int i = 0; i <= 1024; ++i) allocate(vs);  // the last one grows the file
    EXPECT_EQ(std::filesystem::file_size(file()), 24672u);
    EXPECT_TRUE(reserved()) << fallocate_errno;
  }
}

// A full disk is an error of the reservation: a file it cannot create is
// not left behind (an empty one would not open), and the capacity of an
// opened file, which an older build left sparse, is reserved before its
// first slot is handed out.
TEST_F(VectorStoreTest, FullDiskFailsBeforeAnySlotIsHandedOut) {
  platform::FaultInjection::fail(platform::Op::kReserve, ENOSPC);
  EXPECT_EQ(VectorStore::create(file(), 4).error().message(),
            "I/O error: No space left on device (os error 28)");
  EXPECT_FALSE(std::filesystem::exists(file()));

  platform::FaultInjection::reset();
  write_file(header(kVectorMagic, 2, 4, 2), 64 + 16 * 4);
  auto vs = reopen(4);
  platform::FaultInjection::fail(platform::Op::kReserve, ENOSPC);
  EXPECT_EQ(allocate_slot(free_list_, vs).error().os_error(), ENOSPC);
  EXPECT_EQ(vs.value.slot_count(), 2u);
  platform::FaultInjection::reset();
  EXPECT_EQ(allocate(vs), 2u);
}

TEST_F(VectorStoreTest, VersionOneHeaderKeepsFnvThroughAllocationAndGrowth) {
  write_file(header(kVectorMagic, 1, 4, 2), 64 + 16 * 4);  // two slots used, room for four
  auto vs = reopen(4);
  for (uint64_t expect = 2; expect < 5; ++expect) {  // the last one grows
    EXPECT_EQ(allocate(vs), expect);
    EXPECT_EQ(read_file().substr(0, 64), header(kVectorMagic, 1, 4, expect + 1)) << "after slot " << expect;
  }
  EXPECT_EQ(vs.value.mapped_len(), 192u);  // max(128 * 1.5, 144)
}

TEST_F(VectorStoreTest, OpenChecksRunInOrderWithExactMessages) {
  // Wrong magic and wrong checksum: the checksum is reported.
  Bytes bad = header(0xDEADBEEF, 2, 4, 0, 0x0000ABCD);
  write_file(bad, 16448);
  char got[11];
  std::snprintf(got, sizeof got, "0x%08X", crc(bad.substr(0, 18)));
  EXPECT_EQ(open_error(4),
            std::string("Data corruption: Header checksum mismatch: expected 0x0000ABCD, got ") + got);
  EXPECT_EQ(read_file().substr(0, 64), bad);  // a failed open leaves the file

  const std::tuple<Bytes, uint64_t, size_t, std::string> cases[] = {
      {Bytes(63, '\xAB'), 4, 0, "Data corruption: Vector file too small for header"},
      {Bytes{}, 4, 0, "Data corruption: Vector file too small for header"},
      {header(0xDEADBEEF, 2, 4, 0), 4, 16448,
       "Data corruption: Invalid magic number: expected 0x5453524E, got 0xDEADBEEF"},
      {header(kVectorMagic, 3, 4, 0), 4, 16448, "Data corruption: Unsupported version: expected 2 or 1, got 3"},
      {header(kVectorMagic, 0, 4, 0), 4, 16448, "Data corruption: Unsupported version: expected 2 or 1, got 0"},
      {header(kVectorMagic, 2, 0, 0), 4, 16448, "Invalid input: Dimensions must be greater than 0"},
      {header(kVectorMagic, 2, 70000, 0), 70000, 16448, "Dimensions too large: maximum is 65536, got 70000"},
      {header(kVectorMagic, 2, 8, 0), 4, 16448, "Dimension mismatch: expected 4, got 8"},
      {header(kVectorMagic, 2, 4, 2000), 4, 16448,
       "Data corruption: Vector file truncated: header claims 2000 slots but file holds 16448 bytes"},
      {header(kVectorMagic, 2, 4, 3), 4, 64 + 16 * 2,  // one slot short
       "Data corruption: Vector file truncated: header claims 3 slots but file holds 96 bytes"},
      {header(kVectorMagic, 2, 4, UINT64_MAX), 4, 16448,  // slot_count * size overflows
       "Data corruption: Vector file truncated: header claims 18446744073709551615 slots but file holds 16448 bytes"},
  };
  for (const auto& [head, dims, total, message] : cases) {
    write_file(head, total);
    EXPECT_EQ(open_error(dims), message);
  }
  // Exactly full, no spare capacity: opens and reads its last slot.
  write_file(header(kVectorMagic, 2, 4, 3), 64 + 16 * 3);
  EXPECT_TRUE(reopen(4).value.read_vector(2).ok());
}

TEST_F(VectorStoreTest, SlotAccessAndTheFreeMarker) {
  auto vs = make(4);
  for (int i = 0; i < 5; ++i) allocate(vs);
  VectorStore& s = vs.value;
  const std::vector<float> four{1, 2, 3, 4};
  EXPECT_EQ(s.write_vector(0, std::vector<float>{1, 2, 3}).error().message(),
            "Dimension mismatch: expected 4, got 3");
  const std::string missing = "Record not found: Slot 5 not allocated";
  EXPECT_EQ(s.read_vector(5).error().message(), missing);
  EXPECT_EQ(s.write_vector(5, four).error().message(), missing);
  EXPECT_EQ(s.is_slot_free(5).error().message(), missing);
  EXPECT_EQ(s.mark_slot_free(5).error().message(), missing);

  ASSERT_TRUE(s.write_vector(4, four).ok());
  EXPECT_EQ(floats(s.read_vector(4)), four);
  EXPECT_EQ(s.slots_base()[4 * 4 + 3], 4.0f);
  EXPECT_FALSE(*s.is_slot_free(4));
  ASSERT_TRUE(s.mark_slot_free(4).ok());
  EXPECT_TRUE(*s.is_slot_free(4));
  EXPECT_EQ(read_file().substr(128, 4), Bytes("\x00\x00\xC0\x7F", 4));
  EXPECT_EQ(floats(s.read_vector(4))[3], 4.0f);  // the rest is left alone

  // Any NaN in component 0 marks the slot free; infinity and zero do not.
  for (auto [word, is_free] : {std::pair{0xFFFFFFFFu, true}, std::pair{0x7F800001u, true},
                               std::pair{0x7F800000u, false}, std::pair{0u, false}}) {
    ASSERT_TRUE(s.write_vector(0, std::vector<float>{std::bit_cast<float>(word), 0, 0, 0}).ok());
    EXPECT_EQ(*s.is_slot_free(0), is_free) << std::hex << word;
  }
  // (A stale slot from a list saved for a larger file: fuzz_vector_file.)
}

// The list allocate_slot takes from: last freed first, and never a slot
// twice, or two records would be handed it.
TEST(FreeListTest, LoadedListPopsItsLastSlotFirstAndNeverListsASlotTwice) {
  FreeList loaded(std::vector<uint64_t>{7, 3, 7, 3});  // as a damaged store could hold it
  EXPECT_EQ(loaded.snapshot(), (std::vector<uint64_t>{7, 3}));
  EXPECT_TRUE(loaded.contains_free_slot(7));
  EXPECT_FALSE(loaded.contains_free_slot(4));
  FreeList moved(std::move(loaded));
  EXPECT_TRUE(moved.push_free_slot(9));
  EXPECT_FALSE(moved.push_free_slot(3));
  EXPECT_EQ(moved.snapshot(), (std::vector<uint64_t>{7, 3, 9}));
  for (uint64_t want : {9, 3, 7}) EXPECT_EQ(moved.pop_free_slot(), want);
  EXPECT_EQ(moved.pop_free_slot(), std::nullopt);
  EXPECT_TRUE(moved.push_free_slot(3));  // popped, so listed again
}

TEST_F(VectorStoreTest, ConcurrentAllocationsHandOutDistinctSlots) {
  auto vs = make(4);
  constexpr int kThreads = 4, kEach = 700;  // 2800 slots: grows twice
  std::vector<std::vector<uint64_t>> got(kThreads);
  testing::run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kEach; ++i) {
      const uint64_t slot = allocate(vs);
      std::unique_lock lock(vs.mu);
      ASSERT_TRUE(vs.value.write_vector(slot, std::vector<float>(4, float(t))).ok());
      got[t].push_back(slot);
    }
  });
  std::set<uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t s : got[t]) {
      all.insert(s);
      EXPECT_EQ(floats(vs.value.read_vector(s)).back(), float(t));
    }
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*all.rbegin(), uint64_t{kThreads * kEach - 1});
}

}  // namespace
}  // namespace tessarin
