// Export of a collection to an NDJSON file, and import from one
// (export/ndjson.h describes the file).
//
// Export flushes the pending queue, takes the live count for the header,
// then writes one line per live record while it holds the vector lock
// (shared) and one read transaction, so the lines are a snapshot of
// "records". Import checks the header against the collection and hands every
// record line to upsert_record, in file order, then flushes the queue.
//
// Printing and decoding the lines is the bulk of the CPU work, so both run
// in chunks of lines on the worker pool, overlapped with the sequential part:
// export prints chunk k+1 in parallel while this thread writes chunk k, in
// scan order; import reads and decodes chunk k+1 while this thread upserts
// chunk k, in file order. Everything observable happens in the sequential
// order (the first undecodable line ends the import after the lines before
// it were upserted, and nothing after it is; a failed scan or write ends the
// export with the lines before it written), and at most two chunks of lines
// are held in memory.
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "collection/state.h"
#include "export/ndjson.h"
#include "json/parse.h"
#include "platform/platform.h"
#include "search/distance.h"
#include "sync/pool.h"

namespace tessarin {

namespace {

// Lines per chunk, and per task of the pool inside a chunk.
constexpr size_t kChunkLines = 1024;
constexpr size_t kLinesPerTask = 16;

// Runs background() as a task of the worker pool while foreground() runs;
// returns when both are done. With a one-thread pool the two simply run one
// after the other. run_in_pool isolates the two from other callers' tasks.
template <typename Background, typename Foreground>
void overlap(Background&& background, Foreground&& foreground) {
  run_in_pool([&] {
    tbb::task_group group;
    group.run([&] { background(); });
    foreground();
    group.wait();
  });
}

// A live record found by the export scan. The id and metadata are copied (a
// cursor's views last only to its next step; the copies keep their capacity
// from chunk to chunk); the vector points into the mapping, valid while its
// lock is held.
struct ExportItem {
  std::string id;
  std::span<const float> vector;
  std::string metadata;
  uint64_t created_at = 0;
  std::optional<uint64_t> ttl;
};

// A chunk of export lines: the records scanned, then their printed lines.
struct ExportChunk {
  std::vector<ExportItem> items = std::vector<ExportItem>(kChunkLines);
  size_t filled = 0;  // items in use
  std::vector<std::string> lines = std::vector<std::string>(kChunkLines);
};

// Scans up to a chunk of live records into `chunk`. False once the scan is
// over: at its end, or at a failure, which is kept in *failure.
bool scan_chunk(RecordScan& scan, const VectorStore& vectors, ExportChunk& chunk,
                std::optional<DbError>* failure) {
  chunk.filled = 0;
  RecordView record;
  while (chunk.filled < kChunkLines) {
    Result<bool> more = scan.next_view(&record);
    if (!more.ok()) {
      *failure = std::move(more).error();
      return false;
    }
    if (!*more) return false;
    if (!is_live(record.status, record.expires_at, now_secs())) continue;
    Result<std::span<const float>> vector = vectors.read_vector(record.slot);
    if (!vector.ok()) {
      *failure = std::move(vector).error();
      return false;
    }
    std::optional<uint64_t> ttl;
    if (record.expires_at) {
      const uint64_t now = now_secs();
      ttl = *record.expires_at > now ? *record.expires_at - now : 0;
    }
    ExportItem& item = chunk.items[chunk.filled++];
    item.id.assign(record.id);
    item.vector = *vector;
    item.metadata.assign(record.metadata);
    item.created_at = record.created_at;
    item.ttl = ttl;
  }
  return true;
}

// Prints the chunk's lines, each with its line feed, on the pool.
void print_chunk(ExportChunk& chunk) {
  parallel_for_chunks(chunk.filled, kLinesPerTask, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const ExportItem& item = chunk.items[i];
      std::string& line = chunk.lines[i];
      line.clear();
      print_export_record(line, item.id, item.vector, json::parse_or_null(item.metadata),
                          item.created_at, item.ttl);
      line.push_back('\n');
    }
  });
}

// Writes the chunk's printed lines in order, counting each once written.
Status write_chunk(const ExportChunk& chunk, platform::BufferedWriter& out, uint64_t& count) {
  for (size_t i = 0; i < chunk.filled; ++i) {
    TS_RETURN_IF_ERROR(out.write(chunk.lines[i]));
    ++count;
  }
  return OkStatus();
}

// One record line read by the import: its number in the file, its text and,
// once decoded, its record or the decoder's error.
struct ImportLine {
  uint64_t number = 0;
  std::string text;
  ExportRecord record;
  std::optional<json::ParseError> error;
};

// A chunk of non-blank import lines, and the read failure that ended it.
struct ImportChunk {
  std::vector<ImportLine> lines = std::vector<ImportLine>(kChunkLines);
  size_t filled = 0;
  std::optional<DbError> read_error;  // raised after the lines before it
};

// The reading side of an import: the file and the number of the last line
// read (1 after the header).
struct ImportInput {
  LineReader reader;
  uint64_t line_number = 1;
  bool at_end = false;  // end of file reached, or a read failed
};

// Reads up to a chunk of non-blank lines (blank ones are only counted), then
// decodes them on the pool.
void load_chunk(ImportInput& in, ImportChunk& chunk) {
  chunk.filled = 0;
  chunk.read_error.reset();
  while (!in.at_end && chunk.filled < kChunkLines) {
    ImportLine& line = chunk.lines[chunk.filled];
    Result<bool> more = in.reader.read_line(&line.text);
    if (!more.ok() || !*more) {
      if (!more.ok()) chunk.read_error = std::move(more).error();
      in.at_end = true;
      break;
    }
    ++in.line_number;
    if (trim_white_space(line.text).empty()) continue;
    line.number = in.line_number;
    ++chunk.filled;
  }
  parallel_for_chunks(chunk.filled, kLinesPerTask, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      ImportLine& line = chunk.lines[i];
      json::ParseStatus st = decode_export_record(trim_white_space(line.text), line.record);
      line.error.reset();
      if (!st.ok()) line.error = st.error();
    }
  });
}

// Upserts the chunk's records in order. A line that did not decode ends the
// import: its error is returned and the lines after it are left.
std::optional<DbError> upsert_chunk(CollectionState& state, ImportChunk& chunk,
                                    ImportStats& stats) {
  const uint64_t dims = state.config.dimensions;
  for (size_t i = 0; i < chunk.filled; ++i) {
    ImportLine& line = chunk.lines[i];
    if (line.error) {
      return DbError::Deserialization("Invalid record at line " + std::to_string(line.number) +
                                      ": " + line.error->message());
    }
    ExportRecord& record = line.record;
    if (record.vector.size() != dims) {
      ++stats.failed;
      continue;
    }
    Status st = upsert_record(state, record.id, record.vector, std::move(record.metadata),
                              record.ttl);
    ++(st.ok() ? stats.imported : stats.failed);
  }
  return std::nullopt;
}

constexpr char kRefusedTarget[] = "export target is a file of the database";

// The files an export must never overwrite, compared by device and inode,
// so a hard link from outside the database, which no check of the path
// sees, counts too:
//   - every file a collection state of this process holds open (vector
//     files and stores, of any database), by fstat of its descriptors:
//     each is mapped, and truncating it kills the process;
//   - the database's own files, looked up through the descriptor of its
//     directory, whatever its path has become since the open (a rename, a
//     relative path and a change of the working directory): the registry's
//     and those of every directory in "collections/" (collections this
//     process has not opened included), each store with LMDB's lock file
//     beside it. Truncating one destroys that collection.
constexpr std::array<std::string_view, 4> kCollectionFiles = {"vectors.bin", "meta.redb",
                                                              "meta.redb-lock", kIndexFileName};

Result<bool> is_database_file(const CollectionState& state, const platform::FileId& target) {
  TS_ASSIGN_OR_RETURN(const std::vector<platform::FileId> held, files_held_open());
  if (std::find(held.begin(), held.end(), target) != held.end()) return true;
  if (!state.database_dir) return false;  // a collection of no database
  const platform::File& database = state.database_dir->handle;
  const auto is_target = [&](const std::string& relative) -> Result<bool> {
    TS_ASSIGN_OR_RETURN(const std::optional<platform::FileId> id,
                        platform::file_id_at(database, relative));
    return id == target;
  };
  for (const char* name : {"meta.redb", "meta.redb-lock"}) {
    TS_ASSIGN_OR_RETURN(const bool found, is_target(name));
    if (found) return true;
  }
  Result<std::vector<std::string>> names = platform::list_directory_at(database, "collections");
  // A collections directory removed meanwhile holds nothing to overwrite.
  if (!names.ok() && names.error().os_error() == ENOENT) return false;
  if (!names.ok()) return std::move(names).error();
  for (const std::string& name : *names) {
    for (const std::string_view file : kCollectionFiles) {
      // A stray file in "collections/" holds no collection: not found.
      TS_ASSIGN_OR_RETURN(const bool found, is_target("collections/" + name + "/" + std::string(file)));
      if (found) return true;
    }
  }
  return false;
}

// True when `path`, resolved as its open would resolve it, lies inside the
// database directory: a new file there (a stray file in "collections/"
// would keep that name from ever becoming a collection, an "hnsw.index" in
// a flat collection would be read as its graph once it has one) as much as
// an existing one. Decided before the open, which would create the file.
// The directories on the way are compared by device and inode, so a case-
// insensitive file system or a second mount of the database cannot hide it.
Result<bool> is_inside_database(const CollectionState& state, const std::string& path) {
  if (!state.database_dir) return false;  // a collection of no database
  TS_ASSIGN_OR_RETURN(const std::string resolved, platform::resolve_open_target(path));
  std::filesystem::path dir = std::filesystem::path(resolved).parent_path();
  for (;;) {
    TS_ASSIGN_OR_RETURN(const std::optional<platform::FileId> id, platform::file_id(dir.string()));
    if (id == state.database_dir->id) return true;
    if (dir == dir.root_path()) return false;
    dir = dir.parent_path();
  }
}

// Refuses a target inside the database directory before anything is
// created; opens the target without truncating it and refuses it when it is
// (a link to) one of the database's files; only then truncates it, if it is
// a regular file: a FIFO or a device (/dev/null) is written as it is, and
// cannot be truncated.
Result<platform::File> open_export_target(const CollectionState& state, const std::string& path) {
  TS_ASSIGN_OR_RETURN(const bool inside, is_inside_database(state, path));
  if (inside) return DbError::InvalidInput(kRefusedTarget);
  TS_ASSIGN_OR_RETURN(platform::File file, platform::open_for_overwrite(path));
  TS_ASSIGN_OR_RETURN(const platform::FileId target, platform::file_id(file));
  TS_ASSIGN_OR_RETURN(const bool refused, is_database_file(state, target));
  if (refused) return DbError::InvalidInput(kRefusedTarget);
  TS_ASSIGN_OR_RETURN(const bool regular, platform::is_regular_file(file));
  if (regular) TS_RETURN_IF_ERROR(platform::set_file_length(file, 0));
  return file;
}

}  // namespace

Result<uint64_t> export_to_file(CollectionState& state, const std::string& path) {
  TS_RETURN_IF_ERROR(flush_pending_writes(state));
  TS_ASSIGN_OR_RETURN(const uint64_t record_count, live_record_count(state));
  TS_ASSIGN_OR_RETURN(platform::File file, open_export_target(state, path));
  platform::BufferedWriter out(std::move(file));

  const CollectionConfig& config = state.config;
  std::string header;
  header.reserve(128);
  print_export_header(header, ExportHeader{kExportVersion, config.name, config.dimensions,
                                           std::string(lowercase_metric_name(config.metric)),
                                           record_count, now_secs()});
  header.push_back('\n');
  TS_RETURN_IF_ERROR(out.write(header));

  uint64_t count = 0;
  std::optional<DbError> failure;
  {
    SharedLock vectors_lock(state.vectors.mu);
    TS_ASSIGN_OR_RETURN(ReadTxn txn, read_transaction(state.store));
    TS_ASSIGN_OR_RETURN(RecordScan scan, RecordScan::open(txn));
    ExportChunk chunks[2];
    bool scanning = scan_chunk(scan, state.vectors.value, chunks[0], &failure);
    overlap([&] { print_chunk(chunks[0]); }, [] {});
    for (int ready = 0; chunks[ready].filled > 0; ready = 1 - ready) {
      ExportChunk& next = chunks[1 - ready];
      next.filled = 0;
      if (scanning) scanning = scan_chunk(scan, state.vectors.value, next, &failure);
      Status written;
      overlap([&] { print_chunk(next); }, [&] { written = write_chunk(chunks[ready], out, count); });
      TS_RETURN_IF_ERROR(written);
    }
  }
  if (failure) return std::move(*failure);
  TS_RETURN_IF_ERROR(out.flush());
  return count;
}

Result<ImportStats> import_from_file(CollectionState& state, const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  TS_ASSIGN_OR_RETURN(platform::File file, platform::open_file_read_only(path));
  ImportInput input{LineReader(std::move(file))};

  std::string text;
  TS_RETURN_IF_ERROR(input.reader.read_line(&text));  // an empty file leaves the line empty
  ExportHeader header;
  if (json::ParseStatus st = decode_export_header(text, header); !st.ok()) {
    return DbError::Deserialization("Invalid export header: " + st.error().message());
  }
  if (header.version > kExportVersion) {
    return DbError::InvalidFormat("Export version " + std::to_string(header.version) +
                                  " is newer than supported version " +
                                  std::to_string(kExportVersion));
  }
  const uint64_t dims = state.config.dimensions;
  if (header.dimensions != dims) return DbError::InvalidDimensions(dims, header.dimensions);

  ImportStats stats;
  ImportChunk chunks[2];
  load_chunk(input, chunks[0]);
  for (int cur = 0;; cur = 1 - cur) {
    ImportChunk& now = chunks[cur];
    const bool load_next = !input.at_end;
    std::optional<DbError> failure;
    overlap([&] { if (load_next) load_chunk(input, chunks[1 - cur]); },
            [&] { failure = upsert_chunk(state, now, stats); });
    if (failure) return std::move(*failure);
    if (now.read_error) return std::move(*now.read_error);
    if (!load_next) break;
  }
  TS_RETURN_IF_ERROR(flush_pending_writes(state));

  stats.duration_ms = millis_since(start);
  return stats;
}

}  // namespace tessarin
