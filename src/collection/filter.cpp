#include "collection/filter.h"

#include <compare>
#include <string_view>

#include "platform/platform.h"

namespace tessarin {

namespace {

std::optional<FilterOp::Kind> operator_kind(std::string_view key) {
  using K = FilterOp::Kind;
  if (key == "$eq") return K::kEq;
  if (key == "$ne") return K::kNe;
  if (key == "$gt") return K::kGt;
  if (key == "$gte") return K::kGte;
  if (key == "$lt") return K::kLt;
  if (key == "$lte") return K::kLte;
  if (key == "$in") return K::kIn;
  if (key == "$nin") return K::kNin;
  return std::nullopt;
}

bool is_operator_object(const json::Value& w) {
  if (!w.is_object()) return false;
  for (const auto& [key, value] : w.as_object()) {
    if (!key.empty() && key.front() == '$') return true;
  }
  return false;
}

bool contains(const std::vector<json::Value>& values, const json::Value& v) {
  for (const json::Value& e : values) {
    if (e == v) return true;
  }
  return false;
}

bool op_holds(const FilterOp& op, const json::Value& v) {
  using K = FilterOp::Kind;
  switch (op.kind) {
    case K::kEq:
      return v == op.operand;
    case K::kNe:
      return !(v == op.operand);
    case K::kGt:
      return json::compare_ordered(v, op.operand) > 0;
    case K::kGte:
      return json::compare_ordered(v, op.operand) >= 0;
    case K::kLt:
      return json::compare_ordered(v, op.operand) < 0;
    case K::kLte:
      return json::compare_ordered(v, op.operand) <= 0;
    case K::kIn:
      return contains(op.values, v);
    case K::kNin:
      return !contains(op.values, v);
  }
  return false;
}

}  // namespace

std::vector<FilterCondition> parse_filter(const json::Value& where) {
  std::vector<FilterCondition> conditions;
  if (!where.is_object()) return conditions;
  for (const auto& [field, w] : where.as_object()) {
    FilterCondition condition;
    condition.field = field;
    if (is_operator_object(w)) {
      for (const auto& [key, operand] : w.as_object()) {
        std::optional<FilterOp::Kind> kind = operator_kind(key);
        if (!kind) continue;
        FilterOp op;
        op.kind = *kind;
        if (*kind == FilterOp::Kind::kIn || *kind == FilterOp::Kind::kNin) {
          if (!operand.is_array()) continue;
          op.values = operand.as_array();
        } else {
          op.operand = operand;
        }
        condition.ops.push_back(std::move(op));
      }
      if (condition.ops.empty()) continue;
    } else {
      FilterOp op;
      op.kind = FilterOp::Kind::kEq;
      op.operand = w;
      condition.ops.push_back(std::move(op));
    }
    conditions.push_back(std::move(condition));
  }
  return conditions;
}

bool matches_filter(const std::vector<FilterCondition>& conditions, const json::Value& metadata) {
  if (conditions.empty()) return true;
  if (!metadata.is_object() || metadata.as_object().empty()) return false;
  const json::Object& object = metadata.as_object();
  for (const FilterCondition& condition : conditions) {
    const json::Value* v = object.find(condition.field);
    if (v == nullptr) return false;
    for (const FilterOp& op : condition.ops) {
      if (!op_holds(op, *v)) return false;
    }
  }
  return true;
}

}  // namespace tessarin
