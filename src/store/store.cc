#include "store/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/utf8.h"

namespace qel {

std::atomic<uint64_t> TEMP_SEQUENCE{1};

namespace fs = std::filesystem;

namespace {

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
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

OsError last_error() { return OsError::from_errno(errno); }

// Reads exactly `len` bytes; reaching the end first is an error of its own.
Expected<void, OsError> read_exact(int fd, uint8_t* buf, size_t len) {
  while (len > 0) {
    ssize_t n = ::read(fd, buf, std::min<size_t>(len, SSIZE_MAX));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(last_error());
    }
    if (n == 0) return unexpected(OsError::custom(IoKind::UnexpectedEof, "failed to fill whole buffer"));
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return {};
}

Expected<void, OsError> write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), std::min<size_t>(bytes.size(), SSIZE_MAX));
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
#ifdef __APPLE__
  while (fcntl(fd, F_FULLFSYNC) != 0) {
#else
  while (::fsync(fd) != 0) {
#endif
    if (errno != EINTR) return unexpected(last_error());
  }
  return {};
}

// mkdir -p with mode 0777 before the umask; an existing directory is fine.
// Starts at the leaf and climbs only while ancestors are missing: every commit
// comes here, and a mkdir that fails on an existing ancestor still costs a
// system call and the parent's lock.
Expected<void, OsError> create_dir_all(const fs::path& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT && path.has_relative_path()) {
    if (auto parent = create_dir_all(path.parent_path()); !parent) return parent;
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    err = errno;
  }
  struct stat st {};
  if (err == EEXIST) {
    if (::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return {};
      err = ENOTDIR;
    } else if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      // The kernel's "file exists" would hide why nothing can be made there.
      return unexpected(OsError::custom(IoKind::NotFound, path.native() + " is a dangling symbolic link"));
    }
  }
  return unexpected(OsError::from_errno(err));
}

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// An open of a directory that must not be a link: a link reads as "not a
// directory" rather than the kernel's "too many levels of symbolic links".
OsError dir_open_error() { return OsError::from_errno(errno == ELOOP ? ENOTDIR : errno); }

// `narrow` sets the open directory's permission bits to exactly 0700.
Expected<Fd, OsError> narrowed(Fd dir, bool narrow) {
  struct stat st {};
  if (narrow && (::fstat(dir.get(), &st) != 0 || ((st.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0)))
    return unexpected(last_error());
  return dir;
}

// The root as the caller named it, links and all; created when missing.
Expected<Fd, OsError> open_root(const fs::path& root, bool narrow) {
  Fd dir(::open(root.c_str(), DIR_FLAGS));
  if (!dir.valid() && errno == ENOENT) {
    if (auto created = create_dir_all(root); !created) return unexpected(created.error());
    dir = Fd(::open(root.c_str(), DIR_FLAGS));
  }
  if (!dir.valid()) return unexpected(last_error());
  return narrowed(std::move(dir), narrow);
}

enum class Narrow { Always, IfCreated, Never };

// The cache's own directory `name` inside `parent`, created when missing and
// never reached through a link: whatever the cache creates, writes or
// re-permissions must lie inside its root.
Expected<Fd, OsError> open_subdir(int parent, const char* name, Narrow narrow) {
  Fd dir(::openat(parent, name, DIR_FLAGS | O_NOFOLLOW));
  bool created = false;
  if (!dir.valid() && errno == ENOENT) {
    created = ::mkdirat(parent, name, 0777) == 0;
    if (!created && errno != EEXIST) return unexpected(last_error());
    dir = Fd(::openat(parent, name, DIR_FLAGS | O_NOFOLLOW));
  }
  if (!dir.valid()) return unexpected(dir_open_error());
  return narrowed(std::move(dir), narrow == Narrow::Always || (narrow == Narrow::IfCreated && created));
}

// Resolves `path` below `dirfd` without following any link, the last
// component included, and without leaving `dirfd`'s tree; fails with ELOOP or
// ENOTDIR where a link or a non-directory stands in the way. openat2 does it
// in one call and a shorter path walk than the absolute path would take; a
// kernel without it gets one openat per component, each refusing links.
int open_beneath(int dirfd, const char* path, int flags) {
  static std::atomic<bool> openat2_missing{false};
  if (!openat2_missing.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  Fd dir(-1);
  int at = dirfd;
  for (const char* slash; (slash = std::strchr(path, '/')) != nullptr; path = slash + 1) {
    const std::string name(path, slash);
    assert(!name.empty() && name != "." && name != "..");
    dir = Fd(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) return -1;
    at = dir.get();
  }
  return ::openat(at, path, flags | O_NOFOLLOW);
}

// A walk that ran into a link or a non-directory: nothing of the cache's can
// be at its end.
bool unreachable(int err) { return err == ELOOP || err == ENOTDIR; }

// Publishes without ever replacing: a file another process committed at the
// same path after our existence check must survive.
int rename_noreplace(int from_dir, const char* from, int to_dir, const char* to) {
#ifdef SYS_renameat2
  long rc = ::syscall(SYS_renameat2, from_dir, from, to_dir, to, 1 /* RENAME_NOREPLACE */);
  if (rc == 0 || (errno != EINVAL && errno != ENOSYS)) return static_cast<int>(rc);
#endif
  return ::renameat(from_dir, from, to_dir, to);
}

// Removes everything inside the open directory `dirfd`; never follows a link,
// so a link swapped in mid-walk cannot lead outside the tree.
Expected<void, OsError> remove_contents(int dirfd) {
  int listing_fd = ::dup(dirfd);
  if (listing_fd < 0) return unexpected(last_error());
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    OsError error = last_error();
    ::close(listing_fd);
    return unexpected(error);
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    errno = 0;
  }
  int read_error = errno;
  ::closedir(dir);
  if (read_error != 0) return unexpected(OsError::from_errno(read_error));

  for (const auto& name : names) {
    Fd child(::openat(dirfd, name.c_str(), DIR_FLAGS | O_NOFOLLOW));
    if (child.valid()) {
      if (auto emptied = remove_contents(child.get()); !emptied) return emptied;
      if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return unexpected(last_error());
    } else if (errno == ENOTDIR || errno == ELOOP) {
      if (::unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT) return unexpected(last_error());
    } else if (errno != ENOENT) {
      return unexpected(last_error());
    }
  }
  return {};
}

// Removes `name` in `dirfd`, a directory with everything in it; absent counts
// as removed. `expect_dir` only picks which removal is tried first.
Expected<void, OsError> remove_entry(int dirfd, const char* name, bool expect_dir) {
  if (!expect_dir) {
    if (::unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return {};
    if (errno != EISDIR && errno != EPERM) return unexpected(last_error());
  }
  const int unlink_error = expect_dir ? 0 : errno;
  Fd dir(::openat(dirfd, name, DIR_FLAGS | O_NOFOLLOW));
  if (!dir.valid()) {
    if (errno == ENOENT) return {};
    if (!unreachable(errno)) return unexpected(last_error());
    if (!expect_dir) return unexpected(OsError::from_errno(unlink_error));
    if (::unlinkat(dirfd, name, 0) != 0 && errno != ENOENT) return unexpected(last_error());
    return {};
  }
  if (auto emptied = remove_contents(dir.get()); !emptied) return emptied;
  if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return unexpected(last_error());
  return {};
}

// Every root descriptor of the process. A child made by fork never uses a
// cache opened before the fork, yet its copy of the descriptor would keep the
// directory's lock alive as long as the child lives, past the parent's close
// or death: the child closes them all at once.
std::mutex roots_mutex;
std::vector<RootDir*> process_roots;  // guarded by roots_mutex

void register_fork_handler();

}  // namespace

// The cache root, open for as long as a store copy holds it; when locked, it
// carries the lock that marks the directory as in use.
class RootDir {
 public:
  explicit RootDir(Fd fd) : fd_(fd.release()) {
    register_fork_handler();
    std::lock_guard guard(roots_mutex);
    process_roots.push_back(this);
  }
  ~RootDir() {
    {
      std::lock_guard guard(roots_mutex);
      process_roots.erase(std::find(process_roots.begin(), process_roots.end(), this));
    }
    if (fd_ < 0) return;  // a forked child's copy, closed already
    // Explicitly, before the close: the lock belongs to the open file, which
    // outlives this descriptor in any child that kept a copy.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;

  int fd() const { return fd_; }
  bool lock() const { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  // Still reachable at its path, rather than removed under the cache.
  bool linked() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && st.st_nlink > 0;
  }

  // In a forked child, with roots_mutex held by the forking thread.
  static void forget_all_in_child() {
    for (RootDir* root : process_roots) {
      ::close(root->fd_);
      root->fd_ = -1;
    }
    process_roots.clear();
  }

 private:
  int fd_;
};

struct LocalFileStore::Shared {
  // The root in use: replaced only with revive_mutex held, read without it,
  // so that a get pays one plain load for it. A replaced root stays open in
  // `roots` until the release, since a reader may still be using it; there is
  // one per time the directory was removed under the open cache.
  std::atomic<const RootDir*> root{nullptr};
  std::mutex revive_mutex;
  std::vector<std::unique_ptr<RootDir>> roots;  // guarded by revive_mutex; `root` is the last
  bool locking = false;                         // guarded by revive_mutex
  bool released = false;                        // guarded by revive_mutex
};

namespace {

void register_fork_handler() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    pthread_atfork([] { roots_mutex.lock(); }, [] { roots_mutex.unlock(); },
                   [] {
                     RootDir::forget_all_in_child();
                     roots_mutex.unlock();
                   });
  });
}

// Bytes that are not valid UTF-8 become U+FFFD.
std::string display_utf8(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (size_t len = utf8_sequence_len(raw, i)) {
      out.append(raw, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr std::string_view BLOB_SUFFIX = ".blob";

// The one-shot SHA256() looks the algorithm up again on every call, which
// cost twice the hash.
BlobDigest blob_digest(std::string_view blob_id) {
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  BlobDigest digest;
  if (sha256 == nullptr || EVP_Digest(blob_id.data(), blob_id.size(), digest.data(), nullptr, sha256, nullptr) != 1)
    SHA256(reinterpret_cast<const unsigned char*>(blob_id.data()), blob_id.size(), digest.data());
  return digest;
}

// blobs_dir/H1/H2/<hex digest>.blob as one string. Every read checks a file
// against it, so it is built directly: joining path components one at a time
// cost as much as the hash.
std::string blob_path_text(const fs::path& blobs_dir, const BlobDigest& digest) {
  static_assert(sizeof(BlobDigest) == SHA256_DIGEST_LENGTH);
  char hex[2 * SHA256_DIGEST_LENGTH];
  for (size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    hex[2 * i] = HEX_DIGITS[digest[i] >> 4];
    hex[2 * i + 1] = HEX_DIGITS[digest[i] & 0xF];
  }
  std::string text;
  text.reserve(blobs_dir.native().size() + sizeof hex + 12);
  text.append(blobs_dir.native()).append("/").append(hex, 2).append("/").append(hex + 2, 2).append("/");
  text.append(hex, sizeof hex).append(BLOB_SUFFIX);
  return text;
}

// Whether `blob_id` belongs at `path`, compared component by component; equal
// text settles the usual case without splitting either path.
bool maps_to(const fs::path& blobs_dir, std::string_view blob_id, const std::string& path) {
  std::string expected = blob_path_text(blobs_dir, blob_digest(blob_id));
  return path == expected || fs::path(std::move(expected)).compare(fs::path(path)) == 0;
}

BlobCacheError lock_failure(const fs::path& root, int err) {
  return BlobCacheError::io("lock blob cache directory " + display_utf8(root.native()),
                            err == EWOULDBLOCK ? OsError::custom(IoKind::Other, "in use by another open cache")
                                               : OsError::from_errno(err));
}

// Paths compare as text: every record sits at its ID's path, and paths of
// that one shape order as text just as component by component.
bool newer_first(const FileMetadata& a, const FileMetadata& b) {
  if (a.modified != b.modified) return a.modified > b.modified;
  return a.path < b.path;
}

}  // namespace

LocalFileStore::LocalFileStore(fs::path root)
    : root_(std::move(root)), tmp_dir_(root_ / "tmp"), blobs_dir_(root_ / "blobs"), shared_(std::make_shared<Shared>()) {}

Result<LocalFileStore> LocalFileStore::create(std::string_view directory) {
  // A NUL would silently name a shorter path to every system call.
  if (directory.find('\0') != std::string_view::npos)
    return unexpected(BlobCacheError::io_errno("create blob cache root", EINVAL));
  fs::path path{std::string(directory)};
  if (path.is_absolute()) return LocalFileStore(std::move(path));
  std::vector<char> cwd(PATH_MAX);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return unexpected(BlobCacheError::io_errno("resolve blob cache root", errno));
    cwd.resize(cwd.size() * 2);
  }
  return LocalFileStore(fs::path(cwd.data()) / path);
}

Result<const RootDir*> LocalFileStore::held_root(bool revive) const {
  const RootDir* root = shared_->root.load(std::memory_order_acquire);
  if (root && (!revive || root->linked())) return root;
  std::lock_guard guard(shared_->revive_mutex);
  root = shared_->root.load(std::memory_order_acquire);
  if (root && root->linked()) return root;  // made again by another thread
  if (shared_->released) return unexpected(BlobCacheError::closed());
  auto opened = open_root(root_, true);
  if (!opened) return unexpected(BlobCacheError::io("create blob cache root", opened.error()));
  auto fresh = std::make_unique<RootDir>(std::move(*opened));
  if (shared_->locking && !fresh->lock()) return unexpected(lock_failure(root_, errno));
  root = shared_->roots.emplace_back(std::move(fresh)).get();
  shared_->root.store(root, std::memory_order_release);
  return root;
}

Result<void> LocalFileStore::lock_root() const {
  const RootDir* root;
  {
    std::lock_guard guard(shared_->revive_mutex);
    shared_->locking = true;
    root = shared_->root.load(std::memory_order_acquire);
  }
  if (!root) {
    auto opened = held_root(true);  // opens and locks it
    if (!opened) return unexpected(std::move(opened).error());
    return {};
  }
  if (!root->lock()) return unexpected(lock_failure(root_, errno));
  return {};
}

void LocalFileStore::release_root() const {
  std::lock_guard guard(shared_->revive_mutex);
  shared_->released = true;
  shared_->root.store(nullptr, std::memory_order_release);
  shared_->roots.clear();
}

Result<void> LocalFileStore::prepare() const {
  auto fail = [](const char* context, const OsError& error) { return unexpected(BlobCacheError::io(context, error)); };
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto tmp = open_subdir((*root)->fd(), "tmp", Narrow::Always); !tmp)
    return fail("create blob cache temp directory", tmp.error());
  if (auto blobs = open_subdir((*root)->fd(), "blobs", Narrow::Always); !blobs)
    return fail("create blob cache data directory", blobs.error());
  return {};
}

const char* LocalFileStore::beneath_root(const std::string& text) const {
  std::string_view base = root_.native();
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  if (text.size() <= base.size() + 1 || text.compare(0, base.size(), base) != 0 || text[base.size()] != '/') return nullptr;
  size_t start = base.size();
  while (start < text.size() && text[start] == '/') ++start;
  return start < text.size() ? text.c_str() + start : nullptr;
}

fs::path LocalFileStore::path_for(std::string_view blob_id) const {
  return fs::path(blob_path_text(blobs_dir_, blob_digest(blob_id)));
}

fs::path LocalFileStore::path_of(const BlobDigest& digest) const { return fs::path(blob_path_text(blobs_dir_, digest)); }

std::optional<BlobDigest> LocalFileStore::digest_in(const fs::path& path) {
  const std::string name = path.filename().native();
  if (name.size() != 2 * sizeof(BlobDigest) + BLOB_SUFFIX.size() || !name.ends_with(BLOB_SUFFIX)) return std::nullopt;
  auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  BlobDigest digest;
  for (size_t i = 0; i < digest.size(); ++i) {
    const int high = nibble(name[2 * i]), low = nibble(name[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}

Result<FileMetadata> LocalFileStore::metadata_for(std::string_view blob_id, std::span<const uint8_t> payload) const {
  auto metadata = calculate_metadata(blob_id, payload, blob_path_text(blobs_dir_, blob_digest(blob_id)));
  if (metadata) metadata->path_of_id = valid_utf8(blob_id);
  return metadata;
}

std::string LocalFileStore::relative(const fs::path& path) const {
  auto root_it = root_.begin();
  auto path_it = path.begin();
  for (; root_it != root_.end() && path_it != path.end() && *root_it == *path_it; ++root_it, ++path_it) {
  }
  if (root_it != root_.end()) return display_utf8(path.native());
  fs::path rest;
  for (; path_it != path.end(); ++path_it) rest /= *path_it;
  return display_utf8(rest.native());
}

Expected<bool, CommitFailure> LocalFileStore::commit(const FileMetadata& metadata, std::span<const uint8_t> payload,
                                                     const PublishGate& gate) const {
  auto fail = [](BlobCacheError error) { return unexpected(CommitFailure{std::move(error), std::nullopt}); };
  const fs::path final_path(metadata.path);
  const fs::path shard_path = final_path.parent_path();
  if (shard_path.parent_path().parent_path() != blobs_dir_)
    return fail(BlobCacheError::invalid_blob("cache path outside the data directory"));
  auto shard_error = [&](const OsError& error) { return fail(BlobCacheError::io("create blob cache shard", error)); };
  auto root = held_root(true);
  if (!root) return fail(std::move(root).error());
  // Both shard levels belong to the cache alone: a link or file standing in
  // for one is replaced, or every ID of the shard would stay unusable.
  auto shard_dir = [](int parent, const char* name, Narrow narrow) {
    auto dir = open_subdir(parent, name, narrow);
    if (dir || dir.error().code() != ENOTDIR) return dir;
    if (auto removed = remove_entry(parent, name, false); !removed) return Expected<Fd, OsError>(unexpected(removed.error()));
    return open_subdir(parent, name, narrow);
  };
  auto shard = open_subdir((*root)->fd(), "blobs", Narrow::IfCreated);
  if (shard) shard = shard_dir(shard->get(), shard_path.parent_path().filename().c_str(), Narrow::Never);
  if (shard) shard = shard_dir(shard->get(), shard_path.filename().c_str(), Narrow::Always);
  if (!shard) return shard_error(shard.error());
  const std::string final_name = final_path.filename().native();
  struct stat st {};
  if (::fstatat(shard->get(), final_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISREG(st.st_mode)) return fail(BlobCacheError::blob_id_mismatch(metadata.blob_id));
    // No blob is stored in anything else; left there, it would make the ID
    // unusable.
    if (auto removed = remove_entry(shard->get(), final_name.c_str(), S_ISDIR(st.st_mode)); !removed)
      return fail(BlobCacheError::io("remove cache entry " + relative(metadata.path), removed.error()));
  } else if (errno != ENOENT) {
    return fail(BlobCacheError::io_errno("inspect final cache path", errno));
  }

  auto tmp_dir = open_subdir((*root)->fd(), "tmp", Narrow::IfCreated);
  if (!tmp_dir) return fail(BlobCacheError::io("create blob cache temp file", tmp_dir.error()));
  std::string temp_name;
  int raw_fd = -1;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && raw_fd < 0; ++attempt) {
    uint64_t sequence = TEMP_SEQUENCE.fetch_add(1);
    temp_name = "blob-" + std::to_string(static_cast<uint32_t>(::getpid())) + "-" + std::to_string(sequence) + ".tmp";
    raw_fd = ::openat(tmp_dir->get(), temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (raw_fd < 0 && errno != EEXIST) return fail(BlobCacheError::io_errno("create blob cache temp file", errno));
  }
  if (raw_fd < 0)
    return fail(BlobCacheError::io("create blob cache temp file",
                                   OsError::custom(IoKind::AlreadyExists, "temporary filename attempts exhausted")));

  std::optional<BlobCacheError> error;
  {
    Fd fd(raw_fd);
    if (metadata.blob_id.size() > UINT32_MAX) {
      error = BlobCacheError::invalid_blob("blob ID length overflows u32");
    } else {
      auto header = encode_header(static_cast<uint32_t>(metadata.blob_id.size()), payload.size(), metadata.checksum);
      auto id = std::span(reinterpret_cast<const uint8_t*>(metadata.blob_id.data()), metadata.blob_id.size());
      if (auto w = write_all(fd.get(), header); !w) error = BlobCacheError::io("write blob cache header", w.error());
      else if (auto w = write_all(fd.get(), id); !w) error = BlobCacheError::io("write blob cache ID", w.error());
      else if (auto w = write_all(fd.get(), payload); !w) error = BlobCacheError::io("write blob cache payload", w.error());
      else if (auto s = sync_file(fd.get()); !s) error = BlobCacheError::io("flush blob cache temp file", s.error());
    }
  }  // closed before the rename, and before any removal
  if (!error) {
    std::optional<int> renamed = gate([&] {
      return rename_noreplace(tmp_dir->get(), temp_name.c_str(), shard->get(), final_name.c_str()) == 0 ? 0 : errno;
    });
    if (renamed == 0) return true;
    if (renamed) {
      error = *renamed == EEXIST ? BlobCacheError::blob_id_mismatch(metadata.blob_id)
                                 : BlobCacheError::io_errno("commit blob cache file", *renamed);
    }
  }
  if (::unlinkat(tmp_dir->get(), temp_name.c_str(), 0) != 0 && errno != ENOENT) {
    OsError removed = last_error();
    BlobCacheError failure =
        error ? BlobCacheError::reconciliation(error->to_string() + "; remove temporary file: " + removed.to_string())
              : BlobCacheError::io("remove blob cache temp file", removed);
    return unexpected(CommitFailure{std::move(failure), tmp_dir_ / temp_name});
  }
  if (!error) return false;
  return fail(std::move(*error));
}

Result<BlobPrefix> LocalFileStore::read_prefix(int fd, int64_t file_len, const fs::path& path) const {
  // The message's path is only worked out when there is a message.
  auto corrupt = [&](const std::string& what, const std::string& detail = {}) {
    return unexpected(BlobCacheError::corrupt_entry(what + relative(path) + detail));
  };
  if (file_len < static_cast<int64_t>(HEADER_LEN)) return corrupt("truncated header ");
  std::array<uint8_t, HEADER_LEN> raw{};
  if (auto got = read_exact(fd, raw.data(), raw.size()); !got) return corrupt("read header ", ": " + got.error().to_string());
  auto header = decode_header(raw);
  if (!header) return corrupt(header.error().message() + ": ");
  if (header->id_len == 0 || header->id_len > MAX_BLOB_ID_LEN) return corrupt("invalid blob ID length ");
  uint64_t prefix = HEADER_LEN + uint64_t{header->id_len};
  if (header->payload_len > UINT64_MAX - prefix) return corrupt("file length overflow ");
  // Checked before anything is sized from the header's lengths.
  if (prefix + header->payload_len != static_cast<uint64_t>(file_len)) return corrupt("file length mismatch ");
  std::string blob_id(header->id_len, '\0');
  if (auto got = read_exact(fd, reinterpret_cast<uint8_t*>(blob_id.data()), blob_id.size()); !got)
    return corrupt("read blob ID ", ": " + got.error().to_string());
  if (!valid_utf8(blob_id)) return corrupt("invalid blob ID UTF-8 ");
  if (!maps_to(blobs_dir_, blob_id, path)) return corrupt("blob ID path mismatch ");
  return BlobPrefix{*header, std::move(blob_id)};
}

namespace {

// Checks what an open of a blob file gave: failures and anything but a
// regular file are reported for `path`; errno is still the open's.
Result<int> regular_file(const LocalFileStore& store, int fd, const std::string& path, struct stat& st) {
  if (fd < 0) {
    // ENXIO: a socket, which no open reaches.
    if (unreachable(errno) || errno == ENXIO)
      return unexpected(BlobCacheError::corrupt_entry("non-regular file " + store.relative(path)));
    return unexpected(BlobCacheError::io_errno("open cache entry " + store.relative(path), errno));
  }
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return unexpected(BlobCacheError::io_errno("stat cache entry " + store.relative(path), err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return unexpected(BlobCacheError::corrupt_entry("non-regular file " + store.relative(path)));
  }
  return fd;
}

constexpr int BLOB_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Opens a blob file below the root for reading, without following a link on
// the way or at its path and without blocking on a FIFO; only regular files
// get past it. A link or non-directory on the way leaves nothing to read.
Result<int> open_blob(const LocalFileStore& store, int root, const char* beneath, const std::string& path, struct stat& st) {
  if (beneath == nullptr)
    return unexpected(BlobCacheError::io("open cache entry " + store.relative(path),
                                         OsError::custom(IoKind::InvalidInput, "outside the cache directory")));
  return regular_file(store, open_beneath(root, beneath, BLOB_OPEN_FLAGS), path, st);
}

// Fills the buffers in order from the start of the file, as far as it goes;
// returns the number of bytes read. Leaves the file position alone.
uint64_t pread_all(int fd, std::span<iovec> parts) {
  uint64_t total = 0;
  size_t first = 0;
  while (first < parts.size()) {
    if (parts[first].iov_len == 0) {
      ++first;
      continue;
    }
    ssize_t n = ::preadv(fd, &parts[first], static_cast<int>(parts.size() - first), static_cast<off_t>(total));
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

// The payload of a file that is exactly what its record says, read with one
// call: header and ID into a small buffer, the payload into its own. Checks
// what read_prefix and read check, in memory. Any file that fails gets
// nothing here; the caller then goes over it step by step to say what is wrong.
std::optional<Payload> read_as_recorded(const fs::path& blobs_dir, int fd, int64_t size, const std::string& path,
                                        std::string_view id, int64_t file_len, uint32_t checksum, bool path_of_id) {
  const size_t head_len = HEADER_LEN + id.size();
  if (size != file_len || id.empty() || id.size() > MAX_BLOB_ID_LEN || static_cast<uint64_t>(size) < head_len)
    return std::nullopt;
  std::array<uint8_t, 512> short_head;  // the usual ID needs no allocation
  std::vector<uint8_t> long_head;
  uint8_t* head = short_head.data();
  if (head_len > short_head.size()) {
    long_head.resize(head_len);
    head = long_head.data();
  }
  Payload payload(static_cast<size_t>(size) - head_len);
  iovec parts[] = {{head, head_len}, {payload.data(), payload.size()}};
  if (pread_all(fd, parts) != static_cast<uint64_t>(size)) return std::nullopt;
  auto header = decode_header(std::span<const uint8_t, HEADER_LEN>(head, HEADER_LEN));
  if (!header || header->id_len != id.size() || header->payload_len != payload.size() || header->checksum != checksum)
    return std::nullopt;
  auto stored_id = std::span<const uint8_t>(head + HEADER_LEN, id.size());
  if (std::memcmp(stored_id.data(), id.data(), id.size()) != 0 ||
      (!path_of_id && (!valid_utf8(id) || !maps_to(blobs_dir, id, path))))
    return std::nullopt;
  if (crc32c(crc32c(0, stored_id), payload.bytes()) != header->checksum) return std::nullopt;
  return payload;
}

// Header, ID and checksum of a small file, read whole with one call and
// checked as read_prefix and inspect check it: most files at an open are
// small, and there one read instead of three is a good part of the time. Any
// file that fails gets nothing here; the caller then goes over it step by
// step to say what is wrong.
std::optional<BlobPrefix> inspect_whole(const fs::path& blobs_dir, int fd, int64_t size, const std::string& path) {
  if (size < static_cast<int64_t>(HEADER_LEN) || size > static_cast<int64_t>(INSPECT_CHUNK_LEN)) return std::nullopt;
  const size_t len = static_cast<size_t>(size);
  std::array<uint8_t, 4096> small;  // the usual file needs no allocation
  std::unique_ptr<uint8_t[]> large;
  uint8_t* data = small.data();
  if (len > small.size()) {
    large = std::make_unique_for_overwrite<uint8_t[]>(len);
    data = large.get();
  }
  iovec whole{data, len};
  if (pread_all(fd, std::span(&whole, 1)) != len) return std::nullopt;
  auto header = decode_header(std::span<const uint8_t, HEADER_LEN>(data, HEADER_LEN));
  if (!header || header->id_len == 0 || header->id_len > len - HEADER_LEN ||
      header->payload_len != len - HEADER_LEN - header->id_len)
    return std::nullopt;
  const std::string_view id(reinterpret_cast<const char*>(data) + HEADER_LEN, header->id_len);
  if (!valid_utf8(id) || !maps_to(blobs_dir, id, path)) return std::nullopt;
  if (crc32c(0, std::span<const uint8_t>(data + HEADER_LEN, len - HEADER_LEN)) != header->checksum) return std::nullopt;
  return BlobPrefix{*header, std::string(id)};
}

}  // namespace

Result<Payload> LocalFileStore::read(const FileMetadata& metadata) const {
  return read_at(metadata.path, metadata.blob_id, metadata.file_len, metadata.checksum, metadata.path_of_id);
}

Result<Payload> LocalFileStore::read(std::string_view blob_id, const BlobDigest& digest, int64_t file_len,
                                     uint32_t checksum, bool path_of_id) const {
  return read_at(blob_path_text(blobs_dir_, digest), blob_id, file_len, checksum, path_of_id);
}

Result<Payload> LocalFileStore::read_at(const std::string& path, std::string_view blob_id, int64_t file_len,
                                        uint32_t checksum, bool path_of_id) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  struct stat st {};
  auto opened = open_blob(*this, (*root)->fd(), beneath_root(path), path, st);
  if (!opened) return unexpected(std::move(opened).error());
  Fd fd(*opened);
  const int64_t size = st.st_size;
  if (auto payload = read_as_recorded(blobs_dir_, fd.get(), size, path, blob_id, file_len, checksum, path_of_id))
    return std::move(*payload);
  auto prefix = read_prefix(fd.get(), size, path);
  if (!prefix) return unexpected(std::move(prefix).error());
  if (prefix->blob_id != blob_id || size < 0 || prefix->header.checksum != checksum || size != file_len)
    return unexpected(BlobCacheError::corrupt_entry("metadata mismatch " + relative(path)));
  Payload payload(prefix->header.payload_len);
  if (auto got = read_exact(fd.get(), payload.data(), payload.size()); !got)
    return unexpected(BlobCacheError::corrupt_entry("read payload " + relative(path) + ": " + got.error().to_string()));
  auto id = std::span(reinterpret_cast<const uint8_t*>(prefix->blob_id.data()), prefix->blob_id.size());
  if (crc32c(crc32c(0, id), payload.bytes()) != prefix->header.checksum)
    return unexpected(BlobCacheError::corrupt_entry("checksum mismatch " + relative(path)));
  return payload;
}

Result<FileMetadata> LocalFileStore::inspect(const fs::path& path) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  struct stat st {};
  auto opened = open_blob(*this, (*root)->fd(), beneath_root(path.native()), path.native(), st);
  if (!opened) return unexpected(std::move(opened).error());
  return inspect_open(*opened, st, path.native());
}

// The scan reaches `name` from its directory, open already and reached from
// the root without a link: one name to look up rather than the whole path.
Result<FileMetadata> LocalFileStore::inspect_in(int dirfd, const std::string& name, std::string path) const {
  struct stat st {};
  auto opened = regular_file(*this, ::openat(dirfd, name.c_str(), BLOB_OPEN_FLAGS | O_NOFOLLOW), path, st);
  if (!opened) return unexpected(std::move(opened).error());
  return inspect_open(*opened, st, std::move(path));
}

// `path` is text: a scan inspects a million files, and building a
// std::filesystem::path for each cost more than its hash.
Result<FileMetadata> LocalFileStore::inspect_open(int opened, const struct stat& st, std::string path) const {
  Fd fd(opened);
  auto in_chunks = [&]() -> Result<BlobPrefix> {
    auto prefix = read_prefix(fd.get(), st.st_size, fs::path(path));
    if (!prefix) return unexpected(std::move(prefix).error());
    uint32_t crc = crc32c(0, std::span(reinterpret_cast<const uint8_t*>(prefix->blob_id.data()), prefix->blob_id.size()));
    // No longer than the payload: allocating and zeroing 64 KiB for each small
    // file was a good part of the time a reopen took.
    auto chunk = std::make_unique_for_overwrite<uint8_t[]>(std::min<uint64_t>(prefix->header.payload_len, INSPECT_CHUNK_LEN));
    for (uint64_t remaining = prefix->header.payload_len; remaining > 0;) {
      size_t len = static_cast<size_t>(std::min<uint64_t>(remaining, INSPECT_CHUNK_LEN));
      if (auto got = read_exact(fd.get(), chunk.get(), len); !got)
        return unexpected(BlobCacheError::corrupt_entry("read payload " + relative(path) + ": " + got.error().to_string()));
      crc = crc32c(crc, std::span(chunk.get(), len));
      remaining -= len;
    }
    if (crc != prefix->header.checksum) return unexpected(BlobCacheError::corrupt_entry("checksum mismatch " + relative(path)));
    return prefix;
  };
  // The whole-file read leaves the file position at 0 for the step-by-step one.
  std::optional<BlobPrefix> prefix = inspect_whole(blobs_dir_, fd.get(), st.st_size, path);
  if (!prefix) {
    auto checked = in_chunks();
    if (!checked) return unexpected(std::move(checked).error());
    prefix = std::move(*checked);
  }
  if (st.st_size < 0) return unexpected(BlobCacheError::corrupt_entry("file too large " + relative(path)));
  return FileMetadata{.blob_id = std::move(prefix->blob_id),
                      .path = std::move(path),
                      .modified = {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)},
                      .file_len = st.st_size,
                      .checksum = prefix->header.checksum,
                      .path_of_id = true};
}

namespace {

// A directory's entries, and the directory kept open for looking them up.
struct Listing {
  struct Entry {
    std::string name;
    unsigned char type;  // as listed; DT_UNKNOWN where the file system does not say
  };
  std::unique_ptr<DIR, int (*)(DIR*)> dir{nullptr, ::closedir};
  std::vector<Entry> entries;
  int fd() const { return ::dirfd(dir.get()); }
};

// Lists `dir`, whose parent directory is open as `parent`.
Result<Listing> list_directory(const LocalFileStore& store, int parent, const fs::path& dir) {
  Fd dirfd(::openat(parent, dir.filename().c_str(), DIR_FLAGS | O_NOFOLLOW));
  DIR* opened = dirfd.valid() ? ::fdopendir(dirfd.get()) : nullptr;
  if (opened == nullptr) {
    const int err = errno;  // before the message's allocations
    return unexpected(BlobCacheError::io_errno("scan blob cache directory " + store.relative(dir), err));
  }
  dirfd.release();
  Listing listing;
  listing.dir.reset(opened);
  errno = 0;
  while (dirent* entry = ::readdir(opened)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      listing.entries.push_back({entry->d_name, entry->d_type});
    errno = 0;
  }
  if (const int err = errno; err != 0) return unexpected(BlobCacheError::io_errno("scan blob cache", err));
  return listing;
}

// Threads that verify files at open, the calling thread included. Reading
// small files is mostly system calls, which run side by side on as many cores.
size_t scan_threads(size_t items) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({cores, MAX_SCAN_THREADS, items});
}

}  // namespace

// The top level of the data directory is shared out among threads one entry
// (a whole first-level shard, as a rule) at a time; each entry's results are
// kept apart and joined in listing order afterwards, so that the first error
// in walk order is the one reported, as with one thread. The sort then makes
// the order of the rest independent of which thread found what.
Result<ScanResult> LocalFileStore::scan() const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  auto listing = list_directory(*this, (*root)->fd(), blobs_dir_);
  if (!listing) return unexpected(std::move(listing).error());
  const size_t items = listing->entries.size();
  std::vector<ScanResult> parts(items);
  std::vector<std::optional<BlobCacheError>> failures(items);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < items;) {
      const auto& entry = listing->entries[i];
      if (auto scanned = scan_entry(listing->fd(), blobs_dir_, entry.name, entry.type, parts[i]); !scanned)
        failures[i] = std::move(scanned).error();
    }
  };
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < scan_threads(items); ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads only make the scan slower
    }
  }
  work();
  for (auto& helper : helpers) helper.join();

  ScanResult result;
  size_t found = 0;
  for (const auto& part : parts) found += part.entries.size();
  result.entries.reserve(found);
  for (size_t i = 0; i < items; ++i) {
    if (failures[i]) return unexpected(std::move(*failures[i]));
    std::move(parts[i].entries.begin(), parts[i].entries.end(), std::back_inserter(result.entries));
    std::move(parts[i].invalid.begin(), parts[i].invalid.end(), std::back_inserter(result.invalid));
  }
  std::sort(result.entries.begin(), result.entries.end(), newer_first);
  std::sort(result.invalid.begin(), result.invalid.end(), [](const fs::path& a, const fs::path& b) { return a.compare(b) < 0; });
  return result;
}

// `parent` is the descriptor of dir's parent directory.
Result<void> LocalFileStore::scan_directory(int parent, const fs::path& dir, ScanResult& result) const {
  auto listing = list_directory(*this, parent, dir);
  if (!listing) return unexpected(std::move(listing).error());
  for (const auto& entry : listing->entries) {
    if (auto scanned = scan_entry(listing->fd(), dir, entry.name, entry.type, result); !scanned) return scanned;
  }
  return {};
}

Result<void> LocalFileStore::scan_entry(int dirfd, const fs::path& dir, const std::string& name, unsigned char type,
                                        ScanResult& result) const {
  if (type == DT_UNKNOWN) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return unexpected(BlobCacheError::io_errno("inspect blob cache entry", errno));
    type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
  }
  std::string path = dir.native() + '/' + name;
  const size_t dot = name.rfind('.');
  const bool blob_name = dot != std::string::npos && dot != 0 && name.compare(dot + 1, std::string::npos, "blob") == 0;
  if (type != DT_REG && type != DT_DIR) {
    // Links, FIFOs, sockets and devices: never the cache's, and where a
    // blob file or shard belongs they would make IDs unusable.
    result.invalid.emplace_back(std::move(path));
  } else if (type == DT_DIR && blob_name) {
    result.invalid.emplace_back(std::move(path));  // where a blob file belongs
  } else if (type == DT_DIR) {
    return scan_directory(dirfd, fs::path(std::move(path)), result);
  } else if (blob_name) {
    auto inspected = inspect_in(dirfd, name, path);
    if (inspected) {
      result.entries.push_back(std::move(inspected).value());
    } else if (inspected.error().kind() == BlobCacheError::Kind::CorruptEntry) {
      result.invalid.emplace_back(std::move(path));
    } else {
      return unexpected(std::move(inspected).error());
    }
  }
  return {};
}

Result<void> LocalFileStore::purge() const {
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto removed = remove_entry((*root)->fd(), "tmp", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache temp directory", removed.error()));
  if (auto removed = remove_entry((*root)->fd(), "blobs", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache data directory", removed.error()));
  return prepare();
}

Result<void> LocalFileStore::purge_temp() const {
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto removed = remove_entry((*root)->fd(), "tmp", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache temp directory", removed.error()));
  if (auto tmp = open_subdir((*root)->fd(), "tmp", Narrow::Always); !tmp)
    return unexpected(BlobCacheError::io("recreate blob cache temp directory", tmp.error()));
  return {};
}

Result<void> LocalFileStore::remove(const fs::path& path) const {
  auto fail = [&](const OsError& error) { return unexpected(BlobCacheError::io("remove cache entry " + relative(path), error)); };
  const char* beneath = beneath_root(path.native());
  if (beneath == nullptr) return fail(OsError::custom(IoKind::InvalidInput, "outside the cache directory"));
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const char* slash = std::strrchr(beneath, '/');
  Fd parent(-1);
  if (slash != nullptr) {
    parent = Fd(open_beneath((*root)->fd(), std::string(beneath, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) {
      if (errno == ENOENT || unreachable(errno)) return {};
      return fail(last_error());
    }
  }
  if (auto removed = remove_entry(parent.valid() ? parent.get() : (*root)->fd(), slash ? slash + 1 : beneath, false); !removed)
    return fail(removed.error());
  return {};
}

}  // namespace qel
