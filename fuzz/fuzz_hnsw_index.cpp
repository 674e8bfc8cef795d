// "hnsw.index" as a collection opens it: load_index, then the loaded graph
// used as the collection uses it (a search, a record inserted under the
// file's own parameters) and saved and loaded again.
//
// Input: one control byte, then the file. Control bit 0 repairs the CRC-32
// trailer (so damage reaches the decoder and the structural checks); bits
// 1-2 choose the metric.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "platform/platform.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"
#include "search/hnsw/query.h"

namespace {

using namespace tessarin;
using fuzz::fuzz_check;

constexpr uint64_t kDims = 4;
constexpr uint64_t kSlots = 48;  // slots the loaded nodes may refer to

// The vectors every input's graph is scored against, made once.
struct Vectors {
  fuzz::ScratchDir dir{"hnsw"};
  VectorStore store;
  Vectors() {
    Result<VectorStore> created = VectorStore::create((dir.path() / "vectors.bin").string(), kDims);
    fuzz_check(created.ok(), "VectorStore::create");
    store = std::move(created).value();
    Locked<FreeList> free_list;
    Locked<VectorStore> locked;
    locked.value = std::move(store);
    fuzz_check(allocate_slots(free_list, locked, kSlots).ok(), "allocate_slots");
    store = std::move(locked.value);
    for (uint64_t slot = 0; slot < kSlots; ++slot) {
      const std::vector<float> v = {float(slot % 7), float(slot % 5) - 2.0f, 1.0f, float(slot) / 8};
      fuzz_check(store.write_vector(slot, v).ok(), "write_vector");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Vectors vectors;
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (control & 1) fuzz::repair_index_crc(file);
  const Metric metrics[] = {Metric::kCosine, Metric::kDot, Metric::kL2, Metric::kL2};
  const Metric metric = metrics[(control >> 1) & 3];

  Result<HnswIndex> loaded = [&] {
    fuzz::MemFile mem(file);
    return load_index(mem.path(), metric);
  }();
  if (!loaded.ok()) return 0;
  HnswIndex& index = *loaded;
  const std::string saved = (vectors.dir.path() / "saved.index").string();
  // The loader takes only what a save writes: saved again, the graph gives
  // the file's body back (bytes after its twelfth field are ignored).
  fuzz_check(save_index(index.graph.value, saved).ok(), "save of a loaded graph failed");
  const Result<platform::FileBytes> resaved = platform::read_file(saved);
  fuzz_check(resaved.ok(), "read of the saved graph failed");
  const std::string_view body = resaved->view().substr(0, resaved->view().size() - 4);
  fuzz_check(std::string_view(file).substr(0, body.size()) == body,
             "a loaded graph does not save back to the file's body");

  const std::vector<float> query = {1.0f, -0.5f, 0.25f, 2.0f};
  const std::vector<GraphHit> hits = graph_hits(index, query, 5, vectors.store);
  fuzz_check(hits.size() <= 10, "more hits than the twice k a search asks for");
  for (const GraphHit& hit : hits) fuzz_check(hit.node < index.graph.value.node_count(), "hit node");

  const IndexItem item{kSlots - 1, "inserted"};
  insert_nodes(index, std::span<const IndexItem>(&item, 1), vectors.store);

  fuzz_check(save_index(index.graph.value, saved).ok(), "save of a loaded graph failed");
  Result<HnswIndex> again = load_index(saved, metric);
  fuzz_check(again.ok(), "saved graph does not load");
  fuzz_check(again->graph.value.node_count() == index.graph.value.node_count(),
             "saved graph lost nodes");
  return 0;
}
