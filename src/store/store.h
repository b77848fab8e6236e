// LocalFileStore owns the cache directory on disk:
//
//   root/tmp/<writer>/blob-<pid>-<seq>.tmp   files being written
//   root/blobs/H1/H2/<sha256>.blob          committed blobs (see names.h)
//
// Each process that writes holds a temp directory of its own under tmp,
// locked with flock for as long as it lives: whoever can take that lock
// knows the writer is gone, and only such directories are ever purged, so
// several processes can share the directory.
// Everything under the root is reached from a descriptor of the root that the
// store holds open, without following a link, so nothing planted inside the
// directory can lead a read or a removal outside it. Copies of a store share
// that descriptor and, once lock_root has taken it, the directory's exclusive
// lock. Every operation but release_root may run from any thread; the only
// mutable state, the held root, is replaced atomically when the root has to be
// made again. System calls go through posix.h, files are checked by
// blob_file.h, the data directory is scanned by scan.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "store/blob_file.h"
#include "store/error.h"
#include "store/format.h"
#include "store/names.h"
#include "store/payload.h"
#include "store/posix.h"
#include "store/scan.h"

namespace qel {

inline constexpr int TEMP_NAME_ATTEMPTS = 128;

struct BlobRecord;

struct CommitFailure {
  BlobCacheError error;
  // A temp file that could not be removed; the caller must remove it later.
  std::optional<std::filesystem::path> leftover_temp;
};

// A blob file written and flushed under a temp name, not yet visible; its
// shard exists and held nothing at the blob's path when it was written. It
// ends published or abandoned: dropped otherwise, its file stays in tmp until
// a purge finds its writer gone.
class TempFile {
 public:
  TempFile(TempFile&&) = default;
  TempFile& operator=(TempFile&&) = default;

 private:
  friend class LocalFileStore;
  TempFile(posix::Fd tmp_dir, posix::Fd shard, std::string writer, std::string temp_name, std::string final_name,
           std::string blob_id)
      : tmp_dir_(std::move(tmp_dir)), shard_(std::move(shard)), writer_(std::move(writer)),
        temp_name_(std::move(temp_name)), final_name_(std::move(final_name)), blob_id_(std::move(blob_id)) {}
  posix::Fd tmp_dir_;
  posix::Fd shard_;
  std::string writer_;  // the temp directory in tmp, by name: a path is built only for a message
  std::string temp_name_;
  std::string final_name_;
  std::string blob_id_;
};

// A temp file written for another process to publish: where it lies in tmp.
struct SharedTemp {
  std::string dir;   // the writer's temp directory
  std::string name;  // the file in it
};

class LocalFileStore {
 public:
  // Resolves a relative directory against the working directory; touches
  // nothing on disk.
  static Result<LocalFileStore> create(std::string_view directory);

  const std::filesystem::path& root() const { return names_.root(); }
  const std::filesystem::path& tmp_dir() const { return names_.tmp_dir(); }
  const std::filesystem::path& blobs_dir() const { return names_.blobs_dir(); }

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
  // The device and inode of the root: what names the directory to the other
  // processes that open it, wherever they reach it from.
  Result<std::pair<uint64_t, uint64_t>> root_identity() const;
  std::filesystem::path path_for(std::string_view blob_id) const;
  // The path of the blob whose ID has this digest, for records that keep the
  // digest rather than the path.
  std::filesystem::path path_of(const BlobDigest& digest) const;
  // The digest a blob path is named for; none for a name that is no digest.
  static std::optional<BlobDigest> digest_in(const std::filesystem::path& path) { return BlobNames::digest_in(path); }
  // calculate_metadata at the blob's own path.
  Result<FileMetadata> metadata_for(std::string_view blob_id, std::span<const uint8_t> payload) const;
  // The text for `path` in messages: relative to root when under it.
  std::string relative(const std::filesystem::path& path) const { return names_.relative(path); }

  // A commit is write_temp, then publish or abandon: the caller decides in
  // between whether the file may still appear. Writes the blob's file under a
  // temp name, fsyncs it when `durable`, and clears what is no blob file at
  // its path.
  Expected<TempFile, CommitFailure> write_temp(const FileMetadata& metadata, std::span<const uint8_t> payload,
                                               bool durable) const;
  // The same file for another process, the directory's owner, to adopt; no
  // shard is touched. The writer removes it with drop_shared_temp whatever
  // the owner answered: once published it is no longer there.
  Expected<SharedTemp, CommitFailure> write_shared_temp(const FileMetadata& metadata, std::span<const uint8_t> payload,
                                                        bool durable) const;
  void drop_shared_temp(const SharedTemp& file) const;
  // A temp file another process wrote, verified whole: the record of the
  // blob it holds. Names that are no single entry of tmp are refused.
  Result<FileMetadata> inspect_temp(const SharedTemp& file) const;
  // Takes that file over for publishing, its shard prepared as write_temp
  // prepares it.
  Expected<TempFile, CommitFailure> adopt_temp(const SharedTemp& file, const FileMetadata& metadata) const;
  // The payload of a temp file adopt_temp verified, checked again.
  Result<Payload> read_temp(const SharedTemp& file, const FileMetadata& metadata) const;

  // Renames the file into place, never replacing; 0 or an errno, and after a
  // failure the file is still to be abandoned.
  int publish(TempFile& file) const;
  // Removes the temp file of a publish that did not happen: declined, or
  // failed with `rename_error`, which the failure then reports.
  Expected<void, CommitFailure> abandon(TempFile file, std::optional<int> rename_error) const;

  // The payload of a known file, verified against its record.
  Result<Payload> read(const FileMetadata& metadata) const;
  // The same into the caller's `payload`, payload_len(blob_id, file_len)
  // bytes, for a record that keeps the digest naming its file, not its path.
  // After a failure `payload` holds anything.
  Result<void> read_into(std::string_view blob_id, const BlobDigest& digest, int64_t file_len, uint32_t checksum,
                         bool path_of_id, std::span<uint8_t> payload) const;
  // A blob's file found by its ID alone, for a reader that keeps no record:
  // none when no file is there.
  Result<std::optional<OpenedBlob>> open_blob(std::string_view blob_id) const;
  Result<void> read_opened(const OpenedBlob& file, std::string_view blob_id, std::span<uint8_t> payload) const;
  // The payload length of a blob file of this ID and length.
  static size_t payload_len(std::string_view blob_id, int64_t file_len);
  // Verifies an unknown file in constant memory and builds its record.
  Result<FileMetadata> inspect(const std::filesystem::path& path) const;

  // Every file under the data directory that an open looks at.
  Result<ScanResult> scan(ScanMode mode = ScanMode::Verify) const;
  // Empties the data directory, and tmp as purge_temp does.
  Result<void> purge() const;
  // Removes from tmp everything but the temp directories of live writers.
  Result<void> purge_temp() const;
  // Removes whatever is at `path` (file, link, FIFO or directory tree); absent
  // counts as removed, and so does a path that leads through a non-directory.
  Result<void> remove(const std::filesystem::path& path) const;

 private:
  struct Shared;
  explicit LocalFileStore(std::filesystem::path root);
  // The held root. `revive` makes and locks it again at its path when it was
  // removed; otherwise a removed root is used as it is and finds nothing.
  Result<const posix::RootDir*> held_root(bool revive) const;
  // A descriptor of this process's temp directory, made and locked on first
  // use, and made again when it has gone; `name` receives its name.
  Expected<posix::Fd, OsError> own_temp_dir(int root, std::string* name) const;
  // A new temp file in this process's temp directory, written and flushed.
  struct Written {
    posix::Fd dir;
    std::string dir_name;
    std::string name;
  };
  Expected<Written, CommitFailure> write_temp_file(int root, const FileMetadata& metadata,
                                                   std::span<const uint8_t> payload, bool durable) const;
  // The shard directory of `metadata`'s path, with nothing but possibly a
  // blob file at that path.
  Expected<posix::Fd, CommitFailure> prepare_shard(int root, const FileMetadata& metadata) const;
  Result<void> read_at(const std::string& path, const BlobRecord& record, std::span<uint8_t> payload) const;
  // Removes the temp file of a commit that ends, failed with `error` or not.
  Expected<void, CommitFailure> discard(const TempFile& file, std::optional<BlobCacheError> error) const;

  BlobNames names_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qel
