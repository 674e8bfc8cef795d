// The export file format: newline-delimited JSON, one header line, then one
// line per record, every line ended by a line feed.
//
//   {"version":1,"collection":"docs","dimensions":3,"metric":"cosine",
//    "record_count":2,"exported_at":1700000000}
//   {"id":"a","vector":[0.5,1.0,-2.25],"metadata":{"k":1},"created_at":1700000000}
//   {"id":"b","vector":[...],"metadata":null,"created_at":1699999000,"ttl":90}
//
// (each shown object is one line in the file). Keys are written in exactly
// this order; `ttl` only for a record that expires. Vector elements use
// json::print_f32 (non-finite elements become null), metadata json::print_to.
//
// Reading is strict and typed: a line holds one JSON value, either an object
// (keys in any order, unknown keys passed over, repeats refused) or an array
// of the fields by position; integer fields take only JSON integers within
// the field's range; vector elements are numbers read as doubles and
// narrowed to f32; metadata may nest as deep as json::parse accepts (the
// record's own object or array is not counted against it). Decoder
// messages carry the position inside the decoded text ("... at line L column
// C", json/parse.h).
//
// The file is accessed through 8192-byte buffers in both directions
// (LineReader, platform::BufferedWriter); a reader returns one line at a
// time and never holds more of the file than its buffer and that line.
//
// Thread safety: the functions are pure; a LineReader or BufferedWriter is used
// by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json/parse.h"
#include "json/value.h"
#include "platform/platform.h"

namespace tessarin {

// The newest file version this build reads; export writes it.
inline constexpr uint32_t kExportVersion = 1;

// Size of the input buffer in bytes (the output's is kWriteBufferBytes).
inline constexpr size_t kExportBufferBytes = 8192;

// Line 1 of an export file.
struct ExportHeader {
  uint32_t version = 0;
  std::string collection;
  uint64_t dimensions = 0;
  std::string metric;         // "cosine", "dot" or "l2" when written by export
  uint64_t record_count = 0;  // live records when the export began
  uint64_t exported_at = 0;   // wall-clock seconds since the Unix epoch
};

// Every further line of an export file.
struct ExportRecord {
  std::string id;
  std::vector<float> vector;
  json::Value metadata;
  std::optional<uint64_t> created_at;  // seconds since the epoch; import ignores it
  std::optional<uint64_t> ttl;         // seconds left; absent: never expires
};

// Appends the header line (without its line feed).
void print_export_header(std::string& out, const ExportHeader& header);

// Appends a record line (without its line feed). The ttl key is written only
// when `ttl` has a value.
void print_export_record(std::string& out, std::string_view id, std::span<const float> vector,
                         const json::Value& metadata, uint64_t created_at,
                         std::optional<uint64_t> ttl);

// Decodes `text` as exactly one header or record (JSON white space may
// surround it). On failure the error's message() is the decoder's text with
// its position. `out` is overwritten field by field; after a failure its
// contents are unspecified.
json::ParseStatus decode_export_header(std::string_view text, ExportHeader& out);
json::ParseStatus decode_export_record(std::string_view text, ExportRecord& out);

// `text` without the characters of the Unicode White_Space property at
// either end (U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000-U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000).
// REQUIRES: text is valid UTF-8.
std::string_view trim_white_space(std::string_view text);

// Reads a file line by line through an 8192-byte buffer.
class LineReader {
 public:
  explicit LineReader(platform::File file) : file_(std::move(file)) {}

  // Replaces *line with the next line: the bytes up to and including the
  // next line feed, or up to the end of the file. False (and *line empty) at
  // the end of the file. A read failure is Io with the system's error; a line
  // that is not valid UTF-8 is Io "stream did not contain valid UTF-8".
  [[nodiscard]] Result<bool> read_line(std::string* line);

 private:
  // Refills buf_ from the file; false at the end of the file.
  Result<bool> fill();

  platform::File file_;
  char buf_[kExportBufferBytes];
  size_t begin_ = 0;  // first unread byte in buf_
  size_t end_ = 0;    // one past the last valid byte in buf_
};


}  // namespace tessarin
