// Strict JSON parsing: whole documents into a json::Value, and a Decoder for
// typed, position-reporting decoding of fixed-shape records (the NDJSON
// import's header and record lines).
//
// Grammar: RFC 8259 JSON. White space between tokens is space, tab, line
// feed and carriage return only. Numbers are kept as u64 / i64 when they are
// integers that fit (see value.h), "-0" is the float -0.0, every other number
// becomes the correctly rounded f64; a number whose magnitude overflows f64
// fails with "number out of range" (underflow gives zero). Strings must be
// valid UTF-8, may not hold raw bytes below 0x20, and \u escapes of UTF-16
// surrogates must come in lead/trail pairs. Arrays and objects nest at most
// kMaxDepth (127) deep; opening the 128th level fails with "recursion limit
// exceeded". A Decoder may be given a deeper limit (see its constructor).
//
// Errors: a ParseError names the problem ("expected value", "trailing
// characters", "EOF while parsing a string", ...) and the position where it
// was found: line (1-based) and column (the number of bytes consumed on that
// line; 0 when nothing was, so "" fails at line 1 column 0). message() joins
// them as "{problem} at line {line} column {column}".
//
// Thread safety: the free functions are pure. A Decoder reads one text and is
// used by one thread at a time; the text must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/value.h"

namespace tessarin::json {

// The deepest nesting of arrays and objects that parse() accepts.
inline constexpr int kMaxDepth = 127;

struct ParseError {
  std::string problem;  // e.g. "expected value", "missing field `version`"
  uint64_t line = 0;    // 1-based
  uint64_t column = 0;  // bytes consumed on `line`

  // "{problem} at line {line} column {column}".
  std::string message() const;
};

// Either a T or the ParseError that prevented it.
template <typename T>
class [[nodiscard]] ParseResult {
 public:
  ParseResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}         // NOLINT
  ParseResult(ParseError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const ParseError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, ParseError> v_;
};

// Success, or the ParseError of a failed decoding step.
class [[nodiscard]] ParseStatus {
 public:
  ParseStatus() = default;
  ParseStatus(ParseError error) : error_(std::move(error)) {}  // NOLINT
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const ParseError& error() const { return *error_; }

 private:
  std::optional<ParseError> error_;
};

// Parses `text` as exactly one JSON value; white space may surround it,
// anything else after it fails with "trailing characters".
ParseResult<Value> parse(std::string_view text);

// Stored metadata read back: the value of `text`, or null when it does not
// parse (trailing non-white-space included). Never fails; builds no error
// text, so it is the cheap form for scans over many records.
Value parse_or_null(std::string_view text);

// The fixed shape of a record type, for Decoder::read_struct.
struct StructShape {
  std::string_view name;                     // "ExportRecord": used in messages
  std::span<const std::string_view> fields;  // declaration order; at most 64
  uint64_t optional_fields = 0;              // bit i set: field i may be absent
};

// Typed decoding in the manner of a derived struct deserializer: each read_*
// call consumes one value at the current position (leading white space
// allowed) or fails with a positioned error, whose texts are:
//   "invalid type: {found}, expected {what}"   found: null, boolean `true`,
//       integer `5`, floating point `1.5`, string "x" (quoted, with \n \t \r
//       \0 \\ \" and \u{..} escapes), sequence, map
//   "invalid value: integer `{n}`, expected u32"   (also u64 for negatives)
//   "invalid length {n}, expected struct {name} with {k} elements"
//   "missing field `{f}`", "duplicate field `{f}`"
// and the syntax errors of parse(). Nesting depth is shared by the whole text:
// read_struct, read_f32_array and read_value each count the levels they open.
//
// Decoding one line of a fixed-shape record:
//   Decoder d(line);
//   auto st = d.read_struct(kShape, [&](size_t field, Decoder& d) -> ParseStatus {
//     switch (field) { case 0: return d.read_string(rec.id); ... }
//   });
//   if (st.ok()) st = d.end();
// After an error the Decoder must not be used further.
class Decoder {
 public:
  // Called with the field's declaration index; consumes the field's value.
  using FieldReader = std::function<ParseStatus(size_t field, Decoder& decoder)>;

  // `max_depth` levels may be open at once, the ones read_struct opens
  // counted: a record that holds a whole document as one field takes
  // kMaxDepth + 1, so that the field may be as deep as parse() accepts.
  explicit Decoder(std::string_view text, int max_depth = kMaxDepth)
      : text_(text), remaining_depth_(max_depth + 1) {}

  // Any JSON value (objects sorted, later duplicate keys winning).
  ParseStatus read_value(Value& out);

  // Passes over one JSON value without building it and without the nesting
  // limit; its numbers are only checked for syntax (never out of range).
  ParseStatus skip_value();

  // A JSON string (expected "a string").
  ParseStatus read_string(std::string& out);

  // A non-negative JSON integer without fraction or exponent (expected "u64").
  ParseStatus read_u64(uint64_t& out);

  // As read_u64, at most 4294967295 (expected "u32").
  ParseStatus read_u32(uint32_t& out);

  // null (-> nullopt) or a u64 as above.
  ParseStatus read_optional_u64(std::optional<uint64_t>& out);

  // An array of numbers (expected "a sequence"), each read as a double and
  // narrowed to f32 (expected "f32") by IEEE round-to-nearest-even, beyond
  // the f32 range to infinity; an integer is thus rounded twice, to the
  // nearest double and then to f32. `out` is replaced.
  ParseStatus read_f32_array(std::vector<float>& out);

  // A record of the given shape, written as an object or as an array:
  //   object: keys in any order; a key that is a field calls read_field with
  //     its index (at most once, a repeat fails with "duplicate field"); other
  //     keys' values are passed over (skip_value). After the object, the first
  //     field in declaration order that was absent and is not optional fails
  //     with "missing field". Absent optional fields are not reported: the
  //     caller starts from their absent state.
  //   array: read_field for every field in order; fewer elements fail with
  //     "invalid length", more with "trailing characters".
  //   anything else: "invalid type: ..., expected struct {name}".
  ParseStatus read_struct(const StructShape& shape, const FieldReader& read_field);

  // Succeeds when only white space is left ("trailing characters" otherwise).
  ParseStatus end();

 private:
  enum class Code : uint8_t;

  // Internal steps return false after recording the error in err_*.
  int peek_ws();  // skips white space; the next byte, or -1 at the end
  bool fail(Code code);       // error at the current position
  bool fail_peek(Code code);  // error one byte further (the byte peeked at)
  bool fail_custom(std::string problem);  // error at the current position
  ParseError take_error() const;
  ParseStatus status(bool ok) const { return ok ? ParseStatus() : ParseStatus(take_error()); }

  bool enter_nesting();  // counts a level about to be opened at the peeked byte
  bool ident(const char* rest);
  bool any(Value& out);
  bool array_body(Array& out);
  bool object_body(Object& out);
  // The separators shared by arrays and objects: `item` is false at `close`;
  // otherwise `next` is the first byte of the item (-1 at the end), after the
  // comma that every item but the first needs.
  bool item_start(char close, Code missing_separator, Code eof, bool& first, bool& item,
                  int& next);
  bool seq_next(bool& first, bool& has_element);
  bool map_next_key(bool& first, std::string& key, bool& has_key);
  bool object_colon();
  bool end_seq();
  bool end_map();
  bool string_body(std::string& out);
  bool escape(std::string& out);
  bool hex4(uint32_t& out);
  struct Number;
  bool number(Number& out);
  bool invalid_type(std::string_view expected);
  bool unsigned_integer(uint64_t max, std::string_view expected, uint64_t& out);
  bool f32_element(float& out);
  bool skip_any();
  bool skip_string();
  bool skip_number();

  friend Value parse_or_null(std::string_view text);
  friend ParseResult<Value> parse(std::string_view text);

  std::string_view text_;
  size_t pos_ = 0;               // bytes consumed
  int remaining_depth_;          // opening a level at 0 remaining fails
  std::string scratch_;          // strings decoded only for error texts
  std::string skip_stack_;       // '[' / '{' of the containers skip_value is in
  // The recorded error: its problem (code or custom text) and byte offset.
  Code err_code_{};
  size_t err_pos_ = 0;
  std::string err_custom_;
};

}  // namespace tessarin::json
