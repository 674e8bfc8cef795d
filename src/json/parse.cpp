#include "json/parse.h"

#include <charconv>
#include <limits>
#include <system_error>

#include "json/print.h"

namespace tessarin::json {

enum class Decoder::Code : uint8_t {
  kCustom = 0,  // err_custom_ holds the text
  kControlCharacterWhileParsingString,
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kInvalidEscape,
  kInvalidNumber,
  kInvalidUnicodeCodePoint,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kNumberOutOfRange,
  kRecursionLimitExceeded,
  kTrailingCharacters,
  kTrailingComma,
  kUnexpectedEndOfHexEscape,
};

struct Decoder::Number {
  enum class Kind : uint8_t { kU64, kI64, kF64 } kind = Kind::kU64;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0.0;
};

namespace {

std::string_view code_text(int code) {
  static constexpr std::string_view kTexts[] = {
      "",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "EOF while parsing a list",
      "EOF while parsing an object",
      "EOF while parsing a string",
      "EOF while parsing a value",
      "expected `:`",
      "expected `,` or `]`",
      "expected `,` or `}`",
      "expected ident",
      "expected value",
      "invalid escape",
      "invalid number",
      "invalid unicode code point",
      "key must be a string",
      "lone leading surrogate in hex escape",
      "number out of range",
      "recursion limit exceeded",
      "trailing characters",
      "trailing comma",
      "unexpected end of hex escape",
  };
  return kTexts[code];
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// String bytes: 0 = ASCII copied as is, 1 = ends a plain run (quote,
// backslash, control byte), 2 = part of a multi-byte UTF-8 sequence.
constexpr auto kStringByte = [] {
  struct Table {
    uint8_t c[256];
  } t{};
  for (int i = 0; i < 0x20; ++i) t.c[i] = 1;
  t.c[uint8_t{'"'}] = 1;
  t.c[uint8_t{'\\'}] = 1;
  for (int i = 0x80; i < 0x100; ++i) t.c[i] = 2;
  return t;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes the UTF-8 sequence at s[i]; returns its length (0 if invalid:
// overlong, surrogate, above U+10FFFF or truncated).
size_t utf8_sequence(std::string_view s, size_t i, uint32_t& cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool valid_utf8(std::string_view s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Characters a quoted string in an error message shows as \u{..}: controls,
// invisible format characters, combining marks and private-use characters.
bool shown_as_escape(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0xAD || (cp >= 0x300 && cp <= 0x36F) ||
         (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x206F) || (cp >= 0xE000 && cp <= 0xF8FF) ||
         (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) ||
         cp >= 0xE0000;
}

// Appends `s` quoted for an error message: "..." with \" \\ \n \r \t \0 and
// \u{hex} escapes. REQUIRES: s is valid UTF-8.
void append_quoted(std::string& out, std::string_view s) {
  out.push_back('"');
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence(s, i, cp);
    switch (cp) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      case 0: out.append("\\0"); break;
      default:
        if (shown_as_escape(cp)) {
          char buf[8];
          auto r = std::to_chars(buf, buf + sizeof buf, cp, 16);
          out.append("\\u{").append(buf, r.ptr).push_back('}');
        } else {
          out.append(s.substr(i, len));
        }
    }
    i += len;
  }
  out.push_back('"');
}

std::string unexpected_number_text(bool is_float, bool negative, uint64_t magnitude, double d) {
  std::string s;
  if (is_float) {
    s = "floating point `";
    print_f64(s, d);
  } else {
    s = "integer `";
    if (negative) s.push_back('-');
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, magnitude);
    s.append(buf, r.ptr);
  }
  s.push_back('`');
  return s;
}

}  // namespace

std::string ParseError::message() const {
  std::string s = problem;
  s.append(" at line ").append(std::to_string(line));
  s.append(" column ").append(std::to_string(column));
  return s;
}

// ---- error recording ------------------------------------------------------

bool Decoder::fail(Code code) {
  err_code_ = code;
  err_pos_ = pos_;
  return false;
}

bool Decoder::fail_peek(Code code) {
  err_code_ = code;
  err_pos_ = pos_ < text_.size() ? pos_ + 1 : text_.size();
  return false;
}

bool Decoder::fail_custom(std::string problem) {
  err_code_ = Code::kCustom;
  err_custom_ = std::move(problem);
  err_pos_ = pos_;
  return false;
}

ParseError Decoder::take_error() const {
  ParseError e;
  e.problem = err_code_ == Code::kCustom ? err_custom_
                                         : std::string(code_text(static_cast<int>(err_code_)));
  e.line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < err_pos_; ++i) {
    if (text_[i] == '\n') {
      ++e.line;
      line_start = i + 1;
    }
  }
  e.column = err_pos_ - line_start;
  return e;
}

// ---- tokens -----------------------------------------------------------------

inline int Decoder::peek_ws() {
  const size_t n = text_.size();
  while (pos_ < n) {
    char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

bool Decoder::ident(const char* rest) {
  for (; *rest; ++rest) {
    if (pos_ == text_.size()) return fail(Code::kEofWhileParsingValue);
    if (text_[pos_++] != *rest) return fail(Code::kExpectedSomeIdent);
  }
  return true;
}

bool Decoder::enter_nesting() {
  if (--remaining_depth_ == 0) return fail_peek(Code::kRecursionLimitExceeded);
  return true;
}

bool Decoder::hex4(uint32_t& out) {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail(Code::kEofWhileParsingString);
  }
  int v = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(text_[pos_ + k]);
    ok &= h >= 0;
    v = (v << 4) | (h & 0xF);
  }
  pos_ += 4;  // all four are consumed before the check
  if (!ok) return fail(Code::kInvalidEscape);
  out = static_cast<uint32_t>(v);
  return true;
}

// pos_ is just past the backslash.
bool Decoder::escape(std::string& out) {
  if (pos_ == text_.size()) return fail(Code::kEofWhileParsingString);
  switch (text_[pos_++]) {
    case '"': out.push_back('"'); return true;
    case '\\': out.push_back('\\'); return true;
    case '/': out.push_back('/'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': break;
    default: return fail(Code::kInvalidEscape);
  }
  uint32_t cp;
  if (!hex4(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(Code::kLoneLeadingSurrogateInHexEscape);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A lead surrogate must be followed at once by \u and a trail surrogate.
    for (char expected : {'\\', 'u'}) {
      if (pos_ == text_.size()) return fail(Code::kEofWhileParsingString);
      if (text_[pos_++] != expected) return fail(Code::kUnexpectedEndOfHexEscape);
    }
    uint32_t trail;
    if (!hex4(trail)) return false;
    if (trail < 0xDC00 || trail > 0xDFFF) return fail(Code::kLoneLeadingSurrogateInHexEscape);
    cp = (((cp - 0xD800) << 10) | (trail - 0xDC00)) + 0x10000;
  }
  append_utf8(out, cp);
  return true;
}

// pos_ is just past the opening quote; on success just past the closing one.
bool Decoder::string_body(std::string& out) {
  out.clear();
  const char* s = text_.data();
  const size_t n = text_.size();
  size_t i = pos_;
  size_t run = i;  // first byte not yet copied into out
  bool non_ascii = false;
  for (;;) {
    uint8_t cls = 0;
    while (i < n && (cls = kStringByte.c[static_cast<unsigned char>(s[i])]) != 1) {
      non_ascii |= cls == 2;
      ++i;
    }
    if (i == n) {
      pos_ = n;
      return fail(Code::kEofWhileParsingString);
    }
    if (s[i] == '"') {
      out.append(s + run, i - run);
      pos_ = i + 1;
      // Escapes only ever add whole, valid sequences, so checking the result
      // checks the raw bytes.
      if (non_ascii && !valid_utf8(out)) return fail(Code::kInvalidUnicodeCodePoint);
      return true;
    }
    if (s[i] == '\\') {
      out.append(s + run, i - run);
      pos_ = i + 1;
      if (!escape(out)) return false;
      i = run = pos_;
      continue;
    }
    pos_ = i + 1;
    return fail(Code::kControlCharacterWhileParsingString);
  }
}

// pos_ is at the number's '-' or first digit.
bool Decoder::number(Number& out) {
  const size_t n = text_.size();
  const size_t start = pos_;
  const bool positive = text_[pos_] != '-';
  if (!positive) ++pos_;
  if (pos_ == n) return fail(Code::kEofWhileParsingValue);
  const char first = text_[pos_++];
  uint64_t significand = 0;
  bool fits = true;           // significand holds the integer exactly
  bool nonzero = false;       // some mantissa digit is not 0
  int64_t lead_exp = 0;       // decimal exponent of the first nonzero digit, sans exponent part
  if (first == '0') {
    if (pos_ < n && is_digit(text_[pos_])) return fail_peek(Code::kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    const size_t digits_start = pos_ - 1;
    significand = static_cast<uint64_t>(first - '0');
    nonzero = true;
    while (pos_ < n && is_digit(text_[pos_])) {
      uint64_t d = static_cast<uint64_t>(text_[pos_] - '0');
      if (fits && significand > (std::numeric_limits<uint64_t>::max() - d) / 10) fits = false;
      if (fits) significand = significand * 10 + d;
      ++pos_;
    }
    lead_exp = static_cast<int64_t>(pos_ - digits_start) - 1;
  } else {
    return fail(Code::kInvalidNumber);
  }

  bool is_float = !fits;
  if (pos_ < n && text_[pos_] == '.') {
    ++pos_;
    const size_t frac_start = pos_;
    while (pos_ < n && is_digit(text_[pos_])) {
      if (!nonzero && text_[pos_] != '0') {
        nonzero = true;
        lead_exp = -static_cast<int64_t>(pos_ - frac_start) - 1;
      }
      ++pos_;
    }
    if (pos_ == frac_start) {
      return fail_peek(pos_ < n ? Code::kInvalidNumber : Code::kEofWhileParsingValue);
    }
    is_float = true;
  }
  int64_t exp = 0;
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    bool negative_exp = false;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) negative_exp = text_[pos_++] == '-';
    if (pos_ == n) return fail(Code::kEofWhileParsingValue);
    const char d0 = text_[pos_++];
    if (!is_digit(d0)) return fail(Code::kInvalidNumber);
    int32_t e = d0 - '0';
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    while (pos_ < n && is_digit(text_[pos_])) {
      int32_t d = text_[pos_++] - '0';
      if (e > kMax / 10 || (e == kMax / 10 && d > kMax % 10)) {
        // An exponent beyond 32 bits: infinite unless the value is zero or
        // the exponent negative, which give zero.
        if (nonzero && !negative_exp) return fail(Code::kNumberOutOfRange);
        while (pos_ < n && is_digit(text_[pos_])) ++pos_;
        out.kind = Number::Kind::kF64;
        out.d = positive ? 0.0 : -0.0;
        return true;
      }
      e = e * 10 + d;
    }
    exp = negative_exp ? -int64_t{e} : int64_t{e};
    is_float = true;
  }

  if (!is_float) {
    if (positive) {
      out.kind = Number::Kind::kU64;
      out.u = significand;
    } else if (significand == 0) {
      out.kind = Number::Kind::kF64;  // "-0" is the float -0.0
      out.d = -0.0;
    } else if (significand <= uint64_t{1} << 63) {
      out.kind = Number::Kind::kI64;
      out.i = static_cast<int64_t>(0 - significand);  // two's complement: -2^63 included
    } else {
      out.kind = Number::Kind::kF64;
      out.d = -static_cast<double>(significand);
    }
    return true;
  }

  out.kind = Number::Kind::kF64;
  const char* b = text_.data() + start;
  const char* e = text_.data() + pos_;
  auto r = std::from_chars(b, e, out.d);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone on overflow and on underflow to zero.
    if (lead_exp + exp > 0) return fail(Code::kNumberOutOfRange);
    out.d = positive ? 0.0 : -0.0;
  }
  return true;
}

// ---- values -------------------------------------------------------------------

bool Decoder::item_start(char close, Code missing_separator, Code eof, bool& first, bool& item,
                         int& next) {
  next = peek_ws();
  if (next == close) {
    item = false;
    return true;
  }
  if (next == ',' && !first) {
    ++pos_;
    next = peek_ws();
  } else if (next >= 0) {
    if (!first) return fail_peek(missing_separator);
    first = false;
  } else {
    return fail_peek(eof);
  }
  if (next == close) return fail_peek(Code::kTrailingComma);
  item = true;
  return true;
}

bool Decoder::seq_next(bool& first, bool& has_element) {
  int c;
  if (!item_start(']', Code::kExpectedListCommaOrEnd, Code::kEofWhileParsingList, first,
                  has_element, c)) {
    return false;
  }
  if (has_element && c < 0) return fail_peek(Code::kEofWhileParsingValue);
  return true;
}

bool Decoder::map_next_key(bool& first, std::string& key, bool& has_key) {
  int c;
  if (!item_start('}', Code::kExpectedObjectCommaOrEnd, Code::kEofWhileParsingObject, first,
                  has_key, c)) {
    return false;
  }
  if (!has_key) return true;
  if (c == '"') {
    ++pos_;
    return string_body(key);
  }
  return fail_peek(c >= 0 ? Code::kKeyMustBeAString : Code::kEofWhileParsingValue);
}

bool Decoder::object_colon() {
  int c = peek_ws();
  if (c == ':') {
    ++pos_;
    return true;
  }
  return fail_peek(c >= 0 ? Code::kExpectedColon : Code::kEofWhileParsingObject);
}

bool Decoder::end_seq() {
  int c = peek_ws();
  if (c == ']') {
    ++pos_;
    return true;
  }
  if (c == ',') {
    ++pos_;
    return fail_peek(peek_ws() == ']' ? Code::kTrailingComma : Code::kTrailingCharacters);
  }
  return fail_peek(c >= 0 ? Code::kTrailingCharacters : Code::kEofWhileParsingList);
}

bool Decoder::end_map() {
  int c = peek_ws();
  if (c == '}') {
    ++pos_;
    return true;
  }
  if (c == ',') return fail_peek(Code::kTrailingComma);
  return fail_peek(c >= 0 ? Code::kTrailingCharacters : Code::kEofWhileParsingObject);
}

// Elements and members are gathered on per-thread stacks shared by all
// nesting levels and moved into an exactly sized vector when their container
// closes: one allocation per container instead of one per doubling.
namespace {
thread_local std::vector<Value> tl_element_stack;
thread_local std::vector<Object::Member> tl_member_stack;
}  // namespace

bool Decoder::array_body(Array& out) {
  std::vector<Value>& stack = tl_element_stack;
  const size_t base = stack.size();
  bool first = true;
  bool has = false;
  bool ok;
  for (;;) {
    ok = seq_next(first, has);
    if (!ok || !has) break;
    Value element;
    ok = any(element);
    if (!ok) break;
    stack.push_back(std::move(element));
  }
  if (ok) {
    out.reserve(stack.size() - base);
    for (size_t i = base; i < stack.size(); ++i) out.push_back(std::move(stack[i]));
  }
  stack.resize(base);
  return ok;
}

bool Decoder::object_body(Object& out) {
  std::vector<Object::Member>& stack = tl_member_stack;
  const size_t base = stack.size();
  bool first = true;
  bool has = false;
  bool ok;
  for (;;) {
    std::string key;
    ok = map_next_key(first, key, has);
    if (!ok || !has) break;
    Value value;
    ok = object_colon() && any(value);
    if (!ok) break;
    stack.emplace_back(std::move(key), std::move(value));
  }
  if (ok) {
    out.members_.reserve(stack.size() - base);
    for (size_t i = base; i < stack.size(); ++i) out.members_.push_back(std::move(stack[i]));
    out.sort_and_dedupe();
  }
  stack.resize(base);
  return ok;
}

bool Decoder::any(Value& out) {
  const int c = peek_ws();
  switch (c) {
    case -1:
      return fail_peek(Code::kEofWhileParsingValue);
    case 'n':
      ++pos_;
      out.v_.emplace<0>();
      return ident("ull");
    case 't':
      ++pos_;
      out.v_.emplace<1>(true);
      return ident("rue");
    case 'f':
      ++pos_;
      out.v_.emplace<1>(false);
      return ident("alse");
    case '"':
      ++pos_;
      return string_body(out.v_.emplace<5>());
    case '[': {
      if (!enter_nesting()) return false;
      ++pos_;
      bool ok = array_body(out.v_.emplace<6>());
      ++remaining_depth_;
      return ok && end_seq();
    }
    case '{': {
      if (!enter_nesting()) return false;
      ++pos_;
      bool ok = object_body(out.v_.emplace<7>());
      ++remaining_depth_;
      return ok && end_map();
    }
    default:
      break;
  }
  if (c != '-' && !is_digit(c)) return fail_peek(Code::kExpectedSomeValue);
  Number num;
  if (!number(num)) return false;
  switch (num.kind) {
    case Number::Kind::kU64: out.v_.emplace<2>(num.u); break;
    case Number::Kind::kI64: out.v_.emplace<3>(num.i); break;
    case Number::Kind::kF64: out.v_.emplace<4>(num.d); break;
  }
  return true;
}

// ---- skipping -----------------------------------------------------------------

// pos_ is just past the opening quote. Unlike string_body, the content is
// only checked for syntax (escapes), and a control byte is reported at its own
// position rather than after it.
bool Decoder::skip_string() {
  const size_t n = text_.size();
  for (;;) {
    while (pos_ < n && kStringByte.c[static_cast<unsigned char>(text_[pos_])] != 1) ++pos_;
    if (pos_ == n) return fail(Code::kEofWhileParsingString);
    const char c = text_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') return fail(Code::kControlCharacterWhileParsingString);
    ++pos_;
    if (pos_ == n) return fail(Code::kEofWhileParsingString);
    switch (text_[pos_++]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u': {
        uint32_t ignored;
        if (!hex4(ignored)) return false;
        break;
      }
      default:
        return fail(Code::kInvalidEscape);
    }
  }
}

// pos_ is at the first digit ('-' already consumed). Syntax only.
bool Decoder::skip_number() {
  const size_t n = text_.size();
  auto peek_digit = [&] { return pos_ < n && is_digit(text_[pos_]); };
  auto peek_is = [&](char a, char b) { return pos_ < n && (text_[pos_] == a || text_[pos_] == b); };
  const char first = pos_ < n ? text_[pos_++] : '\0';
  if (first == '0') {
    if (peek_digit()) return fail_peek(Code::kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (peek_digit()) ++pos_;
  } else {
    return fail(Code::kInvalidNumber);
  }
  if (peek_is('.', '.')) {
    ++pos_;
    if (!peek_digit()) return fail_peek(Code::kInvalidNumber);
    while (peek_digit()) ++pos_;
  }
  if (peek_is('e', 'E')) {
    ++pos_;
    if (peek_is('+', '-')) ++pos_;
    const char d0 = pos_ < n ? text_[pos_++] : '\0';
    if (!is_digit(d0)) return fail(Code::kInvalidNumber);
    while (peek_digit()) ++pos_;
  }
  return true;
}

// Iterative, so nesting costs no stack: skip_stack_ holds the brackets of the
// containers outside the innermost one (`frame`).
bool Decoder::skip_any() {
  skip_stack_.clear();
  char enclosing = 0;
  for (;;) {
    const int c = peek_ws();
    char frame = 0;
    switch (c) {
      case -1:
        return fail_peek(Code::kEofWhileParsingValue);
      case 'n':
        ++pos_;
        if (!ident("ull")) return false;
        break;
      case 't':
        ++pos_;
        if (!ident("rue")) return false;
        break;
      case 'f':
        ++pos_;
        if (!ident("alse")) return false;
        break;
      case '"':
        ++pos_;
        if (!skip_string()) return false;
        break;
      case '[':
      case '{':
        if (enclosing != 0) skip_stack_.push_back(enclosing);
        enclosing = 0;
        ++pos_;
        frame = static_cast<char>(c);
        break;
      case '-':
        ++pos_;
        if (!skip_number()) return false;
        break;
      default:
        if (!is_digit(c)) return fail_peek(Code::kExpectedSomeValue);
        if (!skip_number()) return false;
    }

    bool accept_comma;
    if (frame != 0) {
      accept_comma = false;
    } else if (enclosing != 0) {
      accept_comma = true;
      frame = enclosing;
      enclosing = 0;
    } else if (!skip_stack_.empty()) {
      accept_comma = true;
      frame = skip_stack_.back();
      skip_stack_.pop_back();
    } else {
      return true;  // a scalar at the top
    }

    // Close containers until another element (or member) is due.
    for (;;) {
      const int d = peek_ws();
      if (d == ',' && accept_comma) {
        ++pos_;
        break;
      }
      if ((d == ']' && frame == '[') || (d == '}' && frame == '{')) {
        ++pos_;
        if (skip_stack_.empty()) return true;
        frame = skip_stack_.back();
        skip_stack_.pop_back();
        accept_comma = true;
        continue;
      }
      if (d < 0) {
        return fail_peek(frame == '[' ? Code::kEofWhileParsingList : Code::kEofWhileParsingObject);
      }
      if (accept_comma) {
        return fail_peek(frame == '[' ? Code::kExpectedListCommaOrEnd
                                      : Code::kExpectedObjectCommaOrEnd);
      }
      break;
    }

    if (frame == '{') {
      int d = peek_ws();
      if (d != '"') {
        return fail_peek(d >= 0 ? Code::kKeyMustBeAString : Code::kEofWhileParsingObject);
      }
      ++pos_;
      if (!skip_string()) return false;
      d = peek_ws();
      if (d != ':') return fail_peek(d >= 0 ? Code::kExpectedColon : Code::kEofWhileParsingObject);
      ++pos_;
    }
    enclosing = frame;
  }
}

// ---- typed decoding -------------------------------------------------------------

// At the first byte of a value that is not of the expected type: consumes a
// scalar (so the position falls after it) and records "invalid type".
bool Decoder::invalid_type(std::string_view expected) {
  const int c = pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : 0;
  std::string found;
  switch (c) {
    case 'n':
      ++pos_;
      if (!ident("ull")) return false;
      found = "null";
      break;
    case 't':
      ++pos_;
      if (!ident("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      ++pos_;
      if (!ident("alse")) return false;
      found = "boolean `false`";
      break;
    case '"':
      ++pos_;
      if (!string_body(scratch_)) return false;
      found = "string ";
      append_quoted(found, scratch_);
      break;
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default: {
      if (c != '-' && !is_digit(c)) return fail_peek(Code::kExpectedSomeValue);
      Number num;
      if (!number(num)) return false;
      const bool negative = num.kind == Number::Kind::kI64;
      found = num.kind == Number::Kind::kF64
                  ? unexpected_number_text(true, false, 0, num.d)
                  : unexpected_number_text(false, negative,
                                           negative ? 0 - static_cast<uint64_t>(num.i) : num.u, 0.0);
    }
  }
  std::string problem = "invalid type: ";
  problem.append(found).append(", expected ").append(expected);
  return fail_custom(std::move(problem));
}

bool Decoder::unsigned_integer(uint64_t max, std::string_view expected, uint64_t& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(Code::kEofWhileParsingValue);
  if (c != '-' && !is_digit(c)) return invalid_type(expected);
  Number num;
  if (!number(num)) return false;
  std::string problem;
  switch (num.kind) {
    case Number::Kind::kU64:
      if (num.u <= max) {
        out = num.u;
        return true;
      }
      problem = "invalid value: " + unexpected_number_text(false, false, num.u, 0.0);
      break;
    case Number::Kind::kI64:
      problem = "invalid value: " +
                unexpected_number_text(false, true, 0 - static_cast<uint64_t>(num.i), 0.0);
      break;
    case Number::Kind::kF64:
      problem = "invalid type: " + unexpected_number_text(true, false, 0, num.d);
      break;
  }
  problem.append(", expected ").append(expected);
  return fail_custom(std::move(problem));
}

bool Decoder::f32_element(float& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(Code::kEofWhileParsingValue);
  if (c != '-' && !is_digit(c)) return invalid_type("f32");
  Number num;
  if (!number(num)) return false;
  // An element is a double narrowed to f32: an integer goes to the nearest
  // double first. Narrowing it in one step would round differently where the
  // double's rounding makes a tie (2^60 + 2^36 + 1 -> 2^60, not 2^60 + 2^37).
  double d = num.d;
  switch (num.kind) {
    case Number::Kind::kU64: d = static_cast<double>(num.u); break;
    case Number::Kind::kI64: d = static_cast<double>(num.i); break;
    case Number::Kind::kF64: break;
  }
  out = static_cast<float>(d);
  return true;
}

ParseStatus Decoder::read_value(Value& out) { return status(any(out)); }

ParseStatus Decoder::skip_value() { return status(skip_any()); }

ParseStatus Decoder::read_string(std::string& out) {
  const int c = peek_ws();
  if (c < 0) return status(fail_peek(Code::kEofWhileParsingValue));
  if (c != '"') return status(invalid_type("a string"));
  ++pos_;
  return status(string_body(out));
}

ParseStatus Decoder::read_u64(uint64_t& out) {
  return status(unsigned_integer(std::numeric_limits<uint64_t>::max(), "u64", out));
}

ParseStatus Decoder::read_u32(uint32_t& out) {
  uint64_t v = 0;
  if (!unsigned_integer(std::numeric_limits<uint32_t>::max(), "u32", v)) return status(false);
  out = static_cast<uint32_t>(v);
  return {};
}

ParseStatus Decoder::read_optional_u64(std::optional<uint64_t>& out) {
  if (peek_ws() == 'n') {
    ++pos_;
    out.reset();
    return status(ident("ull"));
  }
  uint64_t v = 0;
  if (!unsigned_integer(std::numeric_limits<uint64_t>::max(), "u64", v)) return status(false);
  out = v;
  return {};
}

ParseStatus Decoder::read_f32_array(std::vector<float>& out) {
  const int c = peek_ws();
  if (c < 0) return status(fail_peek(Code::kEofWhileParsingValue));
  if (c != '[') return status(invalid_type("a sequence"));
  if (!enter_nesting()) return status(false);
  ++pos_;
  out.clear();
  bool first = true;
  bool has = false;
  bool ok;
  for (;;) {
    ok = seq_next(first, has);
    if (!ok || !has) break;
    float f = 0.0f;
    ok = f32_element(f);
    if (!ok) break;
    out.push_back(f);
  }
  ++remaining_depth_;
  return status(ok && end_seq());
}

ParseStatus Decoder::read_struct(const StructShape& shape, const FieldReader& read_field) {
  const size_t field_count = shape.fields.size();
  const int c = peek_ws();
  if (c < 0) return status(fail_peek(Code::kEofWhileParsingValue));
  if (c != '[' && c != '{') return status(invalid_type("struct " + std::string(shape.name)));
  if (!enter_nesting()) return status(false);
  ++pos_;

  // A problem of the record as a whole is reported after its closing bracket
  // has been looked for (and consumed when it is there).
  std::string problem;
  bool first = true;
  bool has = false;
  if (c == '[') {
    for (size_t f = 0; f < field_count; ++f) {
      if (!seq_next(first, has)) return status(false);
      if (!has) {
        problem = "invalid length " + std::to_string(f) + ", expected struct " +
                  std::string(shape.name) + " with " + std::to_string(field_count) +
                  (field_count == 1 ? " element" : " elements");
        break;
      }
      ParseStatus st = read_field(f, *this);
      if (!st.ok()) return st;
    }
  } else {
    uint64_t seen = 0;
    std::string key;
    for (;;) {
      if (!map_next_key(first, key, has)) return status(false);
      if (!has) break;
      size_t f = 0;
      while (f < field_count && shape.fields[f] != key) ++f;
      if (f == field_count) {
        if (!object_colon() || !skip_any()) return status(false);
        continue;
      }
      if (seen & (uint64_t{1} << f)) {
        problem = "duplicate field `" + key + "`";
        break;
      }
      seen |= uint64_t{1} << f;
      if (!object_colon()) return status(false);
      ParseStatus st = read_field(f, *this);
      if (!st.ok()) return st;
    }
    for (size_t f = 0; problem.empty() && f < field_count; ++f) {
      uint64_t bit = uint64_t{1} << f;
      if (!(seen & bit) && !(shape.optional_fields & bit)) {
        problem = "missing field `" + std::string(shape.fields[f]) + "`";
      }
    }
  }
  ++remaining_depth_;
  const bool closed = c == '[' ? end_seq() : end_map();
  if (!problem.empty()) return status(fail_custom(std::move(problem)));
  return status(closed);
}

ParseStatus Decoder::end() {
  if (peek_ws() >= 0) return status(fail_peek(Code::kTrailingCharacters));
  return {};
}

// ---- whole documents ------------------------------------------------------------

ParseResult<Value> parse(std::string_view text) {
  Decoder d(text);
  Value v;
  if (!d.any(v)) return d.take_error();
  if (d.peek_ws() >= 0) {
    d.fail_peek(Decoder::Code::kTrailingCharacters);
    return d.take_error();
  }
  return v;
}

Value parse_or_null(std::string_view text) {
  Decoder d(text);
  Value v;
  if (!d.any(v) || d.peek_ws() >= 0) return Value();
  return v;
}

}  // namespace tessarin::json
