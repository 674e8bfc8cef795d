// Error mapping at the interpreter boundary.
//
// Every engine failure reaches Python as one exception type fixed per method,
// whose only argument is the DbError's display text. No C++ exception may
// unwind into the interpreter: every entry point runs its body through
// guard(), which turns std::bad_alloc into MemoryError and any other C++
// exception (a broken invariant, a fatal engine fault) into the panic
// exception, a BaseException subclass that `except Exception` does not catch.
//
// Thread safety: everything here needs the interpreter lock, except the body
// passed to without_gil(), which runs without it.
#pragma once

#include "python/pyref.h"

#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.h"

namespace tessarin::py {

// Raises exc_type(error.message()). Always returns nullptr.
PyObject* raise_db_error(PyObject* exc_type, const DbError& error);

// Raises exc_type(text). Always returns nullptr.
PyObject* raise_text(PyObject* exc_type, std::string_view text);

// The panic exception type "tessarin.PanicException" (derived from
// BaseException), created on first use and never added to the module.
// nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type();

// Sets the Python exception for the C++ exception being handled.
// REQUIRES: called inside a catch block.
void raise_current_cpp_exception() noexcept;

// Runs body() and returns its result; a C++ exception escaping it becomes a
// Python exception and the result is on_error.
template <typename R, typename F>
R guard(R on_error, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    raise_current_cpp_exception();
    return on_error;
  }
}

// Runs work() with the interpreter lock released and returns its result once
// the lock is held again. work() must not touch any Python object. A C++
// exception thrown by work() is rethrown after the lock is retaken.
template <typename F>
auto without_gil(F&& work) -> std::invoke_result_t<F&&> {
  using R = std::invoke_result_t<F&&>;
  std::optional<R> result;
  std::exception_ptr failure;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    result.emplace(std::forward<F>(work)());
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace tessarin::py
