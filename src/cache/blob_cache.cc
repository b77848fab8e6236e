#include "cache/blob_cache.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <vector>

#include "store/posix.h"

namespace qel {
namespace {

bool is_lost_file(const BlobCacheError& error) {
  return error.kind() == BlobCacheError::Kind::CorruptEntry || error.is_io_kind(IoKind::NotFound);
}

BlobCacheError engine_error(const engine::EngineError& error) { return BlobCacheError::engine(error.to_string()); }

BlobCacheError reconciliation_step(std::string_view step, const BlobCacheError& error) {
  return BlobCacheError::reconciliation(std::string(step) + ": " + error.to_string());
}

// The entry's payload under a read lease; nothing when no lease is granted
// (Pending: a put is still writing it; Evicting: it is leaving).
std::optional<Result<Payload>> read_leased(const LocalFileStore& store, DiskEntry& entry) {
  auto lease = entry.acquire_read();
  if (!lease) return std::nullopt;
  Payload payload(entry.payload_len());
  if (auto read = entry.read_into(store, {payload.data(), payload.size()}); !read) return unexpected(std::move(read).error());
  return payload;
}

bool same_payload(const Payload& stored, std::span<const uint8_t> payload) {
  return stored.size() == payload.size() && std::equal(payload.begin(), payload.end(), stored.data());
}

}  // namespace

BlobCache::BlobCache(BlobCacheConfig config, LocalFileStore store, Engine engine, RemovalCallback callback)
    : config_(std::move(config)),
      store_(std::move(store)),
      engine_(std::move(engine)),
      callback_(std::move(callback)),
      fork_generation_(posix::fork_generation()) {}

Result<std::unique_ptr<BlobCache>> BlobCache::open(BlobCacheConfig config) {
  auto store = LocalFileStore::create(config.directory);
  if (!store) return unexpected(std::move(store).error());
  // Before the directory is touched: a second engine over it would take the
  // files of this one for foreign ones and break the budget. The lock stays
  // with the store's copies until the cache goes.
  if (auto locked = store->lock_root(); !locked) return unexpected(std::move(locked).error());
  return open(std::move(config), std::move(*store));
}

Result<std::unique_ptr<BlobCache>> BlobCache::open(BlobCacheConfig config, LocalFileStore locked) {
  if (auto prepared = locked.prepare(); !prepared) return unexpected(std::move(prepared).error());
  RemovalCallback callback(locked);
  auto engine = start_engine(config.max_bytes, config.frequency_counters, callback);
  if (!engine) return unexpected(std::move(engine).error());

  std::unique_ptr<BlobCache> cache(
      new BlobCache(std::move(config), std::move(locked), std::move(*engine), std::move(callback)));
  {
    // No call reaches the cache before it is returned; the locks are those
    // the helpers need.
    WriteGuard lifecycle(cache->lifecycle_);
    MutexGuard commit(cache->commit_);
    if (Result<void> reconciled = cache->reconcile(); !reconciled) {
      cache->close_engine_keeping_files();
      return unexpected(std::move(reconciled).error());
    }
  }
#ifdef __GLIBC__
  // The scan's records of a large directory are freed by now, in holes among
  // the entries that stay; hand the emptied pages back rather than keep the
  // scan's peak resident for as long as the cache is open.
  ::malloc_trim(0);
#endif
  cache->callback_.reset_evictions();  // statistics count from here
  return cache;
}

BlobCache::~BlobCache() {
  if (forked()) {
    // The engine's threads, and any lock they held at the fork, live in the
    // parent: releasing the handle here would join threads that do not exist.
    if (engine_) static_cast<void>(new Engine(std::move(*engine_)));
    return;
  }
  callback_.set_closing();
  engine_.reset();
}

bool BlobCache::forked() const { return posix::forked_since(fork_generation_); }

BlobCache::OpenCall::OpenCall(BlobCache& cache, std::string_view blob_id) NO_THREAD_SAFETY_ANALYSIS {
  if (auto checked = check_blob_id(blob_id); !checked) {
    refusal = std::move(checked).error();
  } else {
    enter(cache, false);
  }
}

BlobCache::OpenCall::OpenCall(BlobCache& cache) NO_THREAD_SAFETY_ANALYSIS { enter(cache, false); }

BlobCache::OpenCall::OpenCall(BlobCache& cache, Alone) NO_THREAD_SAFETY_ANALYSIS { enter(cache, true); }

void BlobCache::OpenCall::enter(BlobCache& cache, bool alone) NO_THREAD_SAFETY_ANALYSIS {
  if (cache.forked()) {
    refusal = BlobCacheError::closed();
    return;
  }
  if (alone) {
    alone_.emplace(cache.lifecycle_);
  } else {
    shared_.emplace(cache.lifecycle_);
  }
  if (cache.closed_) refusal = BlobCacheError::closed();
}

BlobCache::OpenCall::~OpenCall() NO_THREAD_SAFETY_ANALYSIS = default;

template <class Op>
auto BlobCache::with_engine(Op&& op) -> Result<decltype(op(std::declval<Engine&>()))> {
  ReadGuard slot(engine_lock_);
  if (!engine_) return unexpected(BlobCacheError::closed());
  return op(*engine_);
}

// Reconciliation: discard interrupted writes, delete files that fail
// verification or exceed the budget, and offer the rest to the engine newest
// first, deleting what it does not keep. While everything offered so far fits
// the budget the engine admits each entry unconditionally, in whatever order
// it handles them, so those are decided together with one wait; from the
// first entry that could need an eviction on, each is decided before the next.
Result<void> BlobCache::reconcile() {
  if (auto purged = store_.purge_temp(); !purged) return unexpected(reconciliation_step("purge interrupted writes", purged.error()));
  auto scan = store_.scan();
  if (!scan) return unexpected(reconciliation_step("scan committed files", scan.error()));
  for (const auto& path : scan->invalid) {
    if (auto removed = store_.remove(path); !removed)
      return unexpected(reconciliation_step("remove invalid file", removed.error()));
  }
  std::vector<std::shared_ptr<DiskEntry>> undecided;
  auto settle = [&]() REQUIRES(commit_) -> Result<void> {
    if (undecided.empty()) return {};
    if (auto waited = wait_for_engine(); !waited) return waited;
    if (auto captured = callback_.take_error()) return unexpected(BlobCacheError::reconciliation(std::move(*captured)));
    for (const auto& entry : undecided) {
      auto held = engine_holds(entry->blob_id(), entry);
      if (!held) return unexpected(std::move(held).error());
      if (*held) continue;
      if (auto removed = store_.remove(entry->path(store_)); !removed)
        return unexpected(reconciliation_step("remove dropped file", removed.error()));
    }
    undecided.clear();
    return {};
  };
  int64_t offered = 0;  // file lengths offered while nothing could be evicted
  bool fits_so_far = true;
  callback_.reset_error();
  for (auto& metadata : scan->entries) {
    if (metadata.file_len > config_.max_bytes) {
      if (auto removed = store_.remove(metadata.path); !removed)
        return unexpected(reconciliation_step("remove oversized file", removed.error()));
      continue;
    }
    fits_so_far = fits_so_far && metadata.file_len <= config_.max_bytes - offered;
    if (fits_so_far) {
      offered += metadata.file_len;
      assert(offered <= config_.max_bytes);
    } else {
      if (auto settled = settle(); !settled) return settled;
      callback_.reset_error();
    }
    auto entry = DiskEntry::ready(std::move(metadata));
    auto taken = with_engine([&](Engine& engine) { return engine.try_insert(entry->blob_id(), entry, 0); });
    if (!taken) return unexpected(std::move(taken).error());
    if (!taken->has_value()) return unexpected(engine_error(taken->error()));
    if (!taken->value()) {
      entry->begin_eviction();
      if (auto removed = store_.remove(entry->path(store_)); !removed)
        return unexpected(reconciliation_step("remove rejected file", removed.error()));
      continue;
    }
    undecided.push_back(std::move(entry));
  }
  return settle();
}

Result<void> BlobCache::close() {
  if (forked()) return {};
  WriteGuard lifecycle(lifecycle_);
  if (closed_) return {};
  MutexGuard commit(commit_);
  Result<void> cleaned = callback_.retry_cleanup();
  close_engine_keeping_files();
  return cleaned;
}

void BlobCache::close_engine_keeping_files() {
  callback_.set_closing();
  closed_ = true;
  {
    std::optional<Engine> engine;
    {
      WriteGuard slot(engine_lock_);
      engine.swap(engine_);
    }
    // Released outside the slot: the engine joins its processor thread here.
  }
  // The directory is free for the next open as soon as this one is closed.
  store_.release_root();
}

Result<std::optional<Payload>> BlobCache::get(std::string_view blob_id) {
  struct Owned final : PayloadSink {
    std::optional<std::span<uint8_t>> buffer(size_t len) override { return std::span(payload.emplace(len).data(), len); }
    std::optional<Payload> payload;
  } sink;
  auto read = get_into(blob_id, sink);
  if (!read) return unexpected(std::move(read).error());
  if (*read != ReadInto::Filled) sink.payload.reset();
  return std::move(sink.payload);
}

Result<ReadInto> BlobCache::get_into(std::string_view blob_id, PayloadSink& sink, bool again) {
  OpenCall call(*this, blob_id);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  // The second run of a get only reads: its access was counted by the first.
  auto found = again ? engine_peek(blob_id) : engine_get(blob_id);
  if (!found) return unexpected(std::move(found).error());
  Result<void> read;
  {
    // No lease: a put is still writing the file, or it is leaving.
    std::optional<ReadLease> lease = *found ? (**found)->acquire_read() : std::nullopt;
    if (!lease) {
      misses_.fetch_add(1, std::memory_order_relaxed);
      return ReadInto::Missing;
    }
    const std::optional<std::span<uint8_t>> into = sink.buffer((**found)->payload_len());
    if (!into) return ReadInto::Stopped;
    assert(into->size() == (**found)->payload_len());
    read = (**found)->read_into(store_, *into);
  }
  if (read) {
    hits_.fetch_add(1, std::memory_order_relaxed);
    return ReadInto::Filled;
  }
  if (!is_lost_file(read.error())) return unexpected(std::move(read).error());
  // The lease is gone by now: the eviction below would wait for it.
  if (auto invalidated = invalidate_entry(**found); !invalidated) return unexpected(std::move(invalidated).error());
  misses_.fetch_add(1, std::memory_order_relaxed);
  return ReadInto::Missing;
}

Result<void> BlobCache::invalidate_entry(const std::shared_ptr<DiskEntry>& entry) {
  MutexGuard commit(commit_);
  auto held = engine_holds(entry->blob_id(), entry);
  if (!held) return unexpected(std::move(held).error());
  if (!*held) return {};  // gone already, or replaced by a later put
  entry->begin_eviction();
  const std::filesystem::path path = entry->path(store_);
  Result<void> removed = store_.remove(path);
  if (auto forgotten = engine_remove(entry->blob_id()); !forgotten) return forgotten;
  if (!removed) {
    callback_.add_cleanup_path(path);
    return removed;
  }
  return {};
}

Result<bool> BlobCache::put(std::string_view blob_id, std::span<const uint8_t> payload) {
  auto stored = put_blob(blob_id, payload);
  if (stored) (*stored ? puts_admitted_ : puts_refused_).fetch_add(1, std::memory_order_relaxed);
  return stored;
}

Result<bool> BlobCache::put_blob(std::string_view blob_id, std::span<const uint8_t> payload) {
  OpenCall call(*this, blob_id);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  // Outside every lock: the checksum reads the whole payload.
  auto metadata = store_.metadata_for(blob_id, payload);
  if (!metadata) return unexpected(std::move(metadata).error());
  return admit(
      *metadata, [&](const Payload& stored) -> Result<bool> { return same_payload(stored, payload); },
      [&] { return store_.write_temp(*metadata, payload, config_.durable); });
}

Result<bool> BlobCache::put_temp(const SharedTemp& file) {
  OpenCall call(*this);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  // Verified here, outside every lock, like a put's checksum.
  auto inspected = store_.inspect_temp(file);
  if (!inspected) return unexpected(std::move(inspected).error());
  const FileMetadata& metadata = *inspected;
  return admit(
      metadata,
      [&](const Payload& stored) -> Result<bool> {
        auto mine = store_.read_temp(file, metadata);
        if (!mine) return unexpected(std::move(mine).error());
        return same_payload(stored, {mine->data(), mine->size()});
      },
      [&] { return store_.adopt_temp(file, metadata); });
}

void BlobCache::heard_reads(std::span<const std::string> blob_ids) {
  OpenCall call(*this);
  if (call.refusal) return;
  for (const auto& blob_id : blob_ids) {
    if (!check_blob_id(blob_id)) continue;
    // Only the count matters; a failure here is a lost report.
    static_cast<void>(engine_get(blob_id));
  }
}

template <class SameAs, class MakeTemp>
Result<bool> BlobCache::admit(const FileMetadata& metadata, SameAs&& same_as, MakeTemp&& make_temp) {
  const std::string_view blob_id = metadata.blob_id;
  MutexGuard id(id_lock(blob_id));
  std::shared_ptr<DiskEntry> entry;
  {
    MutexGuard commit(commit_);
    if (auto cleaned = callback_.retry_cleanup(); !cleaned) return unexpected(std::move(cleaned).error());
    if (metadata.file_len > config_.max_bytes) return false;
    auto reused = reuse_existing(metadata, same_as);
    if (!reused || *reused) return reused;

    entry = DiskEntry::pending(metadata);
    auto fits = fits_beside_undecided(metadata.file_len);
    if (!fits) return unexpected(std::move(fits).error());
    if (!*fits) callback_.reset_error();
    auto taken = with_engine([&](Engine& engine) { return engine.try_insert(blob_id, entry, metadata.file_len); });
    if (!taken) return unexpected(std::move(taken).error());
    if (!taken->has_value()) return unexpected(engine_error(taken->error()));
    if (!taken->value()) {
      entry->begin_eviction();
      return false;
    }
    if (*fits) {
      // Admitted for sure, evicting nothing: the verdict can wait.
      undecided_bytes_ += metadata.file_len;
      assert(undecided_bytes_ <= config_.max_bytes);
    } else {
      if (auto waited = wait_for_engine(); !waited) return unexpected(std::move(waited).error());
      if (auto captured = callback_.take_error()) {
        if (auto undone = remove_candidate(entry); !undone) return unexpected(std::move(undone).error());
        return unexpected(BlobCacheError::reconciliation(std::move(*captured)));
      }
      auto held = engine_holds(blob_id, entry);
      if (!held) return unexpected(std::move(held).error());
      if (!*held) {
        entry->begin_eviction();
        return false;
      }
    }
  }

  // Only this put's Pending entry, invisible to get, refers to the file, and
  // the ID lock keeps other puts and deletes of the ID out: the write runs
  // beside other puts. An eviction meanwhile makes the entry decline the
  // rename, so no file outside the engine's budget ever appears.
  Expected<TempFile, CommitFailure> written = make_temp();
  if (!written) return undo_put(entry, std::move(written).error());
  const std::optional<int> renamed = entry->publish([&] { return store_.publish(*written); });
  if (renamed == 0) return true;
  if (auto abandoned = store_.abandon(std::move(*written), renamed); !abandoned)
    return undo_put(entry, std::move(abandoned).error());
  return false;  // evicted while it was written
}

Result<bool> BlobCache::undo_put(const std::shared_ptr<DiskEntry>& entry, CommitFailure failure) {
  MutexGuard commit(commit_);
  if (failure.leftover_temp) callback_.add_cleanup_path(*failure.leftover_temp);
  if (auto undone = remove_candidate(entry); !undone) return unexpected(std::move(undone).error());
  return unexpected(std::move(failure.error));
}

template <class SameAs>
Result<bool> BlobCache::reuse_existing(const FileMetadata& metadata, SameAs&& same_as) {
  auto found = engine_peek(metadata.blob_id);
  if (!found) return unexpected(std::move(found).error());
  if (!*found) return false;
  const std::shared_ptr<DiskEntry>& existing = **found;
  // Without a lease put goes on, and the engine refuses the occupied ID.
  std::optional<Result<Payload>> read = read_leased(store_, *existing);
  if (!read) return false;
  if (*read) {
    if (existing->file_len() == metadata.file_len && existing->checksum() == metadata.checksum) {
      auto same = same_as(**read);
      if (!same || *same) return same;
    }
    return unexpected(BlobCacheError::blob_id_mismatch(metadata.blob_id));
  }
  if (!is_lost_file(read->error())) return unexpected(std::move(*read).error());

  existing->begin_eviction();
  const std::filesystem::path path = existing->path(store_);
  auto removed = store_.remove(path);
  if (!removed) callback_.add_cleanup_path(path);
  if (auto forgotten = engine_remove(metadata.blob_id); !forgotten) return unexpected(std::move(forgotten).error());
  if (!removed) return unexpected(std::move(removed).error());
  return false;
}

Result<void> BlobCache::delete_blob(std::string_view blob_id) {
  OpenCall call(*this, blob_id);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  MutexGuard id(id_lock(blob_id));
  MutexGuard commit(commit_);
  if (auto cleaned = callback_.retry_cleanup(); !cleaned) return cleaned;

  auto found = engine_peek(blob_id);
  if (!found) return unexpected(std::move(found).error());
  if (*found) {
    const std::shared_ptr<DiskEntry>& entry = **found;
    // Only the caller that moved the entry out of Ready owns its file.
    if (entry->begin_eviction()) {
      if (auto removed = store_.remove(entry->path(store_)); !removed) {
        entry->restore_ready();
        return removed;
      }
    }
    return engine_remove(blob_id);
  }
  std::filesystem::path path = store_.path_for(blob_id);
  if (auto removed = store_.remove(path); !removed) {
    callback_.add_cleanup_path(path);
    return removed;
  }
  return {};
}

Result<void> BlobCache::delete_all() {
  OpenCall call(*this, OpenCall::Alone{});
  if (call.refusal) return unexpected(std::move(*call.refusal));
  MutexGuard commit(commit_);
  callback_.reset_error();
  auto cleared = with_engine([](Engine& engine) { return engine.clear(); });
  if (!cleared) return unexpected(std::move(cleared).error());
  if (!cleared->has_value()) return unexpected(engine_error(cleared->error()));
  if (auto waited = wait_for_engine(); !waited) return waited;
  std::optional<std::string> captured = callback_.take_error();
  auto purged = store_.purge();
  if (purged) {
    callback_.reset_after_purge();
    return {};
  }
  callback_.require_purge();
  if (!captured) return purged;
  return unexpected(BlobCacheError::reconciliation(*captured + "; purge blob cache: " + purged.error().to_string()));
}

Result<bool> BlobCache::contains(std::string_view blob_id) {
  OpenCall call(*this, blob_id);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  auto found = engine_peek(blob_id);
  if (!found) return unexpected(std::move(found).error());
  // A Pending entry is a put still writing its file; get would miss it too.
  return *found && (**found)->phase() == EntryPhase::Ready;
}

Result<BlobCacheStats> BlobCache::stats() {
  OpenCall call(*this);
  if (call.refusal) return unexpected(std::move(*call.refusal));
  {
    // Counted once the engine has decided them.
    MutexGuard commit(commit_);
    if (undecided_bytes_ > 0) {
      if (auto waited = wait_for_engine(); !waited) return unexpected(std::move(waited).error());
    }
  }
  auto engine = with_engine([](Engine& engine) { return engine.stats(); });
  if (!engine) return unexpected(std::move(engine).error());
  assert(engine->used <= config_.max_bytes);
  return BlobCacheStats{
      .blobs = static_cast<int64_t>(engine->admitted),
      .bytes = engine->used,
      .max_bytes = config_.max_bytes,
      .hits = hits_.load(std::memory_order_relaxed),
      .misses = misses_.load(std::memory_order_relaxed),
      .puts_admitted = puts_admitted_.load(std::memory_order_relaxed),
      .puts_refused = puts_refused_.load(std::memory_order_relaxed),
      .evictions = callback_.evictions(),
  };
}

PoisonMutex& BlobCache::id_lock(std::string_view blob_id) {
  return id_locks_[std::hash<std::string_view>{}(blob_id) % ID_LOCK_STRIPES].mutex;
}

Result<std::optional<std::shared_ptr<DiskEntry>>> BlobCache::engine_get(std::string_view blob_id) {
  return with_engine([&](Engine& engine) { return engine.get(blob_id); });
}

Result<std::optional<std::shared_ptr<DiskEntry>>> BlobCache::engine_peek(std::string_view blob_id) {
  return with_engine([&](Engine& engine) { return engine.peek(blob_id); });
}

Result<bool> BlobCache::engine_holds(std::string_view blob_id, const std::shared_ptr<DiskEntry>& entry) {
  auto found = engine_peek(blob_id);
  if (!found) return unexpected(std::move(found).error());
  return *found && **found == entry;
}

Result<bool> BlobCache::fits_beside_undecided(int64_t file_len) {
  for (;;) {
    auto used = with_engine([](Engine& engine) { return engine.policy().used(); });
    if (!used) return unexpected(std::move(used).error());
    if (file_len <= config_.max_bytes - *used - undecided_bytes_) return true;
    if (undecided_bytes_ == 0) return false;
    // The engine takes its stripes out of order: decided first, an offer
    // that needs room could take what an earlier put was promised.
    if (auto waited = wait_for_engine(); !waited) return unexpected(std::move(waited).error());
  }
}

Result<void> BlobCache::wait_for_engine() {
  auto waited = with_engine([](Engine& engine) { return engine.wait(); });
  if (!waited) return unexpected(std::move(waited).error());
  if (!waited->has_value()) return unexpected(engine_error(waited->error()));
  undecided_bytes_ = 0;
  return {};
}

Result<void> BlobCache::engine_remove(std::string_view blob_id) {
  auto removed = with_engine([&](Engine& engine) { return engine.try_remove(blob_id); });
  if (!removed) return unexpected(std::move(removed).error());
  if (!removed->has_value()) return unexpected(engine_error(removed->error()));
  return wait_for_engine();
}

Result<void> BlobCache::remove_candidate(const std::shared_ptr<DiskEntry>& entry) {
  auto held = engine_holds(entry->blob_id(), entry);
  if (!held) return unexpected(std::move(held).error());
  if (*held) {
    if (auto removed = engine_remove(entry->blob_id()); !removed) return removed;
  }
  entry->begin_eviction();
  return {};
}

}  // namespace qel
