// LocalFileStore owns the cache directory on disk:
//
//   root/tmp/blob-<pid>-<seq>.tmp     commits in progress
//   root/blobs/H1/H2/<sha256>.blob    committed blobs, H1 H2 the digest's first
//                                     two pairs of hex digits
//
// Everything under the root is reached from a descriptor of the root that the
// store holds open, without following a link, so nothing planted inside the
// directory can lead a read or a removal outside it. Copies of a store share
// that descriptor and, once lock_root has taken it, the directory's exclusive
// lock. Every operation but release_root may run from any thread; the only
// mutable state, the held root, is replaced atomically when the root has to be
// made again. scan verifies files on threads of its own, joined before it
// returns.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/error.h"
#include "store/format.h"
#include "store/payload.h"

namespace qel {

inline constexpr int TEMP_NAME_ATTEMPTS = 128;
inline constexpr size_t INSPECT_CHUNK_LEN = 65536;
inline constexpr size_t MAX_SCAN_THREADS = 8;

// Process-wide temp-file sequence, starting at 1; every attempt takes a number.
extern std::atomic<uint64_t> TEMP_SEQUENCE;

struct CommitFailure {
  BlobCacheError error;
  // A temp file that could not be removed; the caller must remove it later.
  std::optional<std::filesystem::path> leftover_temp;
};

struct BlobPrefix {
  BlobHeader header;
  std::string blob_id;
};

// The SHA-256 of a blob ID; its hex digits name the blob's file.
using BlobDigest = std::array<uint8_t, 32>;

struct ScanResult {
  std::vector<FileMetadata> entries;          // newest first, then by path
  std::vector<std::filesystem::path> invalid;  // what an open removes unused, by path
};

// Verify reads every blob file and sets aside those that fail, or that
// cannot be read at all; List only finds them, and records just their path,
// length and modification time.
enum class ScanMode { Verify, List };

class RootDir;

class LocalFileStore {
 public:
  // Resolves a relative directory against the working directory; touches
  // nothing on disk.
  static Result<LocalFileStore> create(std::string_view directory);

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& tmp_dir() const { return tmp_dir_; }
  const std::filesystem::path& blobs_dir() const { return blobs_dir_; }

  // Creates root, tmp and blobs, each narrowed to 0700, and holds the root open.
  Result<void> prepare() const;
  // Takes the prepared root's exclusive lock, and the lock of any root made
  // again later; fails at once when another open cache holds it. Without
  // `make`, a root not held yet is locked as it is found, neither created
  // nor narrowed: a tool's lock.
  Result<void> lock_root(bool make = true) const;
  // Lets go of the root and its lock, for every copy; the store serves nothing
  // more. No other operation of any copy may be running.
  void release_root() const;
  std::filesystem::path path_for(std::string_view blob_id) const;
  // The path of the blob whose ID has this digest, for records that keep the
  // digest rather than the path.
  std::filesystem::path path_of(const BlobDigest& digest) const;
  // The digest a blob path is named for; none for a name that is no digest.
  static std::optional<BlobDigest> digest_in(const std::filesystem::path& path);
  // calculate_metadata at the blob's own path.
  Result<FileMetadata> metadata_for(std::string_view blob_id, std::span<const uint8_t> payload) const;
  // The text for `path` in messages: relative to root when under it.
  std::string relative(const std::filesystem::path& path) const;

  // Decides, around the rename that publishes a written file, whether it
  // still may appear: runs `rename` (0 or an errno) and returns its result,
  // or returns nothing without running it.
  using PublishGate = std::function<std::optional<int>(const std::function<int()>& rename)>;
  // Writes under a temp name, fsyncs, renames into place through `gate`;
  // never replaces. False when the gate declined: the temp file is gone.
  Expected<bool, CommitFailure> commit(const FileMetadata& metadata, std::span<const uint8_t> payload,
                                       const PublishGate& gate) const;

  // The payload of a known file, verified against its record.
  Result<Payload> read(const FileMetadata& metadata) const;
  // The same for a record that keeps the digest naming its file, not its path.
  Result<Payload> read(std::string_view blob_id, const BlobDigest& digest, int64_t file_len, uint32_t checksum,
                       bool path_of_id) const;
  // Reads and checks header and blob ID of an open file positioned at 0.
  Result<BlobPrefix> read_prefix(int fd, int64_t file_len, const std::filesystem::path& path) const;
  // Verifies an unknown file in constant memory and builds its record.
  Result<FileMetadata> inspect(const std::filesystem::path& path) const;

  // Every file under the data directory that an open looks at.
  Result<ScanResult> scan(ScanMode mode = ScanMode::Verify) const;
  Result<void> purge() const;
  Result<void> purge_temp() const;
  // Removes whatever is at `path` (file, link, FIFO or directory tree); absent
  // counts as removed, and so does a path that leads through a non-directory.
  Result<void> remove(const std::filesystem::path& path) const;

 private:
  struct Shared;
  LocalFileStore(std::filesystem::path root);
  // The held root. `revive` makes and locks it again at its path when it was
  // removed; otherwise a removed root is used as it is and finds nothing.
  Result<const RootDir*> held_root(bool revive) const;
  Result<void> scan_directory(int parent, const std::filesystem::path& dir, ScanMode mode, ScanResult& result) const;
  // One listed entry of `dir`, open as `dirfd`: recursed into, inspected
  // (or with List only looked at), set apart as invalid or left alone.
  Result<void> scan_entry(int dirfd, const std::filesystem::path& dir, const std::string& name, unsigned char type,
                          ScanMode mode, ScanResult& result) const;
  // inspect for `name` in the open directory `dirfd`, which is `path`'s.
  Result<FileMetadata> inspect_in(int dirfd, const std::string& name, std::string path) const;
  // Takes over `fd`, open on the regular file `path` with status `st`.
  Result<FileMetadata> inspect_open(int fd, const struct stat& st, std::string path) const;
  Result<Payload> read_at(const std::string& path, std::string_view blob_id, int64_t file_len, uint32_t checksum,
                          bool path_of_id) const;
  // `path` relative to the root, or nullptr when it does not lie under it.
  const char* beneath_root(const std::string& path) const;

  std::filesystem::path root_;
  std::filesystem::path tmp_dir_;
  std::filesystem::path blobs_dir_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qel
