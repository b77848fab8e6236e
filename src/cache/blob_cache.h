// BlobCache: the object behind one open cache directory. Thread-safe: any
// number of threads may call get, put and delete at once, and puts write
// their files in parallel; delete_all and close run alone, and get in as
// soon as the calls in flight are done.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cache/entry.h"
#include "store/error.h"
#include "store/format.h"
#include "cache/disk_engine.h"
#include "store/store.h"
#include "cache/sync.h"

namespace qel {

struct BlobCacheConfig {
  std::string directory;
  int64_t max_bytes;           // > 0; no blob file longer than this is kept
  int64_t frequency_counters;  // >= 0; 0 follows the blobs held
  // Each put's file reaches the disk before it is published. Without, a crash
  // of the machine may leave recent files missing or torn, and the next open
  // drops the torn ones by their checksums.
  bool durable = true;
};

// What the cache holds and how it has fared since it was opened.
struct BlobCacheStats {
  int64_t blobs;  // admitted entries, a put in progress included
  int64_t bytes;  // their file lengths
  int64_t max_bytes;
  uint64_t hits;
  uint64_t misses;
  uint64_t puts_admitted;  // puts that returned true
  uint64_t puts_refused;   // puts that returned false
  uint64_t evictions;      // blobs the engine removed to make room
};

// How a get into a caller's buffer ended.
enum class ReadInto : uint8_t {
  Filled,   // the verified payload is in the buffer
  Missing,  // no readable blob under the ID
  Stopped,  // the sink gave no buffer; nothing read, nothing counted
};

// Where a get into a caller's buffer puts the payload: a buffer of exactly
// `len` bytes, or none to stop before reading. Called once, without locks of
// the cache held that the caller could need.
class PayloadSink {
 public:
  virtual std::optional<std::span<uint8_t>> buffer(size_t len) = 0;

 protected:
  ~PayloadSink() = default;
};

class BlobCache {
 public:
  // Builds store, callback and engine, then reconciles the directory.
  static Result<std::unique_ptr<BlobCache>> open(BlobCacheConfig config);
  // The same over a store whose root this process has locked already.
  static Result<std::unique_ptr<BlobCache>> open(BlobCacheConfig config, LocalFileStore locked);
  // Stops the engine and keeps every blob file on disk; no lock is taken.
  ~BlobCache();
  BlobCache(const BlobCache&) = delete;
  BlobCache& operator=(const BlobCache&) = delete;

  Result<std::optional<Payload>> get(std::string_view blob_id);
  // get for a caller that places the payload itself. `again`: the retry of
  // a get that stopped, which admission has counted already. A buffer that
  // ends other than Filled holds anything.
  Result<ReadInto> get_into(std::string_view blob_id, PayloadSink& sink, bool again = false);
  // True when the cache now holds exactly this payload under this ID.
  Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload);
  // put of a blob another process wrote to a temp file of its own: the
  // file is verified, then published or removed as put would.
  Result<bool> put_temp(const SharedTemp& file);
  // Gets another process made, which admission weighs as this one's.
  void heard_reads(std::span<const std::string> blob_ids);
  Result<void> delete_blob(std::string_view blob_id);  // Python's delete
  Result<void> delete_all();
  // Whether a readable blob is held; not an access, so admission never
  // hears of it.
  Result<bool> contains(std::string_view blob_id);
  Result<BlobCacheStats> stats();
  // Retries pending cleanup, stops the engine; idempotent.
  Result<void> close();

 private:
  friend struct BlobCacheTestAccess;
  BlobCache(BlobCacheConfig config, LocalFileStore store, Engine engine, RemovalCallback callback);

  // The check every call makes first, and its hold on the open cache: the
  // blob ID (when the call has one) is valid, the process is the one that
  // opened the cache, and the cache is not closed. Holds lifecycle_ shared,
  // or exclusively for a call that runs alone, until it goes; when `refusal`
  // is set the call must return it at once. A forked child takes no lock: a
  // lock held at the fork stays held there for good.
  class SCOPED_CAPABILITY OpenCall {
   public:
    struct Alone {};
    OpenCall(BlobCache& cache, std::string_view blob_id) ACQUIRE_SHARED(cache.lifecycle_);
    explicit OpenCall(BlobCache& cache) ACQUIRE_SHARED(cache.lifecycle_);
    OpenCall(BlobCache& cache, Alone) ACQUIRE(cache.lifecycle_);
    ~OpenCall() RELEASE();

    std::optional<BlobCacheError> refusal;

   private:
    void enter(BlobCache& cache, bool alone);
    std::optional<ReadGuard> shared_;
    std::optional<WriteGuard> alone_;
  };

  Result<void> reconcile() REQUIRES(commit_);
  // put without the statistics.
  Result<bool> put_blob(std::string_view blob_id, std::span<const uint8_t> payload);
  // The admission of a put whose file `make_temp` writes or takes over:
  // `same_as(stored)` tells whether a blob held already under the ID is this
  // one. Takes the ID's lock and commit_ itself.
  template <class SameAs, class MakeTemp>
  Result<bool> admit(const FileMetadata& metadata, SameAs&& same_as, MakeTemp&& make_temp);
  template <class SameAs>
  Result<bool> reuse_existing(const FileMetadata& metadata, SameAs&& same_as) REQUIRES(commit_);
  // A put whose commit failed: takes commit_, keeps a leftover temp file for
  // cleanup and drops the entry it made.
  Result<bool> undo_put(const std::shared_ptr<DiskEntry>& entry, CommitFailure failure) EXCLUDES(commit_);
  Result<void> invalidate_entry(const std::shared_ptr<DiskEntry>& entry) EXCLUDES(commit_);
  void close_engine_keeping_files() REQUIRES(lifecycle_);
  // A process forked after open has no engine threads: nothing may wait.
  bool forked() const;

  // The engine slot: each helper holds engine_lock_ around one engine call.
  template <class Op>
  auto with_engine(Op&& op) -> Result<decltype(op(std::declval<Engine&>()))>;
  // Only get's own lookup counts as an access for admission. Put's and
  // delete's lookups peek: counted too, a miss followed by a put weighed
  // three accesses against a hit's one, which cost hit ratio.
  Result<std::optional<std::shared_ptr<DiskEntry>>> engine_get(std::string_view blob_id);
  Result<std::optional<std::shared_ptr<DiskEntry>>> engine_peek(std::string_view blob_id);
  // The decisions below change which files belong to the cache.
  Result<bool> engine_holds(std::string_view blob_id, const std::shared_ptr<DiskEntry>& entry) REQUIRES(commit_);
  // Whether an offer of `file_len` leaves the budget unfilled with every
  // undecided one, so that the engine must admit it and evict nothing.
  Result<bool> fits_beside_undecided(int64_t file_len) REQUIRES(commit_);
  // Also decides every undecided offer.
  Result<void> wait_for_engine() REQUIRES(commit_);
  Result<void> engine_remove(std::string_view blob_id) REQUIRES(commit_);
  Result<void> remove_candidate(const std::shared_ptr<DiskEntry>& entry) REQUIRES(commit_);

  // The ID lock stripe of `blob_id`.
  PoisonMutex& id_lock(std::string_view blob_id);

  const BlobCacheConfig config_;
  const LocalFileStore store_;
  // Lock order, outermost first, never reversed:
  //   lifecycle_ -> one of id_locks_ -> commit_ -> engine_lock_ -> engine locks
  //   -> callback mutex.
  // The ACQUIRED_AFTER attributes below state it for clang's checker, all
  // but the ID stripes, which it cannot name one by one. The engine's locks
  // are each taken alone, and the engine calls the removal callback holding
  // none of them.
  // An eviction may wait on an entry's state word for its readers or its
  // publishing rename; neither waits for anything while holding a lock.
  // The engine's threads take only the last two, so an operation may wait for
  // the engine while holding lifecycle_ and commit_. lifecycle_ and engine_lock_
  // let a waiting writer in before new readers, so no thread takes either
  // for reading while it already holds it: each operation takes lifecycle_
  // once, and engine_lock_ only inside one helper call at a time.
  PoisonSharedMutex engine_lock_ ACQUIRED_AFTER(commit_){"blob cache engine lock is poisoned"};
  std::optional<Engine> engine_ GUARDED_BY(engine_lock_);  // absent once closed
  // Shared by get, put and delete; exclusive for delete_all and close.
  PoisonSharedMutex lifecycle_{"blob cache lifecycle lock is poisoned"};
  // Striped by the blob ID's hash; a put holds its ID's stripe from start to
  // end, its file's write, fsync and rename included, and a delete holds it
  // too: puts and deletes of one ID never overlap. Guards no data.
  struct alignas(64) IdLock {
    PoisonMutex mutex{"blob cache blob ID lock is poisoned"};
  };
  static constexpr size_t ID_LOCK_STRIPES = 64;
  std::array<IdLock, ID_LOCK_STRIPES> id_locks_;
  // Serialises the decisions and bookkeeping that change which files belong
  // to the cache: admissions and their undoing, removals, purges. Writing a
  // new blob's file does not hold it: the file is its put's alone until
  // published, and only while the engine still holds the put's entry.
  PoisonMutex commit_ ACQUIRED_AFTER(lifecycle_){"blob cache commit lock is poisoned"};
  bool closed_ GUARDED_BY(lifecycle_) = false;
  // File lengths of the puts that, with room to spare, returned before the
  // engine decided their entries: a put waits for its verdict only when the
  // budget could run out. Zero after each wait.
  int64_t undecided_bytes_ GUARDED_BY(commit_) = 0;
  const RemovalCallback callback_;
  const uint64_t fork_generation_;  // the process's at open
  // Statistics only: relaxed, and read without a lock.
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
  std::atomic<uint64_t> puts_admitted_{0};
  std::atomic<uint64_t> puts_refused_{0};
};

}  // namespace qel
