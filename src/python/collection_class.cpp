// Collection: the Python face of one open collection. Each method checks and
// converts its arguments with the interpreter lock held, runs one engine
// operation (add, upsert, add_batch and search with the lock released) and
// maps a DbError to the method's exception type.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "collection/filter.h"
#include "python/args.h"
#include "python/classes.h"
#include "python/conversions.h"
#include "python/errors.h"
#include "search/distance.h"

namespace tessarin::py {

namespace {

struct CollectionObject {
  PyObject_HEAD
  struct Fields {
    // Shared with the database's map and every other Collection object of
    // the same collection; never reassigned.
    std::shared_ptr<CollectionState> state;
  } fields;
};

const std::shared_ptr<CollectionState>& state_of(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self)->fields.state;
}

const CollectionConfig& config_of(PyObject* self) { return collection_config(*state_of(self)); }

// ---- add / upsert ----

const char* const kAddNames[] = {"vector", "metadata", "id", "ttl"};
const Signature kAddSig{"Collection.add()", kAddNames, 4, 2};

PyObject* collection_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[4];
    PyObject* metadata_dict = nullptr;
    std::optional<std::string> id;
    std::optional<uint64_t> ttl;
    if (!match_fastcall(kAddSig, args, nargs, kwnames, slot) ||
        !extract_dict(slot[1], "metadata", metadata_dict) ||
        !extract_optional_str(slot[2], "id", id) || !extract_optional_u64(slot[3], "ttl", ttl)) {
      return nullptr;
    }
    std::vector<float> vector;
    json::Value metadata;
    if (!extract_vector(slot[0], vector) || !convert_dict_to_json(metadata_dict, metadata)) {
      return nullptr;
    }
    std::shared_ptr<CollectionState> state = state_of(self);
    Result<std::string> added = without_gil([&] {
      return add_record(*state, vector, std::move(metadata), std::move(id), ttl);
    });
    if (!added.ok()) return raise_db_error(PyExc_ValueError, added.error());
    return text_to_str(*added);
  });
}

const char* const kUpsertNames[] = {"id", "vector", "metadata", "ttl"};
const Signature kUpsertSig{"Collection.upsert()", kUpsertNames, 4, 3};

PyObject* collection_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[4];
    std::string id;
    PyObject* metadata_dict = nullptr;
    std::optional<uint64_t> ttl;
    if (!match_fastcall(kUpsertSig, args, nargs, kwnames, slot) || !extract_str(slot[0], "id", id) ||
        !extract_dict(slot[2], "metadata", metadata_dict) ||
        !extract_optional_u64(slot[3], "ttl", ttl)) {
      return nullptr;
    }
    std::vector<float> vector;
    json::Value metadata;
    if (!extract_vector(slot[1], vector) || !convert_dict_to_json(metadata_dict, metadata)) {
      return nullptr;
    }
    std::shared_ptr<CollectionState> state = state_of(self);
    Status done = without_gil(
        [&] { return upsert_record(*state, id, vector, std::move(metadata), ttl); });
    if (!done.ok()) return raise_db_error(PyExc_ValueError, done.error());
    Py_RETURN_NONE;
  });
}

// ---- add_batch ----

const char* const kBatchNames[] = {"vectors", "metadatas", "ids", "ttls"};
const Signature kBatchSig{"Collection.add_batch()", kBatchNames, 4, 2};

PyObject* collection_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[4];
    std::vector<PyRef> dicts;
    std::optional<std::vector<std::string>> ids;
    std::optional<std::vector<std::optional<uint64_t>>> ttls;
    if (!match_fastcall(kBatchSig, args, nargs, kwnames, slot) ||
        !extract_dict_list(slot[1], "metadatas", dicts) ||
        !extract_optional_str_list(slot[2], "ids", ids) ||
        !extract_optional_ttl_list(slot[3], "ttls", ttls)) {
      return nullptr;
    }
    BatchInput vectors;  // may hold the array's buffer until the end of the call
    if (!extract_batch_vectors(slot[0], vectors)) return nullptr;
    std::vector<json::Value> metadatas(dicts.size());
    for (size_t i = 0; i < dicts.size(); ++i) {
      if (!convert_dict_to_json(dicts[i].get(), metadatas[i])) return nullptr;
    }
    std::shared_ptr<CollectionState> state = state_of(self);
    Result<std::vector<std::string>> added = without_gil([&] {
      return add_batch_impl(*state, vectors.vectors(), std::move(metadatas), std::move(ids),
                            std::move(ttls));
    });
    if (!added.ok()) return raise_db_error(PyExc_ValueError, added.error());
    return str_list(*added);
  });
}

// ---- search / get / delete ----

PyObject* results_to_list(std::vector<SearchHit>& hits) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_search_result(std::move(hits[i]));
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

const char* const kSearchNames[] = {"vector", "k", "where_"};
const Signature kSearchSig{"Collection.search()", kSearchNames, 3, 2};

PyObject* collection_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slot[3];
    uint64_t k = 0;
    PyObject* where_dict = nullptr;
    if (!match_fastcall(kSearchSig, args, nargs, kwnames, slot) || !extract_u64(slot[1], "k", k) ||
        !extract_optional_dict(slot[2], "where_", where_dict)) {
      return nullptr;
    }
    std::vector<float> query;
    if (!extract_vector(slot[0], query)) return nullptr;
    std::optional<std::vector<FilterCondition>> filter;
    if (where_dict != nullptr) {
      json::Value where;
      if (!convert_dict_to_json(where_dict, where)) return nullptr;
      filter = parse_filter(where);
    }
    std::shared_ptr<CollectionState> state = state_of(self);
    Result<std::vector<SearchHit>> hits =
        without_gil([&] { return search_collection(*state, query, k, filter); });
    if (!hits.ok()) return raise_db_error(PyExc_ValueError, hits.error());
    return results_to_list(*hits);
  });
}

const char* const kIdNames[] = {"id"};
const Signature kGetSig{"Collection.get()", kIdNames, 1, 1};
const Signature kDeleteSig{"Collection.delete()", kIdNames, 1, 1};

PyObject* collection_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string id;
    if (!match_single_str(kGetSig, args, nargs, kwnames, id)) return nullptr;
    Result<std::optional<SearchHit>> hit = get_by_id(*state_of(self), id);
    if (!hit.ok()) return raise_db_error(PyExc_ValueError, hit.error());
    if (!hit->has_value()) Py_RETURN_NONE;
    return new_search_result(std::move(**hit));
  });
}

PyObject* collection_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string id;
    if (!match_single_str(kDeleteSig, args, nargs, kwnames, id)) return nullptr;
    Result<bool> deleted = delete_by_id(*state_of(self), id);
    if (!deleted.ok()) return raise_db_error(PyExc_ValueError, deleted.error());
    return PyBool_FromLong(*deleted ? 1 : 0);
  });
}

// ---- compact / preload / sync ----

PyObject* collection_compact(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Result<CompactStats> stats = compact_collection(*state_of(self));
    if (!stats.ok()) return raise_db_error(PyExc_OSError, stats.error());
    return new_compact_stats(*stats);
  });
}

PyObject* collection_preload(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    tessarin::preload(*state_of(self));
    Py_RETURN_NONE;
  });
}

PyObject* collection_sync(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Status synced = sync_collection(*state_of(self));
    if (!synced.ok()) return raise_db_error(PyExc_OSError, synced.error());
    Py_RETURN_NONE;
  });
}

// ---- export / import ----

const char* const kPathNames[] = {"path"};
const Signature kExportSig{"Collection.export_to_file()", kPathNames, 1, 1};
const Signature kImportSig{"Collection.import_from_file()", kPathNames, 1, 1};

PyObject* collection_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!match_single_str(kExportSig, args, nargs, kwnames, path)) return nullptr;
    Result<uint64_t> written = tessarin::export_to_file(*state_of(self), path);
    if (!written.ok()) return raise_db_error(PyExc_OSError, written.error());
    return PyLong_FromUnsignedLongLong(*written);
  });
}

PyObject* collection_import(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!match_single_str(kImportSig, args, nargs, kwnames, path)) return nullptr;
    Result<ImportStats> stats = tessarin::import_from_file(*state_of(self), path);
    if (!stats.ok()) return raise_db_error(PyExc_OSError, stats.error());
    return new_import_stats(*stats);
  });
}

// ---- properties ----

PyObject* get_vectors_size_bytes(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&] {
    return PyLong_FromUnsignedLongLong(tessarin::vectors_size_bytes(*state_of(self)));
  });
}

PyObject* get_dimensions(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).dimensions);
}

PyObject* get_name(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&] { return text_to_str(config_of(self).name); });
}

PyObject* get_metric(PyObject* self, void*) {
  return guard<PyObject*>(nullptr,
                          [&] { return text_to_str(lowercase_metric_name(config_of(self).metric)); });
}

// ---- slots ----

Py_ssize_t collection_len(PyObject* self) {
  return guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    Result<uint64_t> count = live_record_count(*state_of(self));
    if (!count.ok()) {
      raise_db_error(PyExc_OSError, count.error());
      return -1;
    }
    if (*count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(*count);
  });
}

PyObject* collection_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&] {
    const CollectionConfig& config = config_of(self);
    std::string text = "Collection(name='" + config.name +
                       "', dimensions=" + std::to_string(config.dimensions) + ", metric='" +
                       std::string(lowercase_metric_name(config.metric)) + "')";
    return text_to_str(text);
  });
}

PyMethodDef collection_methods[] = {
    {"add", TESSARIN_FASTCALL(collection_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, vector, metadata, id=None, ttl=None)\n--\n\n"
     "Add a vector to the collection.\n\n"
     "Args:\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    id: Optional custom ID (auto-generated if None).\n"
     "    ttl: Optional time-to-live in seconds.\n\n"
     "Returns:\n"
     "    The record ID."},
    {"upsert", TESSARIN_FASTCALL(collection_upsert), METH_FASTCALL | METH_KEYWORDS,
     "upsert($self, id, vector, metadata, ttl=None)\n--\n\n"
     "Insert or update a vector by ID.\n\n"
     "This is idempotent - calling with the same ID will replace the previous vector.\n\n"
     "Args:\n"
     "    id: The record ID.\n"
     "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    metadata: Associated metadata as a dict.\n"
     "    ttl: Optional time-to-live in seconds."},
    {"add_batch", TESSARIN_FASTCALL(collection_add_batch), METH_FASTCALL | METH_KEYWORDS,
     "add_batch($self, vectors, metadatas, ids=None, ttls=None)\n--\n\n"
     "Batch add vectors (10-100x faster than looped add).\n\n"
     "Args:\n"
     "    vectors: A 2-D NumPy float32 array [n, dim] (fast path), or a list of vectors\n"
     "        (each a NumPy array or list of floats).\n"
     "    metadatas: List of metadata dicts.\n"
     "    ids: Optional list of custom IDs.\n"
     "    ttls: Optional list of TTLs in seconds.\n\n"
     "Returns:\n"
     "    List of record IDs."},
    {"search", TESSARIN_FASTCALL(collection_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, k, where_=None)\n--\n\n"
     "Search for nearest neighbors.\n\n"
     "Args:\n"
     "    vector: The query vector as a NumPy float32 array (fast path) or a list of floats.\n"
     "    k: Number of results to return.\n"
     "    where_: Optional metadata filter as a dict.\n\n"
     "Returns:\n"
     "    List of SearchResult objects."},
    {"get", TESSARIN_FASTCALL(collection_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, id)\n--\n\n"
     "Get a record by ID.\n\n"
     "Args:\n"
     "    id: The record ID.\n\n"
     "Returns:\n"
     "    SearchResult if found and not expired, None otherwise."},
    {"delete", TESSARIN_FASTCALL(collection_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, id)\n--\n\n"
     "Delete a record by ID.\n\n"
     "Args:\n"
     "    id: The record ID.\n\n"
     "Returns:\n"
     "    True if the record existed and was deleted."},
    {"compact", collection_compact, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Compact the collection (remove expired records, defragment storage).\n\n"
     "Returns:\n"
     "    CompactStats with details about what was cleaned up."},
    {"preload", collection_preload, METH_NOARGS,
     "preload($self)\n--\n\nPreload vectors into memory for faster search."},
    {"sync", collection_sync, METH_NOARGS, "sync($self)\n--\n\nFlush pending writes to disk."},
    {"export_to_file", TESSARIN_FASTCALL(collection_export), METH_FASTCALL | METH_KEYWORDS,
     "export_to_file($self, path)\n--\n\n"
     "Export the collection to a file.\n\n"
     "Creates an NDJSON file with all records including vectors and metadata.\n\n"
     "Args:\n"
     "    path: Output file path.\n\n"
     "Returns:\n"
     "    Number of records exported."},
    {"import_from_file", TESSARIN_FASTCALL(collection_import), METH_FASTCALL | METH_KEYWORDS,
     "import_from_file($self, path)\n--\n\n"
     "Import records from a file.\n\n"
     "Reads an NDJSON file and imports all records. The file must have\n"
     "matching dimensions to this collection.\n\n"
     "Args:\n"
     "    path: Input file path.\n\n"
     "Returns:\n"
     "    ImportStats with details about the import."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef collection_getset[] = {
    {"vectors_size_bytes", get_vectors_size_bytes, nullptr, "Vector storage size in bytes.", nullptr},
    {"dimensions", get_dimensions, nullptr, "Collection dimensions.", nullptr},
    {"name", get_name, nullptr, "Collection name.", nullptr},
    {"metric", get_metric, nullptr, "Distance metric (cosine, dot, l2).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>("A collection of vectors with associated metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<CollectionObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(collection_repr)},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_getset},
    {Py_mp_length, reinterpret_cast<void*>(collection_len)},
    {0, nullptr},
};

PyType_Spec collection_spec = {"builtins.Collection", sizeof(CollectionObject), 0,
                               Py_TPFLAGS_DEFAULT, collection_slots};

}  // namespace

PyTypeObject* collection_type() {
  static PyTypeObject* type = nullptr;
  return type != nullptr ? type : (type = build_type(collection_spec));
}

PyObject* new_collection(std::shared_ptr<CollectionState> state) {
  PyTypeObject* type = collection_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(allocate_instance<CollectionObject>(type, std::move(state)));
}

}  // namespace tessarin::py
