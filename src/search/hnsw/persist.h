// The graph index file "hnsw.index": save_index writes a graph, load_index
// reads one back into a new HnswIndex, so reopening a collection does not
// rebuild its graph.
//
// File layout (binary record encoding, storage/encoding.h; N nodes, L layers,
// E_l neighbours on layer l; all integers little-endian):
//   offset  size                     field
//        0  4                        magic 0x484E5357 (bytes 57 53 4E 48)
//        4  2                        version 1
//        6  56                       config (HnswConfig, all seven fields)
//       62  4                        node_count N
//       66  1                        max_level
//       67  1 or 5                   entry_point: tag 0, or tag 1 and a u32
//     then  8 + 8N                   node_slots
//     then  8 + sum(8 + id bytes)    node_ids (UTF-8)
//     then  8 + N                    node_levels
//     then  8                        num_layers L
//     then  8 + L(8 + 4(N + 1))      layer_offsets: per layer N + 1 u32;
//                                    node i's list is entries
//                                    offsets[i] .. offsets[i + 1]
//     then  8 + sum(8 + 4E_l)        layer_neighbors: per layer all lists
//                                    end to end in node order
//   end - 4 4                        CRC-32 (zlib) of every byte before it
//
// Invariants of a file load_index accepts beyond what decodes (exactly what
// save_index writes, so an accepted file saves back to the same body):
// node_slots, node_ids and node_levels hold exactly N entries; both layer
// sequences hold exactly L layers; each layer's offsets are N + 1
// non-decreasing values from 0 to the layer's neighbour count; every
// neighbour and the entry point are below N; levels are at most 32; there
// is an entry point exactly when N > 0, and max_level is its level. A file
// that breaks one is refused as DataCorruption before any of it is used.
// Not refused: a list on a layer above its node's level (saves write them:
// the old entry point gains back-links there when a higher node arrives),
// and fewer layers than max_level + 1 (nothing reads past the last layer:
// the walks take a missing layer for one without links, and add_node adds
// the layers a new node needs).
//
// Thread safety: save_index reads the graph under the graph's shared lock,
// which its caller holds for the whole call. load_index works on private
// data only.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "metric.h"
#include "search/hnsw/graph.h"

namespace tessarin {

inline constexpr uint32_t kHnswMagic = 0x484E5357;
inline constexpr uint16_t kHnswVersion = 1;

// Encodes the graph into one exactly sized buffer, appends its CRC-32 and
// rewrites `path` in place (created with mode 0666 before the umask, or
// truncated) through an 8192-byte buffered writer. Nothing is synced and no
// temporary file is used: a crash may leave a short file, which load_index
// refuses. Create, write and flush failures -> Io; a layer whose
// neighbours outnumber the u32 offsets -> Serialization (nothing written).
// REQUIRES: the graph's shared lock.
[[nodiscard]] Status save_index(const HnswGraph& graph, const std::string& path);

// Reads the whole file at `path` and rebuilds its index with `metric`, an
// empty deleted-slot set and the file's own config. Checks in this order,
// the first failure deciding:
//   open/read                Io with the system's error
//   3 bytes or fewer         DataCorruption "HNSW index file too small"
//   CRC of all but the last  DataCorruption "HNSW index checksum mismatch:
//   4 bytes vs those bytes     expected {stored:08x}, got {computed:08x}"
//   decoding the body        Serialization with the decoder's text; no
//                            sequence reserves more than 1 MiB ahead of its
//                            data (cautious_capacity)
//   magic                    DataCorruption "Invalid HNSW magic number: {:08x}"
//   version                  DataCorruption "Unsupported HNSW version: {} (expected 1)"
//   the invariants above     DataCorruption "HNSW index ..." naming the fault
[[nodiscard]] Result<HnswIndex> load_index(const std::string& path, Metric metric);

}  // namespace tessarin
