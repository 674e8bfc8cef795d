// store_fuzz: damages the store files of a collection, then uses the
// collection, and counts how each case ends. Every call must return an error
// value or a result; a signal (SIGSEGV, SIGBUS, an abort) or a call that
// never returns is a failure of the engine or of the store under it.
//
//   store_fuzz [--cases N] [--seed S] [--jobs J] [--timeout SECONDS]
//              [--work DIR] [--keep] [--list N]
//   store_fuzz --replay CASE_SEED [--work DIR]
//
// A run makes one database once (in a child process): collection "c" of
// dimension 8 with 2 000 records added by add_batch and single adds, some
// deleted, some upserted, synced, closed and reopened once more for a few
// writes. Case i of
// the run has the seed case_seed(S, i); it
//   1. copies the database to a working directory of its own (under --work,
//      by default a fresh directory in /dev/shm);
//   2. applies 1 to 3 mutations to the files of a store: the collection's
//      "meta.redb" (the data file and "meta.redb-lock" beside it), once in
//      eight the registry's.
//      A mutation truncates a file at a random length, flips random bits,
//      zeroes a 4 KiB-aligned page, writes random bytes over a range, or
//      deletes the file;
//   3. opens the database and the collection (the collection directly when
//      the registry cannot give it), then: get of some ids, exact search
//      without and with a filter, live_record_count, compact_collection,
//      single adds, a batch add, an upsert, a delete, sync, export; closes;
//      opens the collection again and counts, gets and searches.
// Results are not checked: a damaged store may show damaged data. Errors are
// counted per call.
//
// Every case runs in a child forked from a parent that never touches the
// engine: a crash or a hang ends that child only, and each case starts with
// the process-wide state of a fresh process. The child writes its case seed and the call it is in to
// memory shared with the parent before every step. A child that has not
// finished after --timeout seconds gets SIGALRM on its main thread (its
// handler prints a backtrace and exits with kHangExit), then SIGKILL five
// seconds later; either is a hang. A child killed by a signal is a crash.
// Crashes and hangs are grouped into kinds by the signal and, from the
// child's standard error, the failed assertion or the stack frames its
// handler printed (up to the first named one); each kind lists the calls it
// happened in and the first case's seed and mutations.
//
// --replay runs one case (by its case seed, as printed) in this process,
// after making the database in a child, and prints every call's outcome;
// the damaged copy stays in DIR/replay for inspection. The mutations are
// drawn from the case seed and the files' names and lengths, so a replay
// repeats them as long as the database made for it has the same files; the
// files' bytes differ only in timestamps.
//
// Children limit their address space (4 GiB), file size (1 GiB, SIGXFSZ
// ignored so the write fails instead) and core dumps (none), and run the
// engine without its worker pool (RAYON_NUM_THREADS=1 unless set).
#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/state.h"
#include "database.h"
#include "json/value.h"

namespace fs = std::filesystem;

namespace {

using namespace tessarin;

constexpr uint64_t kDim = 8;
constexpr int kBatchRecords = 1000;
constexpr int kSingleRecords = 1000;
constexpr int kLateRecords = 50;  // added after the reopen
constexpr int kIdRange = kBatchRecords + kSingleRecords + kLateRecords;
constexpr const char* kCollection = "c";
constexpr uint64_t kBaseSeed = 0x7e55a21;  // the records of every run's database
constexpr int kHangExit = 86;              // a child's exit after its timeout
constexpr int kPage = 4096;


// ---- The calls a case makes, as named in reports ----

enum Stage : uint32_t {
  kIdle,
  kCopy,
  kMutate,
  kOpenDatabase,
  kCollections,
  kGetCollection,
  kOpenCollection,
  kGet,
  kSearch,
  kSearchFilter,
  kCount,
  kCompact,
  kAdd,
  kAddBatch,
  kUpsert,
  kDelete,
  kSync,
  kExport,
  kClose,
  kReopen,
  kReopenCount,
  kReopenGet,
  kReopenSearch,
  kReopenClose,
  kDone,
  kStageCount,
};

constexpr std::array<const char*, kStageCount> kStageNames = {
    "idle",          "copy",          "mutate",            "open_database",
    "collections",   "get_collection", "open_collection",  "get",
    "search",        "search_filter", "live_record_count", "compact_collection",
    "add",           "add_batch",     "upsert",            "delete",
    "sync",          "export",        "close",             "reopen",
    "reopen_count",  "reopen_get",    "reopen_search",     "reopen_close",
    "done",
};

// What a child reports to the parent, in memory they share (one per job).
struct CaseReport {
  static constexpr size_t kMessageBytes = 160;
  static constexpr size_t kMutationBytes = 512;

  volatile uint64_t seed;
  volatile uint32_t stage;
  uint32_t calls;
  uint32_t errors;      // calls that returned an error value
  uint32_t exceptions;  // calls that threw (the binding would raise, e.g. MemoryError)
  uint32_t error_stages;  // bit s: a call of stage s failed
  uint32_t opened;        // the collection opened, by the registry or directly
  char messages[kStageCount][kMessageBytes];  // the first error text per stage
  char mutations[kMutationBytes];             // what the case damaged
};

CaseReport* g_report = nullptr;  // the child's (or the replay's) report
bool g_verbose = false;          // --replay prints every call
std::chrono::steady_clock::time_point g_last_call;  // when the last call ended (--replay)

void set_stage(Stage s) { g_report->stage = s; }

void copy_text(char* to, size_t capacity, const std::string& text) {
  const size_t n = std::min(capacity - 1, text.size());
  std::memcpy(to, text.data(), n);
  to[n] = '\0';
}

// --replay: one line per step, with the time since the previous one.
void print_step(Stage s, const std::string& outcome) {
  const auto now = std::chrono::steady_clock::now();
  std::printf("  %-18s %8.2f ms  %s\n", kStageNames[s],
              std::chrono::duration<double, std::milli>(now - g_last_call).count(), outcome.c_str());
  g_last_call = now;
}

// Counts one call's outcome; true when it succeeded.
bool note(Stage s, const DbError* error) {
  ++g_report->calls;
  if (g_verbose) print_step(s, error ? error->message() : "ok");
  if (!error) return true;
  ++g_report->errors;
  if (!(g_report->error_stages & (1u << s))) {
    g_report->error_stages |= 1u << s;
    copy_text(g_report->messages[s], CaseReport::kMessageBytes, error->message());
  }
  return false;
}

template <typename R>
bool note(Stage s, const R& r) {
  return note(s, r.ok() ? nullptr : &r.error());
}

// Runs one call at stage s; an exception is counted and treated as an error.
template <typename F>
bool call(Stage s, F&& f) {
  set_stage(s);
  try {
    return f();
  } catch (const std::exception& e) {
    ++g_report->exceptions;
    const DbError as_error = DbError::InvalidInput(std::string("exception: ") + e.what());
    return note(s, &as_error);
  }
}

// ---- Random choices ----

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint64_t case_seed(uint64_t run_seed, uint64_t index) {
  return splitmix64(splitmix64(run_seed) ^ index);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() { return state_ = splitmix64(state_); }
  // Uniform in [0, n); n > 0.
  uint64_t below(uint64_t n) { return next() % n; }
  bool one_in(uint64_t n) { return below(n) == 0; }
  float unit() { return static_cast<float>(next() >> 40) / static_cast<float>(1ull << 24); }
  std::vector<float> vector() {
    std::vector<float> v(kDim);
    for (float& x : v) x = unit() * 2.0f - 1.0f;
    return v;
  }

 private:
  uint64_t state_;
};

std::string id_of(uint64_t i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "r%04" PRIu64, i);
  return buf;
}

json::Value metadata_of(uint64_t i) {
  json::Object o;
  o.insert_or_assign("tag", json::Value(std::string(1, static_cast<char>('a' + i % 3))));
  o.insert_or_assign("n", json::Value(i));
  return json::Value(std::move(o));
}

// ---- The database every case starts from ----

std::string database_dir(const fs::path& root) { return (root / "db").string(); }

// Fails loudly: the database must be made without a single error.
template <typename R>
void must(const R& r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "store_fuzz: making the database: %s: %s\n", what,
                 r.error().message().c_str());
    std::_Exit(1);
  }
}

void make_database(const fs::path& root) {
  Rng rng(kBaseSeed);
  const std::string dir = database_dir(root);
  {
    auto db = open_database(dir);
    must(db, "open_database");
    auto state = collection(**db, kCollection, kDim, Metric::kCosine);
    must(state, "collection");
    CollectionState& c = **state;

    BatchVectors batch;
    std::vector<json::Value> metadatas;
    std::vector<std::string> ids;
    for (uint64_t i = 0; i < kBatchRecords; ++i) {
      batch.rows.push_back(rng.vector());
      metadatas.push_back(metadata_of(i));
      ids.push_back(id_of(i));
    }
    must(add_batch_impl(c, batch, std::move(metadatas), std::move(ids), std::nullopt),
         "add_batch");
    for (uint64_t i = kBatchRecords; i < kBatchRecords + kSingleRecords; ++i) {
      must(add_record(c, rng.vector(), metadata_of(i), id_of(i), std::nullopt), "add");
    }
    must(sync_collection(c), "sync");
    for (uint64_t i = 0; i < kBatchRecords + kSingleRecords; i += 7) {
      must(delete_by_id(c, id_of(i)), "delete");
    }
    for (uint64_t i = 3; i < kBatchRecords + kSingleRecords; i += 11) {
      must(upsert_record(c, id_of(i), rng.vector(), metadata_of(i + 1), std::nullopt), "upsert");
    }
    must(sync_collection(c), "sync");
  }
  auto db = open_database(dir);
  must(db, "open_database again");
  auto state = get_collection(**db, kCollection);
  must(state, "get_collection");
  for (uint64_t i = kBatchRecords + kSingleRecords; i < kIdRange; ++i) {
    must(add_record(**state, rng.vector(), metadata_of(i), id_of(i), std::nullopt), "add");
  }
  must(delete_by_id(**state, id_of(1)), "delete");
  must(upsert_record(**state, id_of(2), rng.vector(), metadata_of(5), std::nullopt), "upsert");
  must(sync_all(**db), "sync_all");
}

// ---- Mutations ----

// The files of the store at `store` (the data file and its "-lock" beside
// it), in name order.
std::vector<fs::path> store_files(const fs::path& store) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const fs::path& p : {store, fs::path(store.string() + "-lock")}) {
    if (fs::is_regular_file(p, ec)) files.push_back(p);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Writes `bytes` at `at`, never past the file's end.
void overwrite(const fs::path& file, uint64_t at, const std::string& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY);
  if (fd < 0) return;
  (void)!::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
  ::close(fd);
}

std::string read_bytes(const fs::path& file, uint64_t at, size_t n) {
  std::string bytes(n, '\0');
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) return bytes;
  const ssize_t got = ::pread(fd, bytes.data(), n, static_cast<off_t>(at));
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// A position in a file of `size` bytes: half the time near the start of a
// page (where LMDB keeps its page headers), else anywhere.
uint64_t position(Rng& rng, uint64_t size) {
  if (rng.one_in(2)) {
    const uint64_t page = rng.below((size + kPage - 1) / kPage) * kPage;
    return std::min(size - 1, page + rng.below(64));
  }
  return rng.below(size);
}

// Applies one mutation to one file of `store`; returns what it did, naming
// the file by its path below `db_dir`.
std::string mutate(Rng& rng, const fs::path& store, const fs::path& db_dir) {
  const std::vector<fs::path> files = store_files(store);
  if (files.empty()) return "no file left";
  const fs::path& file = files[rng.below(files.size())];
  std::error_code ec;
  const uint64_t size = fs::file_size(file, ec);
  const std::string name = file.lexically_relative(db_dir).string();
  char text[160];
  const uint64_t kind = rng.below(5);
  if (kind == 4 || (size == 0 && kind != 0)) {
    fs::remove(file, ec);
    return "delete " + name;
  }
  switch (kind) {
    case 0: {
      const uint64_t to = size == 0 ? 0 : rng.below(size);
      fs::resize_file(file, to, ec);
      std::snprintf(text, sizeof text, "truncate %s %" PRIu64 "->%" PRIu64, name.c_str(), size, to);
      return text;
    }
    case 1: {
      const uint64_t flips = 1 + rng.below(8);
      std::string where;
      for (uint64_t i = 0; i < flips; ++i) {
        const uint64_t at = position(rng, size);
        const int bit = static_cast<int>(rng.below(8));
        std::string b = read_bytes(file, at, 1);
        if (b.empty()) continue;
        b[0] = static_cast<char>(b[0] ^ (1 << bit));
        overwrite(file, at, b);
        where += (where.empty() ? "" : ",") + std::to_string(at) + "." + std::to_string(bit);
      }
      return "flip " + name + " @" + where;
    }
    case 2: {
      const uint64_t page = rng.below((size + kPage - 1) / kPage);
      const uint64_t at = page * kPage;
      overwrite(file, at, std::string(std::min<uint64_t>(kPage, size - at), '\0'));
      std::snprintf(text, sizeof text, "zero %s page %" PRIu64, name.c_str(), page);
      return text;
    }
    default: {
      const uint64_t at = position(rng, size);
      const uint64_t length = std::min<uint64_t>(size - at, 1 + rng.below(rng.one_in(2) ? 64 : 4096));
      std::string bytes(length, '\0');
      for (char& c : bytes) c = static_cast<char>(rng.next());
      overwrite(file, at, bytes);
      std::snprintf(text, sizeof text, "random %s @%" PRIu64 "+%" PRIu64, name.c_str(), at, length);
      return text;
    }
  }
}

// ---- One case ----

CollectionConfig collection_config_of_base() {
  CollectionConfig config;
  config.name = kCollection;
  config.dimensions = kDim;
  config.metric = Metric::kCosine;
  return config;
}

std::optional<std::vector<FilterCondition>> random_filter(Rng& rng) {
  json::Object where;
  if (rng.one_in(2)) {
    where.insert_or_assign("tag", json::Value("a"));
  } else {
    json::Object range;
    range.insert_or_assign("$gte", json::Value(rng.below(kIdRange)));
    where.insert_or_assign("n", json::Value(std::move(range)));
  }
  return parse_filter(json::Value(std::move(where)));
}

// Gets, searches, counts, compacts, writes, syncs and exports.
void use_collection(Rng& rng, CollectionState& c, const fs::path& work) {
  for (int i = 0; i < 12; ++i) {
    const std::string id = rng.one_in(6) ? "missing-" + std::to_string(i) : id_of(rng.below(kIdRange));
    call(kGet, [&] { return note(kGet, get_by_id(c, id)); });
  }
  const std::optional<std::vector<FilterCondition>> none;
  const std::vector<float> query = rng.vector();
  const uint64_t ks[] = {1, 10, 100};
  call(kSearch, [&] { return note(kSearch, search_collection(c, query, ks[rng.below(3)], none)); });
  const auto filter = random_filter(rng);
  call(kSearchFilter,
       [&] { return note(kSearchFilter, search_collection(c, query, ks[rng.below(3)], filter)); });
  call(kCount, [&] { return note(kCount, live_record_count(c)); });
  call(kCompact, [&] { return note(kCompact, compact_collection(c)); });
  for (int i = 0; i < 3; ++i) {
    const std::string id = "new-" + std::to_string(i);
    call(kAdd, [&] {
      return note(kAdd, add_record(c, rng.vector(), metadata_of(kIdRange + i), id, std::nullopt));
    });
  }
  call(kAddBatch, [&] {
    BatchVectors batch;
    std::vector<json::Value> metadatas;
    for (int i = 0; i < 4; ++i) {
      batch.rows.push_back(rng.vector());
      metadatas.push_back(metadata_of(kIdRange + 3 + i));
    }
    return note(kAddBatch, add_batch_impl(c, batch, std::move(metadatas), std::nullopt, std::nullopt));
  });
  call(kUpsert, [&] {
    return note(kUpsert, upsert_record(c, id_of(rng.below(kIdRange)), rng.vector(),
                                       metadata_of(7), std::nullopt));
  });
  call(kDelete, [&] { return note(kDelete, delete_by_id(c, id_of(rng.below(kIdRange)))); });
  call(kSync, [&] { return note(kSync, sync_collection(c)); });
  call(kExport, [&] { return note(kExport, export_to_file(c, (work / "export.ndjson").string())); });
}

// The whole case in this process: copy, damage, use.
void run_case(uint64_t seed, const fs::path& base, const fs::path& work) {
  g_last_call = std::chrono::steady_clock::now();
  g_report->seed = seed;
  Rng rng(seed);
  set_stage(kCopy);
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  fs::copy(base / "db", work / "db", fs::copy_options::recursive, ec);
  if (ec) {
    std::fprintf(stderr, "store_fuzz: copying the database: %s\n", ec.message().c_str());
    std::_Exit(1);
  }

  set_stage(kMutate);
  const std::string db_dir = (work / "db").string();
  const std::string dir = collection_dir(db_dir, kCollection);
  std::string mutations;
  const uint64_t count = 1 + rng.below(3);
  for (uint64_t i = 0; i < count; ++i) {
    const fs::path store = rng.one_in(8) ? fs::path(db_dir) / "meta.redb" : fs::path(dir) / "meta.redb";
    mutations += (i ? "; " : "") + mutate(rng, store, db_dir);
  }
  copy_text(g_report->mutations, CaseReport::kMutationBytes, mutations);
  if (g_verbose) std::printf("case %" PRIu64 ": %s\n", seed, mutations.c_str());

  {
    std::unique_ptr<DatabaseState> db;
    std::shared_ptr<CollectionState> state;
    call(kOpenDatabase, [&] {
      auto r = open_database(db_dir);
      if (r.ok()) db = std::move(r).value();
      return note(kOpenDatabase, r);
    });
    if (db) {
      call(kCollections, [&] { return note(kCollections, collections(*db)); });
      call(kGetCollection, [&] {
        auto r = get_collection(*db, kCollection);
        if (r.ok()) state = std::move(r).value();
        return note(kGetCollection, r);
      });
    }
    if (!state) {  // the registry could not give it: open the directory itself
      call(kOpenCollection, [&] {
        auto r = open_collection(dir, collection_config_of_base());
        if (r.ok()) state = std::move(r).value();
        return note(kOpenCollection, r);
      });
    }
    if (state) {
      g_report->opened = 1;
      use_collection(rng, *state, work);
    }
    set_stage(kClose);
    state.reset();
    db.reset();
  }

  std::shared_ptr<CollectionState> again;
  call(kReopen, [&] {
    auto r = open_collection(dir, collection_config_of_base());
    if (r.ok()) again = std::move(r).value();
    return note(kReopen, r);
  });
  if (again) {
    call(kReopenCount, [&] { return note(kReopenCount, live_record_count(*again)); });
    call(kReopenGet, [&] { return note(kReopenGet, get_by_id(*again, id_of(rng.below(kIdRange)))); });
    call(kReopenSearch, [&] {
      return note(kReopenSearch, search_collection(*again, rng.vector(), 10, std::nullopt));
    });
    set_stage(kReopenClose);
    again.reset();
  }
  set_stage(kDone);
  if (g_verbose) print_step(kDone, "closed");
}

// ---- Signals in the child ----

void write_text(const char* text) { (void)!::write(2, text, std::strlen(text)); }

void print_backtrace() {
  void* frames[40];
  const int n = backtrace(frames, 40);
  write_text("store_fuzz: frames\n");
  backtrace_symbols_fd(frames, n, 2);
}

void on_fatal_signal(int sig) {
  char text[160];
  std::snprintf(text, sizeof text, "store_fuzz: signal %d (%s) in %s\n", sig, strsignal(sig),
                kStageNames[g_report->stage < kStageCount ? g_report->stage : 0]);
  write_text(text);
  print_backtrace();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void on_timeout(int) {
  char text[160];
  std::snprintf(text, sizeof text, "store_fuzz: timeout in %s\n",
                kStageNames[g_report->stage < kStageCount ? g_report->stage : 0]);
  write_text(text);
  print_backtrace();
  ::_exit(kHangExit);
}

void install_child_handlers() {
  static std::vector<char> alt_stack(1 << 16);  // for a stack overflow's SIGSEGV
  stack_t ss{};
  ss.ss_sp = alt_stack.data();
  ss.ss_size = alt_stack.size();
  ::sigaltstack(&ss, nullptr);
  void* warm[1];
  backtrace(warm, 1);  // loads libgcc now, not inside a handler
  struct sigaction sa{};
  sa.sa_handler = on_fatal_signal;
  sa.sa_flags = SA_ONSTACK;
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) ::sigaction(sig, &sa, nullptr);
  sa.sa_handler = on_timeout;
  ::sigaction(SIGALRM, &sa, nullptr);
  ::signal(SIGXFSZ, SIG_IGN);
  sigset_t all;
  sigemptyset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
}

void limit_child() {
  const rlimit address_space{uint64_t{4} << 30, uint64_t{4} << 30};
  const rlimit file_size{uint64_t{1} << 30, uint64_t{1} << 30};
  ::setrlimit(RLIMIT_AS, &address_space);
  ::setrlimit(RLIMIT_FSIZE, &file_size);
}

// ---- The parent ----

struct Options {
  uint64_t cases = 1000;
  uint64_t seed = 1;
  unsigned jobs = 1;
  unsigned timeout = 30;
  std::optional<uint64_t> replay;
  fs::path work;
  bool keep = false;
  size_t list = 12;  // error texts listed
};

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "store_fuzz: %s\nusage: store_fuzz [--cases N] [--seed S] [--jobs J] "
               "[--timeout SECONDS] [--work DIR] [--keep] [--list N]\n"
               "       store_fuzz --replay CASE_SEED [--work DIR]\n",
               problem);
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&]() -> uint64_t {
      if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
      char* end = nullptr;
      const uint64_t v = std::strtoull(argv[++i], &end, 0);
      if (*end != '\0') usage(("not a number: " + std::string(argv[i])).c_str());
      return v;
    };
    if (arg == "--cases") o.cases = number();
    else if (arg == "--seed") o.seed = number();
    else if (arg == "--jobs") o.jobs = static_cast<unsigned>(std::max<uint64_t>(1, number()));
    else if (arg == "--timeout") o.timeout = static_cast<unsigned>(std::max<uint64_t>(1, number()));
    else if (arg == "--replay") o.replay = number();
    else if (arg == "--list") o.list = number();
    else if (arg == "--keep") o.keep = true;
    else if (arg == "--work" && i + 1 < argc) o.work = argv[++i];
    else usage(("unknown argument " + arg).c_str());
  }
  if (o.work.empty()) o.work = fs::path("/dev/shm") / ("store_fuzz." + std::to_string(::getpid()));
  return o;
}

// Makes the database under `root` in a child, so this process never holds
// the engine's threads or caches.
bool make_database_in_child(const fs::path& root) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    make_database(root);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The demangled name of one backtrace_symbols line's function, without its
// arguments, else module(+offset).
std::string frame_name(const std::string& line) {
  const size_t open = line.find('(');
  const size_t close = line.find(')', open);
  if (open == std::string::npos || close == std::string::npos) return line;
  std::string module = line.substr(0, open);
  module = module.substr(module.rfind('/') + 1);
  std::string inside = line.substr(open + 1, close - open - 1);
  const size_t plus = inside.find('+');
  std::string symbol = inside.substr(0, plus);
  if (symbol.empty()) return module + "(" + inside + ")";
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status == 0 && demangled) {
    symbol = demangled;
    std::free(demangled);
    const size_t args = symbol.find('(');
    if (args != std::string::npos) symbol.resize(args);
  }
  return symbol;
}

// The kind of a failed case from the child's standard error: the failed
// assertion or uncaught exception, else the top frames below the handler.
std::string failure_kind(const std::string& err) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < err.size();) {
    const size_t end = std::min(err.find('\n', at), err.size());
    lines.push_back(err.substr(at, end - at));
    at = end + 1;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.find("Assertion") != std::string::npos || l.find("assert") != std::string::npos) {
      return l.substr(l.find_last_of('/') == std::string::npos ? 0 : l.find_last_of('/') + 1);
    }
    if (l.find("terminate called") != std::string::npos) {
      return l + (i + 1 < lines.size() ? " " + lines[i + 1] : "");
    }
  }
  // Below the handler's frames and the signal trampoline (the first libc
  // frame): frames up to the first one with a name, at most six.
  std::string kind;
  enum { kHandler, kTrampolineSeen } where = kHandler;
  bool in_trace = false;
  int taken = 0;
  for (const std::string& l : lines) {
    if (l == "store_fuzz: frames") {
      in_trace = true;
      continue;
    }
    if (!in_trace) continue;
    const std::string f = frame_name(l);
    if (where == kHandler) {
      if (f.rfind("libc.so", 0) == 0) where = kTrampolineSeen;
      continue;
    }
    kind += (taken ? " < " : "") + f;
    if (++taken == 6 || f.find('(') == std::string::npos) break;
  }
  return kind.empty() ? "(no trace)" : kind;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return s.substr(0, 1 << 16);
}

// Digits folded, so texts that differ only in numbers count as one.
std::string fold_numbers(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (out.empty() || out.back() != '#') out += '#';
    } else {
      out += c;
    }
  }
  return out;
}

struct Failure {
  uint64_t count = 0;
  uint64_t first_seed = 0;
  std::string mutations;            // the first case's
  std::set<std::string> stages;     // the calls it happened in
};

struct Tally {
  uint64_t cases = 0;
  uint64_t clean = 0;             // every call succeeded
  uint64_t with_errors = 0;       // at least one error value, no crash
  uint64_t opened = 0;            // the collection opened (by either road)
  uint64_t calls = 0;
  uint64_t errors = 0;
  uint64_t exceptions = 0;
  std::array<uint64_t, kStageCount> errors_by_stage{};
  std::map<std::string, uint64_t> error_texts;  // stage: folded first text
  std::map<std::string, Failure> crashes;       // kind -> count, first seed
  std::map<std::string, uint64_t> crash_signals;  // signal name -> crashes
  std::map<std::string, Failure> hangs;
  uint64_t crash_count = 0;
  uint64_t hang_count = 0;

  void add_report(const CaseReport& r) {
    calls += r.calls;
    errors += r.errors;
    exceptions += r.exceptions;
    opened += r.opened;
    for (uint32_t s = 0; s < kStageCount; ++s) {
      if (r.error_stages & (1u << s)) {
        ++errors_by_stage[s];
        ++error_texts[std::string(kStageNames[s]) + ": " + fold_numbers(r.messages[s])];
      }
    }
  }
};

void record_failure(std::map<std::string, Failure>& into, const std::string& kind,
                    const std::string& stage, const CaseReport& r) {
  Failure& f = into[kind];
  f.stages.insert(stage);
  if (f.count++ == 0) {
    f.first_seed = r.seed;
    f.mutations = r.mutations;
  }
}

void print_failures(const char* title, const std::map<std::string, Failure>& failures) {
  std::vector<std::pair<std::string, Failure>> sorted(failures.begin(), failures.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.second.count > b.second.count; });
  std::printf("%s by kind (%zu kinds):\n", title, sorted.size());
  for (const auto& [kind, f] : sorted) {
    std::string stages;
    for (const std::string& s : f.stages) stages += (stages.empty() ? "" : ", ") + s;
    std::printf("  %6" PRIu64 "  %s\n          in: %s\n          replay: --replay %" PRIu64
                "   (%s)\n",
                f.count, kind.c_str(), stages.c_str(), f.first_seed, f.mutations.c_str());
  }
}

void print_tally(const Tally& t, const Options& o, double seconds) {
  std::printf("cases run: %" PRIu64 " in %.1f s (%.0f cases/s, %u jobs)\n", t.cases, seconds,
              t.cases / std::max(seconds, 1e-9), o.jobs);
  std::printf("  collection opened:            %" PRIu64 "\n", t.opened);
  std::printf("  clean (every call succeeded): %" PRIu64 "\n", t.clean);
  std::printf("  ended with error values:      %" PRIu64 "\n", t.with_errors);
  std::printf("  crashes:                      %" PRIu64 "\n", t.crash_count);
  std::printf("  hangs:                        %" PRIu64 "\n", t.hang_count);
  std::printf("calls: %" PRIu64 ", errors returned: %" PRIu64 ", exceptions: %" PRIu64 "\n", t.calls,
              t.errors, t.exceptions);
  std::printf("cases with an error, by call:\n");
  for (uint32_t s = 0; s < kStageCount; ++s) {
    if (t.errors_by_stage[s]) std::printf("  %-20s %" PRIu64 "\n", kStageNames[s], t.errors_by_stage[s]);
  }
  std::vector<std::pair<std::string, uint64_t>> texts(t.error_texts.begin(), t.error_texts.end());
  std::sort(texts.begin(), texts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::printf("most common first error texts (%zu distinct, digits folded to #):\n", texts.size());
  for (size_t i = 0; i < texts.size() && i < o.list; ++i) {
    std::printf("  %6" PRIu64 "  %s\n", texts[i].second, texts[i].first.c_str());
  }
  for (const auto& [signal, count] : t.crash_signals) {
    std::printf("crashes by signal: %-24s %" PRIu64 "\n", signal.c_str(), count);
  }
  if (!t.crashes.empty()) print_failures("crashes", t.crashes);
  if (!t.hangs.empty()) print_failures("hangs", t.hangs);
}

struct Running {
  pid_t pid = 0;
  uint64_t seed = 0;
  std::chrono::steady_clock::time_point deadline;
  bool alarmed = false;  // SIGALRM sent, SIGKILL follows
};

constexpr std::chrono::seconds kKillGrace{5};

int run(const Options& o) {
  const fs::path base = o.work / "base";
  fs::create_directories(base);
  if (!make_database_in_child(base)) {
    std::fprintf(stderr, "store_fuzz: the database could not be made\n");
    return 1;
  }
  void* shared = ::mmap(nullptr, sizeof(CaseReport) * o.jobs, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  auto* reports = static_cast<CaseReport*>(shared);

  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &chld, nullptr);

  Tally tally;
  std::vector<Running> slots(o.jobs);
  uint64_t next = 0;
  unsigned running = 0;
  const auto start = std::chrono::steady_clock::now();
  auto last_progress = start;

  auto spawn = [&](unsigned j) {
    const uint64_t seed = case_seed(o.seed, next++);
    CaseReport* report = &reports[j];
    std::memset(report, 0, sizeof *report);
    report->seed = seed;
    const fs::path work = o.work / ("job" + std::to_string(j));
    const fs::path err = o.work / ("job" + std::to_string(j) + ".err");
    const pid_t pid = ::fork();
    if (pid < 0) {
      std::perror("fork");
      std::exit(1);
    }
    if (pid == 0) {
      const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 2);
        ::close(fd);
      }
      limit_child();
      g_report = report;
      install_child_handlers();
      run_case(seed, base, work);
      ::_exit(0);
    }
    slots[j] = Running{pid, seed, std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout)};
    ++running;
  };

  auto finish = [&](unsigned j, int status) {
    const CaseReport& r = reports[j];
    const std::string stage = kStageNames[r.stage < kStageCount ? r.stage : 0];
    ++tally.cases;
    tally.add_report(r);
    const fs::path err = o.work / ("job" + std::to_string(j) + ".err");
    if (WIFSIGNALED(status) && !slots[j].alarmed) {
      ++tally.crash_count;
      const std::string kind =
          std::string(strsignal(WTERMSIG(status))) + ": " + failure_kind(read_file(err));
      record_failure(tally.crashes, kind, stage, r);
      ++tally.crash_signals[strsignal(WTERMSIG(status))];
    } else if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == kHangExit)) {
      ++tally.hang_count;
      record_failure(tally.hangs, failure_kind(read_file(err)), stage, r);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "store_fuzz: case %" PRIu64 " exited with status %d:\n%s\n", r.seed,
                   WEXITSTATUS(status), read_file(err).c_str());
      std::exit(1);
    } else if (r.errors == 0) {
      ++tally.clean;
    } else {
      ++tally.with_errors;
    }
    slots[j].pid = 0;
    --running;
  };

  while (next < o.cases || running > 0) {
    for (unsigned j = 0; j < o.jobs && next < o.cases; ++j) {
      if (slots[j].pid == 0) spawn(j);
    }
    timespec wait{1, 0};
    ::sigtimedwait(&chld, nullptr, &wait);
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      for (unsigned j = 0; j < o.jobs; ++j) {
        if (slots[j].pid == pid) finish(j, status);
      }
    }
    const auto now = std::chrono::steady_clock::now();
    for (unsigned j = 0; j < o.jobs; ++j) {
      Running& s = slots[j];
      if (s.pid == 0 || now < s.deadline) continue;
      if (!s.alarmed) {
        ::syscall(SYS_tgkill, s.pid, s.pid, SIGALRM);  // the child's main thread
        s.alarmed = true;
        s.deadline = now + kKillGrace;
      } else {
        ::kill(s.pid, SIGKILL);
        s.deadline = now + kKillGrace;
      }
    }
    if (now - last_progress > std::chrono::seconds(30)) {
      last_progress = now;
      const double secs = std::chrono::duration<double>(now - start).count();
      std::fprintf(stderr, "store_fuzz: %" PRIu64 " cases, %.0f s, %" PRIu64 " crashes, %" PRIu64 " hangs\n",
                   tally.cases, secs, tally.crash_count, tally.hang_count);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("store_fuzz: seed %" PRIu64 "\n", o.seed);
  print_tally(tally, o, seconds);
  if (!o.keep) {
    std::error_code ec;
    fs::remove_all(o.work, ec);
  }
  return tally.crash_count + tally.hang_count == 0 ? 0 : 3;
}

int replay(const Options& o) {
  const fs::path base = o.work / "base";
  std::error_code ec;
  fs::remove_all(o.work, ec);
  fs::create_directories(base);
  if (!make_database_in_child(base)) {
    std::fprintf(stderr, "store_fuzz: the database could not be made\n");
    return 1;
  }
  CaseReport report{};
  g_report = &report;
  g_verbose = true;
  install_child_handlers();
  ::alarm(o.timeout);
  run_case(*o.replay, base, o.work / "replay");
  std::printf("calls: %u, errors: %u, exceptions: %u; damaged copy left in %s\n", report.calls,
              report.errors, report.exceptions, (o.work / "replay").c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  // No worker pool: each case is a fresh process, and its scans are small.
  ::setenv("RAYON_NUM_THREADS", "1", 0);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return options.replay ? replay(options) : run(options);
}
