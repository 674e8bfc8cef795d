// The JSON parser as stored metadata and filters reach it: parse,
// parse_or_null (metadata read back by scans), and the Decoder's read_value
// and skip_value. A document parse accepts must print and parse back to an
// equal value, and the cheaper forms must agree with parse.
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "json/parse.h"
#include "json/print.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::fuzz_check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  json::ParseResult<json::Value> parsed = json::parse(text);
  const json::Value cheap = json::parse_or_null(text);

  json::Decoder decoder(text);
  json::Value read;
  json::ParseStatus st = decoder.read_value(read);
  if (st.ok()) st = decoder.end();
  fuzz_check(st.ok() == parsed.ok(), "read_value and parse disagree on acceptance");

  json::Decoder skipper(text);
  json::ParseStatus skipped = skipper.skip_value();
  if (skipped.ok()) skipped = skipper.end();

  if (!parsed.ok()) {
    fuzz_check(cheap.is_null(), "parse_or_null accepted what parse refused");
    (void)parsed.error().message();
    return 0;
  }
  fuzz_check(cheap == parsed.value(), "parse_or_null and parse disagree");
  fuzz_check(read == parsed.value(), "read_value and parse disagree");
  fuzz_check(skipped.ok(), "skip_value refused what parse accepted");
  const std::string printed = json::print(parsed.value());
  json::ParseResult<json::Value> again = json::parse(printed);
  fuzz_check(again.ok() && again.value() == parsed.value(), "printed value does not parse back");
  return 0;
}
