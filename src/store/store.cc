#include "store/store.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
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

fs::path LocalFileStore::path_for(std::string_view blob_id) const { return fs::path(names_.path_text(blob_digest(blob_id))); }

fs::path LocalFileStore::path_of(const BlobDigest& digest) const { return fs::path(names_.path_text(digest)); }

Result<FileMetadata> LocalFileStore::metadata_for(std::string_view blob_id, std::span<const uint8_t> payload) const {
  auto metadata = calculate_metadata(blob_id, payload, names_.path_text(blob_digest(blob_id)));
  if (metadata) metadata->path_of_id = valid_utf8(blob_id);
  return metadata;
}

Expected<TempFile, CommitFailure> LocalFileStore::write_temp(const FileMetadata& metadata,
                                                             std::span<const uint8_t> payload, bool durable) const {
  auto fail = [](BlobCacheError error) { return unexpected(CommitFailure{std::move(error), std::nullopt}); };
  const fs::path final_path(metadata.path);
  const fs::path shard_path = final_path.parent_path();
  if (shard_path.parent_path().parent_path() != blobs_dir())
    return fail(BlobCacheError::invalid_blob("cache path outside the data directory"));
  auto root = held_root(true);
  if (!root) return fail(std::move(root).error());
  auto shard = posix::open_subdir((*root)->fd(), "blobs", Narrow::IfCreated);
  if (shard) shard = shard_dir(shard->get(), shard_path.parent_path().filename().c_str(), Narrow::Never);
  if (shard) shard = shard_dir(shard->get(), shard_path.filename().c_str(), Narrow::Always);
  if (!shard) return fail(BlobCacheError::io("create blob cache shard", shard.error()));
  std::string final_name = final_path.filename().native();
  struct stat st {};
  if (posix::fstatat(shard->get(), final_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISREG(st.st_mode)) return fail(BlobCacheError::blob_id_mismatch(metadata.blob_id));
    // No blob is stored in anything else; left there, it would make the ID
    // unusable.
    if (auto removed = posix::remove_entry(shard->get(), final_name.c_str(), S_ISDIR(st.st_mode)); !removed)
      return fail(BlobCacheError::io("remove cache entry " + relative(metadata.path), removed.error()));
  } else if (errno != ENOENT) {
    return fail(BlobCacheError::io_errno("inspect final cache path", errno));
  }

  auto tmp_dir = posix::open_subdir((*root)->fd(), "tmp", Narrow::IfCreated);
  if (!tmp_dir) return fail(BlobCacheError::io("create blob cache temp file", tmp_dir.error()));
  std::string temp_name;
  Fd fd(-1);
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && !fd.valid(); ++attempt) {
    const uint64_t sequence = temp_sequence.fetch_add(1);
    temp_name = "blob-" + std::to_string(static_cast<uint32_t>(::getpid())) + "-" + std::to_string(sequence) + ".tmp";
    fd = Fd(posix::openat(tmp_dir->get(), temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) return fail(BlobCacheError::io_errno("create blob cache temp file", errno));
  }
  if (!fd.valid())
    return fail(BlobCacheError::io("create blob cache temp file",
                                   OsError::custom(IoKind::AlreadyExists, "temporary filename attempts exhausted")));
  TempFile file(std::move(*tmp_dir), std::move(*shard), std::move(temp_name), std::move(final_name), metadata.blob_id);
  auto written = write_blob(fd.get(), metadata, payload, durable);
  fd = Fd(-1);  // closed before the rename, and before any removal
  if (!written) {
    auto discarded = discard(file, std::move(written).error());
    return unexpected(std::move(discarded).error());
  }
  return file;
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
    return unexpected(CommitFailure{std::move(failure), tmp_dir() / file.temp_name_});
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
  if (auto removed = posix::remove_entry((*root)->fd(), "tmp", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache temp directory", removed.error()));
  if (auto removed = posix::remove_entry((*root)->fd(), "blobs", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache data directory", removed.error()));
  return prepare();
}

Result<void> LocalFileStore::purge_temp() const {
  auto root = held_root(true);
  if (!root) return unexpected(std::move(root).error());
  if (auto removed = posix::remove_entry((*root)->fd(), "tmp", true); !removed)
    return unexpected(BlobCacheError::io("purge blob cache temp directory", removed.error()));
  if (auto tmp = posix::open_subdir((*root)->fd(), "tmp", Narrow::Always); !tmp)
    return unexpected(BlobCacheError::io("recreate blob cache temp directory", tmp.error()));
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
