#include "json/print.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tessarin::json {

namespace {

// Escape class of each byte: 0 = copied; otherwise the letter after the
// backslash, 'u' for \u00xx.
constexpr auto kEscape = [] {
  struct Table {
    char c[256];
  } t{};
  for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
  t.c[uint8_t{'\b'}] = 'b';
  t.c[uint8_t{'\f'}] = 'f';
  t.c[uint8_t{'\n'}] = 'n';
  t.c[uint8_t{'\r'}] = 'r';
  t.c[uint8_t{'\t'}] = 't';
  t.c[uint8_t{'"'}] = '"';
  t.c[uint8_t{'\\'}] = '\\';
  return t;
}();

// Formats a finite float from its shortest scientific form (as std::to_chars
// gives it, e.g. "-1.25e+16"), choosing plain notation when the exponent of
// the first significant digit lies in [plain_min, plain_max].
void format_shortest(std::string& out, const char* sci, const char* sci_end, int plain_min,
                     int plain_max) {
  const char* p = sci;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  int n = 0;
  for (; p < sci_end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+'), sci_end, exp);  // after 'e'

  if (n == 1 && digits[0] == '0') {
    out.append("0.0");
    return;
  }
  if (exp >= plain_min && exp <= plain_max) {
    int int_digits = exp + 1;  // digits before the point; <= 0 means "0.000ddd"
    if (int_digits <= 0) {
      out.append("0.");
      out.append(static_cast<size_t>(-int_digits), '0');
      out.append(digits, n);
    } else if (int_digits >= n) {
      out.append(digits, n);
      out.append(static_cast<size_t>(int_digits - n), '0');
      out.append(".0");
    } else {
      out.append(digits, int_digits);
      out.push_back('.');
      out.append(digits + int_digits, n - int_digits);
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, n - 1);
  }
  out.push_back('e');
  out.push_back(exp < 0 ? '-' : '+');
  char buf[8];
  auto r = std::to_chars(buf, buf + sizeof buf, exp < 0 ? -exp : exp);
  out.append(buf, r.ptr);
}

template <typename Int>
void print_integer(std::string& out, Int v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// With e the exponent of the first significant digit, plain notation for
// plain_min <= e <= plain_max.
template <typename Float>
void print_float(std::string& out, Float v, int plain_min, int plain_max) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  format_shortest(out, buf, r.ptr, plain_min, plain_max);
}

}  // namespace

void print_f64(std::string& out, double d) { print_float(out, d, -5, 15); }

void print_f32(std::string& out, float f) { print_float(out, f, -6, 12); }

void print_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size(); ++i) {
    char esc = kEscape.c[static_cast<unsigned char>(s[i])];
    if (esc == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (esc == 'u') {
      char u[6] = {'\\', 'u', '0', '0', kHex[(s[i] >> 4) & 0xF], kHex[s[i] & 0xF]};
      out.append(u, 6);
    } else {
      out.push_back('\\');
      out.push_back(esc);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void print_to(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::Type::kNull:
      out.append("null");
      return;
    case Value::Type::kBool:
      out.append(value.as_bool() ? "true" : "false");
      return;
    case Value::Type::kU64:
      print_integer(out, value.as_u64());
      return;
    case Value::Type::kI64:
      print_integer(out, value.as_i64());
      return;
    case Value::Type::kF64:
      print_f64(out, value.as_f64());
      return;
    case Value::Type::kString:
      print_string(out, value.as_string());
      return;
    case Value::Type::kArray: {
      out.push_back('[');
      bool first = true;
      for (const Value& v : value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        print_to(out, v);
      }
      out.push_back(']');
      return;
    }
    case Value::Type::kObject: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, v] : value.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        print_string(out, key);
        out.push_back(':');
        print_to(out, v);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string print(const Value& value) {
  std::string out;
  out.reserve(128);
  print_to(out, value);
  return out;
}

}  // namespace tessarin::json
