// Platform layer: the operating-system calls the engine needs, one function
// each, with EINTR retries and errors returned as DbError::Io carrying the OS
// description. A path holding a NUL byte is refused by every function that
// takes one, before any system call, as the Io error "file name contained
// an unexpected NUL byte" (the functions answering bool say false). The only file that knows which OS it runs on is platform.cpp
// (full sync: F_FULLFSYNC on macOS, fsync on Linux).
//
// Every OS handle has a move-only RAII owner: File closes its descriptor,
// Mapping unmaps its range. Fields are set only after every call succeeded,
// so a failed open leaves nothing half-built.
//
// Fault injection: tests can make any of the calls above fail, the Nth call
// of one kind or all from the Nth on, through FaultInjection (process-wide;
// off unless a test turns it on), and count the durable calls made (msync,
// fsync of a file, fsync of a directory), which no crash of a process can
// tell from skipped ones.
//
// Thread safety: a File or Mapping is used by one owner; the free functions
// are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <compare>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace tessarin::platform {

// An open file descriptor; closed on destruction.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A shared read-write mapping of a whole file; unmapped on destruction.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* addr, size_t length) : addr_(static_cast<uint8_t*>(addr)), length_(length) {}
  Mapping(Mapping&& o) noexcept : addr_(o.addr_), length_(o.length_) {
    o.addr_ = nullptr;
    o.length_ = 0;
  }
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  uint8_t* data() const { return addr_; }
  size_t length() const { return length_; }

 private:
  uint8_t* addr_ = nullptr;
  size_t length_ = 0;
};

// open(path, O_RDWR | O_CREAT | O_TRUNC, 0666): a new, empty file.
Result<File> create_file(const std::string& path);
// open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666): a new, empty file that is
// only written.
Result<File> create_file_write_only(const std::string& path);
// open(path, O_RDWR): an existing file, neither created nor truncated.
Result<File> open_file(const std::string& path);
// open(path, O_RDONLY): an existing file, for reading only.
Result<File> open_file_read_only(const std::string& path);
// open(path, O_RDWR | O_CREAT, 0666): the file, created empty when missing.
Result<File> open_or_create_file(const std::string& path);
// open(path, O_WRONLY | O_CREAT, 0666): the file, created empty when
// missing and otherwise kept as it is, so the caller can check which file it
// is before truncating it.
Result<File> open_for_overwrite(const std::string& path);
bool file_exists(const std::string& path);

// Which file an open descriptor or a path names: device and inode numbers.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};
Result<FileId> file_id(const File& file);
// nullopt when nothing exists at `path`.
Result<std::optional<FileId>> file_id(const std::string& path);
// The identity of what `relative` names inside the directory held open as
// `dir` (fstatat, links followed), whatever has become of the directory's
// path since it was opened; nullopt when nothing is there (ENOENT, or
// ENOTDIR: a component on the way is no directory).
Result<std::optional<FileId>> file_id_at(const File& dir, const std::string& relative);
// open(path, O_RDONLY | O_DIRECTORY): a directory held open, for the *_at
// lookups.
Result<File> open_directory(const std::string& path);
// The names of the entries of the directory `relative` inside `dir`
// (without "." and ".."), in the order the system lists them. Failure ->
// Io (ENOENT when it does not exist).
Result<std::vector<std::string>> list_directory_at(const File& dir, const std::string& relative);
// True for a regular file; false for a FIFO, a device, a socket or a
// directory, which cannot be truncated (fstat).
Result<bool> is_regular_file(const File& file);

// Where open(path, O_WRONLY | O_CREAT) would open or create its file, found
// without creating anything: an absolute path free of symbolic links, "."
// and "..". Relative paths start at the working directory; every link is
// followed as the open follows it, a link as the last component too, dangling
// or not (the open creates the file it names). A path the open could not
// reach fails as that open would, as Io: ENOENT (a missing directory on the
// way, or a last component that names a directory: empty, "." or ".."),
// ENOTDIR, EACCES, ELOOP (more than 40 links in a row at the end).
Result<std::string> resolve_open_target(const std::string& path);

// The address range of this process's mapping of `file` that starts at the
// file's offset 0 (a mapping made by a library we do not see into); nullopt
// when there is none, or where the system does not list its mappings.
struct AddressRange {
  const char* begin = nullptr;
  const char* end = nullptr;
};
std::optional<AddressRange> find_file_mapping(const FileId& file);
// The bytes of a whole file, in a buffer of their own (not zero-filled
// before the read: a large file costs one pass over its bytes).
struct FileBytes {
  std::unique_ptr<char[]> data;
  size_t size = 0;
  std::string_view view() const { return {data.get(), size}; }
};

// The whole content of the file at `path`, read to its end; open and read
// failures are Io.
Result<FileBytes> read_file(const std::string& path);

// ftruncate / fstat, retried on EINTR.
Status set_file_length(const File& file, uint64_t length);
Result<uint64_t> file_length(const File& file);

// Reserves storage for bytes [from, to) of the file, growing it to `to`
// bytes when it is shorter, so that stores through a shared mapping of the
// range cannot fail for want of space: a store into a sparse page that a
// full file system cannot back kills the process with SIGBUS instead.
// fallocate; where the file system refuses it (EOPNOTSUPP, EINVAL, ENOSYS)
// zeros are written over the range. Failure -> Io (ENOSPC on a full disk);
// the range may then be partly reserved and the file longer than before.
// A copy-on-write file system may still need space when a reserved page is
// first overwritten; this is the most a mapping can be given beforehand.
// REQUIRES: from <= to; the range holds nothing the caller keeps (the
// fallback overwrites it with zeros).
Status reserve_file_range(const File& file, uint64_t from, uint64_t to);

// Maps the whole file shared read-write. A length beyond the signed
// machine-word range is Io "memory map length overflows isize". A zero
// length maps one byte so an empty file can still be inspected.
Result<Mapping> map_file(const File& file, uint64_t length);

// msync(MS_SYNC) over the page-rounded range of the whole mapping.
Status sync_mapping(const Mapping& mapping);
// The full file sync: F_FULLFSYNC on macOS, fsync on Linux; EINTR retried.
Status full_sync(const File& file);
// fsync of the directory holding `path`, so a new directory entry survives
// a crash once the file's data is synced.
Status sync_parent_dir(const std::string& path);
// unlink(path); nothing there is not an error. Durable only once
// sync_parent_dir(path) succeeded.
Status remove_file(const std::string& path);

// flock(LOCK_EX | LOCK_NB). Returns false (not an error) when another open
// file description holds the lock.
Result<bool> try_lock_exclusive(const File& file);

// madvise(MADV_WILLNEED) over the mapping; the result is advisory.
Status advise_willneed(const Mapping& mapping);

// The bytes an unprivileged user may still write on the file system holding
// `path` (statvfs: f_bavail × f_frsize). Failure -> Io.
Result<uint64_t> free_space(const std::string& path);

// mkdir -p with mode 0777 (before umask); each directory it makes is made
// durable in its parent (sync_parent_dir) before the next one. A directory
// `path` found already there is synced into its parent as well: its maker
// may have failed at that sync, or be another thread that has not reached
// it yet.
Status create_dir_all(const std::string& path);
// rm -r; a missing path is not an error, and a link is removed, not
// followed. A directory's entries go one by one, each followed by the crash
// point "remove_dir_all.entry_removed".
Status remove_dir_all(const std::string& path);
// rm -r of the directory `path` in which the entry `marker` goes last: the
// other entries one by one (each followed by the crash point
// "remove_dir_all.entry_removed"), then, once their removal is synced,
// `marker`, then the directory, whose removal is synced in its parent. So
// the marker stays for as long as anything else of the directory does, and
// a crash at any instant leaves it marked or gone. A missing path is not an
// error.
Status remove_marked_dir(const std::string& path, const std::string& marker);
bool dir_exists(const std::string& path);

// Wall clock: whole seconds since the Unix epoch (0 before it), and
// milliseconds since the epoch (seconds × 1000 + nanoseconds / 1e6).
uint64_t now_secs();
uint64_t now_millis();

// Fills buf from the system's entropy source (getrandom).
Status fill_random(void* buf, size_t len);

// Size of a BufferedWriter's buffer in bytes.
inline constexpr size_t kWriteBufferBytes = 8192;

// Writes a file through an 8192-byte buffer: a write that no longer fits
// flushes the buffer first, and a write of 8192 bytes or more then goes to
// the file directly. What is still buffered when the writer is destroyed is
// written then, and errors of that write are ignored; call flush() to see
// them. Closing the file is the File's destructor (no sync).
class BufferedWriter {
 public:
  explicit BufferedWriter(File file) : file_(std::move(file)) { buf_.reserve(kWriteBufferBytes); }
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  ~BufferedWriter();

  // Appends `bytes`; failure -> Io.
  [[nodiscard]] Status write(std::string_view bytes);
  // Writes out what is buffered; failure -> Io.
  [[nodiscard]] Status flush();

 private:
  File file_;
  std::string buf_;  // at most kWriteBufferBytes
};

// The system calls a test can make fail, and the store's commit (checked by
// the store before LMDB commits, so a failed commit is seen as LMDB reports
// one: nothing of the transaction is written).
enum class Op : uint8_t {
  kOpen,         // open: create, open, open for overwrite (not directories)
  kMkdir,        // each mkdir of create_dir_all
  kLock,         // flock
  kReserve,      // fallocate of reserve_file_range (EOPNOTSUPP: the zero-writing road)
  kSetLength,    // ftruncate
  kMap,          // mmap
  kSyncMapping,  // msync
  kFullSync,     // fsync (F_FULLFSYNC) of a file
  kSyncDir,      // sync_parent_dir as a whole
  kWrite,        // write and pwrite: BufferedWriter, the zeros of a reservation
  kStoreCommit,  // WriteTxn::commit (storage/store.h)
  kUnlink,       // unlink of remove_file
};
inline constexpr size_t kFaultOps = 12;

// Test hook, process-wide; off unless a test arms it. Each op has its own
// countdown, so a test can fail the 1st, 2nd, ... call of an operation and
// learn from fired() when a run no longer reaches the armed call.
struct FaultInjection {
  // From its (after + 1)-th call on, counted from now, `op` fails with
  // `errnum` until reset(); errnum 0 disarms `op`.
  static void fail(Op op, int errnum, int after = 0);
  // Disarms every op and clears fired().
  static void reset();
  // True when an armed op has failed a call since the last reset().
  static bool fired();
  // Kills the process with SIGKILL when crash_point(name) is next reached
  // (nullptr disarms); `name` must outlive the arming. For tests that stop
  // a child process between two durable steps, as kill -9 or a power cut
  // would.
  static void kill_at(const char* name);
  // The system calls of `op` issued since the process started, counted for
  // the durable ops only (kSyncMapping, kFullSync, kSyncDir; 0 for the
  // others): each msync, fsync of a file or fsync of a directory, counted
  // as it is made (an EINTR retry counts again, a call failed by an armed
  // fault does not). Tests compare it before and after a write.
  static uint64_t durable_calls(Op op);
};

// The errno an armed fault gives this call of `op`, or 0 (one relaxed load
// when nothing is armed). Every function above checks its own op; a layer
// that makes system calls of its own checks its op the same way.
int injected_fault(Op op);

// A named point between two durable steps of a write; does nothing unless a
// test armed its name with FaultInjection::kill_at.
void crash_point(const char* name);

}  // namespace tessarin::platform
