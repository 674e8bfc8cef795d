// The worker pool: the one process-wide pool of threads that runs every
// parallel pass of the engine (exact scans, graph builds, quantiser training,
// parallel vector loads). The system starts no other threads.
//
// Size: the environment variable RAYON_NUM_THREADS when it holds a positive
// integer, else RAYON_RS_NUM_CPUS when it holds one, else the number of
// processors this process may run on, capped at 4096. The environment is
// read once, when the pool is first used; later changes have no effect.
//
// Ownership: the pool is a oneTBB task arena of that size plus a
// tbb::global_control capping all TBB parallelism in the process at the same
// number. Both are created on first use (thread-safe) and deliberately never
// destroyed, so no worker is torn down while static destructors run at exit.
// With a size of 1 no arena exists and, the cap allowing no TBB worker,
// every pass runs on the caller.
//
// Thread safety: every function may be called from any thread, also from
// inside a pool task (nested passes run within the same arena). A caller
// blocks until its pass is complete; it may itself take part in the work.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace tessarin {

// The number of threads of the pool (at least 1). Creates the pool.
size_t pool_thread_count();

// The size rule on explicit inputs (exposed for tests): the first of the two
// texts that is a positive decimal integer, else `processor_count` (at least 1).
// An absent variable is std::nullopt.
size_t resolve_pool_thread_count(std::optional<std::string_view> rayon_num_threads,
                                 std::optional<std::string_view> rayon_rs_num_cpus,
                                 size_t processor_count);

namespace pool_detail {
// The pool's arena, or nullptr when the pool has one thread. Creates the pool.
tbb::task_arena* arena();
}  // namespace pool_detail

// Runs fn() inside the pool and returns its result; TBB algorithms that fn
// starts use the pool's threads. With a one-thread pool fn runs directly.
template <typename Fn>
decltype(auto) run_in_pool(Fn&& fn) {
  tbb::task_arena* arena = pool_detail::arena();
  if (arena == nullptr) return std::forward<Fn>(fn)();
  // Isolated: while this caller waits for its own tasks it never picks up a
  // task of another caller's parallel region. Callers hold collection locks
  // across parallel work, and a stolen task that blocks on one of them (or
  // that keeps this thread busy while a writer queues up) could deadlock.
  return arena->execute([&]() -> decltype(auto) {
    return tbb::this_task_arena::isolate(std::forward<Fn>(fn));
  });
}

// Calls fn(begin, end) over disjoint ranges covering [0, n), in parallel on
// the pool. Every range except possibly the last holds exactly `chunk`
// indices (chunk >= 1), so the split depends only on n and chunk, never on
// the thread count or timing. Ranges may run in any order; fn must only
// write state of its own range. Runs on the caller when n <= chunk.
template <typename Fn>
void parallel_for_chunks(size_t n, size_t chunk, Fn&& fn) {
  if (chunk == 0) chunk = 1;
  if (n <= chunk || pool_detail::arena() == nullptr) {
    for (size_t begin = 0; begin < n; begin += chunk) fn(begin, std::min(n, begin + chunk));
    return;
  }
  const size_t chunks = (n + chunk - 1) / chunk;
  run_in_pool([&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, chunks, 1),
        [&](const tbb::blocked_range<size_t>& r) {
          for (size_t c = r.begin(); c != r.end(); ++c) {
            fn(c * chunk, std::min(n, (c + 1) * chunk));
          }
        },
        tbb::simple_partitioner());
  });
}

}  // namespace tessarin
