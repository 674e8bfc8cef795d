#include "python/conversions.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "python/args.h"
#include "python/errors.h"
#include "json/parse.h"

namespace tessarin::py {

namespace {

// numpy.ndarray once NumPy is loaded by someone else; nullptr before.
// The type is kept once found (NumPy is never unloaded from a process).
PyTypeObject* ndarray_type() {
  static PyTypeObject* cached = nullptr;
  if (cached != nullptr) return cached;
  static PyObject* name = PyUnicode_InternFromString("numpy");
  if (name == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef numpy(PyImport_GetModule(name));
  if (!numpy) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef type(PyObject_GetAttrString(numpy.get(), "ndarray"));
  if (!type || !PyType_Check(type.get())) {
    PyErr_Clear();
    return nullptr;
  }
  cached = reinterpret_cast<PyTypeObject*>(type.release());
  return cached;
}

bool is_ndarray(PyObject* obj) {
  PyTypeObject* type = ndarray_type();
  return type != nullptr && PyObject_TypeCheck(obj, type);
}

enum class Element { kOther, kFloat32, kFloat64 };

// The element type of an exported buffer, float32/float64 only in native
// byte order.
Element element_of(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          (format[0] == '<' && std::endian::native == std::endian::little) ||
                          (format[0] == '>' && std::endian::native == std::endian::big))) {
    format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == 4) return Element::kFloat32;
  if (format == "d" && view.itemsize == 8) return Element::kFloat64;
  return Element::kOther;
}

// An exported buffer released on scope exit.
class BufferGuard {
 public:
  BufferGuard() = default;
  BufferGuard(const BufferGuard&) = delete;
  BufferGuard& operator=(const BufferGuard&) = delete;
  ~BufferGuard() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Exports obj's buffer with shape, strides and format. False (no error
  // pending) when the object refuses.
  bool acquire(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The contiguous 1-D fast paths; false when the array needs the item road.
bool try_numpy_vector(PyObject* obj, std::vector<float>& out) {
  BufferGuard buffer;
  if (!buffer.acquire(obj)) return false;
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1) return false;
  Element element = element_of(view);
  if (element == Element::kOther) return false;
  Py_ssize_t n = view.shape[0];
  if (n > 1 && view.strides[0] != view.itemsize) return false;
  out.resize(static_cast<size_t>(n));
  if (element == Element::kFloat32) {
    if (n > 0) std::memcpy(out.data(), view.buf, static_cast<size_t>(n) * sizeof(float));
  } else {
    const double* src = static_cast<const double*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = narrow(src[i]);
  }
  return true;
}

bool item_to_float(PyObject* item, float& out) {
  double v;
  if (PyFloat_CheckExact(item)) {
    v = PyFloat_AS_DOUBLE(item);
  } else {
    v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) return false;
  }
  out = narrow(v);
  return true;
}

}  // namespace

bool extract_vector(PyObject* obj, std::vector<float>& out) {
  out.clear();
  // try_numpy_vector leaves `out` untouched when it declines.
  if (is_ndarray(obj) && try_numpy_vector(obj, out)) return true;
  return for_each_sequence_item(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyObject* item) { return item_to_float(item, out.emplace_back()); });
}

namespace {

// An interned str made once and kept for the life of the process (the
// names, not the module: the module is imported afresh on every call).
// nullptr with MemoryError set when it cannot be made.
PyObject* interned(PyObject*& cache, const char* text) {
  if (cache == nullptr) cache = PyUnicode_InternFromString(text);
  return cache;
}

PyObject* json_name() {
  static PyObject* name = nullptr;
  return interned(name, "json");
}

PyObject* dumps_name() {
  static PyObject* name = nullptr;
  return interned(name, "dumps");
}

}  // namespace

PyRef import_json_module() {
  PyObject* name = json_name();
  if (name == nullptr) return PyRef();
  return PyRef(PyImport_Import(name));
}

bool convert_dict_to_json(PyObject* dict, json::Value& out) {
  PyRef json_module = import_json_module();
  if (!json_module) return false;
  PyObject* name = dumps_name();
  if (name == nullptr) return false;
  PyRef dumps(PyObject_GetAttr(json_module.get(), name));
  if (!dumps) return false;
  PyRef text(PyObject_CallOneArg(dumps.get(), dict));
  if (!text) return false;
  std::string_view utf8;  // valid while `text` lives
  if (!str_utf8_view(text.get(), utf8)) return false;
  std::string error;
  if (!parse_json_text(utf8, out, error)) {
    raise_text(PyExc_ValueError, "Invalid JSON: " + error);
    return false;
  }
  return true;
}

BatchInput::~BatchInput() {
  if (holds_view_) PyBuffer_Release(&view_);
}

namespace {

// A 2-D native float32/float64 array: its rows become the batch's block.
// False (nothing set) when obj is not such an array.
bool try_numpy_matrix(PyObject* obj, Py_buffer& view, bool& holds_view,
                      std::vector<float>& narrowed, BatchVectors& vectors) {
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  Element element = view.ndim == 2 ? element_of(view) : Element::kOther;
  if (element == Element::kOther) {
    PyBuffer_Release(&view);
    return false;
  }
  const size_t rows = static_cast<size_t>(view.shape[0]);
  const size_t cols = static_cast<size_t>(view.shape[1]);
  const Py_ssize_t row_step = view.strides[0];
  const Py_ssize_t col_step = view.strides[1];
  const char* base = static_cast<const char*>(view.buf);
  vectors.is_block = true;
  vectors.block_rows = rows;
  vectors.block_cols = cols;
  const bool aligned = reinterpret_cast<uintptr_t>(base) % alignof(float) == 0 &&
                       row_step % static_cast<Py_ssize_t>(sizeof(float)) == 0 &&
                       col_step % static_cast<Py_ssize_t>(sizeof(float)) == 0;
  if (element == Element::kFloat32 && aligned) {
    // Zero copy: the export stays held until the BatchInput goes.
    vectors.data = reinterpret_cast<const float*>(base);
    vectors.row_stride = row_step / static_cast<Py_ssize_t>(sizeof(float));
    vectors.col_stride = col_step / static_cast<Py_ssize_t>(sizeof(float));
    holds_view = true;
    return true;
  }
  // float64 (or an oddly aligned float32 view): one contiguous float32 block.
  narrowed.resize(rows * cols);
  for (size_t r = 0; r < rows; ++r) {
    const char* row = base + static_cast<Py_ssize_t>(r) * row_step;
    float* dst = narrowed.data() + r * cols;
    for (size_t c = 0; c < cols; ++c) {
      const char* item = row + static_cast<Py_ssize_t>(c) * col_step;
      if (element == Element::kFloat64) {
        double v;
        std::memcpy(&v, item, sizeof v);
        dst[c] = narrow(v);
      } else {
        std::memcpy(&dst[c], item, sizeof(float));
      }
    }
  }
  PyBuffer_Release(&view);
  vectors.data = narrowed.data();
  vectors.row_stride = static_cast<ptrdiff_t>(cols);
  vectors.col_stride = 1;
  return true;
}

}  // namespace

bool extract_batch_vectors(PyObject* obj, BatchInput& out) {
  if (is_ndarray(obj) &&
      try_numpy_matrix(obj, out.view_, out.holds_view_, out.narrowed_, out.vectors_)) {
    return true;
  }
  auto& rows = out.vectors_.rows;
  return for_each_sequence_item(
      obj, [&](size_t n) { rows.reserve(n); },
      [&](PyObject* item) { return extract_vector(item, rows.emplace_back()); });
}

bool parse_json_text(std::string_view text, json::Value& out, std::string& error) {
  json::ParseResult<json::Value> parsed = json::parse(text);
  if (!parsed.ok()) {
    error = parsed.error().message();
    return false;
  }
  out = std::move(parsed).value();
  return true;
}

}  // namespace tessarin::py
