#include "blob_cache/entry.h"

namespace qel {

std::shared_ptr<DiskEntry> DiskEntry::pending(FileMetadata metadata) {
  return std::make_shared<DiskEntry>(std::move(metadata), EntryPhase::Pending);
}

std::shared_ptr<DiskEntry> DiskEntry::ready(FileMetadata metadata) {
  return std::make_shared<DiskEntry>(std::move(metadata), EntryPhase::Ready);
}

std::optional<ReadLease> DiskEntry::acquire_read() {
  MutexGuard guard(state_);
  if (phase_ != EntryPhase::Ready) return std::nullopt;
  ++readers_;
  return ReadLease(this);
}

// Runs in a destructor, so it cannot take the fatal path: a decrement is
// safe even under a poisoned mark.
void DiskEntry::release_read() {
  std::lock_guard guard(state_.raw());
  if (--readers_ == 0) released_.notify_all();
}

std::optional<int> DiskEntry::publish(const std::function<int()>& rename) {
  MutexGuard guard(state_);
  if (phase_ != EntryPhase::Pending) return std::nullopt;
  const int error = rename();
  if (error == 0) phase_ = EntryPhase::Ready;
  return error;
}

void DiskEntry::restore_ready() {
  MutexGuard guard(state_);
  phase_ = EntryPhase::Ready;
}

bool DiskEntry::begin_eviction() {
  MutexGuard guard(state_);
  if (phase_ == EntryPhase::Evicting) return false;
  EntryPhase old = std::exchange(phase_, EntryPhase::Evicting);
  if (old != EntryPhase::Ready) return false;
  released_.wait(guard.lock(), [&] { return readers_ == 0; });
  return true;
}

EntryPhase DiskEntry::phase() {
  MutexGuard guard(state_);
  return phase_;
}

uint64_t DiskEntry::readers() {
  MutexGuard guard(state_);
  return readers_;
}

}  // namespace qel
