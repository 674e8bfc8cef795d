// json::Value: an in-memory JSON document (metadata, filters, export lines).
//
// A Value is null, a bool, a number of one of three kinds, a string, an array
// or an object. The number kind is fixed by how the number was written:
//   kU64  a non-negative integer that fits 64 bits unsigned,
//   kI64  a negative integer that fits 64 bits signed,
//   kF64  anything with a fraction or an exponent, and integers too large for
//         the two integer kinds.
// Each integer has exactly one representation: a non-negative int64_t given to
// the constructor is stored as kU64, so kI64 always holds a negative number.
// 1 (integer) and 1.0 (float) are different values.
//
// Objects keep their members sorted by the bytes of their keys, each key at
// most once; inserting a key that is present replaces its value (a later
// duplicate in a document wins). Strings hold UTF-8 bytes.
//
// Ownership: a Value owns its whole tree; copies are deep.
// Thread safety: plain value type; concurrent reads are safe, writes need
// external synchronisation.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tessarin::json {

class Value;
class Decoder;

using Array = std::vector<Value>;

// A JSON object: members in ascending byte order of their keys.
class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using const_iterator = std::vector<Member>::const_iterator;

  Object() = default;

  // Defined below Value: their bodies need Member to be a complete type.
  size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;

  // The value under `key` (compared byte for byte), or nullptr.
  const Value* find(std::string_view key) const;

  // Sets `key` to `value`, replacing the value of a key already present.
  void insert_or_assign(std::string key, Value value);

  friend bool operator==(const Object& a, const Object& b);

 private:
  friend class Decoder;

  // Restores the invariant after members were appended in document order:
  // stable sort by key, then keep only the last member of each run of equal
  // keys.
  void sort_and_dedupe();

  // INVARIANT: strictly ascending by key bytes (outside Decoder's appends).
  std::vector<Member> members_;
};

class Value {
 public:
  // Order matches the alternatives of the variant below.
  enum class Type : uint8_t { kNull = 0, kBool, kU64, kI64, kF64, kString, kArray, kObject };

  Value() = default;  // null
  Value(std::nullptr_t) {}                                    // NOLINT: implicit by design
  Value(bool b) : v_(std::in_place_index<1>, b) {}            // NOLINT
  Value(uint64_t u) : v_(std::in_place_index<2>, u) {}        // NOLINT
  Value(unsigned u) : Value(uint64_t{u}) {}                   // NOLINT
  Value(int64_t i);                                           // NOLINT
  Value(int i) : Value(int64_t{i}) {}                         // NOLINT
  Value(double d) : v_(std::in_place_index<4>, d) {}          // NOLINT
  Value(std::string s) : v_(std::in_place_index<5>, std::move(s)) {}  // NOLINT
  Value(std::string_view s) : Value(std::string(s)) {}        // NOLINT
  Value(const char* s) : Value(std::string(s)) {}             // NOLINT
  Value(Array a) : v_(std::in_place_index<6>, std::move(a)) {}         // NOLINT
  Value(Object o) : v_(std::in_place_index<7>, std::move(o)) {}        // NOLINT

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::kNull; }
  bool is_number() const {
    return type() == Type::kU64 || type() == Type::kI64 || type() == Type::kF64;
  }
  bool is_string() const { return type() == Type::kString; }
  bool is_array() const { return type() == Type::kArray; }
  bool is_object() const { return type() == Type::kObject; }

  // Typed access. REQUIRES: type() is the accessor's type.
  bool as_bool() const { return std::get<1>(v_); }
  uint64_t as_u64() const { return std::get<2>(v_); }
  int64_t as_i64() const { return std::get<3>(v_); }
  double as_f64() const { return std::get<4>(v_); }
  const std::string& as_string() const { return std::get<5>(v_); }
  const Array& as_array() const { return std::get<6>(v_); }
  Array& as_array() { return std::get<6>(v_); }
  const Object& as_object() const { return std::get<7>(v_); }
  Object& as_object() { return std::get<7>(v_); }

  // Any number as a 64-bit float, integers rounded to the nearest float.
  // REQUIRES: is_number().
  double number_as_f64() const;

  // JSON value equality: same type and same value; numbers only when of the
  // same kind (1 != 1.0); floats by IEEE equality; strings by bytes; arrays
  // element by element; objects by equal key sets with equal values.
  friend bool operator==(const Value& a, const Value& b);

 private:
  friend class Decoder;

  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }

// The ordering behind the filter operators $gt, $gte, $lt and $lte:
//   - two strings compare as byte strings (unsigned bytes, a proper prefix
//     first);
//   - two numbers compare as 64-bit floats (integers rounded to the nearest
//     float); NaN is unordered;
//   - every other pairing is unordered.
// Use as `compare_ordered(v, operand) > 0`; every relation on `unordered` is
// false.
std::partial_ordering compare_ordered(const Value& a, const Value& b);

}  // namespace tessarin::json
