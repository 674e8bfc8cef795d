// The full parallel build (build.h). Layout of the layer table, the beam
// search's list discipline and the parallel split are described where they
// are implemented below.
#include "search/hnsw/build.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "search/distance.h"
#include "search/hnsw/level.h"
#include "search/hnsw/neighbor_lists.h"
#include "search/hnsw/visited.h"
#include "search/pq.h"
#include "sync/pool.h"
#include "sync/spin_rw_lock.h"

namespace tessarin {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Layer table ----------------------------------------------------------
//
// One BuildLayer per layer. Node i has a cell on layers 0 .. level(i) and on
// no other: a beam or descent on layer l only ever reaches the entry point
// (level max_level), nodes found in layer-l lists, and the start node
// handed down from layer l+1; every layer-l list is written by a node of
// level >= l (its own list or a back-link to it) and holds nodes found on
// layer l, so by induction no task reaches a node on a layer above its
// level. Layer 0 is dense (cell i is node i's); the others map a node to
// its cell through cell_of_.
//
// A cell (BuildCell) is one block of `stride_` u32 words, a whole number of
// 64-byte lines aligned to a line:
//   word 0          the cell's SpinRwLock
//   word 1          the list's length n
//   words 2 .. 2+k  the first min(n, capacity_) node indices, in list order
// and, when n > capacity_, the rest in spill_[cell] (in order). The lock
// word shares the line with the list's head, so locking brings the list in.
// The words and spill_[cell] of a cell are read only under its shared lock
// and written only under its exclusive lock; nothing else changes during
// the batches.

constexpr size_t kLineWords = 16;  // u32 words per 64-byte cache line
constexpr uint32_t kNoCell = std::numeric_limits<uint32_t>::max();

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

template <typename T>
using LineArray = std::unique_ptr<T[], FreeDeleter>;

// `count` zeroed values starting on a cache line (null for none).
template <typename T>
LineArray<T> zeroed_lines(size_t count) {
  const size_t bytes = (count * sizeof(T) + 63) / 64 * 64;
  if (bytes == 0) return nullptr;
  LineArray<T> out(static_cast<T*>(std::aligned_alloc(64, bytes)));
  if (!out) std::abort();
  std::memset(out.get(), 0, bytes);
  return out;
}

class BuildLayer {
 public:
  // Cells for the nodes whose level is at least `layer`, each holding
  // `wanted` indices in place (rounded up to fill its last line).
  BuildLayer(std::span<const uint8_t> levels, size_t layer, size_t wanted) {
    stride_ = (2 + wanted + kLineWords - 1) / kLineWords * kLineWords;
    capacity_ = static_cast<uint32_t>(stride_ - 2);
    size_t cells = levels.size();
    if (layer > 0) {
      cell_of_.assign(levels.size(), kNoCell);
      cells = 0;
      for (size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] >= layer) cell_of_[i] = static_cast<uint32_t>(cells++);
      }
    }
    words_ = zeroed_lines<uint32_t>(cells * stride_);
    spill_.resize(cells);
  }

  // Node's list copied into *out under the cell's shared lock (empty when
  // the node has no cell here).
  void copy_list(uint32_t node, std::vector<uint32_t>* out) const {
    out->clear();
    with_cell<std::shared_lock>(node, [&](uint32_t cell, uint32_t* words) {
      const uint32_t n = words[1];
      out->insert(out->end(), words + 2, words + 2 + std::min(n, capacity_));
      if (n > capacity_) out->insert(out->end(), spill_[cell].begin(), spill_[cell].end());
    });
  }

  // Asks for the first line of node's cell (the lock's, for writing)
  // ahead of a copy_list.
  void prefetch(uint32_t node) const {
    const uint32_t cell = cell_index(node);
    if (cell != kNoCell) __builtin_prefetch(cell_words(cell), 1);
  }

  bool list_empty(uint32_t node) const {
    bool empty = true;
    with_cell<std::shared_lock>(node, [&](uint32_t, uint32_t* words) { empty = words[1] == 0; });
    return empty;
  }

  // Sets node's list to `ids` under the cell's exclusive lock, followed by
  // the entries other tasks of the batch appended meanwhile: a task that
  // started its layer from this node (reached through its upper layers)
  // may already have linked to it here, and dropping that back-link would
  // leave the other node unreachable. `merged` is scratch space.
  void assign(uint32_t node, std::span<const uint32_t> ids, std::vector<uint32_t>* merged) {
    assert(cell_index(node) != kNoCell);
    with_cell<std::unique_lock>(node, [&](uint32_t cell, uint32_t* words) {
      merged->assign(ids.begin(), ids.end());
      const uint32_t n = words[1];
      auto keep_back_link = [&](uint32_t id) {
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) merged->push_back(id);
      };
      std::for_each(words + 2, words + 2 + std::min(n, capacity_), keep_back_link);
      std::for_each(spill_[cell].begin(), spill_[cell].end(), keep_back_link);
      const size_t inline_count = std::min<size_t>(merged->size(), capacity_);
      std::copy_n(merged->begin(), inline_count, words + 2);
      spill_[cell].assign(merged->begin() + static_cast<ptrdiff_t>(inline_count), merged->end());
      words[1] = static_cast<uint32_t>(merged->size());
    });
  }

  // Appends `id` to node's list unless it is there, under the cell's
  // exclusive lock.
  void append_unique(uint32_t node, uint32_t id) {
    assert(cell_index(node) != kNoCell);
    with_cell<std::unique_lock>(node, [&](uint32_t cell, uint32_t* words) {
      const uint32_t n = words[1];
      const uint32_t* head = words + 2;
      const uint32_t* head_end = head + std::min(n, capacity_);
      std::vector<uint32_t>& rest = spill_[cell];
      if (std::find(head, head_end, id) != head_end) return;
      if (std::find(rest.begin(), rest.end(), id) != rest.end()) return;
      if (n < capacity_) {
        words[2 + n] = id;
      } else {
        rest.push_back(id);
      }
      words[1] = n + 1;
    });
  }

  // The length of node's list once no task runs any more.
  size_t settled_size(uint32_t node) const {
    const uint32_t cell = cell_index(node);
    return cell == kNoCell ? 0 : cell_words(cell)[1];
  }

  // Node's list once no task runs any more: the head in place, or the whole
  // list gathered into *buffer when it spilled.
  std::span<const uint32_t> settled_list(uint32_t node, std::vector<uint32_t>* buffer) const {
    const uint32_t cell = cell_index(node);
    if (cell == kNoCell) return {};
    const uint32_t* words = cell_words(cell);
    const uint32_t n = words[1];
    if (n <= capacity_) return {words + 2, n};
    buffer->assign(words + 2, words + 2 + capacity_);
    buffer->insert(buffer->end(), spill_[cell].begin(), spill_[cell].end());
    return *buffer;
  }

 private:
  uint32_t cell_index(uint32_t node) const { return cell_of_.empty() ? node : cell_of_[node]; }
  uint32_t* cell_words(uint32_t cell) const { return words_.get() + size_t{cell} * stride_; }

  // fn(cell, words) under node's cell lock, taken by Guard (std::shared_lock
  // or std::unique_lock); nothing when the node has no cell here.
  template <template <typename> class Guard, typename Fn>
  void with_cell(uint32_t node, Fn&& fn) const {
    const uint32_t cell = cell_index(node);
    if (cell == kNoCell) return;
    uint32_t* words = cell_words(cell);
    SpinRwLock lock(words[0]);
    Guard<SpinRwLock> guard(lock);
    fn(cell, words);
  }

  size_t stride_ = kLineWords;    // words per cell, a multiple of kLineWords
  uint32_t capacity_ = 0;         // indices held in place: stride_ - 2
  std::vector<uint32_t> cell_of_;  // upper layers: per node its cell or kNoCell
  LineArray<uint32_t> words_;     // cells * stride_ words
  // Per cell: the list's entries beyond capacity_. Mutable state guarded by
  // the cell's lock like the words.
  mutable std::vector<std::vector<uint32_t>> spill_;
};

// Indices a cell holds in place for a configured list length M: room for M
// chosen neighbours and about as many back-links, capped so that an absurd
// M costs no more than 128 words a cell, and never more than the graph has
// nodes.
size_t wanted_in_place(uint64_t m, size_t node_count) {
  return static_cast<size_t>(std::min<uint64_t>(std::min<uint64_t>(m, 64) * 2, node_count));
}

// The layers' lists as the graph keeps them, each layer's cells freed as
// soon as it is converted. Block capacities follow the lists' lengths
// (ListLengthHistogram), at least what the configuration's lists need.
std::vector<NeighborLists> settle_layers(std::vector<BuildLayer>& layers, size_t n,
                                         const HnswConfig& config) {
  std::vector<NeighborLists> out;
  out.reserve(layers.size());
  const auto most = static_cast<uint32_t>(n > 0 ? n - 1 : 0);  // no list is longer
  std::vector<uint32_t> buffer;
  for (size_t l = 0; l < layers.size(); ++l) {
    const BuildLayer& layer = layers[l];
    ListLengthHistogram histogram;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t len = layer.settled_size(i);
      if (l == 0 || len > 0) histogram.add(len);
    }
    const uint32_t floor = std::min(l == 0 ? layer0_capacity(config) : upper_layer_capacity(config), most);
    NeighborLists lists(histogram.capacity(floor), l == 0, n);
    if (l == 0) {
      // Every node has its block already, so nodes may be assigned at once.
      parallel_for_chunks(n, 4096, [&](size_t begin, size_t end) {
        std::vector<uint32_t> local;
        for (size_t i = begin; i < end; ++i) {
          const auto node = static_cast<uint32_t>(i);
          lists.assign(node, layer.settled_list(node, &local));
        }
      });
    } else {
      for (uint32_t i = 0; i < n; ++i) {
        const std::span<const uint32_t> list = layer.settled_list(i, &buffer);
        if (!list.empty()) lists.assign(i, list);
      }
    }
    out.push_back(std::move(lists));
    layers[l] = BuildLayer({}, 0, 0);
  }
  return out;
}

// ---- Codes ----------------------------------------------------------------

// A code's place in the build's copy of the codes: M rounded up to a power
// of two up to 64 bytes, to whole lines above, so that reading a code at
// random costs one cache line (or its own lines).
size_t padded_code_stride(size_t m) {
  if (m > 64) return (m + 63) / 64 * 64;
  size_t stride = 1;
  while (stride < m) stride *= 2;
  return stride;
}

// The codes, code i at i * stride, on a cache line.
LineArray<uint8_t> pad_codes(const PqCodes& codes, size_t stride) {
  const size_t n = codes.count(), m = codes.code_len();
  LineArray<uint8_t> out = zeroed_lines<uint8_t>(n * stride);
  parallel_for_chunks(n, 4096, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) std::memcpy(out.get() + i * stride, codes.code(i).data(), m);
  });
  return out;
}

// ---- Linking one node -----------------------------------------------------

// A node with its approximate or exact distance to the node being linked.
struct Scored {
  uint32_t node;
  float distance;
};

// What the tasks of one batch share: read-only except the layer table
// (cells under their locks) and the counter.
struct BuildState {
  BuildContext context;
  std::span<const uint8_t> levels;
  std::vector<BuildLayer>* layers;
  const float* vectors;  // n x dimensions
  size_t dimensions;
  const PqCodebook* codebook;
  const uint8_t* codes;  // node x's code at codes + x * code_stride
  size_t code_stride;    // bytes: M rounded up so no code straddles a line
  uint32_t entry_point;
  uint8_t max_level;
  size_t ef;  // ef_construction, at least 1
  std::atomic<uint64_t> distance_calcs{0};
};

// One worker's buffers, reused for every node it links in a batch. The
// visited set is the thread's own (visited.h).
struct BuildScratch {
  std::vector<float> table;  // the ADC table of the node being linked
  std::vector<uint32_t> list;
  std::vector<uint32_t> fresh;  // not yet visited nodes of one list
  std::vector<float> fresh_distances;
  std::vector<Scored> candidates;  // heap, best on top
  std::vector<float> bound;        // heap of at most ef + 1 distances, worst on top
  std::vector<Scored> results;
  std::vector<Scored> ranked;
  std::vector<uint32_t> kept;
  std::vector<uint32_t> merged;  // a list being set, with the back-links it keeps
};

// The comparisons of one metric direction, fixed at compile time.
template <bool kHigherIsBetter>
struct Direction {
  static constexpr float kInf = std::numeric_limits<float>::infinity();
  static constexpr float kWorst = kHigherIsBetter ? -kInf : kInf;
  static constexpr float kBest = -kWorst;
  static bool better(float a, float b) { return kHigherIsBetter ? a > b : a < b; }
  static float clean(float d) { return d == d ? d : kWorst; }  // NaN -> worst
};

template <bool kHigherIsBetter>
class NodeLinker {
  using Dir = Direction<kHigherIsBetter>;

 public:
  NodeLinker(BuildState& state, BuildScratch& scratch) : s_(state), x_(scratch) {
    x_.table.resize(s_.codebook->num_subquantizers() * kPqNumCentroids);
  }

  void link(uint32_t node) {
    std::vector<BuildLayer>& layers = *s_.layers;
    // The entry point has nothing to search from until someone links to it.
    if (node == s_.entry_point && layers[0].list_empty(node)) return;
    const float* q = vector(node);
    build_adc_table_into(*s_.codebook, {q, s_.dimensions}, x_.table);
    const uint8_t level = s_.levels[node];
    uint32_t cur = s_.entry_point;
    for (size_t l = s_.max_level; l > level; --l) cur = descend(cur, layers[l]);
    uint64_t counted = 0;
    for (size_t l = level + size_t{1}; l-- > 0;) {
      BuildLayer& layer = layers[l];
      counted += beam_search(cur, layer);
      std::stable_sort(x_.results.begin(), x_.results.end(), ByDistance{});
      rerank(node, q);
      const uint64_t m = l == 0 ? s_.context.config.m_max0 : s_.context.config.m;
      const auto keep = static_cast<size_t>(std::min<uint64_t>(m, x_.ranked.size()));
      x_.kept.clear();
      for (size_t j = 0; j < keep; ++j) x_.kept.push_back(x_.ranked[j].node);
      layer.assign(node, x_.kept, &x_.merged);
      for (const uint32_t nb : x_.kept) layer.append_unique(nb, node);
      // The next layer starts from the best approximate result, even when
      // that is the node itself (the entry point, or a node others have
      // linked to already): its list one layer down holds the links made
      // to it there, kept by assign.
      if (!x_.results.empty()) cur = x_.results.front().node;
    }
    s_.distance_calcs.fetch_add(counted);  // sequentially consistent
  }

 private:
  // Sort order: best first.
  struct ByDistance {
    bool operator()(const Scored& a, const Scored& b) const { return Dir::better(a.distance, b.distance); }
  };
  // Heap order: the best candidate on top, the lower node index first among
  // equal distances. A total order makes the order of pops independent of
  // the heap's layout, so leaving out a node that is never popped (see
  // queue_fresh) changes the order of no other.
  struct Worse {
    bool operator()(const Scored& a, const Scored& b) const {
      return Dir::better(b.distance, a.distance) || (b.distance == a.distance && b.node < a.node);
    }
  };
  // Distance order: better first (a max-heap under it has the worst on top).
  struct Before {
    bool operator()(float a, float b) const { return Dir::better(a, b); }
  };

  const float* vector(uint32_t node) const { return s_.vectors + size_t{node} * s_.dimensions; }

  float adc(uint32_t node) const {
    const size_t m = s_.codebook->num_subquantizers();
    return Dir::clean(adc_distance(x_.table, {s_.codes + size_t{node} * s_.code_stride, m}));
  }

  // Approximate distances of x_.fresh into x_.fresh_distances.
  void adc_fresh() {
    x_.fresh_distances.resize(x_.fresh.size());
    adc_distances(x_.table, s_.codes, s_.code_stride, x_.fresh, x_.fresh_distances.data());
    for (float& d : x_.fresh_distances) d = Dir::clean(d);
  }

  // Greedy descent on one layer: passes over the current node's list move
  // to any node strictly better than the best so far; ends when a pass
  // moves nothing. Not counted.
  uint32_t descend(uint32_t cur, const BuildLayer& layer) {
    float best = adc(cur);
    for (;;) {
      const uint32_t passed = cur;
      layer.copy_list(passed, &x_.fresh);
      adc_fresh();
      for (size_t j = 0; j < x_.fresh.size(); ++j) {
        if (Dir::better(x_.fresh_distances[j], best)) {
          best = x_.fresh_distances[j];
          cur = x_.fresh[j];
        }
      }
      if (cur == passed) return cur;
    }
  }

  // Beam search of one layer from `start` on approximate distances; the
  // results, unsorted, in x_.results. Returns the distances computed.
  //
  // The results list is an array. Appending the popped candidate to a full
  // list (ef + 1 entries) removes the worst entry: the largest distance,
  // the last such entry on ties (the smallest, the first such entry on
  // ties, when higher is better), whose place the list's last entry takes;
  // so the list holds the ef best nodes appended so far, and `worst`
  // becomes the worst distance among them. Until the list first overflows,
  // `worst` stays at the worst possible value: the (ef + 1)-th candidate
  // popped is appended and expanded however bad it is.
  //
  // A fresh node x is queued while the list holds fewer than ef entries,
  // or when it is strictly better than `worst`, except when ef + 1 nodes
  // queued so far are strictly better than x. Those are all popped before
  // x, and each is appended (a popped node that is not ends the search);
  // after the last of them the ef kept are all strictly better than x, so
  // x, once popped, would end the search, and so would whatever is popped
  // in its place (nothing better than x is left). Leaving x out therefore
  // changes no append, expansion or count, nor, the candidate order being
  // total, the order of any pop. `bound` holds the ef + 1 best distances
  // queued (worst on top) to tell.
  uint64_t beam_search(uint32_t start, const BuildLayer& layer) {
    const size_t ef = s_.ef;
    VisitedSet& visited = thread_visited_set();
    visited.begin(s_.levels.size());
    x_.candidates.clear();
    x_.results.clear();
    x_.bound.clear();
    float worst = Dir::kWorst;
    uint64_t counted = 1;
    visited.insert(start);
    x_.candidates.push_back({start, adc(start)});
    x_.bound.push_back(x_.candidates.back().distance);
    while (!x_.candidates.empty()) {
      std::pop_heap(x_.candidates.begin(), x_.candidates.end(), Worse{});
      const Scored c = x_.candidates.back();
      x_.candidates.pop_back();
      if (!x_.candidates.empty()) layer.prefetch(x_.candidates.front().node);  // likely next
      if (x_.results.size() >= ef && !Dir::better(c.distance, worst)) break;
      x_.results.push_back(c);
      if (x_.results.size() > ef) worst = drop_worst();
      layer.copy_list(c.node, &x_.list);
      x_.fresh.resize(x_.list.size());
      x_.fresh.resize(visited.insert_all(x_.list, x_.fresh.data()));
      for (const uint32_t e : x_.fresh) prefetch_code(e);
      counted += x_.fresh.size();
      adc_fresh();
      queue_fresh(worst, layer);
    }
    return counted;
  }

  // Queues the fresh nodes (x_.fresh, x_.fresh_distances) that pass the
  // tests of beam_search, in order.
  void queue_fresh(float worst, const BuildLayer& layer) {
    // ef + 1, saturating (a beam of 2^64 - 1 never fills it anyway).
    const size_t bound_size = s_.ef + size_t{s_.ef < std::numeric_limits<size_t>::max()};
    const bool full = x_.results.size() >= s_.ef;
    std::vector<float>& bound = x_.bound;
    // Most nodes fail one of the two tests. The bound only tightens while
    // nodes are queued, so a first pass against the limits as they stand
    // drops exactly nodes the loop below would drop; it runs without a
    // branch per node, the loop only over the few left.
    const bool bound_full = bound.size() >= bound_size;
    const float top = bound_full ? bound.front() : Dir::kWorst;
    size_t kept = 0;
    for (size_t j = 0; j < x_.fresh.size(); ++j) {
      const float d = x_.fresh_distances[j];
      x_.fresh[kept] = x_.fresh[j];
      x_.fresh_distances[kept] = d;
      // Branch-free: the keep test is unpredictable, so bools are combined as bits.
      kept += static_cast<size_t>(!full | Dir::better(d, worst)) &
              static_cast<size_t>(!bound_full | !Dir::better(top, d));
    }
    for (size_t j = 0; j < kept; ++j) {
      const float d = x_.fresh_distances[j];
      if (bound.size() >= bound_size) {
        if (!Dir::better(d, bound.front())) {
          if (Dir::better(bound.front(), d)) continue;  // never popped
        } else {
          replace_top(bound, d);
        }
      } else {
        bound.push_back(d);
        std::push_heap(bound.begin(), bound.end(), Before{});
      }
      layer.prefetch(x_.fresh[j]);  // a queued node is likely expanded soon
      x_.candidates.push_back({x_.fresh[j], d});
      std::push_heap(x_.candidates.begin(), x_.candidates.end(), Worse{});
    }
  }

  // Replaces the top (the worst) of the heap `bound` by the better d.
  static void replace_top(std::vector<float>& bound, float d) {
    const size_t n = bound.size();
    size_t hole = 0;
    for (;;) {
      size_t child = 2 * hole + 1;
      if (child >= n) break;
      if (child + 1 < n && Dir::better(bound[child], bound[child + 1])) ++child;  // the worse child
      if (!Dir::better(d, bound[child])) break;
      bound[hole] = bound[child];
      hole = child;
    }
    bound[hole] = d;
  }

  // Removes the worst result as described at beam_search; returns the worst
  // distance among those left. One pass: the worst entry's place and the
  // runner-up value, which is the worst of the rest.
  float drop_worst() {
    std::vector<Scored>& r = x_.results;
    size_t at = 0;
    float top = r[0].distance;
    float runner_up = Dir::kBest;
    for (size_t j = 1; j < r.size(); ++j) {
      const float d = r[j].distance;
      // Higher is better: the worst is the smallest, the first on ties;
      // otherwise the largest, the last on ties.
      const bool replaces = kHigherIsBetter ? d < top : d >= top;
      if (replaces) {
        runner_up = top;
        top = d;
        at = j;
      } else if (Dir::better(runner_up, d)) {
        runner_up = d;
      }
    }
    r[at] = r.back();
    r.pop_back();
    return runner_up;
  }

  // x_.ranked := the results (sorted by approximate distance) but `node`,
  // with exact distances to q, stably sorted best first.
  void rerank(uint32_t node, const float* q) {
    x_.ranked.clear();
    const std::vector<Scored>& r = x_.results;
    for (size_t j = 0; j < r.size(); ++j) {
      if (j + 1 < r.size()) prefetch_vector(r[j + 1].node);
      if (r[j].node == node) continue;
      const float d = compute_distance(s_.context.metric, q, vector(r[j].node), s_.dimensions);
      x_.ranked.push_back({r[j].node, Dir::clean(d)});
    }
    std::stable_sort(x_.ranked.begin(), x_.ranked.end(), ByDistance{});
  }

  // Codes are read at random; fetching them while the list is scanned
  // overlaps their cache misses.
  void prefetch_code(uint32_t node) const {
    const char* p = reinterpret_cast<const char*>(s_.codes + size_t{node} * s_.code_stride);
    _mm_prefetch(p, _MM_HINT_T0);
  }

  void prefetch_vector(uint32_t node) const {
    const char* p = reinterpret_cast<const char*>(vector(node));
    const size_t bytes = s_.dimensions * sizeof(float);
    for (size_t off = 0; off < bytes; off += 64) _mm_prefetch(p + off, _MM_HINT_T0);
  }

  BuildState& s_;
  BuildScratch& x_;
};

// Links the nodes of [begin, end) in ascending order on this thread.
void link_nodes(BuildState& state, size_t begin, size_t end, BuildScratch& scratch) {
  if (state.context.higher_is_better) {
    NodeLinker<true> linker(state, scratch);
    for (size_t i = begin; i < end; ++i) linker.link(static_cast<uint32_t>(i));
  } else {
    NodeLinker<false> linker(state, scratch);
    for (size_t i = begin; i < end; ++i) linker.link(static_cast<uint32_t>(i));
  }
}

// Nodes a worker takes at a time. Workers take fixed chunks in ascending
// order from a shared counter, so at any moment the nodes being linked lie
// close together and every earlier chunk has been started: a node sees
// nearly all links of the batch before it.
constexpr size_t kLinkChunk = 8;

// Links every node of `batch` into the layer table, on up to `workers`
// pool threads.
void search_batch_parallel(NodeRange batch, BuildState& state, size_t workers) {
  const size_t chunks = (batch.end - batch.begin + kLinkChunk - 1) / kLinkChunk;
  workers = std::min(workers, chunks);
  if (workers <= 1) {
    BuildScratch scratch;
    link_nodes(state, batch.begin, batch.end, scratch);
    return;
  }
  std::atomic<size_t> next{batch.begin};
  run_in_pool([&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, workers, 1),
        [&](const tbb::blocked_range<size_t>& r) {
          for (size_t w = r.begin(); w != r.end(); ++w) {
            BuildScratch scratch;
            for (size_t first; (first = next.fetch_add(kLinkChunk)) < batch.end;) {
              link_nodes(state, first, std::min(first + kLinkChunk, batch.end), scratch);
            }
          }
        },
        tbb::simple_partitioner());
  });
}

}  // namespace

// ---- Public ---------------------------------------------------------------

void write_build_profile(std::FILE* out, const BuildProfile& p) {
  const double total = p.total_seconds;
  char text[1024];
  const int len = std::snprintf(
      text, sizeof text,
      "HNSW Build Profile (%llu nodes):\n"
      "  Phase 1 (setup):   %8.2fs (%5.1f%%)\n"
      "  Phase 2 (insert):  %8.2fs (%5.1f%%)\n"
      "  Phase 3 (repair):  %8.2fs (%5.1f%%)\n"
      "  Total:             %8.2fs (%.0f vec/s)\n"
      "  Distance calcs:    %llu\n"
      "  Nodes improved:    0\n",
      static_cast<unsigned long long>(p.nodes), p.setup_seconds, p.setup_seconds / total * 100,
      p.insert_seconds, p.insert_seconds / total * 100, p.repair_seconds,
      p.repair_seconds / total * 100, total, static_cast<double>(p.nodes) / total,
      static_cast<unsigned long long>(p.distance_calcs));
  if (len > 0) std::fwrite(text, 1, std::min<size_t>(static_cast<size_t>(len), sizeof text - 1), out);
  std::fflush(out);
}

std::vector<NodeRange> build_batches(size_t n) {
  std::vector<NodeRange> batches;
  batches.reserve((n + kBuildBatchSize - 1) / kBuildBatchSize);
  for (size_t begin = 0; begin < n; begin += kBuildBatchSize) {
    batches.push_back({begin, std::min(n, begin + kBuildBatchSize)});
  }
  return batches;
}

std::vector<float> load_vectors_parallel(std::span<const uint64_t> slots, const VectorStore& store) {
  const size_t dim = store.dimensions();
  std::vector<float> out(slots.size() * dim);
  const uint64_t slot_count = store.slot_count();
  const float* base = slot_count > 0 ? store.slots_base() : nullptr;
  parallel_for_chunks(slots.size(), 256, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      // Rows of unreadable slots stay zero.
      if (slots[i] < slot_count) std::copy_n(base + slots[i] * dim, dim, out.data() + i * dim);
    }
  });
  return out;
}

HnswGraph build_graph(std::span<const IndexItem> items, const VectorStore& store,
                      const HnswConfig& config, Metric metric, const BuildOptions& options) {
  const Clock::time_point start = Clock::now();  // build start = setup start
  const size_t n = items.size();
  assert(n < std::numeric_limits<uint32_t>::max());
  BuildProfile profile;
  profile.nodes = n;
  if (n == 0) {
    if (options.profile != nullptr) *options.profile = profile;
    return HnswGraph(config);
  }

  HnswGraphParts parts;
  parts.config = config;
  parts.ids.reserve(n);
  parts.slots.reserve(n);
  parts.live_until.reserve(n);
  for (const IndexItem& item : items) {
    parts.ids.push_back(item.id);
    parts.slots.push_back(item.slot);
    parts.live_until.push_back(item.live_until);
  }
  parts.levels.resize(n);
  parallel_for_chunks(n, 4096, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) parts.levels[i] = draw_level(parts.slots[i], config.ml);
  });
  const uint8_t max_level = *std::max_element(parts.levels.begin(), parts.levels.end());
  const auto entry = static_cast<uint32_t>(
      std::find(parts.levels.begin(), parts.levels.end(), max_level) - parts.levels.begin());

  std::vector<BuildLayer> layers;
  layers.reserve(size_t{max_level} + 1);
  for (size_t l = 0; l <= max_level; ++l) {
    layers.emplace_back(parts.levels, l, wanted_in_place(l == 0 ? config.m_max0 : config.m, n));
  }

  const size_t dim = store.dimensions();
  {
    const std::vector<float> vectors = load_vectors_parallel(parts.slots, store);
    auto pq_config = PqConfig::create(dim, choose_num_subquantizers(dim));
    assert(pq_config.ok());  // an open store's dimension is valid and M divides it
    const bool higher = higher_is_better(metric);
    const PqCodebook codebook = train_pq(*pq_config, vectors, higher);
    const PqCodes codes = encode_pq_parallel(codebook, vectors);
    const size_t code_stride = padded_code_stride(codes.code_len());
    const LineArray<uint8_t> padded = pad_codes(codes, code_stride);
    profile.setup_seconds = seconds_since(start);

    const Clock::time_point insert_start = Clock::now();
    BuildState state{
        .context = {config, metric, higher},
        .levels = parts.levels,
        .layers = &layers,
        .vectors = vectors.data(),
        .dimensions = dim,
        .codebook = &codebook,
        .codes = padded.get(),
        .code_stride = code_stride,
        .entry_point = entry,
        .max_level = max_level,
        .ef = static_cast<size_t>(std::max<uint64_t>(config.ef_construction, 1)),
    };
    const size_t workers = options.workers == 0 ? pool_thread_count()
                                                : std::min(options.workers, pool_thread_count());
    for (const NodeRange& batch : build_batches(n)) search_batch_parallel(batch, state, workers);
    profile.insert_seconds = seconds_since(insert_start);
    profile.distance_calcs = state.distance_calcs.load();
  }  // vectors, codebook and codes are freed here

  const Clock::time_point repair_start = Clock::now();
  profile.repair_seconds = seconds_since(repair_start);
  profile.total_seconds = seconds_since(start);
  if (n > kBuildProfileAbove && options.profile_out != nullptr) {
    write_build_profile(options.profile_out, profile);
  }
  if (options.profile != nullptr) *options.profile = profile;

  parts.layers = settle_layers(layers, n, config);
  parts.entry_point = entry;
  parts.max_level = max_level;
  return HnswGraph::restore(std::move(parts));
}

}  // namespace tessarin
