#include "search/hnsw/persist.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "search/hnsw/level.h"
#include "storage/encoding.h"

namespace tessarin {

namespace {

constexpr size_t kCrcBytes = 4;
// sizeof a nested sequence or string in the reference decoder's terms: the
// 1 MiB reservation cap counts such elements at 24 bytes.
constexpr size_t kNestedElementBytes = 24;

uint32_t crc32_of(std::string_view bytes) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt: feed large buffers in pieces.
  const auto* p = reinterpret_cast<const Bytef*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    const auto n = static_cast<uInt>(std::min<size_t>(left, std::numeric_limits<uInt>::max()));
    crc = ::crc32(crc, p, n);
    p += n;
    left -= n;
  }
  return static_cast<uint32_t>(crc);
}

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

DbError corrupt(std::string text) { return DbError::DataCorruption("HNSW index " + std::move(text)); }

// Per layer, its neighbour count: the sum of its list lengths.
std::vector<uint64_t> layer_entries(const HnswGraph& graph) {
  std::vector<uint64_t> entries(graph.layer_count(), 0);
  for (size_t l = 0; l < entries.size(); ++l) {
    const NeighborLists& lists = graph.layer(l);
    for (uint32_t i = 0; i < graph.node_count(); ++i) entries[l] += lists.list(i).size();
  }
  return entries;
}

// The exact length of the encoded body (the file less its CRC).
size_t encoded_index_size(const HnswGraph& graph, const std::vector<uint64_t>& entries) {
  const size_t n = graph.node_count();
  const size_t layers = graph.layer_count();
  size_t size = 4 + 2 + kHnswConfigEncodedSize + 4 + 1 + (graph.entry_point() ? 5 : 1);
  size += 8 + 8 * n;  // node_slots
  size += 8;          // node_ids
  for (size_t i = 0; i < n; ++i) size += 8 + graph.node_id(static_cast<uint32_t>(i)).size();
  size += 8 + n;                           // node_levels
  size += 8;                               // num_layers
  size += 8 + layers * (8 + 4 * (n + 1));  // layer_offsets
  size += 8 + layers * 8;                  // layer_neighbors
  for (uint64_t e : entries) size += 4 * e;
  return size;
}

// ---- Decoding ----

// The body as decoded, before any invariant is checked. Texts and arrays
// point into or are copied from the file's bytes.
struct DecodedIndex {
  uint32_t magic = 0;
  uint16_t version = 0;
  HnswConfig config;
  uint32_t node_count = 0;
  uint8_t max_level = 0;
  std::optional<uint32_t> entry_point;
  std::vector<uint64_t> node_slots;
  std::vector<std::string_view> node_ids;
  std::vector<uint8_t> node_levels;
  uint64_t num_layers = 0;
  std::vector<std::vector<uint32_t>> layer_offsets;
  std::vector<std::vector<uint32_t>> layer_neighbors;
};

// Reads a sequence of `read()` values; room is reserved cautiously and grows
// only as elements actually arrive.
template <typename T, typename Read>
std::vector<T> read_seq(Decoder& dec, size_t element_bytes, Read read) {
  const uint64_t count = dec.seq_len();
  std::vector<T> out;
  if (!dec.ok()) return out;
  out.reserve(cautious_capacity(count, element_bytes));
  for (uint64_t i = 0; i < count && dec.ok(); ++i) out.push_back(read());
  return out;
}

// A sequence of fixed-width integers, copied at once (the same values and
// the same failure as reading them one by one).
template <typename T>
std::vector<T> read_int_seq(Decoder& dec) {
  std::vector<T> out;
  dec.fixed_array(dec.seq_len(), &out);
  return out;
}

std::vector<std::vector<uint32_t>> read_u32_seqs(Decoder& dec) {
  return read_seq<std::vector<uint32_t>>(dec, kNestedElementBytes,
                                         [&] { return read_int_seq<uint32_t>(dec); });
}

Result<DecodedIndex> decode_index(std::string_view body) {
  Decoder dec(body);
  DecodedIndex d;
  d.magic = dec.u32();
  d.version = dec.u16();
  d.config = deserialize_hnsw_config(dec);
  d.node_count = dec.u32();
  d.max_level = dec.u8();
  if (dec.option()) d.entry_point = dec.u32();
  d.node_slots = read_int_seq<uint64_t>(dec);
  d.node_ids = read_seq<std::string_view>(dec, kNestedElementBytes, [&] { return dec.str(); });
  d.node_levels = read_int_seq<uint8_t>(dec);
  d.num_layers = dec.u64();
  d.layer_offsets = read_u32_seqs(dec);
  d.layer_neighbors = read_u32_seqs(dec);
  if (!dec.ok()) return dec.error();
  return d;
}

// ---- Invariants ----

// Exactly `wanted` entries: a longer sequence is as damaged as a shorter one
// (a save never writes one, and its extra entries would be silently lost).
Status check_sequence(std::string_view name, size_t held, uint64_t wanted, std::string_view unit) {
  if (held == wanted) return OkStatus();
  return corrupt(std::string(name) + " holds " + std::to_string(held) + " entries for " +
                 std::to_string(wanted) + " " + std::string(unit));
}

Status check_layer(const DecodedIndex& d, size_t l) {
  const std::vector<uint32_t>& offsets = d.layer_offsets[l];
  const std::vector<uint32_t>& neighbors = d.layer_neighbors[l];
  const uint64_t n = d.node_count;
  const std::string layer = "layer " + std::to_string(l);
  if (offsets.size() != n + 1) {
    return corrupt(layer + " holds " + std::to_string(offsets.size()) + " offsets for " +
                   std::to_string(n) + " nodes");
  }
  if (offsets[0] != 0) return corrupt(layer + " offsets start at " + std::to_string(offsets[0]) + ", not 0");
  for (uint64_t i = 0; i < n; ++i) {
    if (offsets[i + 1] < offsets[i]) return corrupt(layer + " offsets decrease at node " + std::to_string(i));
  }
  if (offsets[n] > neighbors.size()) {
    return corrupt(layer + " offsets run past its " + std::to_string(neighbors.size()) + " neighbours");
  }
  if (offsets[n] < neighbors.size()) {
    return corrupt(layer + " offsets end at " + std::to_string(offsets[n]) + ", before its " +
                   std::to_string(neighbors.size()) + " neighbours");
  }
  for (uint64_t i = 0; i < n; ++i) {
    for (uint32_t k = offsets[i]; k < offsets[i + 1]; ++k) {
      if (neighbors[k] >= n) {
        return corrupt(layer + " node " + std::to_string(i) + " links to node " +
                       std::to_string(neighbors[k]) + ", not below " + std::to_string(n));
      }
    }
  }
  return OkStatus();
}

Status check_invariants(const DecodedIndex& d) {
  const uint64_t n = d.node_count;
  TS_RETURN_IF_ERROR(check_sequence("node_slots", d.node_slots.size(), n, "nodes"));
  TS_RETURN_IF_ERROR(check_sequence("node_ids", d.node_ids.size(), n, "nodes"));
  TS_RETURN_IF_ERROR(check_sequence("node_levels", d.node_levels.size(), n, "nodes"));
  for (uint64_t i = 0; i < n; ++i) {
    if (d.node_levels[i] > kMaxNodeLevel) {
      return corrupt("node " + std::to_string(i) + " has level " + std::to_string(d.node_levels[i]) +
                     ", above " + std::to_string(kMaxNodeLevel));
    }
  }
  if (!d.entry_point && n > 0) return corrupt("has no entry point for " + std::to_string(n) + " nodes");
  if (d.entry_point) {
    if (*d.entry_point >= n) {
      return corrupt("entry point " + std::to_string(*d.entry_point) + " is not below the node count " +
                     std::to_string(n));
    }
    const uint8_t level = d.node_levels[*d.entry_point];
    if (d.max_level != level) {
      return corrupt("max_level " + std::to_string(d.max_level) + " is not the entry point's level " +
                     std::to_string(level));
    }
  }
  TS_RETURN_IF_ERROR(check_sequence("layer_offsets", d.layer_offsets.size(), d.num_layers, "layers"));
  TS_RETURN_IF_ERROR(check_sequence("layer_neighbors", d.layer_neighbors.size(), d.num_layers, "layers"));
  for (size_t l = 0; l < d.num_layers; ++l) TS_RETURN_IF_ERROR(check_layer(d, l));
  return OkStatus();
}

// ---- Rebuilding ----

// The block capacity of a loaded layer (ListLengthHistogram: the empty
// lists of a sparse layer not counted).
uint32_t loaded_capacity(const DecodedIndex& d, size_t l, uint32_t configured) {
  const std::vector<uint32_t>& offsets = d.layer_offsets[l];
  ListLengthHistogram histogram;
  for (uint64_t i = 0; i < d.node_count; ++i) {
    const uint32_t len = offsets[i + 1] - offsets[i];
    if (l > 0 && len == 0) continue;
    histogram.add(len);
  }
  return histogram.capacity(configured);
}

HnswGraph rebuild_graph(DecodedIndex& d) {
  const size_t n = d.node_count;
  HnswGraphParts parts;
  parts.config = d.config;
  parts.slots.assign(d.node_slots.begin(), d.node_slots.begin() + n);
  parts.levels.assign(d.node_levels.begin(), d.node_levels.begin() + n);
  parts.ids.reserve(n);
  for (size_t i = 0; i < n; ++i) parts.ids.emplace_back(d.node_ids[i]);
  parts.layers.reserve(d.num_layers);
  for (size_t l = 0; l < d.num_layers; ++l) {
    const uint32_t configured = l == 0 ? layer0_capacity(d.config) : upper_layer_capacity(d.config);
    NeighborLists lists(loaded_capacity(d, l, configured), l == 0, n);
    const std::vector<uint32_t>& offsets = d.layer_offsets[l];
    const std::vector<uint32_t>& neighbors = d.layer_neighbors[l];
    for (size_t i = 0; i < n; ++i) {
      const std::span<const uint32_t> list(neighbors.data() + offsets[i], offsets[i + 1] - offsets[i]);
      if (!list.empty()) lists.assign(static_cast<uint32_t>(i), list);
    }
    parts.layers.push_back(std::move(lists));
    // Each decoded layer is freed once copied.
    std::vector<uint32_t>().swap(d.layer_neighbors[l]);
  }
  parts.entry_point = d.entry_point;
  parts.max_level = d.max_level;
  return HnswGraph::restore(std::move(parts));
}

}  // namespace

Status save_index(const HnswGraph& graph, const std::string& path) {
  const auto n = static_cast<uint32_t>(graph.node_count());
  const size_t layers = graph.layer_count();
  const std::vector<uint64_t> entries = layer_entries(graph);
  for (size_t l = 0; l < layers; ++l) {
    if (entries[l] > std::numeric_limits<uint32_t>::max()) {
      return DbError::Serialization("HNSW layer " + std::to_string(l) +
                                    " holds more neighbours than a u32 offset can count");
    }
  }
  const size_t size = encoded_index_size(graph, entries);
  std::string body;
  body.reserve(size + kCrcBytes);
  Encoder enc(&body);
  enc.u32(kHnswMagic);
  enc.u16(kHnswVersion);
  serialize_hnsw_config(graph.config(), enc);
  enc.u32(n);
  enc.u8(graph.max_level());
  if (const auto ep = graph.entry_point()) {
    enc.some();
    enc.u32(*ep);
  } else {
    enc.none();
  }
  enc.seq_len(n);
  for (uint32_t i = 0; i < n; ++i) enc.u64(graph.node_slot(i));
  enc.seq_len(n);
  for (uint32_t i = 0; i < n; ++i) enc.str(graph.node_id(i));
  enc.seq_len(n);
  for (uint32_t i = 0; i < n; ++i) enc.u8(graph.node_level(i));
  enc.u64(layers);
  enc.seq_len(layers);
  for (size_t l = 0; l < layers; ++l) {
    const NeighborLists& lists = graph.layer(l);
    enc.seq_len(uint64_t{n} + 1);
    uint32_t offset = 0;
    enc.u32(offset);
    for (uint32_t i = 0; i < n; ++i) {
      offset += static_cast<uint32_t>(lists.list(i).size());
      enc.u32(offset);
    }
  }
  enc.seq_len(layers);
  for (size_t l = 0; l < layers; ++l) {
    const NeighborLists& lists = graph.layer(l);
    enc.seq_len(entries[l]);
    for (uint32_t i = 0; i < n; ++i) {
      for (uint32_t e : lists.list(i)) enc.u32(e);
    }
  }
  assert(body.size() == size);

  std::string crc;
  Encoder(&crc).u32(crc32_of(body));
  TS_ASSIGN_OR_RETURN(platform::File file, platform::create_file_write_only(path));
  platform::BufferedWriter out(std::move(file));
  TS_RETURN_IF_ERROR(out.write(body));
  TS_RETURN_IF_ERROR(out.write(crc));
  return out.flush();
}

Result<HnswIndex> load_index(const std::string& path, Metric metric) {
  TS_ASSIGN_OR_RETURN(const platform::FileBytes file, platform::read_file(path));
  const std::string_view bytes = file.view();
  if (bytes.size() <= 3) return DbError::DataCorruption("HNSW index file too small");
  const std::string_view body(bytes.data(), bytes.size() - kCrcBytes);
  Decoder crc_reader(bytes.substr(body.size()));
  const uint32_t stored = crc_reader.u32();
  const uint32_t computed = crc32_of(body);
  if (stored != computed) {
    return DbError::DataCorruption("HNSW index checksum mismatch: expected " + hex8(stored) + ", got " +
                                   hex8(computed));
  }
  TS_ASSIGN_OR_RETURN(DecodedIndex decoded, decode_index(body));
  if (decoded.magic != kHnswMagic) {
    return DbError::DataCorruption("Invalid HNSW magic number: " + hex8(decoded.magic));
  }
  if (decoded.version != kHnswVersion) {
    return DbError::DataCorruption("Unsupported HNSW version: " + std::to_string(decoded.version) +
                                   " (expected " + std::to_string(kHnswVersion) + ")");
  }
  TS_RETURN_IF_ERROR(check_invariants(decoded));
  return HnswIndex(rebuild_graph(decoded), metric);
}

}  // namespace tessarin
