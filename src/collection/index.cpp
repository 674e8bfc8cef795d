// The graph index of a collection: keeping it up to date with the stored
// records (update_index), the live items it is built from, and the checks
// that decide whether "hnsw.index" may be used as it is at open.
#include <algorithm>
#include <filesystem>
#include <utility>

#include "collection/state.h"
#include "platform/platform.h"
#include "search/hnsw/build.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"

namespace tessarin {

namespace {

// Applies the slot changes that committed writes recorded for the graph;
// drops the index when too many of them were dropped to be applied.
// REQUIRES: index_mu exclusively.
void apply_graph_changes(CollectionState& state) REQUIRES(state.index_mu) {
  std::vector<GraphChange> changes;
  {
    MutexLock lock(state.graph_changes_mu);
    changes.swap(state.graph_changes);
    if (std::exchange(state.graph_changes_dropped, false)) state.index.reset();
  }
  if (!state.index || changes.empty()) return;
  HnswIndex& index = *state.index;
  {
    ExclusiveLock deleted_lock(index.deleted.mu);
    for (const GraphChange& c : changes) {
      if (c.deleted) index.deleted.value.insert(c.slot);
    }
  }
  ExclusiveLock graph_lock(index.graph.mu);
  for (const GraphChange& c : changes) index.graph.value.unmap_slot(c.slot);
}

// Replaces the index with a new graph over every live record, read again
// under the vector lock that the build holds throughout.
// REQUIRES: index_mu exclusively.
Status rebuild_index(CollectionState& state) REQUIRES(state.index_mu) {
  SharedLock vectors_lock(state.vectors.mu);
  TS_ASSIGN_OR_RETURN(std::vector<IndexItem> items, live_index_items(state.store));
  HnswGraph graph =
      build_graph(items, state.vectors.value, *state.config.hnsw_config, state.config.metric);
  state.index = std::make_unique<HnswIndex>(std::move(graph), state.config.metric);
  return OkStatus();
}

// update_index's work once index_stale was cleared (`stale`: it was set).
// REQUIRES: index_mu exclusively.
Status update_index_locked(CollectionState& state, bool stale, IndexUpdate mode)
    REQUIRES(state.index_mu) {
  apply_graph_changes(state);
  // No index and nothing stale: the collection never had a live record (a
  // record stored since would have set index_stale). It stays without an
  // index, and sync writes no file.
  if (!state.index && !stale) return OkStatus();
  TS_ASSIGN_OR_RETURN(std::vector<IndexItem> items, live_index_items(state.store));
  if (!state.index) return rebuild_index(state);
  {
    SharedLock graph_lock(state.index->graph.mu);
    const size_t nodes = state.index->graph.value.node_count();
    if (stale && (nodes == 0 || nodes >= items.size())) {
      // A commit sets the flag after it committed, so an update that already
      // read its records can find the flag set again with nothing to do: a
      // graph that holds exactly the live records is kept, not rebuilt (and
      // is what kExact asks for).
      if (nodes > 0 && nodes == items.size() &&
          index_matches_items(state.index->graph.value, std::move(items))) {
        return OkStatus();
      }
      graph_lock.unlock();
      return rebuild_index(state);
    }
  }
  if (stale) {
    // The graph only lags: insert the records it lacks.
    const std::vector<IndexItem> missing = retain_unindexed_records(*state.index, items);
    if (!missing.empty()) {
      SharedLock vectors_lock(state.vectors.mu);
      insert_nodes(*state.index, missing, state.vectors.value);
    }
  }
  if (mode == IndexUpdate::kExact) {
    // Nodes of deleted, replaced or expired records stay in a graph that is
    // only added to; a graph saved for the next open must hold exactly the
    // live records, or that open would discard it.
    SharedLock graph_lock(state.index->graph.mu);
    if (!index_matches_items(state.index->graph.value, std::move(items))) {
      graph_lock.unlock();
      return rebuild_index(state);
    }
  }
  return OkStatus();
}

}  // namespace

Result<std::vector<IndexItem>> live_index_items(const Store& store) {
  TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(store));
  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  const uint64_t now = platform::now_secs();
  std::vector<IndexItem> items;
  RecordView view;
  for (;;) {
    TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
    if (!more) break;
    if (is_live(view.status, view.expires_at, now)) {
      items.push_back(IndexItem{view.slot, std::string(view.id)});
    }
  }
  return items;
}

bool index_matches_items(const HnswGraph& graph, std::vector<IndexItem> items) {
  if (graph.node_count() != items.size()) return false;
  std::vector<IndexItem> nodes;
  nodes.reserve(graph.node_count());
  for (uint32_t i = 0; i < graph.node_count(); ++i) {
    nodes.push_back(IndexItem{graph.node_slot(i), graph.node_id(i)});
  }
  auto by_slot = [](const IndexItem& a, const IndexItem& b) {
    return a.slot != b.slot ? a.slot < b.slot : a.id < b.id;
  };
  std::sort(nodes.begin(), nodes.end(), by_slot);
  std::sort(items.begin(), items.end(), by_slot);
  return nodes == items;
}

std::string index_file_path(const CollectionState& state) {
  return (std::filesystem::path(state.dir) / kIndexFileName).string();
}

Status update_index(CollectionState& state, IndexUpdate mode) {
  if (!state.config.hnsw_config) return OkStatus();
  if (mode == IndexUpdate::kIfStale && !state.index_stale.load()) return OkStatus();
  ExclusiveLock index_lock(state.index_mu);
  const bool stale = state.index_stale.exchange(false);
  if (mode == IndexUpdate::kIfStale && !stale) return OkStatus();
  Status status = update_index_locked(state, stale, mode);
  if (!status.ok()) state.index_stale.store(true);
  return status;
}

}  // namespace tessarin
