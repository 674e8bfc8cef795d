// The free-list row decoder, decode_slot_list, and the FreeList built from
// what it gives at open: each slot listed once, at its first place.
#include <cstdint>
#include <string_view>
#include <unordered_set>

#include "fuzz_common.h"
#include "storage/encoding.h"
#include "storage/freelist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::fuzz_check;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<std::vector<uint64_t>> slots = decode_slot_list(bytes);
  if (!slots.ok()) return 0;
  const std::string encoded = encode_slot_list(*slots);
  fuzz_check(bytes.substr(0, encoded.size()) == encoded, "slot list does not encode back");

  std::vector<uint64_t> first_places;
  std::unordered_set<uint64_t> seen;
  for (uint64_t s : *slots) {
    if (seen.insert(s).second) first_places.push_back(s);
  }
  FreeList list(std::move(*slots));
  fuzz_check(list.snapshot() == first_places, "free list does not keep first places");
  while (!first_places.empty()) {
    fuzz_check(list.pop_free_slot() == first_places.back(), "free list pops out of order");
    first_places.pop_back();
  }
  fuzz_check(!list.pop_free_slot(), "free list not empty after its slots");
  return 0;
}
