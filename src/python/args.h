// Argument matching and extraction for the binding's methods.
//
// Methods taking arguments use METH_FASTCALL | METH_KEYWORDS; the constructor
// gets the classic (args tuple, kwargs dict). Both go through the same
// matcher, which places positional then keyword arguments into one slot per
// parameter and raises TypeErrors with the module's fixed wording:
//   "Collection.add() missing 1 required positional argument: 'metadata'"
//   "Collection.add() takes from 2 to 4 positional arguments but 5 were given"
//   "Collection.add() got an unexpected keyword argument 'where'"
//   "Collection.add() got multiple values for argument 'id'"
// Extraction then checks each slot's Python type in parameter order. A
// TypeError of an extraction becomes "argument '<name>': <message>" with the
// original error as its __cause__; other exception types (OverflowError of a
// negative int, UnicodeEncodeError of a lone surrogate) pass unchanged.
//
// Every function returns false (or nullptr) with a Python exception set on
// failure. Thread safety: interpreter lock held throughout.
#pragma once

#include "python/pyref.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessarin::py {

// All parameters are positional-or-keyword; the first `required` have no
// default, the others default to None (or, for a string, to what the
// method substitutes for an absent slot).
struct Signature {
  const char* full_name;     // e.g. "Collection.add()"
  const char* const* names;  // `count` parameter names
  int count;
  int required;
};

inline constexpr int kMaxParams = 4;

// Fills slots[0..count) with borrowed references, nullptr for a parameter not
// given. `slots` must hold sig.count entries.
bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// The common one-parameter form: matches a signature of one required str
// parameter and extracts it.
bool match_single_str(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::string& out);

// Re-raises a pending TypeError as "argument '<name>': <message>" with the
// original as __cause__; leaves other exceptions alone. Returns false.
bool argument_error(const char* name);

// Sets TypeError "'<qualified type name>' object cannot be converted to '<target>'".
void raise_downcast_error(PyObject* obj, const char* target);

// The UTF-8 text of a str; UnicodeEncodeError for lone surrogates.
// Raises the plain downcast error (no argument prefix).
bool str_to_utf8(PyObject* obj, std::string& out);
// The same without a copy: `out` views the str's own UTF-8 buffer, valid
// while the str lives.
bool str_utf8_view(PyObject* obj, std::string_view& out);

// Per-parameter extractors. A nullptr slot means "not given" for the
// optional forms; None maps to std::nullopt.
bool extract_str(PyObject* obj, const char* name, std::string& out);
bool extract_optional_str(PyObject* obj, const char* name, std::optional<std::string>& out);
bool extract_u64(PyObject* obj, const char* name, uint64_t& out);
bool extract_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>& out);
// A dict or dict subclass; `out` is borrowed from the argument.
bool extract_dict(PyObject* obj, const char* name, PyObject*& out);
bool extract_optional_dict(PyObject* obj, const char* name, PyObject*& out);
// A sequence (not a str) of dicts; the list holds new references.
bool extract_dict_list(PyObject* obj, const char* name, std::vector<PyRef>& out);
// None, or a sequence (not a str) of str.
bool extract_optional_str_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::string>>& out);
// None, or a sequence (not a str) whose items are None or unsigned ints.
bool extract_optional_ttl_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::optional<uint64_t>>>& out);

// Walks a sequence argument the way a list parameter is extracted: a str is
// refused with "Can't extract `str` to `Vec`", a non-sequence with the
// "'<type>' object cannot be converted to 'Sequence'" TypeError; otherwise
// every item is passed to on_item(PyObject* borrowed) -> bool in iteration
// order, stopping at the first false. size_hint(n) receives the sequence's
// length (0 when unknown), at most kMaxSizeHint, before the first item.
//
// The length is the caller's __len__, which may claim any count: it only
// makes room in advance, up to the largest vector a collection holds
// (65536 dimensions); past that a list grows as its items arrive, and only
// the items the iteration yields count.
inline constexpr size_t kMaxSizeHint = 65536;

template <typename SizeHint, typename OnItem>
bool for_each_sequence_item(PyObject* obj, SizeHint&& size_hint, OnItem&& on_item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_downcast_error(obj, "Sequence");
    return false;
  }
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    n = 0;
  }
  size_hint(std::min(static_cast<size_t>(n), kMaxSizeHint));
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item{PyIter_Next(iter.get())}) {
    if (!on_item(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace tessarin::py
