// "vectors.bin" as VectorStore::open reads it, then used as a collection
// uses it: every counted slot read and tested, one written, one freed, and
// slots allocated (growing the file when it is full).
//
// Input: one control byte, then the file. Control bit 0 repairs the header
// checksum (so damage behind it reaches the other checks); bits 1-2 choose
// the dimensions to open with: the header's own, or 1, 3 or 8.
#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_common.h"
#include "storage/vectors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::fuzz_check;
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (control & 1) fuzz::repair_vector_checksum(file);

  uint64_t dimensions = 0;
  switch ((control >> 1) & 3) {
    case 0: {
      Result<VectorHeader> header =
          parse_vector_header({reinterpret_cast<const uint8_t*>(file.data()), file.size()});
      dimensions = header.ok() ? header->dimensions : 1;
      break;
    }
    case 1: dimensions = 1; break;
    case 2: dimensions = 3; break;
    default: dimensions = 8; break;
  }

  fuzz::MemFile mem(file);
  Result<VectorStore> opened = VectorStore::open(mem.path(), dimensions);
  if (!opened.ok()) return 0;
  fuzz_check(opened->dimensions() == dimensions, "opened with other dimensions");
  fuzz_check(kVectorHeaderSize + opened->slot_count() * dimensions * 4 <= opened->mapped_len(),
             "slots beyond the mapping");

  Locked<VectorStore> vectors;
  vectors.value = std::move(opened).value();
  Locked<FreeList> free_list;
  VectorStore& store = vectors.value;
  const uint64_t count = store.slot_count();
  float sum = 0.0f;
  for (uint64_t slot = 0; slot < count; ++slot) {
    Result<std::span<const float>> v = store.read_vector(slot);
    fuzz_check(v.ok() && v->size() == dimensions, "counted slot unreadable");
    for (float x : *v) sum += x;
    fuzz_check(store.is_slot_free(slot).ok(), "counted slot untestable");
  }
  fuzz_check(!store.read_vector(count).ok(), "slot past slot_count readable");
  (void)sum;

  const std::vector<float> values(dimensions, 0.5f);
  if (count > 0) {
    fuzz_check(store.write_vector(count - 1, values).ok(), "write of a counted slot failed");
    fuzz_check(store.mark_slot_free(0).ok(), "mark_slot_free of slot 0 failed");
    fuzz_check(*store.is_slot_free(0), "freed slot not free");
  }
  if (count < (uint64_t{1} << 20)) {
    free_list.value.push_free_slot(count + 5);  // stale: the write must refuse it
    Result<uint64_t> stale = allocate_slot(free_list, vectors);
    fuzz_check(stale.ok() && !store.write_vector(*stale, values).ok(), "stale slot writable");
    Result<std::vector<uint64_t>> fresh = allocate_slots(free_list, vectors, 3);
    if (fresh.ok()) {
      for (uint64_t slot : *fresh) {
        fuzz_check(store.write_vector(slot, values).ok(), "allocated slot not writable");
      }
    }
  }
  return 0;
}
