#include "sync/pool.h"

#include <sched.h>
#include <tbb/global_control.h>
#include <tbb/task_scheduler_observer.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <thread>

namespace tessarin {

namespace {

std::optional<size_t> positive_integer(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits = *text;
  if (digits.front() == '+') digits.remove_prefix(1);
  size_t value = 0;
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec != std::errc() || ptr != end || value == 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string_view> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

size_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  return std::thread::hardware_concurrency();
}

struct Pool {
  size_t threads = 1;
  tbb::global_control* control = nullptr;
};

const Pool& pool() {
  // Created once, never destroyed (see the header).
  static const Pool* instance = [] {
    auto* p = new Pool;
    // An absurd request is capped rather than refused: the pool must exist.
    constexpr size_t kMaxThreads = 4096;
    p->threads = std::min(kMaxThreads, resolve_pool_thread_count(env("RAYON_NUM_THREADS"),
                                                                 env("RAYON_RS_NUM_CPUS"),
                                                                 processor_count()));
    // Caps the workers of all arenas together at threads - 1. With one
    // thread there are none, so a TBB algorithm that a pass starts without
    // an arena of ours (a task_group run directly on the caller) runs on the
    // caller too.
    p->control = new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                         p->threads);
    return p;
  }();
  return *instance;
}

// Set while this thread runs a pass in its own arena (InsidePool).
thread_local bool t_caller_inside = false;
// Set while this thread, a worker, is in one of the callers' arenas.
thread_local bool t_worker_inside = false;

// Tells a worker that it entered or left a caller's arena, so that a pass
// started inside a task runs in that arena. Soundness does not rest on it: a
// worker that missed its entry would run such a pass in an arena of its own
// (as safe, only less parallel), and one that missed its exit (the arena's
// owner exited first) runs no engine code until it enters another arena,
// which sets the flag again.
class WorkerMarker final : public tbb::task_scheduler_observer {
 public:
  explicit WorkerMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    observe(true);
  }
  ~WorkerMarker() override { observe(false); }
  void on_scheduler_entry(bool is_worker) override {
    if (is_worker) t_worker_inside = true;
  }
  void on_scheduler_exit(bool is_worker) override {
    if (is_worker) t_worker_inside = false;
  }
};

// A calling thread's arena: the pool's size, one slot reserved for the
// owner (the default), which no worker may take. The marker is declared
// last so it stops observing before the arena goes.
struct OwnArena {
  tbb::task_arena arena;
  std::unique_ptr<WorkerMarker> marker;

  explicit OwnArena(size_t threads) : arena(static_cast<int>(threads)) {
    arena.initialize();
    marker = std::make_unique<WorkerMarker>(arena);
  }
};

}  // namespace

size_t resolve_pool_thread_count(std::optional<std::string_view> rayon_num_threads,
                                 std::optional<std::string_view> rayon_rs_num_cpus,
                                 size_t processors) {
  if (auto n = positive_integer(rayon_num_threads)) return *n;
  if (auto n = positive_integer(rayon_rs_num_cpus)) return *n;
  return processors > 0 ? processors : 1;
}

size_t pool_thread_count() { return pool().threads; }

namespace pool_detail {

bool single_threaded() { return pool().threads <= 1; }

bool inside_pool() { return t_caller_inside || t_worker_inside; }

tbb::task_arena& own_arena() {
  // Destroyed when the thread exits; no pass of the thread is running then.
  thread_local std::unique_ptr<OwnArena> own;
  if (own == nullptr) own = std::make_unique<OwnArena>(pool().threads);
  return own->arena;
}

InsidePool::InsidePool() : was_inside_(t_caller_inside) { t_caller_inside = true; }
InsidePool::~InsidePool() { t_caller_inside = was_inside_; }

}  // namespace pool_detail

}  // namespace tessarin
