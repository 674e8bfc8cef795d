// SearchResult, CompactStats, ImportStats and RecoveryStats: small immutable
// result objects made only by the methods that return them.
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "python/classes.h"
#include "python/conversions.h"
#include "python/errors.h"
#include "json/print.h"

namespace tessarin::py {

namespace {

// ---- SearchResult ----

struct SearchResultObject {
  PyObject_HEAD
  struct Fields {
    std::string id;
    std::string metadata;  // compact JSON text
    float score;
  } fields;
};

SearchResultObject* as_result(PyObject* self) { return reinterpret_cast<SearchResultObject*>(self); }

PyObject* result_get_id(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&] { return text_to_str(as_result(self)->fields.id); });
}

PyObject* result_get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_result(self)->fields.score));
}

// A new Python object for the stored metadata on every access, so callers
// may change what they get without touching the result.
PyObject* result_get_metadata(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    json::Value value;
    std::string error;
    if (!parse_json_text(as_result(self)->fields.metadata, value, error)) {
      return raise_text(PyExc_ValueError, "Invalid metadata JSON: " + error);
    }
    std::string text = json::print(value);
    PyRef json_module = import_json_module();
    if (!json_module) return nullptr;
    PyRef loads(PyObject_GetAttrString(json_module.get(), "loads"));
    if (!loads) return nullptr;
    PyRef arg(text_to_str(text));
    if (!arg) return nullptr;
    return PyObject_CallOneArg(loads.get(), arg.get());
  });
}

// "%.4f" of the score widened to double; NaN as "NaN", infinities as
// "inf" / "-inf".
std::string format_score(float score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(score));
  return buf;
}

PyObject* result_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    const auto& f = as_result(self)->fields;
    std::string text = "SearchResult(id='" + f.id + "', score=" + format_score(f.score) +
                       ", metadata=" + f.metadata + ")";
    return text_to_str(text);
  });
}

PyGetSetDef result_getset[] = {
    {"id", result_get_id, nullptr, "Record ID.", nullptr},
    {"score", result_get_score, nullptr, "Similarity/distance score.", nullptr},
    {"metadata", result_get_metadata, nullptr, "Get the metadata as a Python dict.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Search result from a vector query.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SearchResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {"builtins.SearchResult", sizeof(SearchResultObject), 0,
                           Py_TPFLAGS_DEFAULT, result_slots};

// ---- the statistics classes: up to four u64 counters each ----

struct StatsObject {
  PyObject_HEAD
  struct Fields {
    std::array<uint64_t, 4> values;
  } fields;
};

// closure = the counter's index.
PyObject* stats_get(PyObject* self, void* closure) {
  auto index = reinterpret_cast<uintptr_t>(closure);
  return PyLong_FromUnsignedLongLong(reinterpret_cast<StatsObject*>(self)->fields.values[index]);
}

void* counter(uintptr_t index) { return reinterpret_cast<void*>(index); }

// "<Class>(<name0>=v0, <name1>=v1, ...)" over the type's properties, which
// are listed in counter order.
PyObject* stats_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    PyTypeObject* type = Py_TYPE(self);
    const auto& values = reinterpret_cast<StatsObject*>(self)->fields.values;
    std::string text = type->tp_name + sizeof("builtins.") - 1;
    text += '(';
    size_t i = 0;
    for (PyGetSetDef* def = type->tp_getset; def->name != nullptr; ++def, ++i) {
      if (i != 0) text += ", ";
      text += def->name;
      text += '=';
      text += std::to_string(values[i]);
    }
    text += ')';
    return text_to_str(text);
  });
}

PyGetSetDef compact_getset[] = {
    {"expired_removed", stats_get, nullptr, "Number of expired records removed.", counter(0)},
    {"tombstones_removed", stats_get, nullptr, "Number of tombstone records removed.", counter(1)},
    {"bytes_freed", stats_get, nullptr, "Bytes freed (approximate).", counter(2)},
    {"duration_ms", stats_get, nullptr, "Duration in milliseconds.", counter(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef import_getset[] = {
    {"imported", stats_get, nullptr, "Number of records successfully imported.", counter(0)},
    {"skipped", stats_get, nullptr, "Number of records skipped.", counter(1)},
    {"failed", stats_get, nullptr, "Number of records that failed to import.", counter(2)},
    {"duration_ms", stats_get, nullptr, "Duration in milliseconds.", counter(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef recovery_getset[] = {
    {"promoted", stats_get, nullptr, "Records promoted from Pending to Active.", counter(0)},
    {"rolled_back", stats_get, nullptr, "Records rolled back (incomplete writes).", counter(1)},
    {"tombstones", stats_get, nullptr, "Tombstone records found.", counter(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TESSARIN_STATS_SLOTS(getset, doc)                                          \
  {                                                                                \
    {Py_tp_doc, const_cast<char*>(doc)},                                           \
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},                      \
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StatsObject>)},   \
        {Py_tp_repr, reinterpret_cast<void*>(stats_repr)}, {Py_tp_getset, getset}, \
        {0, nullptr},                                                              \
  }

PyType_Slot compact_slots[] = TESSARIN_STATS_SLOTS(compact_getset, "Statistics from a compaction operation.");
PyType_Slot import_slots[] = TESSARIN_STATS_SLOTS(import_getset, "Statistics from an import operation.");
PyType_Slot recovery_slots[] = TESSARIN_STATS_SLOTS(recovery_getset, "Statistics from crash recovery.");

PyType_Spec compact_spec = {"builtins.CompactStats", sizeof(StatsObject), 0, Py_TPFLAGS_DEFAULT,
                            compact_slots};
PyType_Spec import_spec = {"builtins.ImportStats", sizeof(StatsObject), 0, Py_TPFLAGS_DEFAULT,
                           import_slots};
PyType_Spec recovery_spec = {"builtins.RecoveryStats", sizeof(StatsObject), 0, Py_TPFLAGS_DEFAULT,
                             recovery_slots};

PyObject* new_stats(PyTypeObject* type, std::array<uint64_t, 4> values) {
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(allocate_instance<StatsObject>(type, values));
}

}  // namespace

PyTypeObject* search_result_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(result_spec));
}

PyTypeObject* compact_stats_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(compact_spec));
}

PyTypeObject* import_stats_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(import_spec));
}

PyTypeObject* recovery_stats_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(recovery_spec));
}

PyObject* new_search_result(SearchHit hit) {
  PyTypeObject* type = search_result_type();
  if (type == nullptr) return nullptr;
  std::string metadata = json::print(hit.metadata);
  return reinterpret_cast<PyObject*>(allocate_instance<SearchResultObject>(
      type, std::move(hit.id), std::move(metadata), hit.score));
}

PyObject* new_compact_stats(const CompactStats& s) {
  return new_stats(compact_stats_type(),
                   {s.expired_removed, s.tombstones_removed, s.bytes_freed, s.duration_ms});
}

PyObject* new_import_stats(const ImportStats& s) {
  return new_stats(import_stats_type(), {s.imported, s.skipped, s.failed, s.duration_ms});
}

PyObject* new_recovery_stats(const RecoveryStats& s) {
  return new_stats(recovery_stats_type(), {s.promoted, s.rolled_back, s.tombstones, 0});
}

}  // namespace tessarin::py
