#include "sync/pool.h"

#include <sched.h>
#include <tbb/global_control.h>

#include <charconv>
#include <cstdlib>
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
  tbb::task_arena* arena = nullptr;
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
    // With one thread TBB may start no worker either, so a TBB algorithm
    // that a pass starts outside the arena (a task_group run directly on the
    // caller) runs on the caller too.
    p->control = new tbb::global_control(tbb::global_control::max_allowed_parallelism,
                                         p->threads);
    if (p->threads > 1) {
      p->arena = new tbb::task_arena(static_cast<int>(p->threads));
      p->arena->initialize();
    }
    return p;
  }();
  return *instance;
}

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
tbb::task_arena* arena() { return pool().arena; }
}  // namespace pool_detail

}  // namespace tessarin
