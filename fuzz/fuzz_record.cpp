// The stored record decoders: decode_record (get, compaction) and
// decode_record_view (scans). Both must accept and refuse the same bytes
// with the same text, agree on what they accept, and a decoded record must
// encode back to the bytes it was read from (up to the ignored tail).
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "storage/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::fuzz_check;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<Record> record = decode_record(bytes);
  Result<RecordView> view = decode_record_view(bytes);
  fuzz_check(record.ok() == view.ok(), "record and view decoders disagree on acceptance");
  if (!record.ok()) {
    fuzz_check(record.error().message() == view.error().message(), "decoders' error texts differ");
    return 0;
  }
  fuzz_check(view->to_record() == *record, "record and view decoders disagree on the value");
  const std::string encoded = encode_record(*record);
  fuzz_check(encoded.size() == encoded_record_size(*record), "encoded_record_size is wrong");
  fuzz_check(bytes.substr(0, encoded.size()) == encoded, "record does not encode back");
  return 0;
}
