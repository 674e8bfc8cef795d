// The graph index of a collection: keeping it up to date with the stored
// records (update_index), the snapshot of the records it is checked against,
// and the one rule (index_fit) by which a graph is kept, saved or loaded.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <utility>

#include "collection/state.h"
#include "platform/platform.h"
#include "search/hnsw/build.h"
#include "search/hnsw/insert.h"
#include "search/hnsw/persist.h"

namespace tessarin {

namespace {

// Applies slot changes that committed writes recorded for the graph; drops
// the index when too many of them were dropped to be applied.
// REQUIRES: index_mu exclusively.
void apply_graph_changes(CollectionState& state, const std::vector<GraphChange>& changes,
                         bool dropped) REQUIRES(state.index_mu) {
  if (dropped) state.index.reset();
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

// Replaces the index with a new graph over `items`. A slot released since
// they were read may hold another vector by now; its change is recorded for
// the next update, which unmaps the node built from it.
// REQUIRES: index_mu exclusively.
void rebuild_index(CollectionState& state, std::span<const IndexItem> items)
    REQUIRES(state.index_mu) {
  SharedLock vectors_lock(state.vectors.mu);
  HnswGraph graph =
      build_graph(items, state.vectors.value, *state.config.hnsw_config, state.config.metric);
  state.index = std::make_unique<HnswIndex>(std::move(graph), state.config.metric);
}

IndexFit fit_of(const HnswIndex& index, std::span<const IndexItem> items,
                std::vector<IndexItem>* missing) {
  SharedLock graph_lock(index.graph.mu);
  return index_fit(index.graph.value, items, {}, missing);
}

// update_index's work once index_stale was cleared (`stale`: it was set).
// REQUIRES: index_mu exclusively.
Status update_index_locked(CollectionState& state, bool stale, IndexUpdate mode)
    REQUIRES(state.index_mu) {
  if (!state.index && !stale) {
    // The collection never had a live record (a record stored since would
    // have set index_stale). It stays without an index, and sync writes no
    // file; changes recorded meanwhile concern no graph.
    MutexLock lock(state.graph_changes_mu);
    state.graph_changes.clear();
    state.graph_changes_dropped = false;
    return OkStatus();
  }
  IndexSnapshot snap;
  Status taken = take_index_snapshot(state, /*consume=*/true, &snap);
  // Consumed changes are applied even when the scan failed: they are
  // recorded nowhere else.
  apply_graph_changes(state, snap.changes, snap.changes_dropped);
  TS_RETURN_IF_ERROR(taken);

  if (!state.index) {
    rebuild_index(state, snap.items);
  } else {
    std::vector<IndexItem> missing;
    IndexFit fit = fit_of(*state.index, snap.items, &missing);
    size_t nodes = 0;
    {
      SharedLock graph_lock(state.index->graph.mu);
      nodes = state.index->graph.value.node_count();
    }
    if (stale && fit != IndexFit::kExact) {
      if (nodes == 0 || nodes >= snap.items.size()) {
        // Nodes of records gone (deleted, replaced, expired) make up the
        // difference: a new graph drops them.
        rebuild_index(state, snap.items);
        fit = IndexFit::kExact;
      } else {
        // The graph only lags: insert the records it lacks.
        SharedLock vectors_lock(state.vectors.mu);
        insert_nodes(*state.index, missing, state.vectors.value);
        fit = fit_of(*state.index, snap.items, nullptr);
      }
    }
    // A graph saved for the next open must hold exactly the live records,
    // or that open would discard it.
    if (mode == IndexUpdate::kExact && fit != IndexFit::kExact) rebuild_index(state, snap.items);
  }
  state.index_seq = snap.committed_seq;
  return OkStatus();
}

}  // namespace

Result<std::vector<IndexItem>> live_index_items(const ReadTxn& txn, uint64_t now) {
  TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
  std::vector<IndexItem> items;
  RecordView view;
  for (;;) {
    TS_ASSIGN_OR_RETURN(const bool more, scan.next_view(&view));
    if (!more) break;
    if (is_live(view.status, view.expires_at, now)) {
      items.push_back(IndexItem{view.slot, std::string(view.id),
                                view.expires_at ? *view.expires_at : HnswGraph::kNeverExpires});
    }
  }
  return items;
}

Status take_index_snapshot(CollectionState& state, bool consume, IndexSnapshot* out) {
  std::optional<ReadTxn> txn;
  {
    // No commit is under way while commit_mu is held: the transaction sees
    // every commit so far, and each of their slot releases is recorded
    // (a commit records them before it lets commit_mu go).
    MutexLock commit_lock(state.commit_mu);
    TS_ASSIGN_OR_RETURN(txn, read_transaction(state.store));
    out->committed_seq = state.committed_seq.load();
    {
      MutexLock changes_lock(state.graph_changes_mu);
      if (consume) {
        out->changes.swap(state.graph_changes);
        out->changes_dropped = std::exchange(state.graph_changes_dropped, false);
      } else {
        out->changes = state.graph_changes;
        out->changes_dropped = state.graph_changes_dropped;
      }
    }
    MutexLock file_lock(state.index_file_mu);
    out->slot_release_commits = state.slot_release_commits;
  }
  TS_ASSIGN_OR_RETURN(out->items, live_index_items(*txn, platform::now_secs()));
  return OkStatus();
}

IndexFit index_fit(const HnswGraph& graph, std::span<const IndexItem> items,
                   std::span<const GraphChange> unapplied, std::vector<IndexItem>* missing) {
  std::unordered_set<uint64_t> released;
  for (const GraphChange& c : unapplied) released.insert(c.slot);
  bool lacks = false;
  for (const IndexItem& item : items) {
    if (graph.node_for(item.slot, item.id) && !released.contains(item.slot)) continue;
    lacks = true;
    if (missing == nullptr) break;
    missing->push_back(item);
  }
  if (lacks) return IndexFit::kLacks;
  // Each record's node is the current node of a slot of its own, so as many
  // nodes as records leaves no other node.
  return graph.node_count() == items.size() ? IndexFit::kExact : IndexFit::kCovers;
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
