#include "store/store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/mutex.h"
#include "store/blob_file.h"

namespace qel {

namespace fs = std::filesystem;
using posix::Fd;
using posix::Narrow;
using posix::RootDir;

namespace {

// Process-wide temp-file sequence, starting at 1; every attempt takes a number.
std::atomic<uint64_t> temp_sequence{1};

BlobCacheError lock_failure(const fs::path& root, int err) {
  return BlobCacheError::io("lock blob cache directory " + display_utf8(root.native()),
                            err == EWOULDBLOCK ? OsError::custom(IoKind::InUse, "in use by another open cache")
                                               : OsError::from_errno(err));
}

BlobCacheError outside(const std::string& step, const LocalFileStore& store, const fs::path& path) {
  return BlobCacheError::io(step + store.relative(path), OsError::custom(IoKind::InvalidInput, "outside the cache directory"));
}

// The directory `name` in `parent` that a shard level needs. Both levels
// belong to the cache alone: a link or file standing in for one is replaced,
// or every ID of the shard would stay unusable.
Expected<Fd, OsError> shard_dir(int parent, const char* name, Narrow narrow) {
  auto dir = posix::open_subdir(parent, name, narrow);
  if (dir || dir.error().code() != ENOTDIR) return dir;
  if (auto removed = posix::remove_entry(parent, name, false); !removed) return unexpected(removed.error());
  return posix::open_subdir(parent, name, narrow);
}

// The last component of a path the store made: cheaper than a
// std::filesystem::path, which parses every component, on each put.
std::string file_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Writes header, ID and payload to `fd`, and flushes them when `durable`.
Result<void> write_blob(int fd, const FileMetadata& metadata, std::span<const uint8_t> payload, bool durable) {
  if (metadata.blob_id.size() > UINT32_MAX) return unexpected(BlobCacheError::invalid_blob("blob ID length overflows u32"));
  auto header = encode_header(static_cast<uint32_t>(metadata.blob_id.size()), payload.size(), metadata.checksum);
  auto id = std::span(reinterpret_cast<const uint8_t*>(metadata.blob_id.data()), metadata.blob_id.size());
  if (auto w = posix::write_all(fd, header); !w) return unexpected(BlobCacheError::io("write blob cache header", w.error()));
  if (auto w = posix::write_all(fd, id); !w) return unexpected(BlobCacheError::io("write blob cache ID", w.error()));
  if (auto w = posix::write_all(fd, payload); !w) return unexpected(BlobCacheError::io("write blob cache payload", w.error()));
  if (!durable) return {};
  if (auto s = posix::sync_file(fd); !s) return unexpected(BlobCacheError::io("flush blob cache temp file", s.error()));
  return {};
}

}  // namespace

struct LocalFileStore::Shared {
  // The root in use: replaced only with revive_mutex held, read without it,
  // so that a get pays one plain load for it. A replaced root stays open in
  // `roots` until the release, since a reader may still be using it; there is
  // one per time the directory was removed under the open cache.
  std::atomic<const RootDir*> root{nullptr};
  Mutex revive_mutex;
  std::vector<std::unique_ptr<RootDir>> roots GUARDED_BY(revive_mutex);  // `root` is the last
  bool locking GUARDED_BY(revive_mutex) = false;
  bool released GUARDED_BY(revive_mutex) = false;
  // This process's temp directory, locked; taken after revive_mutex.
  Mutex temp_mutex ACQUIRED_AFTER(revive_mutex);
  std::string temp_name GUARDED_BY(temp_mutex);
  std::unique_ptr<posix::ProcessFd> temp_dir GUARDED_BY(temp_mutex);
};

LocalFileStore::LocalFileStore(fs::path root) : names_(std::move(root)), shared_(std::make_shared<Shared>()) {}

Result<LocalFileStore> LocalFileStore::create(std::string_view directory) {
  // A NUL would silently name a shorter path to every system call.
  if (directory.find('\0') != std::string_view::npos)
    return unexpected(BlobCacheError::io_errno("create blob cache root", EINVAL));
  fs::path path{std::string(directory)};
  if (path.is_absolute()) return LocalFileStore(std::move(path));
  std::vector<char> cwd(PATH_MAX);
  while (posix::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return unexpected(BlobCacheError::io_errno("resolve blob cache root", errno));
    cwd.resize(cwd.size() * 2);
  }
  return LocalFileStore(fs::path(cwd.data()) / path);
}

Result<const RootDir*> LocalFileStore::held_root(bool revive) const {
  const RootDir* root = shared_->root.load(std::memory_order_acquire);
  if (root && (!revive || root->linked())) return root;
  MutexLock guard(shared_->revive_mutex);
  root = shared_->root.load(std::memory_order_acquire);
  if (root && root->linked()) return root;  // made again by another thread
  if (shared_->released) return unexpected(BlobCacheError::closed());
  // Only a store that writes makes its root: the first access of one that
  // only reads (a tool's) must change nothing.
  auto opened = posix::open_root(names_.root(), revive);
  if (!opened)
    return unexpected(BlobCacheError::io(revive ? "create blob cache root" : "open blob cache root", opened.error()));
  auto fresh = std::make_unique<RootDir>(std::move(*opened));
  if (shared_->locking && !fresh->lock()) return unexpected(lock_failure(names_.root(), errno));
  root = shared_->roots.emplace_back(std::move(fresh)).get();
  shared_->root.store(root, std::memory_order_release);
  return root;
}

Result<void> LocalFileStore::lock_root(bool make) const {
  const RootDir* root;
  {
    MutexLock guard(shared_->revive_mutex);
    shared_->locking = true;
    root = shared_->root.load(std::memory_order_acquire);
  }
  if (!root) {
    auto opened = held_root(make);  // opens and locks it
    if (!opened) return unexpected(std::move(opened).error());
    return {};
  }
  if (!root->lock()) return unexpected(lock_failure(names_.root(), errno));
  return {};
}

void LocalFileStore::release_root() const {
  MutexLock guard(shared_->revive_mutex);
  {
    MutexLock temp(shared_->temp_mutex);
    const RootDir* root = shared_->root.load(std::memory_order_acquire);
    if (shared_->temp_dir && shared_->temp_dir->get() >= 0 && root) {
      // Empty unless a removal failed; a purge takes what is left.
      const std::string path = "tmp/" + shared_->temp_name;
      posix::unlinkat(root->fd(), path.c_str(), AT_REMOVEDIR);
    }
    shared_->temp_dir.reset();
  }
  shared_->released = true;
  shared_->root.store(nullptr, std::memory_order_release);
  shared_->roots.clear();
}

Result<void> LocalFileStore::prepare() const {
  auto fail = [](const char* context, const OsError& error) { return unexpected(BlobCacheError::io(context, error)); };
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto tmp = posix::open_subdir((*root)->fd(), "tmp", Narrow::Always); !tmp)
    return fail("create blob cache temp directory", tmp.error());
  if (auto blobs = posix::open_subdir((*root)->fd(), "blobs", Narrow::Always); !blobs)
    return fail("create blob cache data directory", blobs.error());
  return {};
}

Result<std::pair<uint64_t, uint64_t>> LocalFileStore::root_identity() const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  struct stat st {};
  if (posix::fstat((*root)->fd(), &st) != 0) return unexpected(BlobCacheError::io_errno("stat blob cache root", errno));
  return std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino);
}

fs::path LocalFileStore::path_for(std::string_view blob_id) const { return fs::path(names_.path_text(blob_digest(blob_id))); }

fs::path LocalFileStore::path_of(const BlobDigest& digest) const { return fs::path(names_.path_text(digest)); }

Result<FileMetadata> LocalFileStore::metadata_for(std::string_view blob_id, std::span<const uint8_t> payload) const {
  auto metadata = calculate_metadata(blob_id, payload, names_.path_text(blob_digest(blob_id)));
  if (metadata) metadata->path_of_id = valid_utf8(blob_id);
  return metadata;
}

Expected<Fd, CommitFailure> LocalFileStore::prepare_shard(int root, const FileMetadata& metadata) const {
  auto fail = [](BlobCacheError error) { return unexpected(CommitFailure{std::move(error), std::nullopt}); };
  // "blobs/H1/H2/NAME" beneath the root, as the names made it.
  const char* beneath = names_.beneath_root(metadata.path);
  const std::string_view rest = beneath ? std::string_view(beneath) : std::string_view();
  constexpr std::string_view BLOBS = "blobs/";
  if (!rest.starts_with(BLOBS) || std::count(rest.begin(), rest.end(), '/') != 3)
    return fail(BlobCacheError::invalid_blob("cache path outside the data directory"));
  const size_t name_at = rest.rfind('/');
  const std::string shard_text(rest.substr(0, name_at));
  // Most puts land in a shard that exists: one walk, links refused. What is
  // missing, or stands in for a shard, is dealt with level by level.
  auto shard = posix::open_private_dir_beneath(root, shard_text.c_str());
  if (!shard && (shard.error().code() == ENOENT || shard.error().code() == ENOTDIR)) {
    const size_t level2_at = shard_text.rfind('/');
    const std::string level1 = shard_text.substr(BLOBS.size(), level2_at - BLOBS.size());
    shard = posix::open_subdir(root, "blobs", Narrow::IfCreated);
    if (shard) shard = shard_dir(shard->get(), level1.c_str(), Narrow::Never);
    if (shard) shard = shard_dir(shard->get(), shard_text.c_str() + level2_at + 1, Narrow::Always);
  }
  if (!shard) return fail(BlobCacheError::io("create blob cache shard", shard.error()));
  const char* final_name = rest.data() + name_at + 1;  // the path's tail, so NUL-ended
  struct stat st {};
  if (posix::fstatat(shard->get(), final_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISREG(st.st_mode)) return fail(BlobCacheError::blob_id_mismatch(metadata.blob_id));
    // No blob is stored in anything else; left there, it would make the ID
    // unusable.
    if (auto removed = posix::remove_entry(shard->get(), final_name, S_ISDIR(st.st_mode)); !removed)
      return fail(BlobCacheError::io("remove cache entry " + relative(metadata.path), removed.error()));
  } else if (errno != ENOENT) {
    return fail(BlobCacheError::io_errno("inspect final cache path", errno));
  }
  return std::move(*shard);
}

Expected<Fd, OsError> LocalFileStore::own_temp_dir(int root, std::string* name) const {
  MutexLock guard(shared_->temp_mutex);
  // Opened by its path each time, beneath the root and free of links: a
  // directory removed under the cache is found gone rather than written in.
  auto open_by_name = [root](const std::string& dir_name) {
    return Fd(posix::open_beneath(root, ("tmp/" + dir_name).c_str(), posix::DIR_FLAGS));
  };
  if (shared_->temp_dir) {
    Fd dir = open_by_name(shared_->temp_name);
    if (dir.valid()) {
      *name = shared_->temp_name;
      return dir;
    }
    if (errno != ENOENT && !posix::unreachable(errno)) return unexpected(posix::last_error());
    shared_->temp_dir.reset();  // removed under us: the root was, or a person did
  }
  auto tmp = posix::open_subdir(root, "tmp", Narrow::IfCreated);
  if (!tmp) return unexpected(tmp.error());
  static thread_local std::random_device entropy;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    char text[48];
    std::snprintf(text, sizeof text, "writer-%u-%08x%08x", static_cast<unsigned>(::getpid()), entropy(), entropy());
    if (posix::mkdirat(tmp->get(), text, 0700) != 0) {
      if (errno == EEXIST) continue;
      return unexpected(posix::last_error());
    }
    Fd locked(posix::openat(tmp->get(), text, posix::DIR_FLAGS | O_NOFOLLOW));
    if (!locked.valid()) {
      if (errno == ENOENT) continue;
      return unexpected(posix::last_error());
    }
    // Waits out a purge that found the new directory unlocked and took it.
    if (posix::flock(locked.get(), LOCK_EX) != 0) return unexpected(posix::last_error());
    struct stat st {};
    if (posix::fstat(locked.get(), &st) != 0) return unexpected(posix::last_error());
    if (st.st_nlink == 0) continue;
    Fd dir = open_by_name(text);
    if (!dir.valid()) return unexpected(posix::last_error());
    shared_->temp_dir = std::make_unique<posix::ProcessFd>(std::move(locked));
    shared_->temp_name = text;
    *name = text;
    return dir;
  }
  return unexpected(OsError::custom(IoKind::AlreadyExists, "temporary directory attempts exhausted"));
}

Expected<LocalFileStore::Written, CommitFailure> LocalFileStore::write_temp_file(int root, const FileMetadata& metadata,
                                                                                std::span<const uint8_t> payload,
                                                                                bool durable) const {
  auto fail = [](BlobCacheError error) { return unexpected(CommitFailure{std::move(error), std::nullopt}); };
  std::string dir_name;
  std::string temp_name;
  Fd fd(-1);
  Fd dir(-1);
  // A second round only when the directory went between its check and the
  // file's creation; names all taken end the put.
  bool dir_gone = true;
  for (int round = 0; round < 2 && dir_gone; ++round) {
    dir_gone = false;
    auto made = own_temp_dir(root, &dir_name);
    if (!made) return fail(BlobCacheError::io("create blob cache temp directory", made.error()));
    dir = std::move(*made);
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && !fd.valid(); ++attempt) {
      const uint64_t sequence = temp_sequence.fetch_add(1);
      temp_name = "blob-" + std::to_string(static_cast<uint32_t>(::getpid())) + "-" + std::to_string(sequence) + ".tmp";
      fd = Fd(posix::openat(dir.get(), temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (fd.valid() || errno == EEXIST) continue;
      if (errno == ENOENT) {
        dir_gone = true;
        break;
      }
      return fail(BlobCacheError::io_errno("create blob cache temp file", errno));
    }
  }
  if (!fd.valid())
    return fail(BlobCacheError::io("create blob cache temp file",
                                   OsError::custom(IoKind::AlreadyExists, "temporary filename attempts exhausted")));
  auto written = write_blob(fd.get(), metadata, payload, durable);
  fd = Fd(-1);  // closed before the rename, and before any removal
  if (!written) {
    if (posix::unlinkat(dir.get(), temp_name.c_str(), 0) != 0 && errno != ENOENT) {
      const OsError removed = posix::last_error();
      return unexpected(CommitFailure{
          BlobCacheError::reconciliation(written.error().to_string() + "; remove temporary file: " + removed.to_string()),
          tmp_dir() / dir_name / temp_name});
    }
    return fail(std::move(written).error());
  }
  return Written{std::move(dir), std::move(dir_name), std::move(temp_name)};
}

Expected<TempFile, CommitFailure> LocalFileStore::write_temp(const FileMetadata& metadata,
                                                             std::span<const uint8_t> payload, bool durable) const {
  auto root = held_root(true);
  if (!root) return unexpected(CommitFailure{std::move(root).error(), std::nullopt});
  auto shard = prepare_shard((*root)->fd(), metadata);
  if (!shard) return unexpected(std::move(shard).error());
  auto written = write_temp_file((*root)->fd(), metadata, payload, durable);
  if (!written) return unexpected(std::move(written).error());
  return TempFile(std::move(written->dir), std::move(*shard), std::move(written->dir_name), std::move(written->name),
                  file_name(metadata.path), metadata.blob_id);
}

Expected<SharedTemp, CommitFailure> LocalFileStore::write_shared_temp(const FileMetadata& metadata,
                                                                      std::span<const uint8_t> payload,
                                                                      bool durable) const {
  auto root = held_root(true);
  if (!root) return unexpected(CommitFailure{std::move(root).error(), std::nullopt});
  auto written = write_temp_file((*root)->fd(), metadata, payload, durable);
  if (!written) return unexpected(std::move(written).error());
  return SharedTemp{std::move(written->dir_name), std::move(written->name)};
}

void LocalFileStore::drop_shared_temp(const SharedTemp& file) const {
  auto root = held_root(false);
  if (!root) return;
  // Failing, it stays for the purge that finds this writer gone.
  const std::string path = "tmp/" + file.dir + "/" + file.name;
  posix::unlinkat((*root)->fd(), path.c_str(), 0);
}

namespace {

// One entry of a directory: no separator, not . or .., not empty.
bool single_name(std::string_view name) {
  return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace

Result<FileMetadata> LocalFileStore::inspect_temp(const SharedTemp& file) const {
  if (!single_name(file.dir) || !single_name(file.name))
    return unexpected(BlobCacheError::invalid_blob("temp file name is not one entry of tmp"));
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const std::string beneath = "tmp/" + file.dir + "/" + file.name;
  auto inspected = inspect_temp_file(posix::open_beneath((*root)->fd(), beneath.c_str(), BLOB_OPEN_FLAGS),
                                     (tmp_dir() / file.dir / file.name).native(), names_);
  if (!inspected) return unexpected(std::move(inspected).error());
  if (auto checked = check_blob_id(inspected->blob_id); !checked) return unexpected(std::move(checked).error());
  inspected->path = names_.path_text(blob_digest(inspected->blob_id));
  inspected->path_of_id = valid_utf8(inspected->blob_id);
  return inspected;
}

Expected<TempFile, CommitFailure> LocalFileStore::adopt_temp(const SharedTemp& file, const FileMetadata& metadata) const {
  auto root = held_root(true);
  if (!root) return unexpected(CommitFailure{std::move(root).error(), std::nullopt});
  const std::string dir_path = "tmp/" + file.dir;
  Fd dir(posix::open_beneath((*root)->fd(), dir_path.c_str(), posix::DIR_FLAGS));
  if (!dir.valid())
    return unexpected(CommitFailure{BlobCacheError::io_errno("open blob cache temp directory " + dir_path, errno), std::nullopt});
  auto shard = prepare_shard((*root)->fd(), metadata);
  if (!shard) return unexpected(std::move(shard).error());
  return TempFile(std::move(dir), std::move(*shard), file.dir, file.name, file_name(metadata.path), metadata.blob_id);
}

Result<Payload> LocalFileStore::read_temp(const SharedTemp& file, const FileMetadata& metadata) const {
  const BlobRecord record{metadata.blob_id, metadata.file_len, metadata.checksum, true};
  Payload payload(record.payload_len());
  const std::string path = (tmp_dir() / file.dir / file.name).native();
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const std::string beneath = "tmp/" + file.dir + "/" + file.name;
  if (auto read = read_blob_file(posix::open_beneath((*root)->fd(), beneath.c_str(), BLOB_OPEN_FLAGS), path, names_,
                                 record, {payload.data(), payload.size()});
      !read)
    return unexpected(std::move(read).error());
  return payload;
}

int LocalFileStore::publish(TempFile& file) const {
  const int renamed = posix::rename_noreplace(file.tmp_dir_.get(), file.temp_name_.c_str(), file.shard_.get(),
                                              file.final_name_.c_str());
  return renamed == 0 ? 0 : errno;
}

Expected<void, CommitFailure> LocalFileStore::abandon(TempFile file, std::optional<int> rename_error) const {
  if (!rename_error) return discard(file, std::nullopt);
  return discard(file, *rename_error == EEXIST ? BlobCacheError::blob_id_mismatch(file.blob_id_)
                                               : BlobCacheError::io_errno("commit blob cache file", *rename_error));
}

Expected<void, CommitFailure> LocalFileStore::discard(const TempFile& file, std::optional<BlobCacheError> error) const {
  if (posix::unlinkat(file.tmp_dir_.get(), file.temp_name_.c_str(), 0) != 0 && errno != ENOENT) {
    OsError removed = posix::last_error();
    BlobCacheError failure =
        error ? BlobCacheError::reconciliation(error->to_string() + "; remove temporary file: " + removed.to_string())
              : BlobCacheError::io("remove blob cache temp file", removed);
    return unexpected(CommitFailure{std::move(failure), tmp_dir() / file.writer_ / file.temp_name_});
  }
  if (error) return unexpected(CommitFailure{std::move(*error), std::nullopt});
  return {};
}

Result<Payload> LocalFileStore::read(const FileMetadata& metadata) const {
  const BlobRecord record{metadata.blob_id, metadata.file_len, metadata.checksum, metadata.path_of_id};
  Payload payload(record.payload_len());
  if (auto read = read_at(metadata.path, record, {payload.data(), payload.size()}); !read)
    return unexpected(std::move(read).error());
  return payload;
}

Result<void> LocalFileStore::read_into(std::string_view blob_id, const BlobDigest& digest, int64_t file_len,
                                       uint32_t checksum, bool path_of_id, std::span<uint8_t> payload) const {
  return read_at(names_.path_text(digest), {blob_id, file_len, checksum, path_of_id}, payload);
}

Result<std::optional<OpenedBlob>> LocalFileStore::open_blob(std::string_view blob_id) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  std::string path = names_.path_text(blob_digest(blob_id));
  const char* beneath = names_.beneath_root(path);
  if (beneath == nullptr) return unexpected(outside("open cache entry ", *this, path));
  const int opened = posix::open_beneath((*root)->fd(), beneath, BLOB_OPEN_FLAGS);
  return open_blob_file(opened, std::move(path), names_);
}

Result<void> LocalFileStore::read_opened(const OpenedBlob& file, std::string_view blob_id,
                                         std::span<uint8_t> payload) const {
  return read_opened_blob(file, names_, blob_id, payload);
}

size_t LocalFileStore::payload_len(std::string_view blob_id, int64_t file_len) {
  return BlobRecord{blob_id, file_len, 0, false}.payload_len();
}

Result<void> LocalFileStore::read_at(const std::string& path, const BlobRecord& record, std::span<uint8_t> payload) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const char* beneath = names_.beneath_root(path);
  if (beneath == nullptr) return unexpected(outside("open cache entry ", *this, path));
  return read_blob_file(posix::open_beneath((*root)->fd(), beneath, BLOB_OPEN_FLAGS), path, names_, record, payload);
}

Result<FileMetadata> LocalFileStore::inspect(const fs::path& path) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const char* beneath = names_.beneath_root(path.native());
  if (beneath == nullptr) return unexpected(outside("open cache entry ", *this, path));
  return inspect_blob_file(posix::open_beneath((*root)->fd(), beneath, BLOB_OPEN_FLAGS), path.native(), names_);
}

Result<ScanResult> LocalFileStore::scan(ScanMode mode) const {
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  return scan_blob_files((*root)->fd(), names_, mode);
}

Result<void> LocalFileStore::purge() const {
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto removed = posix::remove_entry((*root)->fd(), "blobs", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache data directory", removed.error()));
  if (auto purged = purge_temp(); !purged) return purged;
  return prepare();
}

Result<void> LocalFileStore::purge_temp() const {
  auto fail = [](const OsError& error) { return unexpected(BlobCacheError::io("purge blob cache temp directory", error)); };
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  auto tmp = posix::open_subdir((*root)->fd(), "tmp", Narrow::Always);
  if (!tmp) return unexpected(BlobCacheError::io("recreate blob cache temp directory", tmp.error()));
  auto listing = posix::Listing::of(std::move(*tmp));
  if (!listing) return fail(listing.error());
  if (auto read = listing->read(); !read) return fail(read.error());
  std::string own;
  {
    MutexLock guard(shared_->temp_mutex);
    if (shared_->temp_dir) own = shared_->temp_name;
  }
  for (const auto& entry : listing->entries) {
    if (entry.name == own) continue;
    Fd dir(posix::openat(listing->fd(), entry.name.c_str(), posix::DIR_FLAGS | O_NOFOLLOW));
    if (!dir.valid()) {
      if (errno == ENOENT) continue;
      if (!posix::unreachable(errno)) return fail(posix::last_error());
      // A loose file: an older layout's, or nobody's.
      if (auto removed = posix::remove_entry(listing->fd(), entry.name.c_str(), false); !removed) return fail(removed.error());
      continue;
    }
    if (posix::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) continue;  // its writer lives
      return fail(posix::last_error());
    }
    // Held until removed: a writer that made this name meanwhile finds it
    // unlinked once its own lock is granted, and makes another.
    if (auto removed = posix::remove_entry(listing->fd(), entry.name.c_str(), true); !removed) return fail(removed.error());
  }
  return {};
}

Result<void> LocalFileStore::remove(const fs::path& path) const {
  auto fail = [&](const OsError& error) { return unexpected(BlobCacheError::io("remove cache entry " + relative(path), error)); };
  const char* beneath = names_.beneath_root(path.native());
  if (beneath == nullptr) return unexpected(outside("remove cache entry ", *this, path));
  auto root = held_root(false);
  if (!root) return unexpected(std::move(root).error());
  const char* slash = std::strrchr(beneath, '/');
  Fd parent(-1);
  if (slash != nullptr) {
    parent = Fd(posix::open_beneath((*root)->fd(), std::string(beneath, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) {
      if (errno == ENOENT || posix::unreachable(errno)) return {};
      return fail(posix::last_error());
    }
  }
  if (auto removed = posix::remove_entry(parent.valid() ? parent.get() : (*root)->fd(), slash ? slash + 1 : beneath, false);
      !removed)
    return fail(removed.error());
  return {};
}

}  // namespace qel
