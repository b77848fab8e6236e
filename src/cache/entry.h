// DiskEntry: the in-memory record of one blob file, shared by the engine,
// queued engine items, operations in flight and readers. Its phase decides
// who may read the file and who may delete it. Thread-safe: phase and reader
// count live in one atomic word, and an eviction waits for readers on that
// word (the waiting itself happens in the process's shared table of waiters),
// so a million entries carry no mutex or condition variable each.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "store/format.h"
#include "store/store.h"

namespace qel {

enum class EntryPhase : uint8_t {
  Pending = 0,   // the file belongs to the put that is writing it
  Ready = 1,     // committed; may be read
  Evicting = 2,  // leaving the cache; no new lease is granted
  Publishing = 3,  // its put is renaming the file into place; an eviction waits
};

class ReadLease;

class DiskEntry {
 public:
  static std::shared_ptr<DiskEntry> pending(FileMetadata metadata);
  static std::shared_ptr<DiskEntry> ready(FileMetadata metadata);

  // `metadata.path` is the store's path for the blob's ID.
  DiskEntry(FileMetadata metadata, EntryPhase phase);
  DiskEntry(const DiskEntry&) = delete;
  DiskEntry& operator=(const DiskEntry&) = delete;

  const std::string& blob_id() const { return blob_id_; }
  int64_t file_len() const { return file_len_; }
  uint32_t checksum() const { return checksum_; }
  FileTime modified() const { return modified_; }
  // The file's path, from the store that wrote or found it.
  std::filesystem::path path(const LocalFileStore& store) const { return store.path_of(digest_); }
  size_t payload_len() const { return LocalFileStore::payload_len(blob_id_, file_len_); }
  // The verified payload into `payload`, payload_len() bytes.
  Result<void> read_into(const LocalFileStore& store, std::span<uint8_t> payload) const {
    return store.read_into(blob_id_, digest_, file_len_, checksum_, path_of_id_, payload);
  }

  // A lease while Ready; none otherwise.
  std::optional<ReadLease> acquire_read();
  // While Pending, runs `rename` (the step that makes the written file
  // visible; 0 or an errno) and moves to Ready when it succeeds. Under the
  // state lock, so an eviction falls either before (the file never appears)
  // or after (the entry is Ready and its evictor deletes the file). Nothing
  // when the entry had left Pending.
  std::optional<int> publish(const std::function<int()>& rename);
  void restore_ready();
  // Moves the entry to Evicting. True exactly when it was Ready, after every
  // lease granted before the call has been released: the caller may then
  // delete the file. Never call it while holding a lease on this entry.
  bool begin_eviction();

  EntryPhase phase() const;
  uint32_t readers() const;

  // Test seam: called by begin_eviction each time it is about to wait, with
  // the phase and readers it waits on; tests use it to know the evictor
  // blocked rather than hope it did. Unset in production.
  static inline std::atomic<void (*)(EntryPhase, uint32_t readers)> before_eviction_wait{nullptr};

 private:
  friend class ReadLease;
  static constexpr uint32_t PHASE_SHIFT = 30;
  static constexpr uint32_t READERS_MASK = (uint32_t{1} << PHASE_SHIFT) - 1;
  static constexpr uint32_t word(EntryPhase phase, uint32_t readers) {
    return static_cast<uint32_t>(phase) << PHASE_SHIFT | readers;
  }
  static EntryPhase phase_of(uint32_t word) { return static_cast<EntryPhase>(word >> PHASE_SHIFT); }
  void release_read();
  // Blocks until the state word is no longer `seen`.
  void wait_while(uint32_t seen);

  // The blob file's record, without its path: the digest names the file. A
  // million of these is most of what an open cache keeps.
  const std::string blob_id_;
  const BlobDigest digest_;
  const FileTime modified_;
  const int64_t file_len_;
  const uint32_t checksum_;
  const bool path_of_id_;
  // The phase in the top two bits, the number of leases below.
  // Invariant: readers grows only while Ready, so once Evicting it only falls.
  std::atomic<uint32_t> state_;
};

// Holds its entry's file alive; the holder also holds a shared reference.
class ReadLease {
 public:
  ReadLease(ReadLease&& other) noexcept : entry_(std::exchange(other.entry_, nullptr)) {}
  ReadLease& operator=(ReadLease&&) = delete;
  ReadLease(const ReadLease&) = delete;
  ~ReadLease() {
    if (entry_ != nullptr) entry_->release_read();
  }

 private:
  friend class DiskEntry;
  explicit ReadLease(DiskEntry* entry) : entry_(entry) {}
  DiskEntry* entry_;
};

}  // namespace qel
