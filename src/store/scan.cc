#include "store/scan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <optional>
#include <system_error>
#include <thread>

#include "store/blob_file.h"
#include "store/posix.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

// Lists `dir`, whose parent directory is open as `parent`.
Result<posix::Listing> list_directory(int parent, const fs::path& dir, const BlobNames& names) {
  posix::Fd dirfd(posix::openat(parent, dir.filename().c_str(), posix::DIR_FLAGS | O_NOFOLLOW));
  auto failed = [&](const OsError& error) {
    return unexpected(BlobCacheError::io("scan blob cache directory " + names.relative(dir), error));
  };
  if (!dirfd.valid()) return failed(posix::last_error());
  auto listing = posix::Listing::of(std::move(dirfd));
  if (!listing) return failed(listing.error());
  if (auto read = listing->read(); !read) return unexpected(BlobCacheError::io("scan blob cache", read.error()));
  return std::move(*listing);
}

// Threads that verify files at open, the calling thread included. Reading
// small files is mostly system calls, which run side by side on as many cores.
size_t scan_threads(size_t items) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({cores, MAX_SCAN_THREADS, items});
}

// Paths compare as text: every record sits at its ID's path, and paths of
// that one shape order as text just as component by component.
bool newer_first(const FileMetadata& a, const FileMetadata& b) {
  if (a.modified != b.modified) return a.modified > b.modified;
  return a.path < b.path;
}

Result<void> scan_entry(int dirfd, const fs::path& dir, const posix::Listing::Entry& entry, const BlobNames& names,
                        ScanResult& result);

// `parent` is the descriptor of dir's parent directory.
Result<void> scan_directory(int parent, const fs::path& dir, const BlobNames& names, ScanResult& result) {
  auto listing = list_directory(parent, dir, names);
  if (!listing) return unexpected(std::move(listing).error());
  for (const auto& entry : listing->entries) {
    if (auto scanned = scan_entry(listing->fd(), dir, entry, names, result); !scanned) return scanned;
  }
  return {};
}

// One listed entry of `dir`, open as `dirfd`: recursed into, inspected, set
// apart as invalid or left alone.
Result<void> scan_entry(int dirfd, const fs::path& dir, const posix::Listing::Entry& entry, const BlobNames& names,
                        ScanResult& result) {
  const std::string& name = entry.name;
  unsigned char type = entry.type;
  if (type == DT_UNKNOWN) {
    struct stat st {};
    if (posix::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
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
    return scan_directory(dirfd, fs::path(std::move(path)), names, result);
  } else if (blob_name) {
    // Reached from its directory, open already and reached from the root
    // without a link: one name to look up rather than the whole path.
    auto inspected = inspect_blob_file(posix::openat(dirfd, name.c_str(), BLOB_OPEN_FLAGS | O_NOFOLLOW), path, names);
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

}  // namespace

// The top level of the data directory is shared out among threads one entry
// (a whole first-level shard, as a rule) at a time; each entry's results are
// kept apart and joined in listing order afterwards, so that the first error
// in walk order is the one reported, as with one thread. The sort then makes
// the order of the rest independent of which thread found what.
Result<ScanResult> scan_blob_files(int root, const BlobNames& names) {
  auto listing = list_directory(root, names.blobs_dir(), names);
  if (!listing) return unexpected(std::move(listing).error());
  const size_t items = listing->entries.size();
  std::vector<ScanResult> parts(items);
  std::vector<std::optional<BlobCacheError>> failures(items);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < items;) {
      if (auto scanned = scan_entry(listing->fd(), names.blobs_dir(), listing->entries[i], names, parts[i]); !scanned)
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

}  // namespace qel
