#include "python/errors.h"

#include <new>
#include <string>

namespace tessarin::py {

PyObject* raise_text(PyObject* exc_type, std::string_view text) {
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // A one-element tuple, so that a message that is itself a tuple-like value
  // (never the case for str, but explicit is cheaper than clever) is the
  // exception's single argument.
  PyRef args(PyTuple_Pack(1, message.get()));
  if (!args) return nullptr;
  PyErr_SetObject(exc_type, args.get());
  return nullptr;
}

PyObject* raise_db_error(PyObject* exc_type, const DbError& error) {
  return raise_text(exc_type, error.message());
}

PyObject* panic_exception_type() {
  // Created once for the life of the process; the module refuses every
  // interpreter but the first, so one type object serves all callers.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tessarin.PanicException",
        "An internal fault of the Tessarin engine (a broken invariant). Derived from "
        "BaseException so that ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void raise_panic(const char* what) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation failure is the pending error
  raise_text(type, what);
}

}  // namespace

void raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

}  // namespace tessarin::py
