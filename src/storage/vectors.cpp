#include "storage/vectors.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

namespace tessarin {

// Slots and header fields are copied byte for byte between host values and
// the little-endian file.
static_assert(std::endian::native == std::endian::little, "the vector file is little-endian");
static_assert(sizeof(float) == 4);

namespace {

// Header field offsets.
constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 4;
constexpr size_t kDimensionsAt = 6;
constexpr size_t kSlotCountAt = 10;
constexpr size_t kChecksumAt = 18;
static_assert(kChecksumAt == kVectorChecksummedBytes);
static_assert(kChecksumAt + 4 <= kVectorHeaderSize);

template <typename T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

uint32_t fnv1a32(const uint8_t* bytes, size_t n) {
  uint32_t h = 0x811c9dc5u;
  for (size_t i = 0; i < n; ++i) {
    h ^= bytes[i];
    h *= 16777619u;
  }
  return h;
}

DbError truncated_error(uint64_t slot_count, uint64_t file_bytes) {
  return DbError::DataCorruption("Vector file truncated: header claims " +
                                 std::to_string(slot_count) + " slots but file holds " +
                                 std::to_string(file_bytes) + " bytes");
}

// True when `length` bytes hold the header and `slot_count` slots of
// `slot_size` bytes (computed without overflow).
bool holds_slots(uint64_t length, uint64_t slot_count, uint64_t slot_size) {
  if (length < kVectorHeaderSize) return false;
  return slot_count <= (length - kVectorHeaderSize) / slot_size;
}

// L * 1.5 in double precision, truncated, saturating at the largest u64.
uint64_t grown_length(uint64_t length) {
  const double grown = static_cast<double>(length) * 1.5;
  if (grown >= 18446744073709551616.0) return UINT64_MAX;  // 2^64
  return static_cast<uint64_t>(grown);
}

}  // namespace

Status validate_dimensions(uint64_t dimensions) {
  if (dimensions == 0) return DbError::InvalidInput("Dimensions must be greater than 0");
  if (dimensions > kMaxDimensions) return DbError::DimensionsTooLarge(kMaxDimensions, dimensions);
  return OkStatus();
}

uint32_t vector_header_checksum(uint16_t version, const uint8_t* bytes) {
  if (version <= 1) return fnv1a32(bytes, kVectorChecksummedBytes);
  return static_cast<uint32_t>(::crc32(0L, bytes, kVectorChecksummedBytes));
}

Result<VectorHeader> parse_vector_header(std::span<const uint8_t> file_bytes) {
  if (file_bytes.size() < kVectorHeaderSize) {
    return DbError::DataCorruption("Vector file too small for header");
  }
  const uint8_t* p = file_bytes.data();
  VectorHeader h;
  h.magic = load<uint32_t>(p + kMagicAt);
  h.version = load<uint16_t>(p + kVersionAt);
  h.dimensions = load<uint32_t>(p + kDimensionsAt);
  h.slot_count = load<uint64_t>(p + kSlotCountAt);
  h.checksum = load<uint32_t>(p + kChecksumAt);
  const uint32_t computed = vector_header_checksum(h.version, p);
  if (computed != h.checksum) {
    return DbError::DataCorruption("Header checksum mismatch: expected " + hex32(h.checksum) +
                                   ", got " + hex32(computed));
  }
  return h;
}

Result<bool> vector_file_lacks_header(const std::string& path) {
  // Mapped as open() maps it: only the header's bytes are read.
  TS_ASSIGN_OR_RETURN(platform::File file, platform::open_file(path));
  TS_ASSIGN_OR_RETURN(const uint64_t length, platform::file_length(file));
  TS_ASSIGN_OR_RETURN(const platform::Mapping map, platform::map_file(file, length));
  const uint8_t* head = map.data();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kVectorHeaderSize));
  return std::all_of(head, head + n, [](uint8_t b) { return b == 0; });
}

VectorStore::VectorStore(platform::Mapping map, uint64_t dimensions, uint64_t slot_count,
                         platform::File file, uint16_t version)
    : map_(std::move(map)),
      dimensions_(dimensions),
      slot_count_(slot_count),
      slot_size_(dimensions * sizeof(float)),
      file_(std::move(file)),
      version_(version) {}

Result<VectorStore> VectorStore::create(const std::string& path, uint64_t dimensions) {
  TS_RETURN_IF_ERROR(validate_dimensions(dimensions));
  TS_ASSIGN_OR_RETURN(platform::File file, platform::create_file(path));
  // A crash from here until the header is in the file leaves it without one
  // (vector_file_lacks_header).
  platform::crash_point("vector_file.created");
  Result<VectorStore> created = init_created(path, std::move(file), dimensions);
  // A file left empty or short would make the collection unopenable; with
  // none there, the next open creates it again.
  if (!created.ok()) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  return created;
}

Result<VectorStore> VectorStore::init_created(const std::string& path, platform::File file,
                                              uint64_t dimensions) {
  // Make the new directory entry durable before anything depends on it.
  TS_RETURN_IF_ERROR(platform::sync_parent_dir(path));
  const uint64_t slot_size = dimensions * sizeof(float);
  const uint64_t initial = kVectorHeaderSize + slot_size * kInitialSlots;
  TS_RETURN_IF_ERROR(platform::reserve_file_range(file, 0, initial));
  TS_ASSIGN_OR_RETURN(uint64_t length, platform::file_length(file));
  TS_ASSIGN_OR_RETURN(platform::Mapping map, platform::map_file(file, length));
  if (length < kVectorHeaderSize) {
    return DbError::DataCorruption("Vector file too small for header");
  }

  uint8_t* h = map.data();
  std::memset(h, 0, kVectorHeaderSize);
  store<uint32_t>(h + kMagicAt, kVectorMagic);
  store<uint16_t>(h + kVersionAt, kVectorVersion);
  store<uint32_t>(h + kDimensionsAt, static_cast<uint32_t>(dimensions));
  store<uint64_t>(h + kSlotCountAt, 0);
  store<uint32_t>(h + kChecksumAt, vector_header_checksum(kVectorVersion, h));
  VectorStore created(std::move(map), dimensions, 0, std::move(file), kVectorVersion);
  created.reserved_len_ = length;
  return created;
}

Result<VectorStore> VectorStore::open(const std::string& path, uint64_t dimensions) {
  TS_ASSIGN_OR_RETURN(platform::File file, platform::open_file(path));
  TS_ASSIGN_OR_RETURN(uint64_t length, platform::file_length(file));
  // An empty file is mapped with one byte so it still reaches the size check.
  TS_ASSIGN_OR_RETURN(platform::Mapping map, platform::map_file(file, length));
  TS_ASSIGN_OR_RETURN(VectorHeader h,
                      parse_vector_header({map.data(), static_cast<size_t>(length)}));
  if (h.magic != kVectorMagic) {
    return DbError::DataCorruption("Invalid magic number: expected " + hex32(kVectorMagic) +
                                   ", got " + hex32(h.magic));
  }
  if (h.version != kVectorVersion && h.version != kVectorVersionLegacy) {
    return DbError::DataCorruption("Unsupported version: expected " +
                                   std::to_string(kVectorVersion) + " or " +
                                   std::to_string(kVectorVersionLegacy) + ", got " +
                                   std::to_string(h.version));
  }
  TS_RETURN_IF_ERROR(validate_dimensions(h.dimensions));
  if (h.dimensions != dimensions) return DbError::DimensionMismatch(dimensions, h.dimensions);
  // A header counting more slots than the file holds would send slot
  // accesses past the mapping; refuse the file instead.
  if (!holds_slots(length, h.slot_count, uint64_t{h.dimensions} * sizeof(float))) {
    return truncated_error(h.slot_count, length);
  }
  VectorStore opened(std::move(map), h.dimensions, h.slot_count, std::move(file), h.version);
  // The slots counted were written, so their pages are backed; the capacity
  // after them (sparse when an older build grew the file, or a copy made it
  // so) is reserved when the first slot beyond them is handed out.
  opened.reserved_len_ = kVectorHeaderSize + h.slot_count * opened.slot_size_;
  return opened;
}

Status VectorStore::check_slot(uint64_t slot) const {
  if (slot >= slot_count_) {
    return DbError::RecordNotFound("Slot " + std::to_string(slot) + " not allocated");
  }
  return OkStatus();
}

uint8_t* VectorStore::slot_bytes(uint64_t slot) const {
  return map_.data() + kVectorHeaderSize + slot * slot_size_;
}

Status VectorStore::write_vector(uint64_t slot, std::span<const float> values) {
  if (values.size() != dimensions_) return DbError::DimensionMismatch(dimensions_, values.size());
  TS_RETURN_IF_ERROR(check_slot(slot));
  std::memcpy(slot_bytes(slot), values.data(), slot_size_);
  return OkStatus();
}

Result<std::span<float>> VectorStore::slot_for_write(uint64_t slot) {
  TS_RETURN_IF_ERROR(check_slot(slot));
  return std::span<float>(reinterpret_cast<float*>(slot_bytes(slot)), dimensions_);
}

Result<std::span<const float>> VectorStore::read_vector(uint64_t slot) const {
  TS_RETURN_IF_ERROR(check_slot(slot));
  return std::span<const float>(reinterpret_cast<const float*>(slot_bytes(slot)), dimensions_);
}

Result<bool> VectorStore::is_slot_free(uint64_t slot) const {
  TS_RETURN_IF_ERROR(check_slot(slot));
  // A NaN by its bits, so the test holds under any floating-point flags:
  // all exponent bits set and a non-zero mantissa.
  const uint32_t bits = load<uint32_t>(slot_bytes(slot));
  return (bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0;
}

Status VectorStore::mark_slot_free(uint64_t slot) {
  TS_RETURN_IF_ERROR(check_slot(slot));
  store<uint32_t>(slot_bytes(slot), kFreeSlotMarker);
  return OkStatus();
}

Status VectorStore::flush_vectors() const {
  TS_RETURN_IF_ERROR(platform::sync_mapping(map_));
  return platform::full_sync(file_);
}

Status VectorStore::advise_willneed() const { return platform::advise_willneed(map_); }

const float* VectorStore::slots_base() const {
  return reinterpret_cast<const float*>(map_.data() + kVectorHeaderSize);
}

void VectorStore::write_header_count() {
  uint8_t* h = map_.data();
  store<uint64_t>(h + kSlotCountAt, slot_count_);
  store<uint32_t>(h + kChecksumAt, vector_header_checksum(version_, h));
}

uint64_t VectorStore::length_to_hold(uint64_t slots) const {
  uint64_t length = map_.length();
  while (!holds_slots(length, slots, slot_size_) && length != UINT64_MAX) {
    const uint64_t one_more =
        kVectorHeaderSize + slot_size_ * ((length - kVectorHeaderSize) / slot_size_ + 1);
    length = std::max(grown_length(length), one_more);
  }
  return length;
}

Status VectorStore::make_room(uint64_t slots) {
  const uint64_t length = length_to_hold(slots);
  if (length > map_.length()) return grow_to(length);
  if (reserved_len_ < kVectorHeaderSize + slots * slot_size_) {
    TS_RETURN_IF_ERROR(platform::reserve_file_range(file_, reserved_len_, map_.length()));
    reserved_len_ = map_.length();
  }
  return OkStatus();
}

Status VectorStore::grow_to(uint64_t new_length) {
  // Written slots reach the file before it is remapped.
  TS_RETURN_IF_ERROR(platform::sync_mapping(map_));
  const uint64_t old_length = map_.length();
  Result<platform::Mapping> grown = reserve_and_map(new_length);
  if (!grown.ok()) {
    // Give back what the growth took; the old mapping stays in use.
    (void)platform::set_file_length(file_, old_length);
    return std::move(grown).error();
  }
  map_ = std::move(grown).value();  // unmaps the old range
  reserved_len_ = map_.length();
  return OkStatus();
}

Result<platform::Mapping> VectorStore::reserve_and_map(uint64_t new_length) {
  TS_RETURN_IF_ERROR(platform::reserve_file_range(file_, reserved_len_, new_length));
  TS_ASSIGN_OR_RETURN(uint64_t length, platform::file_length(file_));
  if (length < new_length) return truncated_error(slot_count_ + 1, length);
  return platform::map_file(file_, length);
}

Result<uint64_t> VectorStore::append_slot() {
  const uint64_t count = slot_count_;
  TS_RETURN_IF_ERROR(make_room(count + 1));
  slot_count_ = count + 1;
  write_header_count();
  return count;
}

Status VectorStore::append_slots(uint64_t n, std::vector<uint64_t>& out) {
  TS_RETURN_IF_ERROR(make_room(slot_count_ + n));
  for (uint64_t i = 0; i < n; ++i) out.push_back(slot_count_ + i);
  slot_count_ += n;
  write_header_count();
  return OkStatus();
}

Result<uint64_t> allocate_slot(Locked<FreeList>& free_list, Locked<VectorStore>& vectors) {
  std::optional<uint64_t> reused;
  {
    ExclusiveLock lock(free_list.mu);
    reused = free_list.value.pop_free_slot();
  }
  if (reused) return *reused;
  ExclusiveLock lock(vectors.mu);
  return vectors.value.append_slot();
}

Result<std::vector<uint64_t>> allocate_slots(Locked<FreeList>& free_list,
                                             Locked<VectorStore>& vectors, size_t n) {
  std::vector<uint64_t> slots;
  slots.reserve(n);
  {
    ExclusiveLock lock(free_list.mu);
    while (slots.size() < n) {
      std::optional<uint64_t> reused = free_list.value.pop_free_slot();
      if (!reused) break;
      slots.push_back(*reused);
    }
  }
  if (slots.size() == n) return slots;
  Status appended;
  {
    ExclusiveLock lock(vectors.mu);
    appended = vectors.value.append_slots(n - slots.size(), slots);
  }
  if (appended.ok()) return slots;
  // Nothing is handed out after all: the popped slots go back, the last
  // popped first, so the list is as it was.
  ExclusiveLock lock(free_list.mu);
  for (auto it = slots.rbegin(); it != slots.rend(); ++it) (void)free_list.value.push_free_slot(*it);
  return std::move(appended).error();
}

void release_unused_slots(Locked<FreeList>& free_list, Locked<VectorStore>& vectors,
                          std::span<const uint64_t> slots) {
  {
    // Marked before listed: once listed, an add may take one and write it.
    ExclusiveLock lock(vectors.mu);
    for (uint64_t slot : slots) (void)vectors.value.mark_slot_free(slot);
  }
  ExclusiveLock lock(free_list.mu);
  for (auto it = slots.rbegin(); it != slots.rend(); ++it) (void)free_list.value.push_free_slot(*it);
}

}  // namespace tessarin
