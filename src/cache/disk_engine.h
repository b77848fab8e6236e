// The engine over disk entries, and what ties its decisions to files on
// disk: the coster, the removal callback, and the engine's start. The callback runs on the engine's processor thread and on
// callers' threads at once; what it shares lives behind its own mutex.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "cache/entry.h"
#include "store/error.h"
#include "store/store.h"
#include "cache/sync.h"
#include "engine/admission_engine.h"

namespace qel {

using Engine = engine::AdmissionEngine<std::shared_ptr<DiskEntry>>;

// An entry costs the length of its blob file.
struct DiskEntryCoster {
  int64_t operator()(const std::shared_ptr<DiskEntry>& entry) const { return entry->file_len(); }
};

// A handle on callback state shared by the cache and its engine.
class RemovalCallback {
 public:
  explicit RemovalCallback(LocalFileStore store);

  // Every value the engine evicts, rejects or hands back; deletes its file
  // unless the cache is closing or the entry is not Ready.
  void handle_removal(std::shared_ptr<DiskEntry> entry) const;

  void add_cleanup_path(const std::filesystem::path& path) const;
  // Retries a pending purge, or else every queued removal.
  Result<void> retry_cleanup() const;
  void require_purge() const;
  void reset_after_purge() const;
  void set_closing() const;
  std::optional<std::string> take_error() const;
  void reset_error() const;
  // Ready entries the engine has evicted, counted from the last reset.
  uint64_t evictions() const { return shared_->evictions.load(std::memory_order_relaxed); }
  void reset_evictions() const { shared_->evictions.store(0, std::memory_order_relaxed); }

 private:
  struct PathHash {
    size_t operator()(const std::filesystem::path& path) const { return std::filesystem::hash_value(path); }
  };
  struct CallbackState {
    std::optional<std::string> error;  // removal failures since the last reset, joined by "; "
    std::unordered_set<std::filesystem::path, PathHash> cleanup_paths;
    bool closing = false;         // never cleared: removals keep files from then on
    bool purge_required = false;  // a failed purge of the whole store awaits retry
  };
  struct CallbackShared {
    explicit CallbackShared(LocalFileStore store) : store(std::move(store)) {}
    const LocalFileStore store;
    // Taken after every other lock but an entry's, and never around a wait
    // for the engine.
    PoisonMutex mutex{"blob cache callback mutex is poisoned"};
    CallbackState state GUARDED_BY(mutex);
    std::atomic<uint64_t> evictions{0};  // a statistic: needs no ordering
  };
  std::shared_ptr<CallbackShared> shared_;
};

// The most frequency counters a cache may ask for: the sketch and its
// doorkeeper take about four bytes per counter, so this is already 4 GiB.
inline constexpr int64_t MAX_FREQUENCY_COUNTERS = int64_t{1} << 30;

// Where the frequency record of a cache opened with frequency_counters 0
// starts; it then grows with the blobs held.
inline constexpr int64_t DEFAULT_FREQUENCY_COUNTERS = 10000;

// Builds the engine over the cache's budget and starts its two threads.
// frequency_counters 0 sizes the frequency record by the blobs held; any
// other count fixes it.
Result<Engine> start_engine(int64_t max_bytes, int64_t frequency_counters, RemovalCallback callback);

}  // namespace qel
