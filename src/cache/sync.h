// Locks that remember a holder that failed abnormally, and the fatal path that
// taking such a lock leads to. A Panic is never a BlobCacheError: it means an
// internal invariant is broken, and the binding raises it as PanicException.
// The locks are as thread-safe as the standard ones they wrap.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "common/shared_mutex.h"

namespace qel {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

// An exclusive guard marks its lock poisoned when an exception unwinds through
// it; a shared guard cannot have left the guarded state half-changed.
template <class Lockable>
class Poisonable {
 public:
  explicit Poisonable(const char* poisoned_message) : poisoned_message_(poisoned_message) {}
  Poisonable(const Poisonable&) = delete;
  Poisonable& operator=(const Poisonable&) = delete;

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  const char* poisoned_message() const { return poisoned_message_; }
  Lockable& raw() { return lock_; }

  void check() const {
    if (is_poisoned()) panic(poisoned_message_);
  }
  void poison() { poisoned_.store(true, std::memory_order_release); }

 private:
  Lockable lock_;
  std::atomic<bool> poisoned_{false};
  const char* poisoned_message_;
};

template <class Lockable, template <class> class Lock, bool Exclusive>
class PoisonGuard {
 public:
  explicit PoisonGuard(Poisonable<Lockable>& owner) : owner_(&owner), lock_(owner.raw()), unwinding_(std::uncaught_exceptions()) {
    if (owner.is_poisoned()) {
      lock_.unlock();
      owner_ = nullptr;
      panic(owner.poisoned_message());
    }
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  ~PoisonGuard() {
    if (Exclusive && owner_ != nullptr && std::uncaught_exceptions() > unwinding_) owner_->poison();
  }
  Lock<Lockable>& lock() { return lock_; }

 private:
  Poisonable<Lockable>* owner_;
  Lock<Lockable> lock_;
  int unwinding_;
};

using PoisonMutex = Poisonable<std::mutex>;
// Writer-preferring: a thread holding a ReadGuard never takes another one on
// the same lock (see SharedMutex).
using PoisonSharedMutex = Poisonable<SharedMutex>;
using MutexGuard = PoisonGuard<std::mutex, std::unique_lock, true>;
using WriteGuard = PoisonGuard<SharedMutex, std::unique_lock, true>;
using ReadGuard = PoisonGuard<SharedMutex, std::shared_lock, false>;

}  // namespace qel
