// PyRef: an owning reference to a Python object, so that every early return
// of a binding function releases what it took.
//
// Ownership: a PyRef owns one strong reference (or nothing); it is move-only.
// Thread safety: create, move and destroy only with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessarin::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be nullptr).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  // A new strong reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace tessarin::py
