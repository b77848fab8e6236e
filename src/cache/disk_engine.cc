#include "cache/disk_engine.h"

#include <vector>

namespace qel {

RemovalCallback::RemovalCallback(LocalFileStore store)
    : shared_(std::make_shared<CallbackShared>(std::move(store))) {}

void RemovalCallback::handle_removal(std::shared_ptr<DiskEntry> entry) const {
  {
    MutexGuard guard(shared_->mutex);
    if (shared_->state.closing) return;
  }
  // Not under the callback mutex: this may wait for readers of the entry.
  if (!entry->begin_eviction()) return;
  // Only a Ready entry gets here, and the engine drops those only to make room.
  shared_->evictions.fetch_add(1, std::memory_order_relaxed);
  const std::filesystem::path path = entry->path(shared_->store);
  auto removed = shared_->store.remove(path);
  if (removed) return;
  MutexGuard guard(shared_->mutex);
  CallbackState& state = shared_->state;
  state.cleanup_paths.insert(path);
  std::string message = removed.error().to_string();
  state.error = state.error ? *state.error + "; " + message : message;
}

void RemovalCallback::add_cleanup_path(const std::filesystem::path& path) const {
  MutexGuard guard(shared_->mutex);
  shared_->state.cleanup_paths.insert(path);
}

Result<void> RemovalCallback::retry_cleanup() const {
  MutexGuard guard(shared_->mutex);
  CallbackState& state = shared_->state;
  if (state.purge_required) {
    auto purged = shared_->store.purge();
    if (!purged) return unexpected(BlobCacheError::reconciliation("retry cache purge: " + purged.error().to_string()));
    state.purge_required = false;
    state.cleanup_paths.clear();
    return {};
  }
  std::string failures;
  std::vector<std::filesystem::path> snapshot(state.cleanup_paths.begin(), state.cleanup_paths.end());
  for (const auto& path : snapshot) {
    if (auto removed = shared_->store.remove(path); removed) {
      state.cleanup_paths.erase(path);
    } else {
      if (!failures.empty()) failures += "; ";
      failures += removed.error().to_string();
    }
  }
  if (!failures.empty()) return unexpected(BlobCacheError::reconciliation(std::move(failures)));
  return {};
}

void RemovalCallback::require_purge() const {
  MutexGuard guard(shared_->mutex);
  shared_->state.purge_required = true;
}

void RemovalCallback::reset_after_purge() const {
  MutexGuard guard(shared_->mutex);
  CallbackState& state = shared_->state;
  state.error.reset();
  state.cleanup_paths.clear();
  state.purge_required = false;
}

void RemovalCallback::set_closing() const {
  MutexGuard guard(shared_->mutex);
  shared_->state.closing = true;
}

std::optional<std::string> RemovalCallback::take_error() const {
  MutexGuard guard(shared_->mutex);
  return std::exchange(shared_->state.error, std::nullopt);
}

void RemovalCallback::reset_error() const {
  MutexGuard guard(shared_->mutex);
  shared_->state.error.reset();
}

Result<Engine> start_engine(int64_t max_bytes, int64_t frequency_counters, RemovalCallback callback) {
  engine::EngineHooks<std::shared_ptr<DiskEntry>> hooks{
      .coster = DiskEntryCoster{},
      .on_removal = [callback = std::move(callback)](engine::RemovedItem<std::shared_ptr<DiskEntry>> item) {
        callback.handle_removal(std::move(item.value));
      },
  };
  // 0, the default, starts where an explicit default used to stay and then
  // follows the number of blobs held, so a large cache is not judged by a
  // record sized for a small one.
  const engine::EngineSettings settings =
      frequency_counters == 0
          ? engine::EngineSettings{DEFAULT_FREQUENCY_COUNTERS, max_bytes, engine::CounterSizing::FollowEntries}
          : engine::EngineSettings{frequency_counters, max_bytes, engine::CounterSizing::Fixed};
  auto engine = Engine::create(settings, std::move(hooks));
  if (!engine) return unexpected(BlobCacheError::engine(engine.error().to_string()));
  return std::move(engine).value();
}

}  // namespace qel
