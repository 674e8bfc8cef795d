// fuzz_make_seeds OUT_DIR: writes the seed corpus of every fuzz target into
// OUT_DIR/<target>/, each seed a file the engine itself wrote (or the value
// it stores), so the fuzzers start from what real files look like. Inputs
// with a control byte (see each target) get a plain one.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "export/ndjson.h"
#include "fuzz_common.h"
#include "search/hnsw/persist.h"
#include "storage/encoding.h"
#include "storage/records.h"
#include "storage/registry.h"

namespace {

using namespace tessarin;
using fuzz::fuzz_check;
namespace fs = std::filesystem;

fs::path g_out;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_out / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fuzz_check(out.good(), "writing a seed");
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void record_seeds() {
  const Record records[] = {
      {"r1", 0, "{\"n\":1,\"tag\":\"odd\"}", 1700000000, std::nullopt, RecordStatus::kActive},
      {"doc-\xc3\xa9", 77, "null", 1700000001, 1700000900, RecordStatus::kPending},
      {"", 3, "", 0, std::nullopt, RecordStatus::kTombstone},
  };
  int i = 0;
  for (const Record& r : records) seed("fuzz_record", "record" + std::to_string(i++), encode_record(r));
}

void config_seeds() {
  CollectionConfig plain{"docs", 384, Metric::kCosine, 1700000000, std::nullopt};
  CollectionConfig graph{"g", 4, Metric::kL2, 1700000000,
                         HnswConfig{16, 32, 16, 200, 50, 0.36067376022224085, 0}};
  seed("fuzz_collection_config", "plain", encode_collection_config(plain));
  seed("fuzz_collection_config", "graph", encode_collection_config(graph));
}

void free_list_seeds() {
  seed("fuzz_free_list", "empty", encode_slot_list({}));
  seed("fuzz_free_list", "some", encode_slot_list({4, 9, 1, 9, 2}));
}

void vector_seeds(const fs::path& scratch) {
  for (uint64_t dims : {1, 3}) {
    const std::string path = (scratch / ("v" + std::to_string(dims))).string();
    Result<VectorStore> created = VectorStore::create(path, dims);
    fuzz_check(created.ok(), "VectorStore::create");
    Locked<VectorStore> vectors;
    vectors.value = std::move(created).value();
    Locked<FreeList> free_list;
    Result<std::vector<uint64_t>> slots = allocate_slots(free_list, vectors, 5);
    fuzz_check(slots.ok(), "allocate_slots");
    for (uint64_t s : *slots) {
      fuzz_check(vectors.value.write_vector(s, std::vector<float>(dims, 0.25f * s)).ok(), "write");
    }
    fuzz_check(vectors.value.mark_slot_free(2).ok(), "mark_slot_free");
    std::string file = read_file(path);
    seed("fuzz_vector_file", "v2_dims" + std::to_string(dims), std::string(1, '\0') + file);
    // The version-1 form (FNV-1a header checksum) an older build wrote.
    file[4] = 1;
    file[5] = 0;
    fuzz::repair_vector_checksum(file);
    seed("fuzz_vector_file", "v1_dims" + std::to_string(dims), std::string(1, '\0') + file);
  }
}

void json_seeds() {
  const char* docs[] = {
      "{\"tag\":\"odd\",\"n\":12,\"score\":-0.5e-3,\"tags\":[\"a\",\"b\"],\"ok\":true,\"x\":null}",
      "{\"n\":{\"$gte\":3,\"$lt\":10},\"tag\":{\"$in\":[\"a\",\"\\u00e9\\ud83d\\ude00\"]}}",
      "[18446744073709551615,-9223372036854775808,1.7976931348623157e308,-0]",
  };
  int i = 0;
  for (const char* d : docs) seed("fuzz_json", "doc" + std::to_string(i++), d);
}

void index_seeds(const fs::path& scratch, const std::string& base_index) {
  seed("fuzz_hnsw_index", "base", std::string(1, '\0') + base_index);
  HnswGraph empty(HnswConfig{4, 8, 4, 16, 16, 0.72, 0});
  const std::string path = (scratch / "empty.index").string();
  fuzz_check(save_index(empty, path).ok(), "save_index");
  seed("fuzz_hnsw_index", "empty", std::string(1, '\0') + read_file(path));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds OUT_DIR\n");
    return 1;
  }
  g_out = argv[1];
  fuzz::ScratchDir scratch("seeds");
  record_seeds();
  config_seeds();
  free_list_seeds();
  vector_seeds(scratch.path());
  json_seeds();

  // The collection the directory target starts from, and what it holds.
  const fs::path db = scratch.path() / "db";
  fuzz::make_base_database(db.string());
  const fs::path dir = collection_dir(db.string(), fuzz::kBaseCollection);
  const std::string vectors = read_file(dir / "vectors.bin");
  const std::string index = read_file(dir / kIndexFileName);
  fuzz_check(!index.empty(), "the base collection saved no index");
  index_seeds(scratch.path(), index);

  std::string free_row, config_row;
  std::vector<std::string> record_rows;
  {
    auto opened = open_database(db.string());
    fuzz_check(opened.ok(), "open_database");
    auto c = get_collection(**opened, fuzz::kBaseCollection);
    fuzz_check(c.ok(), "get_collection");
    Result<uint64_t> exported = export_to_file(**c, (scratch.path() / "export.ndjson").string());
    fuzz_check(exported.ok(), "export_to_file");
    seed("fuzz_ndjson", "export", read_file(scratch.path() / "export.ndjson"));
    Result<ReadTxn> txn = read_transaction((*c)->store);
    fuzz_check(txn.ok(), "read_transaction");
    Result<std::vector<uint64_t>> slots = load_free_list(*txn);
    fuzz_check(slots.ok() && !slots->empty(), "the base collection has no free slots");
    free_row = encode_slot_list(*slots);
    config_row = encode_collection_config((*c)->config);
    for (int i = 1; i <= 2; ++i) {
      Result<std::optional<Record>> r = get_record(*txn, fuzz::base_id(i));
      fuzz_check(r.ok() && r->has_value(), "get_record");
      record_rows.push_back(encode_record(**r));
    }
  }
  seed("fuzz_ndjson", "small",
       "{\"version\":1,\"collection\":\"d\",\"dimensions\":2,\"metric\":\"l2\",\"record_count\":2,"
       "\"exported_at\":1700000000}\n"
       "[\"a\",[0.5,-1],{\"k\":[1,2]},1700000000]\n\n"
       "  {\"id\":\"b\",\"vector\":[1e-3,2],\"metadata\":null,\"created_at\":1,\"ttl\":90}\r\n");
  seed("fuzz_collection_dir", "as_is", std::string(1, '\0'));
  seed("fuzz_collection_dir", "all_parts",
       fuzz::join_parts({std::string(1, '\0'), vectors, index, free_row, config_row,
                         record_rows[0], record_rows[1]}));
  // Both checksums repaired: byte damage reaches the structure checks.
  seed("fuzz_collection_dir", "repaired", fuzz::join_parts({std::string(1, '\3'), vectors, index}));
  seed("fuzz_collection_dir", "no_index", std::string(1, '\4'));
  std::printf("seeds written to %s\n", g_out.c_str());
  return 0;
}
