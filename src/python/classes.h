// The six Python classes of module `tessarin` and the helpers they share.
//
// Each class is a heap type built once from a PyType_Spec named "builtins.<Name>"
// (so __module__ is "builtins"), on first need, and kept for the life of the
// process. No instance has a __dict__; properties have no setters. Only
// Tessarin has a constructor; calling any other class raises TypeError
// "No constructor defined for <Name>".
//
// Instances hold C++ members placement-constructed after tp_alloc and
// destroyed in tp_dealloc, which also drops the instance's reference to its
// heap type.
//
// Thread safety: everything here needs the interpreter lock.
#pragma once

#include "python/pyref.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "database.h"

namespace tessarin::py {

// Type objects (borrowed; nullptr with an exception set if building fails).
PyTypeObject* tessarin_type();
PyTypeObject* collection_type();
PyTypeObject* search_result_type();
PyTypeObject* compact_stats_type();
PyTypeObject* recovery_stats_type();
PyTypeObject* import_stats_type();

// New instances (new references; nullptr with an exception set).
PyObject* new_collection(std::shared_ptr<CollectionState> state);
PyObject* new_search_result(SearchHit hit);
PyObject* new_compact_stats(const CompactStats& stats);
PyObject* new_import_stats(const ImportStats& stats);
PyObject* new_recovery_stats(const RecoveryStats& stats);

// ---- shared by the class files ----

// tp_new of the classes without constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Builds a heap type from its PyType_Spec; nullptr with an exception set.
PyTypeObject* build_type(PyType_Spec& type_spec);

// Allocates an instance of `type` and placement-constructs T(args...) in it.
// T's first member must be PyObject_HEAD (standard layout).
template <typename T, typename... Args>
T* allocate_instance(PyTypeObject* type, Args&&... args) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  T* self = reinterpret_cast<T*>(raw);
  new (&self->fields) decltype(self->fields){std::forward<Args>(args)...};
  return self;
}

// tp_dealloc for a class whose C++ members live in `fields`.
template <typename T>
void dealloc_instance(PyObject* raw) {
  PyTypeObject* type = Py_TYPE(raw);
  using Fields = decltype(T::fields);
  reinterpret_cast<T*>(raw)->fields.~Fields();
  type->tp_free(raw);
  Py_DECREF(type);
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
// table holds.
#define TESSARIN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// A str from engine UTF-8 text (invalid bytes replaced; never fails for
// engine reasons).
PyObject* text_to_str(std::string_view text);

// A new list of str.
PyObject* str_list(const std::vector<std::string>& texts);

}  // namespace tessarin::py
