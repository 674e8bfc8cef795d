// VectorStore: a collection's vector file "vectors.bin", used through one
// shared read-write mapping of the whole file.
//
// File layout (all integers little-endian, header fields unaligned):
//   offset  size  field
//        0     4  magic       0x5453524E (the bytes "NRST")
//        4     2  version     1 or 2; new files are 2
//        6     4  dimensions  1 to 65536
//       10     8  slot_count  slots handed out so far
//       18     4  checksum    over bytes 0..18: FNV-1a 32 for version 0/1,
//                             CRC-32 (zlib) for version 2 and above
//       22    42  reserved    zero when written, not checked on open
//       64   ...  slots       slot i: bytes 64 + i*slot_size .. +slot_size,
//                             dimensions float32 values, component 0 first
// Bytes past the last handed-out slot are capacity (zero-filled by the file
// system). A slot whose component 0 is a NaN is free; freeing writes the
// quiet NaN 0x7FC00000.
//
// Space: slots are written through the mapping, where a page the file
// system cannot back (a sparse page on a full disk) kills the process with
// SIGBUS. So storage is reserved (platform::reserve_file_range) for every
// byte before a slot in it is handed out: the whole file when it is created
// or grown, and, for an opened file, the capacity after its counted slots
// when the first slot beyond them is handed out. A full disk is then an Io
// error (ENOSPC) of the allocation, before any slot changes hands.
//
// Ownership: a VectorStore owns the file descriptor and the mapping (both
// RAII); it is move-only. Closing it neither syncs the mapping nor the file.
// The collection state keeps it in a Locked<VectorStore> (sync/locked.h).
//
// Thread safety: none inside; the caller holds the Locked<VectorStore> lock:
//   exclusive: write_vector, slot_for_write, mark_slot_free (allocate_slot
//              takes it itself);
//   shared:    read_vector, is_slot_free, slots_base scans, flush_vectors,
//              advise_willneed, mapped_len and the other accessors.
// Growth replaces the mapping, so a view or pointer from read_vector or
// slots_base is valid only while the shared lock it was taken under is held.
//
// Lock order of allocate_slot: the free list's lock exclusively, pop,
// release; only then the vector lock exclusively. The two are never held
// together, so callers may hold the collection's pending-write mutex around
// it but must hold neither of these two locks.
// Lock order (the one list; a thread takes a lock only while every lock it
// holds comes earlier in this list; pairs never nested are noted where they
// are taken):
//   DatabaseState::open_mu -> DatabaseState::map_mu
//   -> CollectionState::writer_mu -> index_mu -> commit_mu -> claims_mu
//   -> pending_mu -> vectors.mu -> free_list.mu -> mirror.mu
//   -> index->graph.mu -> index->deleted.mu -> graph_changes_mu
//   -> index_file_mu
//   -> leaves: FreeList's own mutex, the store's internal mutexes, the
//      process-wide list of open states (detach_states_of_dir).
//
// Invariant: 64 + slot_count * slot_size <= mapped_len(). New and grown files
// satisfy it by construction; open refuses a file that does not, so no slot
// below slot_count lies outside the mapping, and every slot operation
// refuses a slot at or beyond slot_count with RecordNotFound
// "Slot {} not allocated".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "platform/platform.h"
#include "storage/freelist.h"
#include "sync/locked.h"

namespace tessarin {

inline constexpr uint32_t kVectorMagic = 0x5453524E;
inline constexpr uint16_t kVectorVersion = 2;          // written into new files
inline constexpr uint16_t kVectorVersionLegacy = 1;    // accepted, kept on rewrite
inline constexpr size_t kVectorHeaderSize = 64;        // bytes before slot 0
inline constexpr size_t kVectorChecksummedBytes = 18;  // bytes 0..18
inline constexpr uint64_t kMaxDimensions = 65536;
inline constexpr uint64_t kInitialSlots = 1024;        // room in a new file
inline constexpr uint32_t kFreeSlotMarker = 0x7FC00000;  // quiet NaN bits

// The first 22 bytes of a vector file, as stored.
struct VectorHeader {
  uint32_t magic = 0;
  uint16_t version = 0;
  uint32_t dimensions = 0;
  uint64_t slot_count = 0;
  uint32_t checksum = 0;  // the stored checksum
};

// d = 0 -> InvalidInput "Dimensions must be greater than 0";
// d > 65536 -> DimensionsTooLarge(65536, d).
Status validate_dimensions(uint64_t dimensions);

// The header checksum of the 18 bytes at `bytes` by the rule of `version`:
// FNV-1a 32 for versions 0 and 1, CRC-32 for 2 and above.
uint32_t vector_header_checksum(uint16_t version, const uint8_t* bytes);

// Reads the header fields of `file_bytes` (the whole mapped file) and checks
// the stored checksum against the one computed by the header's own version.
// Fewer than 64 bytes -> DataCorruption "Vector file too small for header";
// mismatch -> DataCorruption "Header checksum mismatch: expected 0x%08X,
// got 0x%08X" (stored first, computed second). Magic and version are not
// checked here.
Result<VectorHeader> parse_vector_header(std::span<const uint8_t> file_bytes);

// True when the file at `path` never got its header: every byte of its
// first min(length, 64) is zero, an empty file included. A creation killed
// after the file was made and before the header reached it leaves such a
// file (its length reserved, zero-filled); damage to a header leaves other
// bytes. Failure to open or read the file -> Io.
Result<bool> vector_file_lacks_header(const std::string& path);

class VectorStore {
 public:
  VectorStore() = default;  // holds nothing; only a move target
  VectorStore(VectorStore&&) = default;
  VectorStore& operator=(VectorStore&&) = default;

  // Creates (truncating) `path` for `dimensions`: mode 0666, length
  // 64 + dimensions * 4096 (1024 slots) with its storage reserved, the
  // parent directory synced, the version-2 header written into the mapping
  // but not synced. Invalid dimensions create nothing; on a later failure
  // (a full disk) the file is removed again, so the next open creates it.
  static Result<VectorStore> create(const std::string& path, uint64_t dimensions);

  // Opens the existing `path` for a collection of `dimensions`. Checks, the
  // first failure deciding: length < 64; checksum; magic; version 1 or 2;
  // the header's dimensions valid; equal to `dimensions` (DimensionMismatch
  // expected `dimensions`, got the header's); and the file holding every
  // slot the header counts (DataCorruption "Vector file truncated: ...").
  // A failed open releases everything and leaves the file unchanged.
  static Result<VectorStore> open(const std::string& path, uint64_t dimensions);

  // Copies `values` into `slot`.
  // REQUIRES: the exclusive lock.
  // values.size() != dimensions -> DimensionMismatch(dimensions, size);
  // slot >= slot_count -> RecordNotFound "Slot {} not allocated".
  Status write_vector(uint64_t slot, std::span<const float> values);

  // The slot's values, to be overwritten in place (a batch writes each
  // vector straight into its slot). Same errors as write_vector's slot check.
  // REQUIRES: the exclusive lock, held for as long as the view is used.
  Result<std::span<float>> slot_for_write(uint64_t slot);

  // A view of the slot's values as stored (a free slot keeps its NaN).
  // REQUIRES: the shared lock, held for as long as the view is used.
  Result<std::span<const float>> read_vector(uint64_t slot) const;

  // True when component 0 of `slot` is any NaN.
  // REQUIRES: the shared lock.
  Result<bool> is_slot_free(uint64_t slot) const;

  // Writes the free marker 0x7FC00000 into component 0 of `slot`; the
  // other components are left as they are.
  // REQUIRES: the exclusive lock.
  Status mark_slot_free(uint64_t slot);

  // msync(MS_SYNC) of the whole mapping, then a full file sync; the first
  // failure is returned as Io.
  // REQUIRES: the shared lock.
  Status flush_vectors() const;

  // madvise(MADV_WILLNEED) over the whole mapping; advisory.
  // REQUIRES: the shared lock.
  Status advise_willneed() const;

  // The identity of the open file, by fstat of the store's descriptor.
  Result<platform::FileId> file_id() const { return platform::file_id(file_); }

  uint64_t dimensions() const { return dimensions_; }
  uint64_t slot_count() const { return slot_count_; }
  // Length of the mapping in bytes (header plus every slot of capacity).
  uint64_t mapped_len() const { return map_.length(); }
  // Slot 0's first value; slot i starts at slots_base() + i * dimensions()
  // and is addressable for i < slot_count(). For scans that check the slot
  // bound themselves. REQUIRES: the shared lock while the pointer is used.
  const float* slots_base() const;

 private:
  friend Result<uint64_t> allocate_slot(Locked<FreeList>& free_list,
                                        Locked<VectorStore>& vectors);
  friend Result<std::vector<uint64_t>> allocate_slots(Locked<FreeList>& free_list,
                                                      Locked<VectorStore>& vectors, size_t n);

  VectorStore(platform::Mapping map, uint64_t dimensions, uint64_t slot_count,
              platform::File file, uint16_t version);

  Status check_slot(uint64_t slot) const;
  uint8_t* slot_bytes(uint64_t slot) const;
  // Hands out slot slot_count, growing the file when it lacks room, and
  // rewrites the header. On failure nothing observable changes.
  // REQUIRES: the exclusive lock.
  Result<uint64_t> append_slot();
  // Hands out `n` slots from slot_count on into `out`, leaving the file as
  // n append_slot calls would (one growth to the length their steps reach),
  // and rewrites the header once. On failure nothing observable changes.
  // REQUIRES: the exclusive lock.
  Status append_slots(uint64_t n, std::vector<uint64_t>& out);
  // The creation steps after the file is opened (create removes the file
  // when they fail).
  static Result<VectorStore> init_created(const std::string& path, platform::File file,
                                          uint64_t dimensions);
  // The file length that holds `slots` slots: the mapped length grown by
  // half (at least by one slot) as often as needed, as single growths would.
  uint64_t length_to_hold(uint64_t slots) const;
  // Makes slots below `slots` addressable and backed by reserved storage:
  // grows the file to length_to_hold(slots) when the mapping is shorter,
  // else reserves the capacity not reserved yet. On failure (Io, ENOSPC on
  // a full disk) nothing observable changes.
  Status make_room(uint64_t slots);
  // Syncs the written slots, then grows the file to `new_length` bytes with
  // the new bytes reserved and maps it again. On failure the file is cut
  // back to its old length and the old mapping stays in use.
  Status grow_to(uint64_t new_length);
  // The reservation and new mapping of grow_to.
  Result<platform::Mapping> reserve_and_map(uint64_t new_length);
  // Writes slot_count and the checksum of the store's version into the
  // mapped header.
  void write_header_count();

  platform::Mapping map_;    // the whole file, shared read-write
  uint64_t dimensions_ = 0;  // 1..65536
  uint64_t slot_count_ = 0;  // equal to the header's slot_count
  uint64_t slot_size_ = 0;   // bytes per slot: dimensions * 4
  platform::File file_;      // read-write
  uint16_t version_ = 0;     // 1 or 2; decides the header checksum
  // Bytes from the file's start whose storage is reserved (or written):
  // 64 + slot_count * slot_size <= reserved_len_ <= mapped_len(), so bytes
  // from reserved_len_ on hold no handed-out slot.
  uint64_t reserved_len_ = 0;
};

// Hands out a slot for a new vector: the most recently freed one when the
// free list has one (the file is untouched; the slot is not checked against
// slot_count, so a stale one fails at write_vector), else slot slot_count,
// growing the file by half (at least to the needed length) when it is full.
// Takes the locks itself, in the order described at the top of this file.
// A growth or reservation failure returns Io (ENOSPC on a full disk) and
// leaves slot_count, the header, the mapping in use and the file's length
// unchanged.
Result<uint64_t> allocate_slot(Locked<FreeList>& free_list, Locked<VectorStore>& vectors)
    EXCLUDES(free_list.mu, vectors.mu);

// Hands out `n` slots: the same ones, in the same order and leaving the
// same file, as n calls of allocate_slot with no other caller between
// them, taking each lock once. All or nothing: a failed growth returns its
// Io error, puts the slots popped from the free list back in their order
// and counts no new slot.
Result<std::vector<uint64_t>> allocate_slots(Locked<FreeList>& free_list,
                                             Locked<VectorStore>& vectors, size_t n)
    EXCLUDES(free_list.mu, vectors.mu);

// Takes back slots handed out by allocate_slot(s) for a write that failed
// before any committed record referred to them: each is marked free, then
// listed, the first handed out listed last so it is the next reused again.
// Without this a failed write would lose its slots for good (slot_count
// never shrinks, and the saved free list no longer holds popped ones).
// Takes the locks itself, one at a time, as allocate_slot does.
void release_unused_slots(Locked<FreeList>& free_list, Locked<VectorStore>& vectors,
                          std::span<const uint64_t> slots) EXCLUDES(free_list.mu, vectors.mu);

}  // namespace tessarin
