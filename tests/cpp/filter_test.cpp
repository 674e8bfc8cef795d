// Metadata filters: parsing a where_ value and testing metadata against it.
#include "filter.h"

#include <gtest/gtest.h>

#include "json/parse.h"
#include "platform/platform.h"

namespace tessarin {
namespace {

json::Value J(const char* text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text;
  return v.ok() ? v.value() : json::Value();
}

bool matches(const char* where, const char* metadata) {
  return matches_filter(parse_filter(J(where)), J(metadata));
}

TEST(FilterParseTest, ShapesOfConditions) {
  EXPECT_TRUE(parse_filter(J("null")).empty());
  EXPECT_TRUE(parse_filter(J("[1]")).empty());
  EXPECT_TRUE(parse_filter(J("{}")).empty());

  // A bare value and {"$eq": value} give the same condition.
  EXPECT_EQ(parse_filter(J(R"({"a":5})")), parse_filter(J(R"({"a":{"$eq":5}})")));
  // An object without "$" keys is an equality with the whole object.
  auto whole = parse_filter(J(R"({"a":{"b":1}})"));
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].ops[0].kind, FilterOp::Kind::kEq);
  EXPECT_EQ(whole[0].ops[0].operand, J(R"({"b":1})"));
  // Unknown operators, other letter cases and a non-array $in are dropped;
  // a field left without operators gives no condition.
  EXPECT_TRUE(parse_filter(J(R"({"a":{"$in":5,"$EQ":1,"$foo":2}})")).empty());
  auto mixed = parse_filter(J(R"({"b":{"$lt":3,"$gt":1,"x":0},"a":{"$nin":[1,2]}})"));
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].field, "a");
  EXPECT_EQ(mixed[0].ops[0].values.size(), 2u);
  ASSERT_EQ(mixed[1].ops.size(), 2u);
  EXPECT_EQ(mixed[1].ops[0].kind, FilterOp::Kind::kGt);  // keys in ascending order
  EXPECT_EQ(mixed[1].ops[1].kind, FilterOp::Kind::kLt);
  // A top-level "$" key names a field of that literal name.
  EXPECT_TRUE(matches(R"({"$or":1})", R"({"$or":1})"));
}

TEST(FilterMatchTest, EqualityIsTypedAndOrderingIsByKind) {
  EXPECT_TRUE(matches(R"({"n":1})", R"({"n":1})"));
  EXPECT_FALSE(matches(R"({"n":1})", R"({"n":1.0})"));
  EXPECT_TRUE(matches(R"({"n":{"$gt":1}})", R"({"n":1.5})"));
  EXPECT_TRUE(matches(R"({"n":{"$gt":1}})", R"({"n":2})"));
  EXPECT_FALSE(matches(R"({"n":{"$gt":1}})", R"({"n":"2"})"));
  EXPECT_TRUE(matches(R"({"n":{"$gte":1.0}})", R"({"n":1})"));
  EXPECT_TRUE(matches(R"({"n":{"$lt":0}})", R"({"n":-3})"));
  EXPECT_TRUE(matches(R"({"s":{"$lt":"b"}})", R"({"s":"a"})"));
  EXPECT_TRUE(matches(R"({"s":{"$lt":"b"}})", R"({"s":"az"})"));
  EXPECT_FALSE(matches(R"({"s":{"$lt":"b"}})", R"({"s":"b"})"));
  EXPECT_FALSE(matches(R"({"s":{"$lt":"b"}})", R"({"s":"ba"})"));
  EXPECT_FALSE(matches(R"({"b":{"$gt":false}})", R"({"b":true})"));
  EXPECT_TRUE(matches(R"({"o":{"$eq":{"x":[1,2]}}})", R"({"o":{"x":[1,2]}})"));
  EXPECT_FALSE(matches(R"({"o":{"$eq":{"x":[1,2]}}})", R"({"o":{"x":[2,1]}})"));
  // Every operator of a condition must hold.
  EXPECT_TRUE(matches(R"({"n":{"$gt":1,"$lt":3}})", R"({"n":2})"));
  EXPECT_FALSE(matches(R"({"n":{"$gt":1,"$lt":3}})", R"({"n":3})"));
}

TEST(FilterMatchTest, MissingFieldsEmptyListsAndNonObjects) {
  EXPECT_FALSE(matches(R"({"n":{"$ne":5}})", R"({"m":1})"));
  EXPECT_FALSE(matches(R"({"n":{"$nin":[5]}})", R"({"m":1})"));
  EXPECT_TRUE(matches(R"({"n":{"$ne":5}})", R"({"n":4})"));
  EXPECT_FALSE(matches(R"({"n":{"$in":[]}})", R"({"n":1})"));
  EXPECT_TRUE(matches(R"({"n":{"$nin":[]}})", R"({"n":1})"));
  EXPECT_TRUE(matches(R"({"n":{"$in":[0,"1",1]}})", R"({"n":1})"));
  EXPECT_FALSE(matches(R"({"n":{"$nin":[0,1]}})", R"({"n":1})"));
  // With a condition, only a non-empty object can match.
  for (const char* md : {"null", "1", "[1]", "{}", R"("n")"}) {
    EXPECT_FALSE(matches(R"({"n":1})", md)) << md;
    EXPECT_TRUE(matches("{}", md)) << md;  // no conditions hold for everything
  }
}

TEST(FilterLivenessTest, ExpiryEqualToNowIsExpired) {
  Record r;
  EXPECT_TRUE(is_live(r));
  const uint64_t now = platform::now_secs();
  r.expires_at = now;
  EXPECT_FALSE(is_live(r));
  r.expires_at = now + 60;
  EXPECT_TRUE(is_live(r));
  r.status = RecordStatus::kTombstone;
  EXPECT_FALSE(is_live(r));
  r.status = RecordStatus::kPending;
  r.expires_at.reset();
  EXPECT_FALSE(is_live(r));
}

}  // namespace
}  // namespace tessarin
