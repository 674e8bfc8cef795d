// NeighborLists: the neighbour lists of all nodes on one layer of the graph
// index, laid out for the query walk.
//
// Layout. Lists live in fixed-size blocks inside one flat u32 array:
//   block b = words_[b * stride_ .. (b + 1) * stride_), stride_ = 1 + capacity_
//   word 0        the list's length n
//   words 1..n    the node indices in list order, when n <= capacity_
// A list longer than capacity_ keeps its whole content (still in order) in
// the block's spill vector spill_[b]; word 0 still holds n. Lists only exceed
// the capacity when loaded from a file or written by a build that does not
// prune back-links, so the spill path is the exception.
//
// Dense and sparse layers. Layer 0 is dense: every node has a block and
// node i's block is block i, so a walk reads a list with one address
// computation and one cache miss. Upper layers are sparse: block_of_[i] names
// node i's block or is kNoBlock, an empty list that costs 4 bytes. A block is
// made for a node when it first gets a list there (add_node makes them for
// the layers up to the node's own level).
//
// Ownership: the graph owns one NeighborLists per layer. list() views point
// into this object and stay valid until the next change of this layer.
//
// Thread safety: none inside; the graph's lock decides (shared for list(),
// exclusive for changes). One exception serves a parallel build: assign()
// and append() on a node that already has a block (has_block) touch only
// that node's block and spill vector, so different nodes' lists may be
// changed at once by threads holding a lock per node; they need exclusive
// access to the layer only when they make a block (sparse layer, no block
// yet), as do add_lists() and allocate().
//
// Invariants: node_count() lists, one per node of the graph; every entry is
// a node index below the graph's node count (the graph and the loader keep
// that; this class does not know the graph).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace tessarin {

class NeighborLists {
 public:
  // Largest block capacity chosen from a configuration or from loaded data:
  // a configured cap of 2^63 must not make every block that large.
  static constexpr uint32_t kMaxInlineCapacity = 128;

  // `node_count` empty lists with room for `capacity` indices per block. A
  // dense layer makes every block now; a sparse one makes none.
  // REQUIRES: capacity <= kMaxInlineCapacity.
  NeighborLists(uint32_t capacity, bool dense, size_t node_count = 0);

  NeighborLists(NeighborLists&&) noexcept = default;
  NeighborLists& operator=(NeighborLists&&) noexcept = default;

  size_t node_count() const { return dense_ ? blocks() : block_of_.size(); }
  uint32_t capacity() const { return capacity_; }
  bool dense() const { return dense_; }

  // Node `node`'s list, in order. REQUIRES: node < node_count().
  std::span<const uint32_t> list(uint32_t node) const {
    size_t b = node;
    if (!dense_) {
      b = block_of_[node];
      if (b == kNoBlock) return {};
    }
    const uint32_t* block = words_.data() + b * stride_;
    const uint32_t n = block[0];
    if (n <= capacity_) return {block + 1, n};
    return {spill_[b]->data(), n};
  }

  bool has_block(uint32_t node) const { return dense_ || block_of_[node] != kNoBlock; }

  // Replaces node's list by `ids` (which must not view this layer).
  // REQUIRES: node < node_count(); ids.size() < 2^32.
  void assign(uint32_t node, std::span<const uint32_t> ids);

  // Appends `id` to node's list. REQUIRES: node < node_count().
  void append(uint32_t node, uint32_t id);

  // Adds `count` empty lists for the nodes that follow; on a dense layer
  // they get blocks at once.
  void add_lists(size_t count);

  // Gives node a block if it has none (its list stays as it is, empty).
  void allocate(uint32_t node);

 private:
  static constexpr size_t kNoBlock = std::numeric_limits<uint32_t>::max();

  size_t blocks() const { return spill_.size(); }
  // The block of node, made if it has none.
  size_t block_for_write(uint32_t node);
  size_t new_block();

  uint32_t capacity_ = 0;  // node indices held inside a block
  size_t stride_ = 1;      // u32 words per block: 1 + capacity_
  bool dense_ = false;     // block i is node i's (layer 0)
  std::vector<uint32_t> block_of_;  // sparse only: per node its block, or kNoBlock
  std::vector<uint32_t> words_;     // blocks() * stride_ words
  // Per block: the list when it is longer than capacity_, else null.
  std::vector<std::unique_ptr<std::vector<uint32_t>>> spill_;
};

// Chooses a layer's block capacity from the lengths of the lists it will
// hold: enough for 99% of the lists counted, so that most walks never follow
// a spill, and at least a floor (what the configuration's own lists need),
// at most NeighborLists::kMaxInlineCapacity. Used where a whole layer is
// made at once (a loaded file, a finished build).
class ListLengthHistogram {
 public:
  void add(size_t length) {
    ++counts_[std::min<size_t>(length, NeighborLists::kMaxInlineCapacity + 1)];
    ++lists_;
  }
  uint32_t capacity(uint32_t floor) const;

 private:
  // [kMaxInlineCapacity + 1] counts every longer list.
  std::array<uint64_t, NeighborLists::kMaxInlineCapacity + 2> counts_{};
  uint64_t lists_ = 0;
};

}  // namespace tessarin
