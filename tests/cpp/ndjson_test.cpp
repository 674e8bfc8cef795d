// The export file format: line printing, typed decoding with its messages,
// white-space trimming and buffered line reading.
#include "export/ndjson.h"

#include <cmath>
#include <limits>

#include "json/parse.h"
#include "test_util.h"

namespace tessarin {
namespace {

std::string record_line(std::string_view id, std::vector<float> v, const json::Value& meta,
                        uint64_t created_at, std::optional<uint64_t> ttl) {
  std::string out;
  print_export_record(out, id, v, meta, created_at, ttl);
  return out;
}

// The decoder's message for `text`, or "ok".
std::string record_error(std::string_view text) {
  ExportRecord r;
  json::ParseStatus st = decode_export_record(text, r);
  return st.ok() ? "ok" : st.error().message();
}
std::string header_error(std::string_view text) {
  ExportHeader h;
  json::ParseStatus st = decode_export_header(text, h);
  return st.ok() ? "ok" : st.error().message();
}

TEST(NdjsonPrint, HeaderAndRecordLines) {
  std::string header;
  print_export_header(header, {1, "my \"docs\"", 3, "cosine", 2, 1700000000});
  EXPECT_EQ(header,
            "{\"version\":1,\"collection\":\"my \\\"docs\\\"\",\"dimensions\":3,"
            "\"metric\":\"cosine\",\"record_count\":2,\"exported_at\":1700000000}");

  const json::Value meta = json::parse("{\"z\":1,\"a\":\"x/\u00e9\\n\"}").value();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(record_line("id\t1", {100.0f, 123.25f, 1e-7f, 1e13f, 0.000001f, -0.0f}, meta, 5,
                        std::nullopt),
            "{\"id\":\"id\\t1\",\"vector\":[100.0,123.25,1e-7,1e+13,0.000001,-0.0],"
            "\"metadata\":{\"a\":\"x/\u00e9\\n\",\"z\":1},\"created_at\":5}");
  EXPECT_EQ(record_line("", {std::nanf(""), inf, -inf}, json::Value(), 0, 0),
            "{\"id\":\"\",\"vector\":[null,null,null],\"metadata\":null,\"created_at\":0,"
            "\"ttl\":0}");
}

TEST(NdjsonDecode, PrintedLinesReadBack) {
  std::string line, again;
  print_export_header(line, {1, "c", 384, "l2", 7, 99});
  ExportHeader h;
  ASSERT_TRUE(decode_export_header(line + "\r\n", h).ok());
  print_export_header(again, h);
  EXPECT_EQ(again, line);

  // Every finite float reads back to the bit: the extremes, then random bits.
  std::vector<float> v = {0.1f, -3.4028235e38f, 1.17549435e-38f, 1e-45f, 16777217.0f, 0.0f, -0.0f};
  std::mt19937 rng(5);
  while (v.size() < 20000) {
    const float x = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (std::isfinite(x)) v.push_back(x);
  }
  const json::Value meta =
      json::parse("{\"b\":[1,-2,2.5e300,-1.5e-300],\"a\":{\"k\":null},\"s\":\"\\\"q\\\"\\n\u00e9\"}").value();
  ExportRecord r;
  ASSERT_TRUE(decode_export_record(record_line("rid", v, meta, 12, 30), r).ok());
  EXPECT_EQ(r.id, "rid");
  EXPECT_EQ(testing::bits(r.vector), testing::bits(v));
  EXPECT_EQ(r.metadata, meta);
  EXPECT_EQ(r.created_at, 12u);
  EXPECT_EQ(r.ttl, 30u);
}

TEST(NdjsonDecode, AlternativeFormsAccepted) {
  // Array form with null optionals; out-of-range f32 becomes infinity.
  ExportRecord r;
  ASSERT_TRUE(decode_export_record("[\"a\",[1,-2,1e39,-1e39],null,null,null]", r).ok());
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(r.vector, (std::vector<float>{1.0f, -2.0f, inf, -inf}));
  EXPECT_TRUE(r.metadata.is_null());
  EXPECT_FALSE(r.created_at.has_value());
  // Keys in any order, unknown keys of any depth, escaped key names.
  const std::string deep = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(record_error(" {\"metadata\":{},\"extra\":" + deep +
                         ",\"ttl\":null,\"vector\":[],\"\\u0069d\":\"x\"} \r\n"),
            "ok");
  ASSERT_TRUE(decode_export_record("{\"id\":\"b\",\"vector\":[],\"metadata\":1,\"ttl\":4}", r).ok());
  EXPECT_FALSE(r.created_at.has_value()) << "an absent created_at must not keep an old value";
  EXPECT_EQ(r.ttl, 4u);

  ExportHeader h;
  ASSERT_TRUE(decode_export_header("[4294967295,\"\",0,\"x\",0,18446744073709551615]", h).ok());
  EXPECT_EQ(h.version, 4294967295u);
  EXPECT_EQ(h.exported_at, 18446744073709551615u);
}

TEST(NdjsonDecode, IntegerElementsRoundToDoubleThenFloat) {
  // Each element goes to the nearest double, then to the nearest f32: the
  // +1 is lost in the first step and 2^36 (2^39 above 2^63) is then a tie
  // that goes to the even 2^60, where one step would round up to 2^60 + 2^37.
  const std::pair<std::string, float> cases[] = {
      {"1152921573326323713", std::ldexp(1.0f, 60)},         // 2^60 + 2^36 + 1, i64
      {"-1152921573326323713", -std::ldexp(1.0f, 60)},
      {"9223372586610589697", std::ldexp(1.0f, 63)},         // 2^63 + 2^39 + 1, u64 only
      {"1180591691086155481089", std::ldexp(1.0f, 70)},      // 2^70 + 2^46 + 1, beyond u64
      {"-1180591691086155481089", -std::ldexp(1.0f, 70)},
  };
  for (const auto& [element, expected] : cases) {
    ExportRecord r;
    ASSERT_TRUE(decode_export_record("[\"a\",[" + element + "],null,null,null]", r).ok());
    ASSERT_EQ(r.vector.size(), 1u);
    EXPECT_EQ(testing::bits(r.vector[0]), testing::bits(expected)) << element;
  }
}

TEST(NdjsonDecode, RecordMessages) {
  // Metadata may nest 127 deep, as add accepts, inside either record form.
  const std::string nest = "{\"id\":\"a\",\"vector\":[],\"metadata\":";
  const auto deep = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  const std::pair<std::string, std::string> cases[] = {
      {nest + deep(127) + "}", "ok"},
      {"[\"a\",[]," + deep(127) + ",null,null]", "ok"},
      {nest + deep(128) + "}", "recursion limit exceeded at line 1 column 161"},
      {"[\"a\",[]," + deep(128) + ",null,null]", "recursion limit exceeded at line 1 column 136"},
      {"{\"id\":\"a\",\"vector\":[1,2],\"created_at\":5}", "missing field `metadata` at line 1 column 40"},
      {"{\"id\":\"\\n\\\"\\u0001\xC3\xA9\"}", "missing field `vector` at line 1 column 21"},
      {"{\"id\":\"a\",\"id\":\"b\",\"vector\":[],\"metadata\":null}", "duplicate field `id` at line 1 column 14"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":1,\"ttl\":null,\"ttl\":1}", "duplicate field `ttl` at line 1 column 51"},
      {"[\"a\",[1.5],null]", "invalid length 3, expected struct ExportRecord with 5 elements at line 1 column 16"},
      {"[]", "invalid length 0, expected struct ExportRecord with 5 elements at line 1 column 2"},
      {"[\"a\",[1.5],null,null,null,1]", "trailing characters at line 1 column 27"},
      {"\"abc\"", "invalid type: string \"abc\", expected struct ExportRecord at line 1 column 5"},
      {"5", "invalid type: integer `5`, expected struct ExportRecord at line 1 column 1"},
      {"-5", "invalid type: integer `-5`, expected struct ExportRecord at line 1 column 2"},
      {"1.5", "invalid type: floating point `1.5`, expected struct ExportRecord at line 1 column 3"},
      {"true", "invalid type: boolean `true`, expected struct ExportRecord at line 1 column 4"},
      {"null", "invalid type: null, expected struct ExportRecord at line 1 column 4"},
      {"{\"id\":\"a\",\"vector\":[1,null],\"metadata\":{}}", "invalid type: null, expected f32 at line 1 column 26"},
      {"{\"id\":\"a\",\"vector\":[1,\"2\"],\"metadata\":{}}", "invalid type: string \"2\", expected f32 at line 1 column 25"},
      {"{\"id\":\"a\",\"vector\":{},\"metadata\":{}}", "invalid type: map, expected a sequence at line 1 column 19"},
      {"{\"id\":\"a\",\"vector\":[1e400],\"metadata\":{}}", "number out of range at line 1 column 25"},
      {"{\"id\":7,\"vector\":[],\"metadata\":{}}", "invalid type: integer `7`, expected a string at line 1 column 7"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},\"ttl\":\"x\"}", "invalid type: string \"x\", expected u64 at line 1 column 45"},
      {"{\"id\":\"a\\n\\\"\",\"vector\":[],\"metadata\":{},\"ttl\":true}", "invalid type: boolean `true`, expected u64 at line 1 column 50"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},\"ttl\":-1}", "invalid value: integer `-1`, expected u64 at line 1 column 44"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},\"ttl\":1.0}", "invalid type: floating point `1.0`, expected u64 at line 1 column 45"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},\"ttl\":1e2}", "invalid type: floating point `100.0`, expected u64 at line 1 column 45"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},\"created_at\":18446744073709551616}",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 69"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{}} x", "trailing characters at line 1 column 38"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{},}", "trailing comma at line 1 column 37"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{\"k\":}}", "expected value at line 1 column 39"},
      {"{\"id\":\"a\",\"vector\":[],\"metadata\":{}", "EOF while parsing an object at line 1 column 35"},
      {"{\"id\":\"a\",\"vector\":[],\"extra\":[1,}", "expected value at line 1 column 34"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(record_error(text), message) << text;
}

TEST(NdjsonDecode, HeaderMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"{\"version\":1,\n", "EOF while parsing a value at line 2 column 0"},
      {"{\"collection\":\"c\"}", "missing field `version` at line 1 column 18"},
      {"{\"version\":1,\r\n\"dimensions\":3}\n", "missing field `collection` at line 2 column 15"},
      {"[1,\n\"c\",\n3.5", "invalid type: floating point `3.5`, expected u64 at line 3 column 3"},
      {"[1,\"c\"]", "invalid length 2, expected struct ExportHeader with 6 elements at line 1 column 7"},
      {"[1,\"c\",3,\"l2\",0,0,7]", "trailing characters at line 1 column 19"},
      {"[1,\"c\",3,\"l2\",0,0,]", "trailing comma at line 1 column 19"},
      {"[1,\"c\",3,\"l2\",0,0]\n{}", "trailing characters at line 2 column 1"},
      {"[4294967296,\"c\",3,\"l2\",0,0]", "invalid value: integer `4294967296`, expected u32 at line 1 column 11"},
      {"{\"version\":\"1\"}", "invalid type: string \"1\", expected u32 at line 1 column 14"},
      {"{\"version\":0,\"metric\":{}}", "invalid type: map, expected a string at line 1 column 22"},
      {"\"a\\n\\\"\\u0001\xC3\xA9\"", "invalid type: string \"a\\n\\\"\\u{1}\xC3\xA9\", expected struct ExportHeader at line 1 column 15"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(header_error(text), message) << text;
}

TEST(NdjsonTrim, UnicodeWhiteSpace) {
  EXPECT_EQ(trim_white_space(" \t\v\f\r\n x y \n"), "x y");
  EXPECT_EQ(trim_white_space("\u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000{}"
                             "\u3000\u205f\u202f\u2029\u2028\u200a\u2000\u1680\u00a0\u0085"),
            "{}");
  // Not White_Space: U+200B (zero width space), U+FEFF, U+00A1, U+2030.
  EXPECT_EQ(trim_white_space("\u200b{}\ufeff"), "\u200b{}\ufeff");
  EXPECT_EQ(trim_white_space("\u00a1\u2030"), "\u00a1\u2030");
  EXPECT_EQ(trim_white_space(" \u3000 "), "");
}

class LineReaderTest : public testing::TempDirTest {
 protected:
  std::vector<std::string> read_all(const std::string& content, std::string* error = nullptr) {
    testing::put_file(path("f.ndjson"), content);
    LineReader reader(platform::open_file(path("f.ndjson")).value());
    std::vector<std::string> lines;
    std::string line;
    auto more = reader.read_line(&line);
    for (; more.ok() && *more; more = reader.read_line(&line)) lines.push_back(line);
    if (!more.ok() && error) *error = more.error().message();
    return lines;
  }
};

TEST_F(LineReaderTest, SplitsLinesAcrossBuffers) {
  EXPECT_TRUE(read_all("").empty());
  EXPECT_EQ(read_all("a\n\nb"), (std::vector<std::string>{"a\n", "\n", "b"}));
  EXPECT_EQ(read_all("a\r\nb\n"), (std::vector<std::string>{"a\r\n", "b\n"}));
  // Lines longer than the buffer, and a multi-byte character straddling a
  // buffer boundary.
  const std::string long1(20000, 'x');
  const std::string long2 = std::string(kExportBufferBytes - 1, 'y') + "\u00e9";
  EXPECT_EQ(read_all(long1 + "\n" + long2 + "\nz"),
            (std::vector<std::string>{long1 + "\n", long2 + "\n", "z"}));
  // A sequence cut off by the end of the file is not valid UTF-8 either.
  std::string error;
  EXPECT_EQ(read_all("ok\ncut \xe2\x82", &error), std::vector<std::string>{"ok\n"});
  EXPECT_EQ(error, "I/O error: stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace tessarin
