// Compact JSON printing: metadata text, export lines, result metadata.
//
// Output conventions (the stored metadata text depends on them byte for byte):
//   - no whitespace between tokens; object members in key order (a Value's
//     objects are always sorted);
//   - strings in double quotes; \" \\ \b \f \n \r \t escaped with a backslash,
//     the other bytes below 0x20 as \u00xx (lower-case hex), every other byte
//     (slash, 0x7F, UTF-8 sequences) copied as it is;
//   - integers in decimal;
//   - floats in the shortest decimal form that reads back to the same value,
//     plain or with an exponent by the magnitude of the first significant
//     digit (rules at print_f64 and print_f32); non-finite floats as null.
//
// All functions append to `out` and never fail.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "json/value.h"

namespace tessarin::json {

// Appends the compact text of `value`.
void print_to(std::string& out, const Value& value);

// The compact text of `value`, in a buffer that starts with room for 128
// bytes.
std::string print(const Value& value);

// Appends `s` (UTF-8) as a quoted, escaped JSON string.
void print_string(std::string& out, std::string_view s);

// Appends a 64-bit float. With e the decimal exponent of the first
// significant digit: -5 <= e <= 15 gives the plain form with at least one
// digit after the point ("100.0", "0.0001", "123.25"); otherwise the
// exponent form: first digit, a point and the other digits only when there
// are any, "e", the exponent's sign always, no leading zeros ("1e-7",
// "1.5e+16"). Zero is "0.0", negative zero "-0.0"; NaN and infinities "null".
void print_f64(std::string& out, double d);

// Appends a 32-bit float (vector elements) in the shortest form that reads
// back to the same f32, by the rules of print_f64 with the plain range
// -6 <= e <= 12 ("0.000001", "1e-7", "1e+13"). NaN and infinities "null".
void print_f32(std::string& out, float f);

}  // namespace tessarin::json
