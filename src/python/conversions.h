// Conversions of Python arguments into engine values, run with the
// interpreter lock held before any engine work.
//
// Vectors: a 1-D NumPy float32 array (native byte order, contiguous) is one
// block copy; a contiguous 1-D float64 array is narrowed in one pass (IEEE
// round-to-nearest-even; magnitudes beyond float range become infinities).
// Anything else that is a sequence (including non-contiguous or other-dtype
// arrays) is converted item by item with Python's float conversion. An object
// counts as a NumPy array only when "numpy" is already in sys.modules and the
// object is an instance of numpy.ndarray: this module never imports NumPy.
//
// Dicts: passed through Python's json.dumps (the "json" module is imported
// through the interpreter on every call, no reference is kept) and parsed by
// the engine's JSON parser.
//
// Batch vectors: a 2-D float32 array is handed to the engine as a strided
// block over the array's own memory. The buffer export is held until the
// BatchInput is destroyed, which keeps NumPy from moving or freeing the
// memory while the engine reads it with the interpreter lock released.
//
// Thread safety: every function needs the interpreter lock; a BatchInput's
// vectors may be read without it, but it must be destroyed with it held.
#pragma once

#include "python/pyref.h"

#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "json/value.h"

namespace tessarin::py {

// obj -> float32 values. False with a Python exception set.
bool extract_vector(PyObject* obj, std::vector<float>& out);

// Python's "json" module, imported afresh through the interpreter.
PyRef import_json_module();

// dict -> JSON value via json.dumps; ValueError "Invalid JSON: ..." when the
// text does not parse.
bool convert_dict_to_json(PyObject* dict, json::Value& out);

// The vectors argument of add_batch, converted.
class BatchInput {
 public:
  BatchInput() = default;
  BatchInput(const BatchInput&) = delete;
  BatchInput& operator=(const BatchInput&) = delete;
  ~BatchInput();  // REQUIRES: interpreter lock held

  const BatchVectors& vectors() const { return vectors_; }

  friend bool extract_batch_vectors(PyObject* obj, BatchInput& out);

 private:
  Py_buffer view_{};        // the exported 2-D float32 array, when held
  bool holds_view_ = false;
  std::vector<float> narrowed_;  // contiguous rows made from a float64 array
  BatchVectors vectors_;
};

// Converts add_batch's `vectors`: a 2-D float32 array (strided block, no
// copy), a 2-D float64 array (narrowed into one contiguous block), else a
// sequence of vectors each converted by extract_vector.
bool extract_batch_vectors(PyObject* obj, BatchInput& out);

// Parses one JSON document (trailing whitespace allowed). On failure `error`
// holds the parser's message, which ends " at line L column C".
bool parse_json_text(std::string_view text, json::Value& out, std::string& error);

// Narrowing of one double as NumPy float64 values are narrowed.
inline float narrow(double v) { return static_cast<float>(v); }

}  // namespace tessarin::py
