// Tessarin: the database object a Python program starts from. It owns one
// DatabaseState; dropping the object releases the state and with it the
// registry's file lock (collections held by Collection objects live on).
#include <string>

#include "python/args.h"
#include "python/classes.h"
#include "python/errors.h"
#include "search/distance.h"

namespace tessarin::py {

namespace {

struct TessarinObject {
  PyObject_HEAD
  struct Fields {
    std::unique_ptr<DatabaseState> db;  // set by tp_new, never reassigned
  } fields;
};

DatabaseState& db_of(PyObject* self) { return *reinterpret_cast<TessarinObject*>(self)->fields.db; }

const char* const kPathNames[] = {"path"};
const Signature kNewSig{"Tessarin.__new__()", kPathNames, 1, 1};

PyObject* tessarin_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[1];
    std::string path;
    if (!match_tuple_dict(kNewSig, args, kwargs, slot) || !extract_str(slot[0], "path", path)) {
      return nullptr;
    }
    Result<std::unique_ptr<DatabaseState>> opened = open_database(path);
    if (!opened.ok()) return raise_db_error(PyExc_OSError, opened.error());
    return reinterpret_cast<PyObject*>(
        allocate_instance<TessarinObject>(type, std::move(opened).value()));
  });
}

const char* const kCollectionNames[] = {"name", "dim", "metric"};
const Signature kCollectionSig{"Tessarin.collection()", kCollectionNames, 3, 2};

PyObject* tessarin_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[3];
    std::string name;
    uint64_t dim = 0;
    std::string metric_text = "cosine";
    if (!match_fastcall(kCollectionSig, args, nargs, kwnames, slot) ||
        !extract_str(slot[0], "name", name) || !extract_u64(slot[1], "dim", dim) ||
        (slot[2] != nullptr && !extract_str(slot[2], "metric", metric_text))) {
      return nullptr;
    }
    Result<Metric> metric = parse_metric(metric_text);
    // The metric's text is raised as it stands, without a DbError prefix.
    if (!metric.ok()) return raise_text(PyExc_ValueError, metric.error().text());
    Result<std::shared_ptr<CollectionState>> state = collection(db_of(self), name, dim, *metric);
    if (!state.ok()) return raise_db_error(PyExc_ValueError, state.error());
    return new_collection(std::move(state).value());
  });
}

const char* const kNameNames[] = {"name"};
const Signature kGetSig{"Tessarin.get_collection()", kNameNames, 1, 1};
const Signature kDropSig{"Tessarin.drop_collection()", kNameNames, 1, 1};

PyObject* tessarin_get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string name;
    if (!match_single_str(kGetSig, args, nargs, kwnames, name)) return nullptr;
    Result<std::shared_ptr<CollectionState>> state = get_collection(db_of(self), name);
    if (!state.ok()) return raise_db_error(PyExc_KeyError, state.error());
    return new_collection(std::move(state).value());
  });
}

PyObject* tessarin_collections(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Result<std::vector<std::string>> names = collections(db_of(self));
    if (!names.ok()) return raise_db_error(PyExc_OSError, names.error());
    return str_list(*names);
  });
}

PyObject* tessarin_drop_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string name;
    if (!match_single_str(kDropSig, args, nargs, kwnames, name)) return nullptr;
    Status dropped = drop_collection(db_of(self), name);
    if (!dropped.ok()) return raise_db_error(PyExc_OSError, dropped.error());
    Py_RETURN_NONE;
  });
}

PyObject* tessarin_sync(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Status synced = sync_all(db_of(self));
    if (!synced.ok()) return raise_db_error(PyExc_OSError, synced.error());
    Py_RETURN_NONE;
  });
}

PyObject* tessarin_recovery_stats(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&] { return new_recovery_stats(recovery_stats(db_of(self))); });
}

PyObject* tessarin_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    Result<std::vector<std::string>> names = collections(db_of(self));
    if (!names.ok()) return text_to_str("Tessarin()");
    return text_to_str("Tessarin(collections=" + std::to_string(names->size()) + ")");
  });
}

PyMethodDef tessarin_methods[] = {
    {"collection", TESSARIN_FASTCALL(tessarin_collection), METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name, dim, metric=\"cosine\")\n--\n\n"
     "Get or create a collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n"
     "    dim: Vector dimensions.\n"
     "    metric: Distance metric (\"cosine\", \"dot\", or \"l2\").\n\n"
     "Returns:\n"
     "    The Collection object."},
    {"get_collection", TESSARIN_FASTCALL(tessarin_get_collection), METH_FASTCALL | METH_KEYWORDS,
     "get_collection($self, name)\n--\n\n"
     "Get an existing collection.\n\n"
     "Args:\n"
     "    name: Collection name.\n\n"
     "Returns:\n"
     "    The Collection object.\n\n"
     "Raises:\n"
     "    KeyError: If collection does not exist."},
    {"collections", tessarin_collections, METH_NOARGS,
     "collections($self)\n--\n\n"
     "List all collection names.\n\n"
     "Returns:\n"
     "    List of collection names."},
    {"drop_collection", TESSARIN_FASTCALL(tessarin_drop_collection), METH_FASTCALL | METH_KEYWORDS,
     "drop_collection($self, name)\n--\n\n"
     "Delete a collection and all its data.\n\n"
     "Args:\n"
     "    name: Collection name."},
    {"sync", tessarin_sync, METH_NOARGS, "sync($self)\n--\n\nFlush all pending writes to disk."},
    {"recovery_stats", tessarin_recovery_stats, METH_NOARGS,
     "recovery_stats($self)\n--\n\n"
     "Get recovery statistics from database open.\n\n"
     "Returns:\n"
     "    RecoveryStats with details about crash recovery."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tessarin_slots[] = {
    // The "(path)" signature line becomes __text_signature__; __doc__ is the
    // text after the "--" separator.
    {Py_tp_doc, const_cast<char*>("Tessarin(path)\n--\n\n"
                                  "Tessarin vector database.\n\n"
                                  "A lightweight, serverless, single-file vector database for AI "
                                  "agent memory.")},
    {Py_tp_new, reinterpret_cast<void*>(tessarin_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<TessarinObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(tessarin_repr)},
    {Py_tp_methods, tessarin_methods},
    {0, nullptr},
};

PyType_Spec tessarin_spec = {"builtins.Tessarin", sizeof(TessarinObject), 0, Py_TPFLAGS_DEFAULT,
                             tessarin_slots};

}  // namespace

PyTypeObject* tessarin_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(tessarin_spec));
}

}  // namespace tessarin::py
