// Locks that remember a holder that failed abnormally, and the fatal path that
// taking such a lock leads to. A Panic is never a BlobCacheError: it means an
// internal invariant is broken, and the binding raises it as PanicException.
// The locks are as thread-safe as the ones they wrap, and carry the
// capability attributes clang's -Wthread-safety checks.
#pragma once

#include <atomic>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/mutex.h"
#include "common/shared_mutex.h"
#include "common/thread_annotations.h"

namespace qel {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

// Taking a poisoned lock panics, with the lock let go again. An exclusive
// guard poisons its lock when an exception unwinds through it; a shared guard
// cannot have left the guarded state half-changed.
template <class Lockable>
class CAPABILITY("mutex") Poisonable {
 public:
  explicit Poisonable(const char* poisoned_message) : poisoned_message_(poisoned_message) {}
  Poisonable(const Poisonable&) = delete;
  Poisonable& operator=(const Poisonable&) = delete;

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  void poison() { poisoned_.store(true, std::memory_order_release); }

  // The wrapped lock is this capability under another name: the checker
  // follows this one.
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    lock_.lock();
    if (is_poisoned()) {
      lock_.unlock();
      panic(poisoned_message_);
    }
  }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() NO_THREAD_SAFETY_ANALYSIS {
    lock_.lock_shared();
    if (is_poisoned()) {
      lock_.unlock_shared();
      panic(poisoned_message_);
    }
  }
  void unlock_shared() RELEASE_SHARED() NO_THREAD_SAFETY_ANALYSIS { lock_.unlock_shared(); }

 private:
  Lockable lock_;
  std::atomic<bool> poisoned_{false};
  const char* poisoned_message_;
};

template <class Lockable>
class SCOPED_CAPABILITY ExclusiveGuard {
 public:
  explicit ExclusiveGuard(Poisonable<Lockable>& owner) ACQUIRE(owner)
      : owner_(owner), unwinding_(std::uncaught_exceptions()) {
    owner.lock();
  }
  ~ExclusiveGuard() RELEASE() {
    if (std::uncaught_exceptions() > unwinding_) owner_.poison();
    owner_.unlock();
  }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  Poisonable<Lockable>& owner_;
  const int unwinding_;
};

template <class Lockable>
class SCOPED_CAPABILITY SharedGuard {
 public:
  explicit SharedGuard(Poisonable<Lockable>& owner) ACQUIRE_SHARED(owner) : owner_(owner) { owner.lock_shared(); }
  ~SharedGuard() RELEASE() { owner_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  Poisonable<Lockable>& owner_;
};

using PoisonMutex = Poisonable<Mutex>;
// Writer-preferring: a thread holding a ReadGuard never takes another one on
// the same lock (see SharedMutex).
using PoisonSharedMutex = Poisonable<SharedMutex>;
using MutexGuard = ExclusiveGuard<Mutex>;
using WriteGuard = ExclusiveGuard<SharedMutex>;
using ReadGuard = SharedGuard<SharedMutex>;

}  // namespace qel
