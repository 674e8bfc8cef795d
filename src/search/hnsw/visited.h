// VisitedSet: the set of node indices a graph walk has already reached.
//
// A generation-stamped array instead of a hash set: marks_[i] == generation_
// means node i is in the set. begin() starts an empty set in O(1) by moving
// to the next generation (the array is zeroed only when the 16-bit
// generation wraps, once per 65535 walks) and grows the array to the graph's
// node count; insert() is one load and one store. Memory: 2 bytes per node
// of the largest graph walked.
//
// Ownership and thread safety: a VisitedSet belongs to one thread. Graph
// walks use the calling thread's own set (thread_visited_set), so any number
// of threads may walk the same graph at once; one thread runs one walk at a
// time (a walk must not start another walk on the same thread while its set
// is in use).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessarin {

class VisitedSet {
 public:
  // Empties the set and makes room for node indices below `node_count`.
  void begin(size_t node_count) {
    if (marks_.size() < node_count) marks_.resize(node_count, 0);
    if (++generation_ == 0) {
      std::fill(marks_.begin(), marks_.end(), uint16_t{0});
      generation_ = 1;
    }
  }

  // Adds `node`; true when it was not in the set yet.
  // REQUIRES: node < the node_count of the last begin().
  bool insert(uint32_t node) {
    if (marks_[node] == generation_) return false;
    marks_[node] = generation_;
    return true;
  }

  bool contains(uint32_t node) const { return marks_[node] == generation_; }

  // insert() of every node of `nodes` in order; the nodes that were not in
  // the set are written to `fresh` in that order and counted in the return
  // value. Branch-free: long lists whose entries are half visited would
  // mispredict a branch per entry.
  // REQUIRES: fresh holds nodes.size() values; every node below the
  // node_count of the last begin().
  size_t insert_all(std::span<const uint32_t> nodes, uint32_t* fresh) {
    size_t count = 0;
    uint16_t* marks = marks_.data();
    const uint16_t generation = generation_;
    for (const uint32_t node : nodes) {
      fresh[count] = node;
      count += marks[node] != generation;
      marks[node] = generation;
    }
    return count;
  }

 private:
  std::vector<uint16_t> marks_;  // per node: the generation that last marked it
  uint16_t generation_ = 0;      // the current set's stamp; 0 is never a live stamp
};

// The calling thread's set, kept for the thread's lifetime.
inline VisitedSet& thread_visited_set() {
  thread_local VisitedSet set;
  return set;
}

}  // namespace tessarin
