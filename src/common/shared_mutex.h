// SharedMutex: the reader-writer lock of every shared structure in the
// system. A waiting writer gets in: once a writer waits, new readers wait
// behind it, so a steady stream of overlapping readers cannot starve it
// (std::shared_mutex on glibc prefers readers and can). The price is that a
// thread taking it for reading twice deadlocks behind a waiting writer, so no
// holder ever does. Safe to use from any thread. ReaderLock and WriterLock
// hold it for a scope, in the form clang's -Wthread-safety follows.
#pragma once

#include <pthread.h>

#include <system_error>

#include "common/thread_annotations.h"

namespace qel {

class CAPABILITY("shared mutex") SharedMutex {
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

  void lock() ACQUIRE() { check(pthread_rwlock_wrlock(&lock_), "take reader-writer lock exclusively"); }
  void unlock() RELEASE() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() ACQUIRE_SHARED() { check(pthread_rwlock_rdlock(&lock_), "take reader-writer lock shared"); }
  void unlock_shared() RELEASE_SHARED() { pthread_rwlock_unlock(&lock_); }

 private:
  static void check(int status, const char* step) {
    if (status != 0) throw std::system_error(status, std::generic_category(), step);
  }

  pthread_rwlock_t lock_;
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex.lock_shared(); }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex.lock(); }
  ~WriterLock() RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace qel
