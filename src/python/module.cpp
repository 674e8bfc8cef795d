// Module start-up: PyInit_tessarin, the only exported symbol.
//
// Single-phase initialisation. The module belongs to the first interpreter
// that imports it (its id is claimed once by compare-and-swap); every other
// interpreter gets ImportError. The module object is created once and kept
// for the life of the process, so a later call of the init function (a
// re-import after removal from sys.modules, or the import system's reload of
// the extension) hands back the same object.
#include <atomic>
#include <cstdint>

#include "python/classes.h"
#include "python/errors.h"

namespace tessarin::py {

namespace {

std::atomic<int64_t> first_interpreter_id{-1};
PyObject* module_object = nullptr;  // one strong reference, never released

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessarin",
    "Tessarin Python module.\n\nA lightweight, serverless vector database for AI agent memory.",
    0,        // no per-module state
    nullptr,  // no functions
    nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating it when missing) and sets
// the attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  PyRef name_str(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all.get(), name_str.get()) != 0) return false;
  return PyObject_SetAttr(module, name_str.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  int64_t expected = -1;
  if (!first_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see the Tessarin issue "
                    "tracker");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  PyRef module(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  if (!add_class(module.get(), "Tessarin", tessarin_type()) ||
      !add_class(module.get(), "Collection", collection_type()) ||
      !add_class(module.get(), "SearchResult", search_result_type()) ||
      !add_class(module.get(), "CompactStats", compact_stats_type()) ||
      !add_class(module.get(), "RecoveryStats", recovery_stats_type()) ||
      !add_class(module.get(), "ImportStats", import_stats_type())) {
    return nullptr;  // the cell stays empty: a later import tries again
  }
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name(PyType_GetName(type));
  if (!name) return nullptr;
  return PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

PyTypeObject* build_type(PyType_Spec& type_spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyObject* text_to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* str_list(const std::vector<std::string>& texts) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = text_to_str(texts[i]);
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

}  // namespace tessarin::py

PyMODINIT_FUNC PyInit_tessarin(void) {
  try {
    return tessarin::py::init_module();
  } catch (...) {
    tessarin::py::raise_current_cpp_exception();
    return nullptr;
  }
}
