#include "json/value.h"

#include <algorithm>

namespace tessarin::json {

namespace {

bool key_less(const Object::Member& m, std::string_view key) { return std::string_view(m.first) < key; }

}  // namespace

const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  if (it == members_.end() || it->first != key) return nullptr;
  return &it->second;
}

void Object::insert_or_assign(std::string key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(key), key_less);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

void Object::sort_and_dedupe() {
  // Stored metadata is printed sorted, so the common input is already in
  // strictly ascending order: check before sorting.
  bool strictly_sorted = true;
  for (size_t i = 1; i < members_.size(); ++i) {
    if (!(members_[i - 1].first < members_[i].first)) {
      strictly_sorted = false;
      break;
    }
  }
  if (strictly_sorted) return;
  std::stable_sort(members_.begin(), members_.end(),
                   [](const Member& a, const Member& b) { return a.first < b.first; });
  size_t kept = 0;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (kept > 0 && members_[kept - 1].first == members_[i].first) {
      members_[kept - 1].second = std::move(members_[i].second);  // the later one wins
    } else {
      if (kept != i) members_[kept] = std::move(members_[i]);
      ++kept;
    }
  }
  members_.resize(kept);
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

Value::Value(int64_t i) {
  if (i >= 0) {
    v_.emplace<2>(static_cast<uint64_t>(i));
  } else {
    v_.emplace<3>(i);
  }
}

double Value::number_as_f64() const {
  switch (type()) {
    case Type::kU64:
      return static_cast<double>(as_u64());
    case Type::kI64:
      return static_cast<double>(as_i64());
    default:
      return as_f64();
  }
}

bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

std::partial_ordering compare_ordered(const Value& a, const Value& b) {
  // std::string compares through char_traits<char>, i.e. as unsigned bytes.
  if (a.is_string() && b.is_string()) return a.as_string() <=> b.as_string();
  if (a.is_number() && b.is_number()) return a.number_as_f64() <=> b.number_as_f64();
  return std::partial_ordering::unordered;
}

}  // namespace tessarin::json
