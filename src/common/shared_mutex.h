// SharedMutex: the reader-writer lock of every shared structure in the
// system. A waiting writer gets in: once a writer waits, new readers wait
// behind it, so a steady stream of overlapping readers cannot starve it
// (std::shared_mutex on glibc prefers readers and can). The price is that a
// thread taking it for reading twice deadlocks behind a waiting writer, so no
// holder ever does. Safe to use from any thread; usable with std::unique_lock
// and std::shared_lock.
#pragma once

#include <pthread.h>

#include <system_error>

namespace qel {

class SharedMutex {
 public:
  SharedMutex() {
    pthread_rwlockattr_t attributes;
    check(pthread_rwlockattr_init(&attributes), "initialise reader-writer lock attributes");
    int kind = pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    int initialised = kind == 0 ? pthread_rwlock_init(&lock_, &attributes) : kind;
    pthread_rwlockattr_destroy(&attributes);
    check(initialised, "initialise reader-writer lock");
  }
  ~SharedMutex() { pthread_rwlock_destroy(&lock_); }
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() { check(pthread_rwlock_wrlock(&lock_), "take reader-writer lock exclusively"); }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { check(pthread_rwlock_rdlock(&lock_), "take reader-writer lock shared"); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  static void check(int status, const char* step) {
    if (status != 0) throw std::system_error(status, std::generic_category(), step);
  }

  pthread_rwlock_t lock_;
};

}  // namespace qel
