#include "cache/entry.h"

#include <cassert>

namespace qel {

std::shared_ptr<DiskEntry> DiskEntry::pending(FileMetadata metadata) {
  return std::make_shared<DiskEntry>(std::move(metadata), EntryPhase::Pending);
}

std::shared_ptr<DiskEntry> DiskEntry::ready(FileMetadata metadata) {
  return std::make_shared<DiskEntry>(std::move(metadata), EntryPhase::Ready);
}

DiskEntry::DiskEntry(FileMetadata metadata, EntryPhase phase)
    : blob_id_(std::move(metadata.blob_id)),
      digest_(LocalFileStore::digest_in(metadata.path).value()),
      modified_(metadata.modified),
      file_len_(metadata.file_len),
      checksum_(metadata.checksum),
      path_of_id_(metadata.path_of_id),
      state_(word(phase, 0)) {}

std::optional<ReadLease> DiskEntry::acquire_read() {
  uint32_t seen = state_.load(std::memory_order_acquire);
  do {
    if (phase_of(seen) != EntryPhase::Ready) return std::nullopt;
    assert((seen & READERS_MASK) != READERS_MASK);
  } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel, std::memory_order_acquire));
  return ReadLease(this);
}

void DiskEntry::release_read() {
  const uint32_t now = state_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  // Leases are granted only while Ready, and only an eviction ends Ready
  // while they last.
  assert((now & READERS_MASK) != READERS_MASK);
  assert(phase_of(now) == EntryPhase::Ready || phase_of(now) == EntryPhase::Evicting);
  // Every release wakes a waiting evictor, which checks the count itself:
  // leaving early is then its own fault, and shows on the first release.
  if (phase_of(now) == EntryPhase::Evicting) state_.notify_all();
}

void DiskEntry::wait_while(uint32_t seen) {
  if (auto observe = before_eviction_wait.load(std::memory_order_acquire)) observe(phase_of(seen), seen & READERS_MASK);
  state_.wait(seen, std::memory_order_acquire);
}

std::optional<int> DiskEntry::publish(const std::function<int()>& rename) {
  uint32_t pending = word(EntryPhase::Pending, 0);
  if (!state_.compare_exchange_strong(pending, word(EntryPhase::Publishing, 0), std::memory_order_acq_rel)) return std::nullopt;
  const int error = rename();
  // Nothing else moves a Publishing entry: evictions wait, leases need Ready.
  [[maybe_unused]] const uint32_t was =
      state_.exchange(word(error == 0 ? EntryPhase::Ready : EntryPhase::Pending, 0), std::memory_order_acq_rel);
  assert(was == word(EntryPhase::Publishing, 0));
  state_.notify_all();
  return error;
}

// Only the caller whose begin_eviction won calls this, once the entry's
// readers are gone: none can have come since.
void DiskEntry::restore_ready() {
  [[maybe_unused]] const uint32_t was = state_.exchange(word(EntryPhase::Ready, 0), std::memory_order_acq_rel);
  assert(was == word(EntryPhase::Evicting, 0));
}

bool DiskEntry::begin_eviction() {
  uint32_t seen = state_.load(std::memory_order_acquire);
  for (;;) {
    const EntryPhase phase = phase_of(seen);
    if (phase == EntryPhase::Evicting) return false;
    if (phase == EntryPhase::Publishing) {  // falls after the rename, whichever way it went
      wait_while(seen);
      seen = state_.load(std::memory_order_acquire);
      continue;
    }
    if (state_.compare_exchange_weak(seen, word(EntryPhase::Evicting, seen & READERS_MASK), std::memory_order_acq_rel,
                                     std::memory_order_acquire))
      break;
  }
  if (phase_of(seen) != EntryPhase::Ready) return false;
  for (uint32_t now = state_.load(std::memory_order_acquire); now != word(EntryPhase::Evicting, 0);
       now = state_.load(std::memory_order_acquire))
    wait_while(now);
  return true;
}

EntryPhase DiskEntry::phase() const { return phase_of(state_.load(std::memory_order_acquire)); }

uint32_t DiskEntry::readers() const { return state_.load(std::memory_order_acquire) & READERS_MASK; }

}  // namespace qel
