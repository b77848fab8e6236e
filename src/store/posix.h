// posix: the system layer under the store. Every system call the store makes
// goes through a wrapper here, which behaves as the call does (-1 or nullptr
// and errno on failure) unless a test has planned that call to fail: the
// fault seam below fails the Nth call of one kind with a chosen errno, in
// process. On top of the wrappers: a descriptor that closes itself, link-free
// resolution beneath a directory, the never-replacing rename, fsync, removal
// of trees, directory listings, the cache root with its exclusive lock, and
// the process's one fork handler: a forked child closes every descriptor that
// belongs to its parent's open caches (ProcessFd) and counts one more fork
// generation. Everything may run from any thread; the fault plan and the
// generation are atomics, and the descriptor registry has its own mutex.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/error.h"

namespace qel::posix {

// The kinds of call the fault seam tells apart.
enum class Call : uint8_t {
  Open,     // open, openat
  Openat2,  // the link-free resolution; ENOSYS makes the kernel look older
  Read,     // preadv
  Write,
  Stat,     // stat, lstat, fstat, fstatat
  Fsync,
  Rename,   // renameat2, renameat
  Unlink,   // unlinkat, files and directories
  Mkdir,    // mkdir, mkdirat
  Fchmod,
  Flock,
  Dup,
  Readdir,  // fdopendir, readdir
  Close,    // the descriptor is closed all the same
  Getcwd,
  Socket,   // socket, bind, listen, connect, accept4, getsockopt
  Send,
  Recv,
};
inline constexpr size_t CALL_KINDS = static_cast<size_t>(Call::Recv) + 1;
std::string_view call_name(Call call);

// Test seam. arm_fault fails the `nth` call of `call` from now on (1: the
// next one) with `error`, once, and counts the calls of every kind until
// disarm_faults; nth 0 only counts. Calls from every thread count.
void arm_fault(Call call, uint64_t nth, int error);
void disarm_faults();
uint64_t calls_made(Call call);

namespace detail {
extern std::atomic<bool> faults_armed;
bool injected(Call call);
extern std::atomic<uint64_t> fork_generation;
}  // namespace detail

// True, with errno set, when this call is the one planned to fail. One
// relaxed load when nothing is planned.
inline bool fails(Call call) {
  return detail::faults_armed.load(std::memory_order_relaxed) && detail::injected(call);
}

inline int open(const char* path, int flags, mode_t mode = 0) {
  return fails(Call::Open) ? -1 : ::open(path, flags, mode);
}
inline int openat(int dir, const char* path, int flags, mode_t mode = 0) {
  return fails(Call::Open) ? -1 : ::openat(dir, path, flags, mode);
}
inline ssize_t preadv(int fd, const iovec* parts, int count, off_t offset) {
  return fails(Call::Read) ? -1 : ::preadv(fd, parts, count, offset);
}
inline ssize_t write(int fd, const void* bytes, size_t len) { return fails(Call::Write) ? -1 : ::write(fd, bytes, len); }
inline int stat(const char* path, struct stat* st) { return fails(Call::Stat) ? -1 : ::stat(path, st); }
inline int lstat(const char* path, struct stat* st) { return fails(Call::Stat) ? -1 : ::lstat(path, st); }
inline int fstat(int fd, struct stat* st) { return fails(Call::Stat) ? -1 : ::fstat(fd, st); }
inline int fstatat(int dir, const char* path, struct stat* st, int flags) {
  return fails(Call::Stat) ? -1 : ::fstatat(dir, path, st, flags);
}
inline int unlinkat(int dir, const char* path, int flags) {
  return fails(Call::Unlink) ? -1 : ::unlinkat(dir, path, flags);
}
inline int mkdir(const char* path, mode_t mode) { return fails(Call::Mkdir) ? -1 : ::mkdir(path, mode); }
inline int mkdirat(int dir, const char* path, mode_t mode) {
  return fails(Call::Mkdir) ? -1 : ::mkdirat(dir, path, mode);
}
inline int fchmod(int fd, mode_t mode) { return fails(Call::Fchmod) ? -1 : ::fchmod(fd, mode); }
inline int flock(int fd, int operation) { return fails(Call::Flock) ? -1 : ::flock(fd, operation); }
inline int dup(int fd) { return fails(Call::Dup) ? -1 : ::dup(fd); }
inline DIR* fdopendir(int fd) { return fails(Call::Readdir) ? nullptr : ::fdopendir(fd); }
inline dirent* readdir(DIR* dir) { return fails(Call::Readdir) ? nullptr : ::readdir(dir); }
inline char* getcwd(char* buf, size_t len) { return fails(Call::Getcwd) ? nullptr : ::getcwd(buf, len); }
inline int socket(int domain, int type, int protocol) {
  return fails(Call::Socket) ? -1 : ::socket(domain, type, protocol);
}
inline int bind(int fd, const sockaddr* address, socklen_t len) {
  return fails(Call::Socket) ? -1 : ::bind(fd, address, len);
}
inline int listen(int fd, int backlog) { return fails(Call::Socket) ? -1 : ::listen(fd, backlog); }
inline int connect(int fd, const sockaddr* address, socklen_t len) {
  return fails(Call::Socket) ? -1 : ::connect(fd, address, len);
}
inline int accept4(int fd, int flags) { return fails(Call::Socket) ? -1 : ::accept4(fd, nullptr, nullptr, flags); }
inline int getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  return fails(Call::Socket) ? -1 : ::getsockopt(fd, level, name, value, len);
}
inline ssize_t send(int fd, const void* bytes, size_t len, int flags) {
  return fails(Call::Send) ? -1 : ::send(fd, bytes, len, flags);
}
inline ssize_t recv(int fd, void* bytes, size_t len, int flags) {
  return fails(Call::Recv) ? -1 : ::recv(fd, bytes, len, flags);
}
inline int close(int fd) {
  const bool failed = fails(Call::Close);
  const int rc = ::close(fd);
  return failed ? -1 : rc;
}

// Closes on every return path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) posix::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

inline constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

OsError last_error();

// A walk that ran into a link or a non-directory: nothing of the cache's can
// be at its end.
inline bool unreachable(int err) { return err == ELOOP || err == ENOTDIR; }

// Fills the buffers in order from `offset` of the file, as far as it goes;
// returns the number of bytes read, short at the end of the file or on an
// error, which errno then names (0 at the end). Leaves the file position alone.
uint64_t read_full(int fd, uint64_t offset, std::span<iovec> parts);
Expected<void, OsError> write_all(int fd, std::span<const uint8_t> bytes);
Expected<void, OsError> sync_file(int fd);

// mkdir -p with mode 0777 before the umask; an existing directory is fine.
Expected<void, OsError> create_dir_all(const std::filesystem::path& path);

// Which directories get their permission bits set to exactly 0700.
enum class Narrow { Always, IfCreated, Never };
// The root as the caller named it, links and all. `make` creates it when
// missing and narrows it; without, the directory is left as it is found.
Expected<Fd, OsError> open_root(const std::filesystem::path& root, bool make);
// The directory `name` inside `parent`, created when missing and never
// reached through a link; a link or non-directory there fails with ENOTDIR.
Expected<Fd, OsError> open_subdir(int parent, const char* name, Narrow narrow);
// The existing directory at `path` beneath `root`, reached without links and
// narrowed to 0700.
Expected<Fd, OsError> open_private_dir_beneath(int root, const char* path);

// Resolves `path` below `dirfd` without following any link, the last
// component included, and without leaving `dirfd`'s tree; fails with ELOOP or
// ENOTDIR where a link or a non-directory stands in the way.
int open_beneath(int dirfd, const char* path, int flags);

// Renames without ever replacing what is at `to`; 0 or -1 and errno.
int rename_noreplace(int from_dir, const char* from, int to_dir, const char* to);

// Removes `name` in `dirfd`, a directory with everything in it, never
// following a link; absent counts as removed. `expect_dir` only picks which
// removal is tried first.
Expected<void, OsError> remove_entry(int dirfd, const char* name, bool expect_dir);

// An open directory and its entries but . and ..; the directory stays open
// for looking them up.
class Listing {
 public:
  struct Entry {
    std::string name;
    unsigned char type;  // as listed; DT_UNKNOWN where the file system does not say
  };
  // Takes over `dir`, open on a directory; fails when it cannot be listed.
  static Expected<Listing, OsError> of(Fd dir);
  // Reads all entries into `entries`.
  Expected<void, OsError> read();
  int fd() const { return ::dirfd(dir_.get()); }

  std::vector<Entry> entries;

 private:
  std::unique_ptr<DIR, int (*)(DIR*)> dir_{nullptr, ::closedir};
};

// How many forks lie between this process and the ancestor that first put
// the fork handler in place; it is in place once this returns.
// Something opened under one generation belongs, under another, to a parent
// whose threads do not exist here.
uint64_t fork_generation();
// One relaxed load: cheap enough to ask on every call.
inline bool forked_since(uint64_t generation) {
  return detail::fork_generation.load(std::memory_order_relaxed) != generation;
}

// A descriptor that belongs to the process that opened it. A child made by
// fork never uses what its parent opened for a cache, yet its copies would
// keep the parent's directory lock, sockets and connections alive for as long
// as the child lives: the fork handler closes every ProcessFd in the child at
// once, and the object then holds -1.
class ProcessFd {
 public:
  explicit ProcessFd(Fd fd);
  ~ProcessFd();
  ProcessFd(const ProcessFd&) = delete;
  ProcessFd& operator=(const ProcessFd&) = delete;

  int get() const { return fd_; }

 private:
  int fd_;
};

// The cache root, open for as long as a store holds it; when locked, it
// carries the exclusive lock that marks the directory as in use.
class RootDir {
 public:
  explicit RootDir(Fd fd) : fd_(std::move(fd)) {}
  ~RootDir();
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;

  int fd() const { return fd_.get(); }
  // Takes the lock without waiting; false and errno when it is not had.
  bool lock() const { return posix::flock(fd(), LOCK_EX | LOCK_NB) == 0; }
  // Still reachable at its path, rather than removed under the cache.
  bool linked() const;

 private:
  ProcessFd fd_;
};

}  // namespace qel::posix
