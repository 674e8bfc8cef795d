// The index file: byte layout against a writer written here from the file
// description, round trips and every load failure in the order of the checks.
// (Damaged files that must give an error or a usable graph, never a crash:
// the fuzz_hnsw_index corpus.)
#include "search/hnsw/persist.h"

#include <zlib.h>

#include <functional>

#include "hnsw_test_util.h"
#include "search/hnsw/query.h"

namespace tessarin {
namespace {

using namespace tessarin::testing;  // hnsw_test_util.h

// The file's fields, as a test-side model.
struct FileModel {
  uint32_t magic = 0x484E5357;
  uint16_t version = 1;
  HnswConfig config;
  uint32_t node_count = 0;
  uint8_t max_level = 0, entry_tag = 0;
  uint32_t entry_point = 0;
  std::vector<uint64_t> slots;
  std::vector<std::string> ids;
  std::vector<uint8_t> levels;
  uint64_t num_layers = 0;
  std::vector<List> offsets, neighbors;
};

template <typename T>
void put(std::string& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>(uint64_t(v) >> (8 * i)));
}

std::string body_of(const FileModel& m) {
  std::string b;
  put(b, m.magic), put(b, m.version);
  for (uint64_t v : {m.config.m, m.config.m_max0, m.config.m_max, m.config.ef_construction,
                     m.config.ef_search, std::bit_cast<uint64_t>(m.config.ml), m.config.reserved}) {
    put(b, v);
  }
  put(b, m.node_count), put(b, m.max_level), put(b, m.entry_tag);
  if (m.entry_tag == 1) put(b, m.entry_point);
  put(b, uint64_t{m.slots.size()});
  for (uint64_t s : m.slots) put(b, s);
  put(b, uint64_t{m.ids.size()});
  for (const std::string& id : m.ids) put(b, uint64_t{id.size()}), b += id;
  put(b, uint64_t{m.levels.size()});
  for (uint8_t l : m.levels) put(b, l);
  put(b, m.num_layers);
  for (const auto* seqs : {&m.offsets, &m.neighbors}) {
    put(b, uint64_t{seqs->size()});
    for (const List& seq : *seqs) {
      put(b, uint64_t{seq.size()});
      for (uint32_t v : seq) put(b, v);
    }
  }
  return b;
}

std::string with_crc(std::string body) {
  put(body, static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
  return body;
}

class HnswPersistTest : public tessarin::testing::HnswStoreTest {
 protected:
  std::string file() const { return path("hnsw.index"); }
  std::string read() const { return file_bytes(file()); }
  void write(const std::string& bytes) const { put_file(file(), bytes); }
  // A graph of a few layers from real insertions, with a repeated slot,
  // unreadable slots, empty lists and one list longer than its block.
  HnswGraph sample_graph(size_t n = 150) {
    std::mt19937 rng(9);
    std::vector<std::vector<float>> vectors;
    for (size_t i = 0; i < n; ++i) vectors.push_back({float(rng() % 100), float(rng() % 100)});
    fill_store(vectors, 2);
    HnswIndex index(HnswGraph(hnsw_config(3, 6, 3, 12, 1.0, 0xFEEDFACECAFEBEEFull)), Metric::kL2);
    insert_nodes(index, items(0, n + 5), store());  // the last five are unreadable
    HnswGraph& g = index.graph.value;
    g.add_node(3, "r3-again", 0);
    List long_list;
    for (uint32_t i = 0; i < 200; ++i) long_list.push_back(i % g.node_count());
    g.set_neighbors(0, 1, long_list);
    return std::move(g);
  }
};

TEST_F(HnswPersistTest, RoundTripKeepsEveryField) {
  const HnswGraph g = sample_graph();
  ASSERT_GE(g.layer_count(), 3u);
  ASSERT_TRUE(save_index(g, file()).ok());
  const std::string bytes = read();
  HnswIndex loaded = ok_value(load_index(file(), Metric::kDot));
  EXPECT_EQ(loaded.metric, Metric::kDot);
  EXPECT_TRUE(loaded.deleted.value.empty());
  // Written again, the loaded graph gives the same bytes, so every saved
  // field came back (the layout: SaveWritesTheDescribedLayout); the slot map,
  // which is not saved, is rebuilt with the later of two nodes of a slot.
  ASSERT_TRUE(save_index(loaded.graph.value, file()).ok());
  EXPECT_EQ(read(), bytes);
  EXPECT_EQ(loaded.graph.value.slot_to_node().at(3), g.node_count() - 1);
  EXPECT_EQ(loaded.graph.value.slot_to_node(), g.slot_to_node());
  // It takes new nodes like any other graph.
  insert_nodes(loaded, std::vector{item(2000)}, store());
  EXPECT_EQ(loaded.graph.value.node_count(), g.node_count() + 1);
}

// A valid three-node model to damage field by field.
FileModel small_model() {
  return {.config = hnsw_config(2, 4, 2, 8, 1.0), .node_count = 3, .max_level = 1, .entry_tag = 1,
          .entry_point = 1, .slots = {10, 11, 12}, .ids = {"a", "b", "c"}, .levels = {0, 1, 0},
          .num_layers = 2, .offsets = {{0, 2, 4, 5}, {0, 0, 0, 0}}, .neighbors = {{1, 2, 0, 2, 1}, {}}};
}

TEST_F(HnswPersistTest, SaveWritesTheDescribedLayout) {
  const FileModel m = small_model();
  HnswGraph g(m.config);
  for (uint32_t i = 0; i < 3; ++i) g.add_node(m.slots[i], m.ids[i], m.levels[i]);
  g.set_neighbors(0, 0, List{1, 2});
  g.set_neighbors(0, 1, List{0, 2});
  g.set_neighbors(0, 2, List{1});
  ASSERT_TRUE(save_index(g, file()).ok());
  EXPECT_EQ(read(), with_crc(body_of(m)));
  // An empty graph: no entry point, empty per-node sequences, no layers.
  ASSERT_TRUE(save_index(HnswGraph(m.config), file()).ok());
  EXPECT_EQ(read(), with_crc(body_of(FileModel{.config = m.config})));
  // No nodes but two layers: each layer's offsets hold only 0.
  const std::string empty_with_layers =
      with_crc(body_of(FileModel{.config = m.config, .num_layers = 2, .offsets = {{0}, {0}}, .neighbors = {{}, {}}}));
  write(empty_with_layers);
  const HnswIndex loaded = ok_value(load_index(file(), Metric::kL2));
  EXPECT_TRUE(loaded.graph.value.node_count() == 0 && loaded.graph.value.layer_count() == 2);
  ASSERT_TRUE(save_index(loaded.graph.value, file()).ok());
  EXPECT_EQ(read(), empty_with_layers);
}

TEST_F(HnswPersistTest, LoadFailuresComeInTheOrderOfTheChecks) {
  EXPECT_EQ(load_index(path("missing"), Metric::kL2).error().os_error(), ENOENT);
  auto damaged = [](std::function<void(FileModel&)> change) {
    FileModel m = small_model();
    change(m);
    return with_crc(body_of(m));
  };
  std::string flipped = damaged([](FileModel&) {});
  flipped[20] ^= 0x40;
  std::string bad_magic = body_of(small_model());
  bad_magic[0] = 'X';
  const std::string eof = "Serialization error: io error: unexpected end of file";
  const std::string bad = "Data corruption: HNSW index ";
  const std::vector<std::pair<std::string, std::string>> cases = {  // bytes, message (prefix)
      {"", bad + "file too small"},
      {"abc", bad + "file too small"},
      {std::string(4, '\0'), eof},  // the CRC of nothing is 0
      {std::string("\x01\0\0\0", 4), bad + "checksum mismatch: expected 00000001, got 00000000"},
      {flipped, bad + "checksum mismatch: expected "},
      {with_crc(body_of(small_model()).substr(0, 100)), eof},
      {with_crc(bad_magic.substr(0, bad_magic.size() - 1)), eof},  // decoding comes before magic
      {with_crc(body_of(small_model()).substr(0, 72) + std::string(8, '\x7f')), eof},  // 2^63 slots
      {damaged([](FileModel& m) { m.entry_tag = 2; }), "Serialization error: tag for enum is not valid, found 2"},
      {damaged([](FileModel& m) { m.ids[1] = "\xff"; }),
       "Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {damaged([](FileModel& m) { m.magic = 0x484E5358, m.version = 2; }),
       "Data corruption: Invalid HNSW magic number: 484e5358"},
      {damaged([](FileModel& m) { m.version = 2, m.levels[0] = 40; }),
       "Data corruption: Unsupported HNSW version: 2 (expected 1)"},
      {damaged([](FileModel& m) { m.slots.pop_back(); }), bad + "node_slots holds 2 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.ids.pop_back(); }), bad + "node_ids holds 2 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.levels.pop_back(); }), bad + "node_levels holds 2 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.slots.push_back(99); }), bad + "node_slots holds 4 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.ids.push_back("d"); }), bad + "node_ids holds 4 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.levels.push_back(0); }), bad + "node_levels holds 4 entries for 3 nodes"},
      {damaged([](FileModel& m) { m.node_count = 4000000000u; }),
       bad + "node_slots holds 3 entries for 4000000000 nodes"},
      {damaged([](FileModel& m) { m.levels[2] = 33; }), bad + "node 2 has level 33, above 32"},
      {damaged([](FileModel& m) { m.entry_tag = 0; }), bad + "has no entry point for 3 nodes"},
      {damaged([](FileModel& m) { m.entry_point = 3; }), bad + "entry point 3 is not below the node count 3"},
      {damaged([](FileModel& m) { m.max_level = 2; }), bad + "max_level 2 is not the entry point's level 1"},
      {damaged([](FileModel& m) { m.num_layers = 3, m.neighbors.push_back({}); }),
       bad + "layer_offsets holds 2 entries for 3 layers"},
      {damaged([](FileModel& m) { m.neighbors.pop_back(); }), bad + "layer_neighbors holds 1 entries for 2 layers"},
      {damaged([](FileModel& m) { m.offsets.push_back({0, 0, 0, 0}); }), bad + "layer_offsets holds 3 entries for 2 layers"},
      {damaged([](FileModel& m) { m.neighbors.push_back({}); }), bad + "layer_neighbors holds 3 entries for 2 layers"},
      {damaged([](FileModel& m) { m.offsets[1].pop_back(); }), bad + "layer 1 holds 3 offsets for 3 nodes"},
      {damaged([](FileModel& m) { m.offsets[1].push_back(0); }), bad + "layer 1 holds 5 offsets for 3 nodes"},
      {damaged([](FileModel& m) { m.offsets[0] = {1, 2, 4, 5}; }), bad + "layer 0 offsets start at 1, not 0"},
      {damaged([](FileModel& m) { m.offsets[0] = {0, 3, 2, 5}; }), bad + "layer 0 offsets decrease at node 1"},
      {damaged([](FileModel& m) { m.offsets[0][3] = 6; }), bad + "layer 0 offsets run past its 5 neighbours"},
      {damaged([](FileModel& m) { m.offsets[0][3] = 4; }), bad + "layer 0 offsets end at 4, before its 5 neighbours"},
      {damaged([](FileModel& m) { m.neighbors[0][3] = 3; }), bad + "layer 0 node 1 links to node 3, not below 3"},
  };
  for (const auto& [bytes, message] : cases) {
    write(bytes);
    EXPECT_EQ(error_text(load_index(file(), Metric::kL2)).substr(0, message.size()), message);
  }
  // Fewer layers than max_level + 1 is no fault: the walks take a missing
  // layer for one without links.
  write(damaged([](FileModel& m) { m.num_layers = 1, m.offsets.pop_back(), m.neighbors.pop_back(); }));
  HnswIndex r = ok_value(load_index(file(), Metric::kL2));
  fill_store(std::vector<std::vector<float>>(13, {1, 2}), 2);
  EXPECT_EQ(graph_hits(r, std::vector<float>{1, 2}, 2, store()).size(), 3u);
  insert_nodes(r, items(0, 10), store());
}

}  // namespace
}  // namespace tessarin
