#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include <sys/random.h>  // getrandom on Linux, getentropy on macOS

namespace tessarin::platform {
namespace {

// One op's fault: the armed errno (0: off) and the calls still to pass
// before it fires.
struct Fault {
  std::atomic<int> errnum{0};
  std::atomic<int64_t> countdown{0};
};
Fault g_faults[kFaultOps];
std::atomic<bool> g_fired{false};
// The crash point armed by kill_at; null means off.
std::atomic<const char*> g_kill_at{nullptr};
// Durable system calls issued, per op (FaultInjection::durable_calls).
std::atomic<uint64_t> g_durable_calls[kFaultOps];

// Passes on `rc`, the result of a durable system call of `op` just made,
// and counts the call. Wrapped around the call itself, so a call that is
// not made is not counted.
int counted(Op op, int rc) {
  g_durable_calls[static_cast<size_t>(op)].fetch_add(1, std::memory_order_relaxed);
  return rc;
}

// Runs `call` until it does not fail with EINTR; returns its last result.
template <typename F>
auto retry_eintr(F call) {
  for (;;) {
    auto r = call();
    if (r != -1 || errno != EINTR) return r;
  }
}

// Every call here passes a path on as a C string, which a NUL byte would
// cut short, so that a different file than the one named is used; such a
// path is refused before the file system is touched.
Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return DbError::IoMessage("file name contained an unexpected NUL byte");
  }
  return OkStatus();
}

Result<File> open_with(const std::string& path, int flags) {
  TS_RETURN_IF_ERROR(check_path(path));
  if (int e = injected_fault(Op::kOpen); e != 0) return DbError::Io(e);
  int fd = retry_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, 0666); });
  if (fd < 0) return DbError::Io(errno);
  return File(fd);
}

// Runs call(start, length) over the page-aligned range covering the whole
// mapping (msync and madvise want a page-aligned start); a failure is Io.
template <typename F>
Status over_pages(const Mapping& m, F call) {
  if (m.data() == nullptr) return OkStatus();
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t addr = reinterpret_cast<uintptr_t>(m.data());
  const uintptr_t aligned = addr & ~(page - 1);
  if (call(reinterpret_cast<void*>(aligned), m.length() + static_cast<size_t>(addr - aligned)) != 0) {
    return DbError::Io(errno);
  }
  return OkStatus();
}

uint64_t clock_millis(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  if (ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

// close() is not retried on EINTR: on Linux the descriptor is gone either way.
File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    if (addr_ != nullptr) ::munmap(addr_, length_);
    addr_ = o.addr_;
    length_ = o.length_;
    o.addr_ = nullptr;
    o.length_ = 0;
  }
  return *this;
}

Mapping::~Mapping() {
  if (addr_ != nullptr) ::munmap(addr_, length_);
}

Result<File> create_file(const std::string& path) {
  return open_with(path, O_RDWR | O_CREAT | O_TRUNC);
}

Result<File> create_file_write_only(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<File> open_file(const std::string& path) { return open_with(path, O_RDWR); }

Result<File> open_file_read_only(const std::string& path) { return open_with(path, O_RDONLY); }

Result<File> open_or_create_file(const std::string& path) {
  return open_with(path, O_RDWR | O_CREAT);
}

Result<File> open_for_overwrite(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT);
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return check_path(path).ok() && ::stat(path.c_str(), &st) == 0;
}

Result<FileId> file_id(const File& file) {
  struct stat st {};
  if (retry_eintr([&] { return ::fstat(file.fd(), &st); }) != 0) return DbError::Io(errno);
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<AddressRange> find_file_mapping(const FileId& file) {
#ifdef __linux__
  // Lines of /proc/self/maps: "begin-end perms offset major:minor inode path",
  // numbers in hex but the inode.
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::nullopt;
  const unsigned want_major = major(static_cast<dev_t>(file.device));
  const unsigned want_minor = minor(static_cast<dev_t>(file.device));
  std::optional<AddressRange> found;
  char line[4096];
  while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long long begin = 0, end = 0, offset = 0, inode = 0;
    unsigned dev_major = 0, dev_minor = 0;
    if (std::sscanf(line, "%llx-%llx %*s %llx %x:%x %llu", &begin, &end, &offset, &dev_major,
                    &dev_minor, &inode) == 6 &&
        offset == 0 && inode == file.inode && dev_major == want_major && dev_minor == want_minor) {
      found = AddressRange{reinterpret_cast<const char*>(begin), reinterpret_cast<const char*>(end)};
    }
  }
  std::fclose(maps);
  return found;
#else
  (void)file;
  return std::nullopt;
#endif
}

Result<std::optional<FileId>> file_id(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::optional<FileId>{};
    return DbError::Io(errno);
  }
  return std::optional<FileId>(
      FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

Result<std::optional<FileId>> file_id_at(const File& dir, const std::string& relative) {
  TS_RETURN_IF_ERROR(check_path(relative));
  struct stat st {};
  if (::fstatat(dir.fd(), relative.c_str(), &st, 0) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileId>{};
    return DbError::Io(errno);
  }
  return std::optional<FileId>(
      FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

Result<File> open_directory(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  const int fd =
      retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return DbError::Io(errno);
  return File(fd);
}

Result<std::vector<std::string>> list_directory_at(const File& dir, const std::string& relative) {
  TS_RETURN_IF_ERROR(check_path(relative));
  const int fd = retry_eintr(
      [&] { return ::openat(dir.fd(), relative.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return DbError::Io(errno);
  // fdopendir owns the descriptor from here; closedir closes it.
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    const int err = errno;
    ::close(fd);
    return DbError::Io(err);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, &::closedir);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) return DbError::Io(errno);
      return names;
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

Result<bool> is_regular_file(const File& file) {
  struct stat st {};
  if (retry_eintr([&] { return ::fstat(file.fd(), &st); }) != 0) return DbError::Io(errno);
  return S_ISREG(st.st_mode);
}

Result<std::string> resolve_open_target(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  // The kernel gives up on a lookup after 40 links (ELOOP); realpath counts
  // those inside the path, this loop the dangling ones at its end.
  constexpr int kMaxLinks = 40;
  std::string current = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    if (current.empty()) return DbError::Io(ENOENT);
    // Something exists there: realpath resolves it exactly as open would.
    if (std::unique_ptr<char, decltype(&std::free)> real(::realpath(current.c_str(), nullptr),
                                                         &std::free);
        real != nullptr) {
      return std::string(real.get());
    }
    if (errno != ENOENT) return DbError::Io(errno);
    // Nothing there (yet): a new name, a dangling link, or a directory on
    // the way that is missing.
    const std::filesystem::path p(current);
    const std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..") return DbError::Io(ENOENT);
    struct stat st {};
    if (::lstat(current.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      // A dangling link: the open creates the file it names, relative to
      // the link's own directory (joining keeps an absolute target as it is).
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1, '\0');
      const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
      if (n < 0) return DbError::Io(errno);
      if (static_cast<size_t>(n) >= target.size()) continue;  // changed meanwhile: look again
      target.resize(static_cast<size_t>(n));
      current = (p.parent_path() / target).string();
      continue;
    }
    const std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    std::unique_ptr<char, decltype(&std::free)> real_dir(::realpath(dir.c_str(), nullptr),
                                                         &std::free);
    if (real_dir == nullptr) return DbError::Io(errno);
    return (std::filesystem::path(real_dir.get()) / name).string();
  }
  return DbError::Io(ELOOP);
}

Status set_file_length(const File& file, uint64_t length) {
  // off_t is signed; a length it cannot hold is a file too large to make.
  if (length > static_cast<uint64_t>(INT64_MAX)) return DbError::Io(EFBIG);
  if (int e = injected_fault(Op::kSetLength); e != 0) return DbError::Io(e);
  if (retry_eintr([&] { return ::ftruncate(file.fd(), static_cast<off_t>(length)); }) != 0) {
    return DbError::Io(errno);
  }
  return OkStatus();
}

namespace {

// fallocate over [from, to): 0, or the errno of the failure.
int allocate_range(const File& file, uint64_t from, uint64_t to) {
  if (int e = injected_fault(Op::kReserve); e != 0) return e;
#ifdef __linux__
  if (retry_eintr([&] {
        return ::fallocate(file.fd(), 0, static_cast<off_t>(from), static_cast<off_t>(to - from));
      }) != 0) {
    return errno;
  }
  return 0;
#else
  (void)file, (void)from, (void)to;
  return EOPNOTSUPP;
#endif
}

// Writes zeros over [from, to), which makes the file system allocate it.
Status write_zeros(const File& file, uint64_t from, uint64_t to) {
  static constexpr char kZeros[64 * 1024] = {};
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, to - from));
    if (int e = injected_fault(Op::kWrite); e != 0) return DbError::Io(e);
    const ssize_t written =
        retry_eintr([&] { return ::pwrite(file.fd(), kZeros, n, static_cast<off_t>(from)); });
    if (written < 0) return DbError::Io(errno);
    if (written == 0) return DbError::Io(ENOSPC);
    from += static_cast<uint64_t>(written);
  }
  return OkStatus();
}

}  // namespace

Status reserve_file_range(const File& file, uint64_t from, uint64_t to) {
  if (from >= to) return OkStatus();
  if (to > static_cast<uint64_t>(INT64_MAX)) return DbError::Io(EFBIG);
  const int err = allocate_range(file, from, to);
  if (err == 0) return OkStatus();
  if (err != EOPNOTSUPP && err != EINVAL && err != ENOSYS) return DbError::Io(err);
  return write_zeros(file, from, to);
}

Result<uint64_t> file_length(const File& file) {
  struct stat st {};
  if (retry_eintr([&] { return ::fstat(file.fd(), &st); }) != 0) return DbError::Io(errno);
  return static_cast<uint64_t>(st.st_size);
}

Result<FileBytes> read_file(const std::string& path) {
  TS_ASSIGN_OR_RETURN(File file, open_file_read_only(path));
  TS_ASSIGN_OR_RETURN(const uint64_t length, file_length(file));
  // The length is a hint only: the loop reads to the end whatever it is.
  size_t capacity = static_cast<size_t>(std::min<uint64_t>(length, PTRDIFF_MAX / 2)) + 1;
  FileBytes out{std::make_unique_for_overwrite<char[]>(capacity), 0};
  for (;;) {
    if (out.size == capacity) {
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity * 2);
      std::memcpy(bigger.get(), out.data.get(), out.size);
      out.data = std::move(bigger);
      capacity *= 2;
    }
    const ssize_t n = retry_eintr(
        [&] { return ::read(file.fd(), out.data.get() + out.size, capacity - out.size); });
    if (n < 0) return DbError::Io(errno);
    if (n == 0) break;
    out.size += static_cast<size_t>(n);
  }
  return out;
}

Result<Mapping> map_file(const File& file, uint64_t length) {
  if (length > static_cast<uint64_t>(PTRDIFF_MAX)) {
    return DbError::IoMessage("memory map length overflows isize");
  }
  const size_t len = length == 0 ? 1 : static_cast<size_t>(length);
  if (int e = injected_fault(Op::kMap); e != 0) return DbError::Io(e);
  void* addr = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd(), 0);
  if (addr == MAP_FAILED) return DbError::Io(errno);
  return Mapping(addr, len);
}

Status sync_mapping(const Mapping& mapping) {
  if (int e = injected_fault(Op::kSyncMapping); e != 0) return DbError::Io(e);
  return over_pages(mapping, [](void* start, size_t length) {
    return counted(Op::kSyncMapping, ::msync(start, length, MS_SYNC));
  });
}

Status full_sync(const File& file) {
  if (int e = injected_fault(Op::kFullSync); e != 0) return DbError::Io(e);
#ifdef __APPLE__
  // fsync on macOS only reaches the drive's cache; F_FULLFSYNC flushes it.
  if (retry_eintr([&] { return counted(Op::kFullSync, ::fcntl(file.fd(), F_FULLFSYNC)); }) == -1) {
    return DbError::Io(errno);
  }
#else
  if (retry_eintr([&] { return counted(Op::kFullSync, ::fsync(file.fd())); }) != 0) {
    return DbError::Io(errno);
  }
#endif
  return OkStatus();
}

Status sync_parent_dir(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  if (int e = injected_fault(Op::kSyncDir); e != 0) return DbError::Io(e);
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) parent = ".";
  int fd = retry_eintr([&] { return ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return DbError::Io(errno);
  File dir(fd);
  if (retry_eintr([&] { return counted(Op::kSyncDir, ::fsync(dir.fd())); }) != 0) {
    return DbError::Io(errno);
  }
  return OkStatus();
}

Status remove_file(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  if (int e = injected_fault(Op::kUnlink); e != 0) return DbError::Io(e);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return DbError::Io(errno);
  return OkStatus();
}

Result<bool> try_lock_exclusive(const File& file) {
  if (int e = injected_fault(Op::kLock); e != 0) return DbError::Io(e);
  if (retry_eintr([&] { return ::flock(file.fd(), LOCK_EX | LOCK_NB); }) == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  return DbError::Io(errno);
}

Status advise_willneed(const Mapping& mapping) {
  return over_pages(mapping, [](void* start, size_t length) {
    return ::madvise(start, length, MADV_WILLNEED);
  });
}

Result<uint64_t> free_space(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  struct statvfs st {};
  if (retry_eintr([&] { return ::statvfs(path.c_str(), &st); }) != 0) return DbError::Io(errno);
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

namespace {

// A directory just made survives a power cut only once its parent's entry
// for it is on disk: files synced inside it would be lost with it.
Status sync_made_dir(const std::string& path) {
  std::filesystem::path p(path);
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();  // trailing '/'
  return sync_parent_dir(p.string());
}

}  // namespace

Status create_dir_all(const std::string& path) {
  if (path.empty()) return DbError::Io(ENOENT);
  TS_RETURN_IF_ERROR(check_path(path));
  if (int e = injected_fault(Op::kMkdir); e != 0) return DbError::Io(e);
  if (::mkdir(path.c_str(), 0777) == 0) return sync_made_dir(path);
  int err = errno;
  if (err == EEXIST) {
    // Something is there; it only counts when it is a directory, and one
    // whose entry may not be durable yet (see the header) is synced.
    return dir_exists(path) ? sync_made_dir(path) : Status(DbError::Io(EEXIST));
  }
  if (err != ENOENT) return DbError::Io(err);
  // A missing ancestor: create it first, then retry this level.
  std::filesystem::path p(path);
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();  // trailing '/'
  std::filesystem::path parent = p.parent_path();
  if (parent.empty() || parent == p) return DbError::Io(err);
  TS_RETURN_IF_ERROR(create_dir_all(parent.string()));
  if (int e = injected_fault(Op::kMkdir); e != 0) return DbError::Io(e);
  if (::mkdir(path.c_str(), 0777) == 0) return sync_made_dir(path);
  err = errno;
  if (err == EEXIST && dir_exists(path)) return sync_made_dir(path);  // a concurrent creator won
  return DbError::Io(err);
}

namespace {

// Removes the entries of the directory `path` but the one named `kept` (none
// when empty) one by one, with a crash point after each, so a test can stop
// the removal half-way. Nothing is done unless `path` is a directory (not a
// link to one).
Status remove_entries(const std::string& path, std::string_view kept) {
  std::error_code ec;
  if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::directory) {
    return OkStatus();
  }
  std::filesystem::directory_iterator it(path, ec);
  for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (!kept.empty() && it->path().filename() == kept) continue;
    std::filesystem::remove_all(it->path(), ec);
    if (ec) break;
    crash_point("remove_dir_all.entry_removed");
  }
  if (ec && ec.value() != ENOENT) return DbError::Io(ec.value());
  return OkStatus();
}

}  // namespace

Status remove_dir_all(const std::string& path) {
  TS_RETURN_IF_ERROR(check_path(path));
  TS_RETURN_IF_ERROR(remove_entries(path, {}));
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec && ec.value() != ENOENT) return DbError::Io(ec.value());
  return OkStatus();
}

Status remove_marked_dir(const std::string& path, const std::string& marker) {
  TS_RETURN_IF_ERROR(check_path(path));
  if (!dir_exists(path)) return remove_dir_all(path);  // nothing, or not a directory
  TS_RETURN_IF_ERROR(remove_entries(path, marker));
  const std::string marker_path = (std::filesystem::path(path) / marker).string();
  // The other entries' removal is on disk before the marker's can be.
  TS_RETURN_IF_ERROR(sync_parent_dir(marker_path));
  TS_RETURN_IF_ERROR(remove_dir_all(marker_path));
  TS_RETURN_IF_ERROR(remove_dir_all(path));
  return sync_parent_dir(path);
}

bool dir_exists(const std::string& path) {
  struct stat st {};
  return check_path(path).ok() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t now_secs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec < 0 ? 0 : static_cast<uint64_t>(ts.tv_sec);
}

uint64_t now_millis() { return clock_millis(CLOCK_REALTIME); }

Status fill_random(void* buf, size_t len) {
  auto* out = static_cast<uint8_t*>(buf);
#ifdef __APPLE__
  // getentropy hands out at most 256 bytes per call.
  while (len > 0) {
    size_t n = len < 256 ? len : 256;
    if (::getentropy(out, n) != 0) return DbError::Io(errno);
    out += n;
    len -= n;
  }
#else
  while (len > 0) {
    ssize_t n = ::getrandom(out, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::Io(errno);
    }
    out += n;
    len -= static_cast<size_t>(n);
  }
#endif
  return OkStatus();
}

namespace {

Status write_all(const File& file, const char* data, size_t len) {
  while (len > 0) {
    if (int e = injected_fault(Op::kWrite); e != 0) return DbError::Io(e);
    const ssize_t n = ::write(file.fd(), data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::Io(errno);
    }
    if (n == 0) return DbError::IoMessage("failed to write whole buffer");
    data += n;
    len -= static_cast<size_t>(n);
  }
  return OkStatus();
}

}  // namespace

BufferedWriter::~BufferedWriter() {
  if (!buf_.empty()) (void)flush();
}

Status BufferedWriter::write(std::string_view bytes) {
  if (buf_.size() + bytes.size() > kWriteBufferBytes) TS_RETURN_IF_ERROR(flush());
  if (bytes.size() >= kWriteBufferBytes) return write_all(file_, bytes.data(), bytes.size());
  buf_.append(bytes);
  return OkStatus();
}

Status BufferedWriter::flush() {
  // The buffer is emptied whether or not the write succeeds, so a failed
  // flush is not repeated by the destructor.
  Status st = write_all(file_, buf_.data(), buf_.size());
  buf_.clear();
  return st;
}

void FaultInjection::fail(Op op, int errnum, int after) {
  Fault& f = g_faults[static_cast<size_t>(op)];
  f.errnum.store(0, std::memory_order_relaxed);
  f.countdown.store(after, std::memory_order_relaxed);
  f.errnum.store(errnum, std::memory_order_relaxed);
}

void FaultInjection::reset() {
  for (Fault& f : g_faults) f.errnum.store(0, std::memory_order_relaxed);
  g_fired.store(false, std::memory_order_relaxed);
}

bool FaultInjection::fired() { return g_fired.load(std::memory_order_relaxed); }

int injected_fault(Op op) {
  Fault& f = g_faults[static_cast<size_t>(op)];
  const int errnum = f.errnum.load(std::memory_order_relaxed);
  if (errnum == 0) return 0;
  // Calls before the armed one pass; from it on every call fails.
  if (f.countdown.fetch_sub(1, std::memory_order_relaxed) > 0) return 0;
  g_fired.store(true, std::memory_order_relaxed);
  return errnum;
}

uint64_t FaultInjection::durable_calls(Op op) {
  return g_durable_calls[static_cast<size_t>(op)].load(std::memory_order_relaxed);
}

void FaultInjection::kill_at(const char* name) {
  g_kill_at.store(name, std::memory_order_relaxed);
}

void crash_point(const char* name) {
  const char* armed = g_kill_at.load(std::memory_order_relaxed);
  if (armed != nullptr && std::strcmp(armed, name) == 0) ::kill(::getpid(), SIGKILL);
}

}  // namespace tessarin::platform
