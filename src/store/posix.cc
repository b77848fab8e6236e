#include "store/posix.h"

#include <linux/openat2.h>
#include <pthread.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/mutex.h"

namespace qel::posix {

namespace fs = std::filesystem;

// The plan: which call fails, at which count, with which errno. Written only
// while faults_armed is false, so a call that sees it armed sees the plan.
namespace {
std::atomic<Call> planned_call{Call::Open};
std::atomic<uint64_t> planned_nth{0};
std::atomic<int> planned_error{0};
std::array<std::atomic<uint64_t>, CALL_KINDS> counts{};
}  // namespace

std::atomic<bool> detail::faults_armed{false};

std::string_view call_name(Call call) {
  static constexpr std::array<std::string_view, CALL_KINDS> names = {
      "open", "openat2", "read", "write", "stat", "fsync", "rename", "unlink",
      "mkdir", "fchmod", "flock", "dup", "readdir", "close", "getcwd", "socket", "send", "recv"};
  return names[static_cast<size_t>(call)];
}

void arm_fault(Call call, uint64_t nth, int error) {
  detail::faults_armed.store(false, std::memory_order_seq_cst);
  for (auto& count : counts) count.store(0, std::memory_order_relaxed);
  planned_call.store(call, std::memory_order_relaxed);
  planned_nth.store(nth, std::memory_order_relaxed);
  planned_error.store(error, std::memory_order_relaxed);
  detail::faults_armed.store(true, std::memory_order_seq_cst);
}

void disarm_faults() { detail::faults_armed.store(false, std::memory_order_seq_cst); }

uint64_t calls_made(Call call) { return counts[static_cast<size_t>(call)].load(std::memory_order_relaxed); }

bool detail::injected(Call call) {
  const uint64_t n = counts[static_cast<size_t>(call)].fetch_add(1, std::memory_order_relaxed) + 1;
  if (call != planned_call.load(std::memory_order_relaxed) || n != planned_nth.load(std::memory_order_relaxed))
    return false;
  errno = planned_error.load(std::memory_order_relaxed);
  return true;
}

OsError last_error() { return OsError::from_errno(errno); }

uint64_t read_full(int fd, uint64_t offset, std::span<iovec> parts) {
  uint64_t total = 0;
  size_t first = 0;
  errno = 0;
  while (first < parts.size()) {
    if (parts[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t n = posix::preadv(fd, &parts[first], static_cast<int>(parts.size() - first), static_cast<off_t>(offset + total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<uint64_t>(n);
    for (size_t left = static_cast<size_t>(n); left > 0 && first < parts.size();) {
      size_t step = std::min(left, parts[first].iov_len);
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      left -= step;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  return total;
}

Expected<void, OsError> write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = posix::write(fd, bytes.data(), std::min<size_t>(bytes.size(), SSIZE_MAX));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(last_error());
    }
    if (n == 0) return unexpected(OsError::custom(IoKind::WriteZero, "failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Expected<void, OsError> sync_file(int fd) {
  while (fails(Call::Fsync) || ::fsync(fd) != 0) {
    if (errno != EINTR) return unexpected(last_error());
  }
  return {};
}

// Starts at the leaf and climbs only while ancestors are missing: a mkdir
// that fails on an existing ancestor still costs a system call and the
// parent's lock.
Expected<void, OsError> create_dir_all(const fs::path& path) {
  if (posix::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT && path.has_relative_path()) {
    if (auto parent = create_dir_all(path.parent_path()); !parent) return parent;
    if (posix::mkdir(path.c_str(), 0777) == 0) return {};
    err = errno;
  }
  struct stat st {};
  if (err == EEXIST) {
    if (posix::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return {};
      err = ENOTDIR;
    } else if (posix::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      // The kernel's "file exists" would hide why nothing can be made there.
      return unexpected(OsError::custom(IoKind::NotFound, path.native() + " is a dangling symbolic link"));
    }
  }
  return unexpected(OsError::from_errno(err));
}

namespace {

// An open of a directory that must not be a link: a link reads as "not a
// directory" rather than the kernel's "too many levels of symbolic links".
OsError dir_open_error() { return OsError::from_errno(errno == ELOOP ? ENOTDIR : errno); }

Expected<Fd, OsError> narrowed(Fd dir, bool narrow) {
  struct stat st {};
  if (narrow && (posix::fstat(dir.get(), &st) != 0 ||
                 ((st.st_mode & 07777) != 0700 && posix::fchmod(dir.get(), 0700) != 0)))
    return unexpected(last_error());
  return dir;
}

}  // namespace

Expected<Fd, OsError> open_root(const fs::path& root, bool make) {
  Fd dir(posix::open(root.c_str(), DIR_FLAGS));
  if (make && !dir.valid() && errno == ENOENT) {
    if (auto created = create_dir_all(root); !created) return unexpected(created.error());
    dir = Fd(posix::open(root.c_str(), DIR_FLAGS));
  }
  if (!dir.valid()) return unexpected(last_error());
  return narrowed(std::move(dir), make);
}

Expected<Fd, OsError> open_subdir(int parent, const char* name, Narrow narrow) {
  Fd dir(posix::openat(parent, name, DIR_FLAGS | O_NOFOLLOW));
  bool created = false;
  if (!dir.valid() && errno == ENOENT) {
    // Made private at once when it is to be narrowed: no moment open wider.
    created = posix::mkdirat(parent, name, narrow == Narrow::Never ? 0777 : 0700) == 0;
    if (!created && errno != EEXIST) return unexpected(last_error());
    dir = Fd(posix::openat(parent, name, DIR_FLAGS | O_NOFOLLOW));
  }
  if (!dir.valid()) return unexpected(dir_open_error());
  return narrowed(std::move(dir), narrow == Narrow::Always || (narrow == Narrow::IfCreated && created));
}

Expected<Fd, OsError> open_private_dir_beneath(int root, const char* path) {
  Fd dir(open_beneath(root, path, DIR_FLAGS));
  if (!dir.valid()) return unexpected(dir_open_error());
  return narrowed(std::move(dir), true);
}

// openat2 does it in one call and a shorter path walk than the absolute path
// would take; a kernel without it gets one openat per component, each
// refusing links.
int open_beneath(int dirfd, const char* path, int flags) {
  static std::atomic<bool> openat2_missing{false};
  if (!openat2_missing.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd = fails(Call::Openat2) ? -1 : ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  Fd dir(-1);
  int at = dirfd;
  for (const char* slash; (slash = std::strchr(path, '/')) != nullptr; path = slash + 1) {
    const std::string name(path, slash);
    assert(!name.empty() && name != "." && name != "..");
    dir = Fd(posix::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) return -1;
    at = dir.get();
  }
  return posix::openat(at, path, flags | O_NOFOLLOW);
}

int rename_noreplace(int from_dir, const char* from, int to_dir, const char* to) {
  if (fails(Call::Rename)) return -1;
#ifdef SYS_renameat2
  long rc = ::syscall(SYS_renameat2, from_dir, from, to_dir, to, 1 /* RENAME_NOREPLACE */);
  if (rc == 0 || (errno != EINVAL && errno != ENOSYS)) return static_cast<int>(rc);
#endif
  return ::renameat(from_dir, from, to_dir, to);
}

Expected<Listing, OsError> Listing::of(Fd dir) {
  DIR* opened = posix::fdopendir(dir.get());
  if (opened == nullptr) return unexpected(last_error());
  dir.release();
  Listing listing;
  listing.dir_.reset(opened);
  return listing;
}

Expected<void, OsError> Listing::read() {
  errno = 0;
  while (dirent* entry = posix::readdir(dir_.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      entries.push_back({entry->d_name, entry->d_type});
    errno = 0;
  }
  if (errno != 0) return unexpected(last_error());
  return {};
}

namespace {

// Removes everything inside the open directory `dirfd`; never follows a link,
// so a link swapped in mid-walk cannot lead outside the tree.
Expected<void, OsError> remove_contents(int dirfd) {
  Fd copy(posix::dup(dirfd));
  if (!copy.valid()) return unexpected(last_error());
  auto listing = Listing::of(std::move(copy));
  if (!listing) return unexpected(listing.error());
  if (auto read = listing->read(); !read) return read;
  for (const auto& entry : listing->entries) {
    const char* name = entry.name.c_str();
    Fd child(posix::openat(dirfd, name, DIR_FLAGS | O_NOFOLLOW));
    if (child.valid()) {
      if (auto emptied = remove_contents(child.get()); !emptied) return emptied;
      if (posix::unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return unexpected(last_error());
    } else if (unreachable(errno)) {
      if (posix::unlinkat(dirfd, name, 0) != 0 && errno != ENOENT) return unexpected(last_error());
    } else if (errno != ENOENT) {
      return unexpected(last_error());
    }
  }
  return {};
}

}  // namespace

Expected<void, OsError> remove_entry(int dirfd, const char* name, bool expect_dir) {
  if (!expect_dir) {
    if (posix::unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return {};
    if (errno != EISDIR && errno != EPERM) return unexpected(last_error());
  }
  const int unlink_error = expect_dir ? 0 : errno;
  Fd dir(posix::openat(dirfd, name, DIR_FLAGS | O_NOFOLLOW));
  if (!dir.valid()) {
    if (errno == ENOENT) return {};
    if (!unreachable(errno)) return unexpected(last_error());
    if (!expect_dir) return unexpected(OsError::from_errno(unlink_error));
    if (posix::unlinkat(dirfd, name, 0) != 0 && errno != ENOENT) return unexpected(last_error());
    return {};
  }
  if (auto emptied = remove_contents(dir.get()); !emptied) return emptied;
  if (posix::unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return unexpected(last_error());
  return {};
}

namespace {

// Taken last: a store holds its revive mutex while it opens and drops roots.
Mutex process_fds_mutex;
std::vector<int*> process_fds GUARDED_BY(process_fds_mutex);  // the descriptor of every live ProcessFd

// The process's one fork handler. process_fds_mutex is held across the fork,
// so that the child finds the registry whole.
void before_fork() ACQUIRE(process_fds_mutex) { process_fds_mutex.lock(); }
void in_parent_after_fork() RELEASE(process_fds_mutex) { process_fds_mutex.unlock(); }

// The only thread of the child. A plain close, never LOCK_UN: a lock is the
// parent's, on the open file the parent shares.
void in_child_after_fork() RELEASE(process_fds_mutex) {
  detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
  for (int* fd : process_fds) {
    ::close(*fd);
    *fd = -1;
  }
  process_fds.clear();
  process_fds_mutex.unlock();
}

void register_fork_handler() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(before_fork, in_parent_after_fork, in_child_after_fork); });
}

}  // namespace

std::atomic<uint64_t> detail::fork_generation{0};

uint64_t fork_generation() {
  register_fork_handler();
  return detail::fork_generation.load(std::memory_order_relaxed);
}

ProcessFd::ProcessFd(Fd fd) : fd_(fd.release()) {
  register_fork_handler();
  MutexLock guard(process_fds_mutex);
  process_fds.push_back(&fd_);
}

ProcessFd::~ProcessFd() {
  {
    MutexLock guard(process_fds_mutex);
    process_fds.erase(std::find(process_fds.begin(), process_fds.end(), &fd_));
  }
  if (fd_ >= 0) posix::close(fd_);  // -1: a forked child's copy, closed already
}

RootDir::~RootDir() {
  // Explicitly, before the close: the lock belongs to the open file, which
  // outlives this descriptor in any child that kept a copy.
  if (fd() >= 0) posix::flock(fd(), LOCK_UN);
}

bool RootDir::linked() const {
  struct stat st {};
  return posix::fstat(fd(), &st) == 0 && st.st_nlink > 0;
}

}  // namespace qel::posix
