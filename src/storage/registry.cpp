#include "storage/registry.h"

#include "storage/encoding.h"

namespace tessarin {

Status save_collection_config(WriteTxn& txn, const CollectionConfig& config) {
  return txn.put(kCollectionsTable, config.name, encode_collection_config(config));
}

Result<std::optional<CollectionConfig>> load_collection_config(const ReadTxn& txn,
                                                               std::string_view name) {
  TS_ASSIGN_OR_RETURN(auto bytes, txn.get(kCollectionsTable, name));
  if (!bytes) return std::optional<CollectionConfig>{};
  TS_ASSIGN_OR_RETURN(CollectionConfig config, decode_collection_config(*bytes));
  return std::optional<CollectionConfig>(std::move(config));
}

Result<std::vector<std::string>> list_collection_names(const Store& store) {
  TS_ASSIGN_OR_RETURN(ReadTxn txn, store.begin_read());
  TS_ASSIGN_OR_RETURN(auto cursor, txn.cursor(kCollectionsTable));
  std::vector<std::string> names;
  if (!cursor) return names;
  std::string_view key, value;
  for (;;) {
    TS_ASSIGN_OR_RETURN(bool more, cursor->next(&key, &value));
    if (!more) break;
    names.emplace_back(key);
  }
  return names;
}

Status delete_collection_config(WriteTxn& txn, std::string_view name) {
  return txn.remove(kCollectionsTable, name);
}

}  // namespace tessarin
