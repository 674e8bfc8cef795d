// The values kept in the store tables: a stored Record with its
// RecordStatus, a collection's CollectionConfig with its optional
// HnswConfig, and the liveness rule shared by every reader of records.
//
// Their byte form is the binary record encoding (storage/encoding.h); the
// field order of each struct here is the order in which it is encoded.
//
// Ownership: plain values owning their strings.
// Thread safety: plain values; copy or move freely between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "metric.h"

namespace tessarin {

// The u32 variant index of the encoding; one byte in memory.
enum class RecordStatus : uint8_t {
  kActive = 0,     // visible to get, search, count, export and the index
  kPending = 1,    // written by a batch add before its vectors are durable
  kTombstone = 2,  // set by delete before the record is removed
};

inline constexpr uint32_t kRecordStatusVariantCount = 3;

// One row of table "records"; the id is also the row's key.
struct Record {
  std::string id;
  uint64_t slot = 0;                   // the vector's slot in "vectors.bin"
  std::string metadata;                // the metadata document as JSON text
  uint64_t created_at = 0;             // whole seconds since the Unix epoch
  std::optional<uint64_t> expires_at;  // whole seconds since the epoch; none = never
  RecordStatus status = RecordStatus::kActive;

  bool operator==(const Record&) const = default;
};

// The graph-index parameters: seven 8-byte fields, 56 bytes encoded.
struct HnswConfig {
  uint64_t m = 0;                // neighbours kept on layers above 0
  uint64_t m_max0 = 0;           // neighbours kept on layer 0, and its list cap
  uint64_t m_max = 0;            // list cap on layers above 0
  uint64_t ef_construction = 0;  // insertion beam width
  uint64_t ef_search = 0;        // floor of the query beam
  double ml = 0.0;               // level multiplier
  uint64_t reserved = 0;         // read by nothing; stored and carried unchanged

  bool operator==(const HnswConfig&) const = default;
};

// One row of table "collections"; the name is also the row's key.
struct CollectionConfig {
  std::string name;
  uint64_t dimensions = 0;
  Metric metric = Metric::kCosine;
  uint64_t created_at = 0;  // whole seconds since the Unix epoch
  std::optional<HnswConfig> hnsw_config;

  bool operator==(const CollectionConfig&) const = default;
};

// Live: Active and either no expiry or `now` (whole seconds since the epoch)
// strictly before it. A record whose expires_at equals now is expired.
inline bool is_live(RecordStatus status, std::optional<uint64_t> expires_at, uint64_t now) {
  return status == RecordStatus::kActive && (!expires_at || now < *expires_at);
}

}  // namespace tessarin
