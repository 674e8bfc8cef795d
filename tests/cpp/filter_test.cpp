// Metadata filters: parsing a where_ value and testing metadata against it.
#include "collection/filter.h"

#include <gtest/gtest.h>

#include <tuple>

#include "json/parse.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

json::Value J(const char* text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text;
  return v.ok() ? v.value() : json::Value();
}

TEST(FilterParseTest, ShapesOfConditions) {
  for (const char* none : {"null", "[1]", "{}", R"({"a":{"$in":5,"$EQ":1,"$foo":2}})"}) {
    // Unknown operators, other letter cases and a non-array $in are dropped;
    // a field left without operators gives no condition.
    EXPECT_TRUE(parse_filter(J(none)).empty()) << none;
  }
  // A bare value and {"$eq": value} give the same condition.
  EXPECT_EQ(parse_filter(J(R"({"a":5})")), parse_filter(J(R"({"a":{"$eq":5}})")));
  // An object without "$" keys is an equality with the whole object.
  auto whole = parse_filter(J(R"({"a":{"b":1}})"));
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].ops[0].kind, FilterOp::Kind::kEq);
  EXPECT_EQ(whole[0].ops[0].operand, J(R"({"b":1})"));
  auto mixed = parse_filter(J(R"({"b":{"$lt":3,"$gt":1,"x":0},"a":{"$nin":[1,2]}})"));
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].field, "a");
  EXPECT_EQ(mixed[0].ops[0].values.size(), 2u);
  ASSERT_EQ(mixed[1].ops.size(), 2u);
  EXPECT_EQ(mixed[1].ops[0].kind, FilterOp::Kind::kGt);  // keys in ascending order
  EXPECT_EQ(mixed[1].ops[1].kind, FilterOp::Kind::kLt);
}

TEST(FilterMatchTest, TypedEqualityOrderingByKindMissingFieldsAndEmptyLists) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {R"({"n":1})", R"({"n":1})", true},
      {R"({"n":1})", R"({"n":1.0})", false},
      {R"({"n":{"$gt":1}})", R"({"n":1.5})", true},
      {R"({"n":{"$gt":1}})", R"({"n":"2"})", false},
      {R"({"n":{"$gte":1.0}})", R"({"n":1})", true},
      {R"({"n":{"$lt":0}})", R"({"n":-3})", true},
      {R"({"s":{"$lt":"b"}})", R"({"s":"az"})", true},
      {R"({"s":{"$lt":"b"}})", R"({"s":"b"})", false},
      {R"({"s":{"$lt":"b"}})", R"({"s":"ba"})", false},
      {R"({"b":{"$gt":false}})", R"({"b":true})", false},
      {R"({"o":{"$eq":{"x":[1,2]}}})", R"({"o":{"x":[1,2]}})", true},
      {R"({"o":{"$eq":{"x":[1,2]}}})", R"({"o":{"x":[2,1]}})", false},
      {R"({"n":{"$gt":1,"$lt":3}})", R"({"n":2})", true},  // every operator must hold
      {R"({"n":{"$gt":1,"$lt":3}})", R"({"n":3})", false},
      {R"({"n":{"$ne":5}})", R"({"m":1})", false},  // a missing field fails every condition
      {R"({"n":{"$nin":[5]}})", R"({"m":1})", false},
      {R"({"n":{"$ne":5}})", R"({"n":4})", true},
      {R"({"n":{"$in":[]}})", R"({"n":1})", false},
      {R"({"n":{"$nin":[]}})", R"({"n":1})", true},
      {R"({"n":{"$in":[0,"1",1]}})", R"({"n":1})", true},
      {R"({"n":{"$nin":[0,1]}})", R"({"n":1})", false},
      {R"({"$or":1})", R"({"$or":1})", true},  // a top-level "$" key is a field name
  };
  for (const auto& [where, metadata, want] : cases) {
    EXPECT_EQ(matches_filter(parse_filter(J(where)), J(metadata)), want) << where << " on " << metadata;
  }
  // With a condition, only a non-empty object can match; no condition matches all.
  for (const char* md : {"null", "1", "[1]", "{}", R"("n")"}) {
    EXPECT_FALSE(matches_filter(parse_filter(J(R"({"n":1})")), J(md))) << md;
    EXPECT_TRUE(matches_filter({}, J(md))) << md;
  }
}

TEST(FilterLivenessTest, ExpiryEqualToNowIsExpired) {
  const uint64_t now = 1000;
  const std::tuple<RecordStatus, std::optional<uint64_t>, bool> cases[] = {
      {RecordStatus::kActive, std::nullopt, true},  {RecordStatus::kActive, now, false},
      {RecordStatus::kActive, now + 1, true},       {RecordStatus::kTombstone, now + 1, false},
      {RecordStatus::kPending, std::nullopt, false},
  };
  for (const auto& [status, expires_at, live] : cases) {
    EXPECT_EQ(is_live(status, expires_at, now), live) << static_cast<int>(status);
  }
}

}  // namespace
}  // namespace tessarin
