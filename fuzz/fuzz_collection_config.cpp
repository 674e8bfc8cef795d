// The registry row decoder, decode_collection_config: a config it accepts
// must encode back to the bytes it came from (up to the ignored tail).
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "storage/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<CollectionConfig> config = decode_collection_config(bytes);
  if (!config.ok()) return 0;
  const std::string encoded = encode_collection_config(*config);
  fuzz::fuzz_check(encoded.size() == encoded_collection_config_size(*config),
                   "encoded_collection_config_size is wrong");
  fuzz::fuzz_check(bytes.substr(0, encoded.size()) == encoded, "config does not encode back");
  return 0;
}
