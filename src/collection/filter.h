// Metadata filters: the where_ filter of a search, parsed once per query into
// a list of FilterCondition and tested against each candidate's metadata
// value. Filters never go through an index; they are evaluated per record.
//
// A filter is an ordered list of conditions, all of which must hold. Each
// condition names one top-level metadata key (matched byte for byte, no dotted
// paths) and carries at least one operator, all of which must hold for that
// key's value:
//   $eq $ne             JSON value equality (1 != 1.0, strings by bytes)
//   $gt $gte $lt $lte   strings against strings by bytes, numbers against
//                       numbers as f64; every other pairing (and NaN) is false
//   $in $nin            equal to at least one / none of the operand's elements
// A missing key fails the whole filter, $ne and $nin included. A condition
// list that is empty holds for every record; a non-empty one fails for
// metadata that is not a non-empty object.
//
// Parsing never fails: unknown or malformed parts are dropped silently.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json/value.h"
#include "storage/record.h"

namespace tessarin {

// One operator with its operand. The numeric values are the operator codes.
struct FilterOp {
  enum class Kind : uint8_t {
    kEq = 0,
    kNe = 1,
    kGt = 2,
    kGte = 3,
    kLt = 4,
    kLte = 5,
    kIn = 6,
    kNin = 7,
  };

  Kind kind = Kind::kEq;
  json::Value operand;              // $eq .. $lte: the operand
  std::vector<json::Value> values;  // $in / $nin: the array's elements, in order

  bool operator==(const FilterOp&) const = default;
};

// One condition on one metadata field. Invariant: ops is not empty.
struct FilterCondition {
  std::string field;
  std::vector<FilterOp> ops;

  bool operator==(const FilterCondition&) const = default;
};

// The conditions of a where_ value. Not an object, or an empty object: no
// conditions. Otherwise one condition per key in key order: an operator object
// (an object with at least one key starting with "$") contributes the ops it
// names ($in/$nin only with an array operand; other keys ignored; no op, no
// condition); any other value is an implicit $eq.
std::vector<FilterCondition> parse_filter(const json::Value& where);

// Whether `metadata` (the record's metadata parsed as JSON; null when the text
// did not parse) satisfies every condition.
bool matches_filter(const std::vector<FilterCondition>& conditions, const json::Value& metadata);

}  // namespace tessarin
