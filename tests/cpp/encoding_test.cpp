// Binary record encoding: exact bytes, round trips and every decode failure.
// (Damaged and cut bytes through every decoder: the fuzz_record,
// fuzz_collection_config and fuzz_free_list corpora.)
#include "storage/encoding.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tessarin {
namespace {

Record sample_record() { return Record{"a", 0, "{}", 1, std::nullopt, RecordStatus::kActive}; }

std::string decode_error(std::string_view bytes) {
  auto r = decode_record(bytes);
  EXPECT_FALSE(r.ok());
  if (r.ok()) return "";
  EXPECT_EQ(r.error().kind(), DbError::Kind::kSerialization);
  return r.error().message();
}

TEST(EncodingTest, RecordExampleIsByteExactAndRoundTrips) {
  // id "a", slot 0, metadata "{}", created_at 1, no expires_at, status Active.
  const std::string expected("\x01\0\0\0\0\0\0\0a" "\0\0\0\0\0\0\0\0" "\x02\0\0\0\0\0\0\0{}"
                             "\x01\0\0\0\0\0\0\0" "\0" "\0\0\0\0", 40);
  EXPECT_EQ(encode_record(sample_record()), expected);

  Record r{"id-ü", 77, R"({"k":1})", 1700000000, 1700000099, RecordStatus::kTombstone};
  const std::string bytes = encode_record(r);
  EXPECT_EQ(bytes.size(), encoded_record_size(r));
  EXPECT_EQ(*decode_record(bytes), r);
  EXPECT_EQ(*decode_record(bytes + "trailing"), r);  // bytes after the status are ignored

  // Empty texts are a zero length and no bytes.
  Record empty{"", 3, "", 0, std::nullopt, RecordStatus::kPending};
  const std::string e = encode_record(empty);
  EXPECT_EQ(e.size(), 37u);
  EXPECT_EQ(*decode_record(e), empty);
}

TEST(EncodingTest, RecordDecodeFailuresCarryTheDecoderText) {
  const std::string good = encode_record(sample_record());  // 40 bytes, status at 36..39
  auto with = [&](std::initializer_list<std::pair<size_t, int>> edits) {
    std::string b = good;
    for (auto [at, byte] : edits) b[at] = static_cast<char>(byte);
    return b;
  };
  const std::string eof = "Serialization error: io error: unexpected end of file";
  const std::pair<std::string, std::string> cases[] = {
      {with({{36, 3}}), "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {with({{35, 2}}), "Serialization error: tag for enum is not valid, found 2"},  // expires_at's option tag
      {good.substr(0, 39), eof},  // one byte short of the status
      {good.substr(0, 12), eof},  // inside the slot
      {good.substr(0, 35), eof},  // before the option tag
      {"", eof},
      // A text length beyond the bytes left: by one, and by far.
      {with({{0, 33}}), "Serialization error: io error: "},
      {with({{0, 255}, {1, 255}, {2, 255}, {3, 255}, {4, 255}, {5, 255}, {6, 255}, {7, 255}}),
       "Serialization error: io error: "},
      {with({{8, 0xFF}}),
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {encode_record(Record{"ab\xE2\x82", 0, "", 0, std::nullopt, RecordStatus::kActive}),
       "Serialization error: string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(decode_error(bytes), message);
}

TEST(EncodingTest, Utf8ValidatorFollowsRustSemantics) {
  const std::pair<std::string, std::optional<Utf8Error>> cases[] = {
      {"", std::nullopt},
      {"plain ascii that is longer than eight bytes", std::nullopt},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", std::nullopt},  // é € 😀
      {"\xF4\x8F\xBF\xBF", std::nullopt},                      // U+10FFFF
      {"abc\x80", Utf8Error{3, 1}},                            // lone continuation
      {"\xC0\x80", Utf8Error{0, 1}},                           // overlong leader
      {"\xC3\x41", Utf8Error{0, 1}},
      {"x\xE2\x82\x41", Utf8Error{1, 2}},
      {"\xE0\x80\x80", Utf8Error{0, 1}},      // overlong 3-byte form
      {"\xED\xA0\x80", Utf8Error{0, 1}},      // surrogate
      {"\xF0\x9F\x98\x41", Utf8Error{0, 3}},
      {"\xF4\x90\x80\x80", Utf8Error{0, 1}},  // above U+10FFFF
      {"\xF5\x80\x80\x80", Utf8Error{0, 1}},
      {"0123456789\xF0\x9F\x98", Utf8Error{10, 0}},
      {"\xE2", Utf8Error{0, 0}},
      {"\xF0\x9F\x41", Utf8Error{0, 2}},
  };
  for (const auto& [bytes, want] : cases) {
    const std::optional<Utf8Error> got = validate_utf8(bytes);
    ASSERT_EQ(got.has_value(), want.has_value()) << testing::PrintToString(bytes);
    if (got) EXPECT_EQ(std::pair(got->valid_up_to, got->error_len), std::pair(want->valid_up_to, want->error_len));
  }
  EXPECT_EQ((Utf8Error{5, 2}).message(), "invalid utf-8 sequence of 2 bytes from index 5");
  EXPECT_EQ((Utf8Error{7, 0}).message(), "incomplete utf-8 byte sequence from index 7");
}

TEST(EncodingTest, CollectionConfigWithAndWithoutHnsw) {
  CollectionConfig plain{"docs", 128, Metric::kL2, 1700000000, std::nullopt};
  CollectionConfig graph = plain;
  graph.hnsw_config = HnswConfig{16, 32, 16, 200, 50, 0.36067376022224085, 0xDEADBEEFCAFEull};

  const std::string a = encode_collection_config(plain);
  const std::string b = encode_collection_config(graph);
  EXPECT_EQ(a.size(), 29 + plain.name.size());
  EXPECT_EQ(b.size(), a.size() + kHnswConfigEncodedSize);
  EXPECT_EQ(*decode_collection_config(a), plain);
  EXPECT_EQ(*decode_collection_config(b), graph);

  std::string bad_metric = a;
  bad_metric[8 + 4 + 8] = 3;  // name length, name, dimensions, then the metric
  EXPECT_EQ(decode_collection_config(bad_metric).error().message(),
            "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");
  std::string bad_tag = a;
  bad_tag.back() = 7;
  EXPECT_EQ(decode_collection_config(bad_tag).error().message(),
            "Serialization error: tag for enum is not valid, found 7");
  EXPECT_EQ(decode_collection_config(b.substr(0, b.size() - 1)).error().message(),
            "Serialization error: io error: unexpected end of file");
}

TEST(EncodingTest, SlotListRoundTripsAndSurvivesDamagedCounts) {
  const std::vector<uint64_t> slots = {4, 9, 2, std::numeric_limits<uint64_t>::max()};
  const std::string bytes = encode_slot_list(slots);
  EXPECT_EQ(bytes.size(), 8 + 8 * slots.size());
  EXPECT_EQ(*decode_slot_list(bytes), slots);
  EXPECT_TRUE(decode_slot_list(encode_slot_list({}))->empty());

  // A count promising far more slots than the bytes hold fails at the end
  // of the data (reserving room for the promised count would throw).
  std::string damaged = bytes;
  for (int i = 0; i < 8; ++i) damaged[i] = static_cast<char>(0xFF);
  EXPECT_EQ(decode_slot_list(damaged).error().message(),
            "Serialization error: io error: unexpected end of file");
}

}  // namespace
}  // namespace tessarin
