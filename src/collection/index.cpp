// The graph-index side of a collection. Collections cannot hold a graph
// index yet (the exact road answers every search), so bringing the index up
// to date has nothing to do.
#include "collection/state.h"

namespace tessarin {

Status update_index(CollectionState& state) {
  (void)state;
  return OkStatus();
}

}  // namespace tessarin
