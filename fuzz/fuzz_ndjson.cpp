// The export file as import reads it: LineReader over the file, the first
// line through decode_export_header, every other non-blank line trimmed and
// through decode_export_record. A decoded header or record must print and
// decode back to the same fields.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/ndjson.h"
#include "fuzz_common.h"
#include "platform/platform.h"

namespace {

using namespace tessarin;
using fuzz::fuzz_check;

void check_header(std::string_view line) {
  ExportHeader header;
  if (!decode_export_header(line, header).ok()) return;
  std::string printed;
  print_export_header(printed, header);
  ExportHeader again;
  fuzz_check(decode_export_header(printed, again).ok(), "printed header does not decode");
  fuzz_check(again.version == header.version && again.collection == header.collection &&
                 again.dimensions == header.dimensions && again.metric == header.metric &&
                 again.record_count == header.record_count &&
                 again.exported_at == header.exported_at,
             "printed header decodes to other fields");
}

void check_record(std::string_view line) {
  ExportRecord record;
  if (!decode_export_record(line, record).ok()) return;
  // Export writes a non-finite element as null, which import refuses; the
  // engine never stores one (adds refuse them), so only finite ones round-trip.
  for (float x : record.vector) {
    if (!std::isfinite(x)) return;
  }
  std::string printed;
  print_export_record(printed, record.id, record.vector, record.metadata,
                      record.created_at.value_or(0), record.ttl);
  ExportRecord again;
  fuzz_check(decode_export_record(printed, again).ok(), "printed record does not decode");
  fuzz_check(again.id == record.id && again.vector.size() == record.vector.size() &&
                 again.metadata == record.metadata && again.ttl == record.ttl,
             "printed record decodes to other fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzz::MemFile mem(bytes);
  Result<platform::File> file = platform::open_file_read_only(mem.path());
  fuzz_check(file.ok(), "open of the input file");
  LineReader reader(std::move(file).value());
  std::string line;
  for (bool first = true;; first = false) {
    Result<bool> more = reader.read_line(&line);
    if (!more.ok() || !*more) break;
    if (first) {
      check_header(line);
      continue;
    }
    const std::string_view trimmed = trim_white_space(line);
    if (!trimmed.empty()) check_record(trimmed);
  }
  return 0;
}
