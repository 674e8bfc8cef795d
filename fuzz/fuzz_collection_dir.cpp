// A whole collection directory with damaged files, used as an application
// uses it. A small database is made once; each input copies it, replaces
// what the input carries, opens the database and the collection, and runs
// get, search (with and without a filter), the live count, compaction, an
// add, a sync and a reopen.
//
// Input: parts joined by kPartSeparator (fuzz_common.h); an empty or absent
// part leaves that piece as the base has it.
//   0  control byte: bit 0 repairs the vector header checksum, bit 1 the
//      index CRC; bit 2 removes "hnsw.index", bit 3 the "freelist" row
//   1  "vectors.bin"
//   2  "hnsw.index"
//   3  the "freelist" row's value, written through the store
//   4  the registry's "collections" row of the collection, likewise
//   5  the "records" row of "r1" (an id the base holds), likewise
//   6  the "records" row of "r2"
// The store's data file itself is never damaged here: the store trusts its
// pages (tools/store_fuzz covers damaged store files); rows are written
// through its API, as a damaged value would be read back.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "collection/filter.h"
#include "fuzz_common.h"
#include "storage/records.h"
#include "storage/registry.h"

namespace {

using namespace tessarin;
using fuzz::fuzz_check;
namespace fs = std::filesystem;

struct Base {
  fuzz::ScratchDir dir{"base"};
  std::string db() const { return (dir.path() / "db").string(); }
  Base() { fuzz::make_base_database(db()); }
};

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fuzz_check(out.good(), "writing a damaged file");
}

// Replaces (or with `remove`, deletes) one row through the store's own API.
void write_row(const std::string& store_path, std::string_view table, std::string_view key,
               std::string_view value, bool remove) {
  Result<Store> store = Store::open(store_path);
  fuzz_check(store.ok(), "opening a copied store", store.ok() ? "" : store.error().message());
  Result<WriteTxn> txn = store->begin_write();
  fuzz_check(txn.ok(), "begin_write", txn.ok() ? "" : txn.error().message());
  Status st = remove ? txn->remove(table, key) : txn->put(table, key, std::string(value));
  if (st.ok()) st = txn->commit();
  fuzz_check(st.ok(), "writing a row", st.ok() ? "" : st.error().message());
}

void use(CollectionState& c) {
  for (int i = 0; i < fuzz::kBaseRecords; i += 3) (void)get_by_id(c, fuzz::base_id(i));
  const std::vector<float> query = {1.0f, -2.0f, 0.5f, 3.0f};
  const std::optional<std::vector<FilterCondition>> none;
  (void)search_collection(c, query, 5, none);
  json::Object where;
  where.insert_or_assign("tag", json::Value("odd"));
  const std::optional<std::vector<FilterCondition>> filter = parse_filter(json::Value(where));
  (void)search_collection(c, query, 3, filter);
  (void)live_record_count(c);
  (void)compact_collection(c);
  (void)add_record(c, query, json::Value(), "added", std::nullopt);
  (void)search_collection(c, query, 5, none);
  (void)sync_collection(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Base base;
  const std::vector<std::string_view> parts =
      fuzz::split_parts(std::string_view(reinterpret_cast<const char*>(data), size));
  auto part = [&](size_t i) { return i < parts.size() ? parts[i] : std::string_view(); };
  const uint8_t control = part(0).empty() ? 0 : static_cast<uint8_t>(part(0)[0]);

  fuzz::ScratchDir work("work");
  const fs::path db = work.path() / "db";
  std::error_code ec;
  fs::copy(base.db(), db, fs::copy_options::recursive, ec);
  fuzz_check(!ec, "copying the base database");
  const fs::path dir = collection_dir(db.string(), fuzz::kBaseCollection);

  if (!part(1).empty()) {
    std::string file(part(1));
    if (control & 1) fuzz::repair_vector_checksum(file);
    write_file(dir / "vectors.bin", file);
  }
  if (control & 4) {
    fs::remove(dir / kIndexFileName, ec);
  } else if (!part(2).empty()) {
    std::string file(part(2));
    if (control & 2) fuzz::repair_index_crc(file);
    write_file(dir / kIndexFileName, file);
  }
  if ((control & 8) || !part(3).empty()) {
    write_row((dir / "meta.redb").string(), kFreeListTable, kFreeListKey, part(3), control & 8);
  }
  if (!part(4).empty()) {
    write_row((db / "meta.redb").string(), kCollectionsTable, fuzz::kBaseCollection, part(4),
              false);
  }
  for (int i = 1; i <= 2; ++i) {
    if (!part(4 + i).empty()) {
      write_row((dir / "meta.redb").string(), kRecordsTable, fuzz::base_id(i), part(4 + i), false);
    }
  }

  for (int life = 0; life < 2; ++life) {
    Result<std::unique_ptr<DatabaseState>> opened = open_database(db.string());
    if (!opened.ok()) break;
    Result<std::shared_ptr<CollectionState>> c = get_collection(**opened, fuzz::kBaseCollection);
    if (!c.ok()) break;
    use(**c);
  }
  return 0;
}
