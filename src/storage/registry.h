// The registry table of a database store: "collections", collection name ->
// encoded CollectionConfig (with its HnswConfig when present). One row per
// registered collection; the name inside the value equals the key.
//
// The table exists once the first collection's row has committed; before
// that a read finds nothing (load gives nullopt, the list is empty).
// Nothing here commits: the owner of the write transaction does.
//
// Errors: table open, lookup, insert, remove and iteration -> Database; a
// value that cannot be decoded -> Serialization; beginning a transaction ->
// Transaction.
//
// Thread safety: as the transactions (storage/store.h); no lock of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "storage/record.h"
#include "storage/store.h"

namespace tessarin {

inline constexpr std::string_view kCollectionsTable = "collections";

// Inserts name -> encoded config, replacing an existing row.
[[nodiscard]] Status save_collection_config(WriteTxn& txn, const CollectionConfig& config);
[[nodiscard]] Result<std::optional<CollectionConfig>> load_collection_config(const ReadTxn& txn,
                                                                             std::string_view name);
// Every registered name in ascending byte order, read in its own read
// transaction; values are not decoded, so a damaged row is still listed.
[[nodiscard]] Result<std::vector<std::string>> list_collection_names(const Store& store);
// A missing name is not an error.
[[nodiscard]] Status delete_collection_config(WriteTxn& txn, std::string_view name);

}  // namespace tessarin
