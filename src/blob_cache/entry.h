// DiskEntry: the in-memory record of one blob file, shared by the engine,
// queued engine items, operations in flight and readers. Its phase decides
// who may read the file and who may delete it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "blob_cache/format.h"
#include "blob_cache/sync.h"

namespace qel {

enum class EntryPhase : uint8_t {
  Pending = 0,   // the file belongs to the put that is writing it
  Ready = 1,     // committed; may be read
  Evicting = 2,  // leaving the cache; no new lease is granted
};

class ReadLease;

class DiskEntry {
 public:
  static std::shared_ptr<DiskEntry> pending(FileMetadata metadata);
  static std::shared_ptr<DiskEntry> ready(FileMetadata metadata);

  DiskEntry(FileMetadata metadata, EntryPhase phase) : metadata_(std::move(metadata)), phase_(phase) {}
  DiskEntry(const DiskEntry&) = delete;
  DiskEntry& operator=(const DiskEntry&) = delete;

  const FileMetadata& metadata() const { return metadata_; }

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

  EntryPhase phase();
  uint64_t readers();

 private:
  friend class ReadLease;
  void release_read();

  const FileMetadata metadata_;
  // Innermost lock of the system: nothing else is taken while it is held
  // (publish's rename is a system call, not a lock).
  // Invariant: readers grows only while Ready, so once Evicting it only falls.
  PoisonMutex state_{"disk entry mutex is poisoned"};
  EntryPhase phase_;
  uint64_t readers_ = 0;
  std::condition_variable released_;
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
