#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "json/parse.h"
#include "json/print.h"
#include "json/value.h"

namespace tessarin::json {
namespace {

Value Parsed(std::string_view text) {
  auto r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : Value();
}

std::string ErrorOf(std::string_view text) { return parse(text).ok() ? "<parsed>" : parse(text).error().message(); }

template <typename T>
std::string Printed(T x) {
  std::string s;
  if constexpr (sizeof(T) == 8) print_f64(s, x); else print_f32(s, x);
  return s;
}

TEST(JsonPrintTest, CompactSortedAndEscaped) {
  EXPECT_EQ(print(Parsed(R"({"b": 1, "a": 2.50})")), R"({"a":2.5,"b":1})");
  EXPECT_EQ(print(Parsed(R"( [ true , false , null , -3 , {} , [] , "" ] )")),
            R"([true,false,null,-3,{},[],""])");
  // json.dumps escapes non-ASCII; the stored text carries the raw UTF-8.
  EXPECT_EQ(print(Parsed(R"({"k":"caf\u00e9 \ud83d\ude00"})")), "{\"k\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}");
  std::string s;
  print_string(s, std::string("q\" b\\ /\b\f\n\r\t\x01\x1f\x7f\0", 16));
  EXPECT_EQ(s, R"("q\" b\\ /\b\f\n\r\t\u0001\u001f)" "\x7f" R"(\u0000")");
  // Every ASCII byte and multi-byte characters read back unchanged.
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € 😀
  Value v = Parsed(print(Value(all)));
  ASSERT_TRUE(v.is_string());
  EXPECT_EQ(v.as_string(), all);
  EXPECT_EQ(Parsed(R"("\/\u0041\u00e9")").as_string(), "/A\xC3\xA9");
}

TEST(JsonPrintTest, FloatsShortestWithPlainOrExponentForm) {
  const std::pair<double, const char*> cases[] = {
      {100.0, "100.0"}, {123.25, "123.25"}, {0.1, "0.1"}, {-1.5, "-1.5"},
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1e-5, "0.00001"}, {1.25e-5, "0.0000125"},
      {1e-6, "1e-6"}, {1e-7, "1e-7"}, {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"}, {1.5e16, "1.5e+16"}, {1e16, "1e+16"},
      {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {std::nan(""), "null"}, {-HUGE_VAL, "null"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(Printed(d), text) << d;
  // f32 has its own range of the plain form.
  const std::pair<float, const char*> f32_cases[] = {
      {100.0f, "100.0"}, {123.25f, "123.25"}, {1e-7f, "1e-7"}, {1e13f, "1e+13"},
      {1e12f, "1000000000000.0"}, {0.000001f, "0.000001"}, {0.1f, "0.1"},
      {-0.0f, "-0.0"}, {16777216.0f, "16777216.0"}, {3.4028235e38f, "3.4028235e+38"},
      {std::numeric_limits<float>::quiet_NaN(), "null"}, {-HUGE_VALF, "null"},
  };
  for (const auto& [f, text] : f32_cases) EXPECT_EQ(Printed(f), text) << f;
}

// f32 text read back by the export decoder: ndjson_test.cpp.
TEST(JsonPrintTest, F64ReadsBackBitExact) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t bits = rng();
    const double d = std::bit_cast<double>(bits);
    if (!std::isfinite(d)) continue;
    const Value v = Parsed(Printed(d));
    ASSERT_EQ(v.type(), Value::Type::kF64) << Printed(d);
    ASSERT_EQ(std::bit_cast<uint64_t>(v.as_f64()), bits) << Printed(d);
  }
}

TEST(JsonNumberTest, KindsAndBoundaries) {
  // Values compare kind and value (1 and 1.0 differ).
  const std::pair<const char*, Value> cases[] = {
      {"0", Value(uint64_t{0})}, {"18446744073709551615", Value(std::numeric_limits<uint64_t>::max())},
      {"-1", Value(-1)}, {"-9223372036854775808", Value(std::numeric_limits<int64_t>::min())},
      {"-9223372036854775809", Value(-9223372036854775808.0)},
      {"18446744073709551616", Value(18446744073709551616.0)}, {"1.0", Value(1.0)}, {"1E2", Value(100.0)},
      {"0.1", Value(0.1)}, {"2.2250738585072011e-308", Value(2.2250738585072011e-308)},  // correctly rounded
      {"1e-400", Value(0.0)}, {"0e99999999999", Value(0.0)},  // underflow gives zero
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(Parsed(text), value) << text;
  EXPECT_EQ(Parsed("0").type(), Value::Type::kU64);
  for (const char* negative_zero : {"-0", "-1e-99999999999"}) {
    ASSERT_EQ(Parsed(negative_zero).type(), Value::Type::kF64);
    EXPECT_TRUE(std::signbit(Parsed(negative_zero).as_f64()));
  }
  // Overflow is an error.
  EXPECT_EQ(ErrorOf("[1e400]"), "number out of range at line 1 column 6");
  EXPECT_EQ(ErrorOf("-1e99999999999"), "number out of range at line 1 column 13");
  EXPECT_EQ(ErrorOf(std::string(400, '9')), "number out of range at line 1 column 400");
}

TEST(JsonParseTest, ErrorTextsAndPositions) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {R"({"a": NaN})", "expected value at line 1 column 7"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\u12G4")", "invalid escape at line 1 column 7"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
      {"\"\xC3(\"", "invalid unicode code point at line 1 column 4"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"\f1", "expected value at line 1 column 1"},
      {"[\n", "EOF while parsing a list at line 2 column 0"},
      {"{\n  \"a\": 1,\n  \"b\": ?\n}", "expected value at line 3 column 8"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(ErrorOf(text), message) << text;
  EXPECT_TRUE(parse(" \t\r\n{\"a\" :\n[ 1 ]}\n ").ok());
}

TEST(JsonParseTest, NestingLimitIs127) {
  for (auto [open, close] : {std::pair{"[", "]"}, std::pair{"{\"k\":", "}"}}) {
    std::string ok = "0", bad;
    for (int i = 0; i < 127; ++i) ok = open + ok + close;
    EXPECT_TRUE(parse(ok).ok()) << open;
    bad = open + ok + close;
    ASSERT_FALSE(parse(bad).ok());
    EXPECT_EQ(parse(bad).error().problem, "recursion limit exceeded");
  }
  std::string deep(200, '[');
  EXPECT_EQ(ErrorOf(deep), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonValueTest, ObjectsSortByKeyBytesAndLaterDuplicateWins) {
  Value v = Parsed(R"({"b":1,"\u00e9":2,"a":3,"B":4,"a":5,"b":6})");
  EXPECT_EQ(print(v), "{\"B\":4,\"a\":5,\"b\":6,\"\xC3\xA9\":2}");
  Object o;
  o.insert_or_assign("z", 1);
  o.insert_or_assign("a", 2);
  o.insert_or_assign("z", "x");
  EXPECT_EQ(print(Value(o)), R"({"a":2,"z":"x"})");
  EXPECT_EQ(o.find("b"), nullptr);
  EXPECT_TRUE(parse_or_null("{\"a\":1} x").is_null());  // never fails
  EXPECT_EQ(parse_or_null(" {\"a\":[1,2]}\n").as_object().size(), 1u);
}

TEST(JsonValueTest, EqualityKeepsNumberKinds) {
  EXPECT_NE(Parsed("1"), Parsed("1.0"));
  EXPECT_EQ(Value(int64_t{1}), Value(uint64_t{1}));  // one representation per integer
  EXPECT_EQ(Value(-1).type(), Value::Type::kI64);
  EXPECT_EQ(Parsed("0.0"), Parsed("-0.0"));
  EXPECT_EQ(Parsed(R"({"a":[1,{"b":null}]})"), Parsed(R"({ "a" : [1, {"b": null}] })"));
  EXPECT_NE(Parsed(R"({"a":1})"), Parsed(R"({"a":1,"b":1})"));
  EXPECT_NE(Parsed("[1,2]"), Parsed("[2,1]"));
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
}

}  // namespace
}  // namespace tessarin::json
