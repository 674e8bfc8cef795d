// The worker pool: the one process-wide pool of threads that runs every
// parallel pass of the engine (exact scans, graph builds, quantiser training,
// parallel vector loads). The system starts no other threads.
//
// Size: the environment variable RAYON_NUM_THREADS when it holds a positive
// integer, else RAYON_RS_NUM_CPUS when it holds one, else the number of
// processors this process may run on, capped at 4096. The environment is
// read once, when the pool is first used; later changes have no effect.
//
// Ownership: the pool's threads are oneTBB's workers, capped by a
// tbb::global_control at size - 1 (created on first use, deliberately never
// destroyed, so no worker is torn down while static destructors run at
// exit). Each thread that starts a pass from outside the pool gets a oneTBB
// task arena of its own, of the pool's size, created on its first pass and
// destroyed when the thread exits; the workers move between these arenas
// as the passes ask for them. With a size of 1 no arena exists and, with no
// workers allowed, every pass runs on the caller.
//
// Why one arena per calling thread: an arena holds only the tasks of the one
// call its owner is making, so a thread that waits inside it (the caller,
// or a worker in a nested pass) can only pick up tasks of that call. Callers
// hold collection locks across their passes (a search holds the vector and
// mirror locks shared), so a waiting thread that ran another call's work
// could block on a lock it holds itself. A shared arena cannot promise this:
// a caller that finds its slots taken has its functor queued as a task that
// any thread of the arena may run, including another caller waiting there
// with its locks held.
//
// Thread safety: every function may be called from any thread, also from
// inside a pool task (a nested pass runs in the arena its thread is working
// in, isolated, so its waits only pick up the nested pass's own tasks). A
// caller blocks until its pass is complete, and takes part in the work.
//
// Invariant: the functor given to run_in_pool runs on the thread that called
// it; only the tasks that the functor itself starts run on workers.
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
// True when the pool has one thread: every pass runs on its caller. Creates
// the pool.
bool single_threaded();
// True while the calling thread is inside a pool arena: a caller within its
// own pass, or a worker that joined some caller's arena.
bool inside_pool();
// The calling thread's own arena, created on first use.
// REQUIRES: !single_threaded().
tbb::task_arena& own_arena();
// Marks the calling thread as inside its own arena for the guard's life.
class InsidePool {
 public:
  InsidePool();
  ~InsidePool();
  InsidePool(const InsidePool&) = delete;
  InsidePool& operator=(const InsidePool&) = delete;

 private:
  bool was_inside_;
};
}  // namespace pool_detail

// Runs fn() on the calling thread inside the pool and returns its result;
// TBB algorithms that fn starts use the pool's threads. With a one-thread
// pool fn runs directly.
template <typename Fn>
decltype(auto) run_in_pool(Fn&& fn) {
  if (pool_detail::single_threaded()) return std::forward<Fn>(fn)();
  // Isolated: while this thread waits for the pass's tasks it never picks up
  // a task of an enclosing pass (nested passes run in the arena the thread
  // is already in), which may take locks this pass's caller holds.
  if (pool_detail::inside_pool()) return tbb::this_task_arena::isolate(std::forward<Fn>(fn));
  // The thread's own arena always has its reserved slot free for it (no
  // other thread enters it from outside), so execute() runs fn here and
  // never hands it to the arena as a task.
  return pool_detail::own_arena().execute([&]() -> decltype(auto) {
    pool_detail::InsidePool inside;
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
  if (n <= chunk || pool_detail::single_threaded()) {
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
