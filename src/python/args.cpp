#include "python/args.h"

namespace tessarin::py {

namespace {

PyObject* too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (sig.required != sig.count) {
    return PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                        sig.full_name, sig.required, sig.count, given, was);
  }
  return PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                      sig.full_name, sig.count, given, was);
}

// Places one keyword argument; false with TypeError set for an unknown name
// or a parameter that already has a value.
bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** slots) {
  if (PyUnicode_Check(name)) {
    for (int i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                     sig.names[i]);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
bool check_missing(const Signature& sig, Py_ssize_t positional_given, PyObject** slots) {
  if (positional_given >= sig.required) return true;
  int missing[kMaxParams];
  int n = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing[n++] = i;
  }
  if (n == 0) return true;
  std::string list;
  for (int j = 0; j < n; ++j) {
    if (j != 0) {
      if (n > 2) list += ',';
      list += (j == n - 1) ? " and " : " ";
    }
    list += '\'';
    list += sig.names[missing[j]];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", sig.full_name, n,
               n == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

}  // namespace

bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  for (int i = 0; i < sig.count; ++i) slots[i] = nullptr;
  if (nargs > sig.count) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], slots)) return false;
    }
  }
  return check_missing(sig, nargs, slots);
}

bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (int i = 0; i < sig.count; ++i) slots[i] = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_missing(sig, nargs, slots);
}

bool match_single_str(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::string& out) {
  PyObject* slot[1];
  return match_fastcall(sig, args, nargs, kwnames, slot) && extract_str(slot[0], sig.names[0], out);
}

bool argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type;
  PyObject* value;
  PyObject* tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {  // a subclass of TypeError passes unchanged
    PyErr_Restore(type, value, tb);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef cause(value);
  PyRef cause_type(type);
  if (tb != nullptr) {
    PyException_SetTraceback(cause.get(), tb);
    Py_DECREF(tb);
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, cause.get()));
  if (!message) return false;
  PyRef remapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!remapped) return false;
  PyException_SetCause(remapped.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, remapped.get());
  return false;
}

void raise_downcast_error(PyObject* obj, const char* target) {
  PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

bool str_utf8_view(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_downcast_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool str_to_utf8(PyObject* obj, std::string& out) {
  std::string_view text;
  if (!str_utf8_view(obj, text)) return false;
  out.assign(text);
  return true;
}

namespace {

bool to_u64(PyObject* obj, uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool is_absent(PyObject* obj) { return obj == nullptr || obj == Py_None; }

}  // namespace

bool extract_str(PyObject* obj, const char* name, std::string& out) {
  return str_to_utf8(obj, out) || argument_error(name);
}

bool extract_optional_str(PyObject* obj, const char* name, std::optional<std::string>& out) {
  if (is_absent(obj)) {
    out.reset();
    return true;
  }
  return extract_str(obj, name, out.emplace());
}

bool extract_u64(PyObject* obj, const char* name, uint64_t& out) {
  return to_u64(obj, out) || argument_error(name);
}

bool extract_optional_u64(PyObject* obj, const char* name, std::optional<uint64_t>& out) {
  if (is_absent(obj)) {
    out.reset();
    return true;
  }
  return extract_u64(obj, name, out.emplace());
}

bool extract_dict(PyObject* obj, const char* name, PyObject*& out) {
  if (!PyDict_Check(obj)) {
    raise_downcast_error(obj, "PyDict");
    return argument_error(name);
  }
  out = obj;
  return true;
}

bool extract_optional_dict(PyObject* obj, const char* name, PyObject*& out) {
  if (is_absent(obj)) {
    out = nullptr;
    return true;
  }
  return extract_dict(obj, name, out);
}

bool extract_dict_list(PyObject* obj, const char* name, std::vector<PyRef>& out) {
  bool ok = for_each_sequence_item(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyObject* item) {
        if (!PyDict_Check(item)) {
          raise_downcast_error(item, "PyDict");
          return false;
        }
        out.push_back(PyRef::borrow(item));
        return true;
      });
  return ok || argument_error(name);
}

namespace {

// None (or absent) -> nullopt; else a sequence whose items go through
// item(PyObject*, T&) -> bool.
template <typename T, typename Item>
bool extract_optional_list(PyObject* obj, const char* name, std::optional<std::vector<T>>& out,
                           Item&& item) {
  if (is_absent(obj)) {
    out.reset();
    return true;
  }
  auto& list = out.emplace();
  bool ok = for_each_sequence_item(
      obj, [&](size_t n) { list.reserve(n); },
      [&](PyObject* value) { return item(value, list.emplace_back()); });
  return ok || argument_error(name);
}

}  // namespace

bool extract_optional_str_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::string>>& out) {
  return extract_optional_list(obj, name, out, str_to_utf8);
}

bool extract_optional_ttl_list(PyObject* obj, const char* name,
                               std::optional<std::vector<std::optional<uint64_t>>>& out) {
  return extract_optional_list(obj, name, out, [](PyObject* item, std::optional<uint64_t>& ttl) {
    return item == Py_None || to_u64(item, ttl.emplace());
  });
}

}  // namespace tessarin::py
