// Queues and completion tokens between the engine's front and its two
// threads. No select: the processor waits on one channel whose state also
// carries the stop request, with a deadline for its ticker. Each is safe from
// any thread; each takes only its own mutex, never another lock under it.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "common/mutex.h"

namespace qel::engine {

// A counter with a blocking wait until it reaches zero.
class WaitGroup {
 public:
  explicit WaitGroup(int members) : count_(members) {}
  void done() {
    MutexLock lock(mutex_);
    if (--count_ <= 0) zero_.notify_all();
  }
  void wait() {
    MutexLock lock(mutex_);
    while (count_ > 0) zero_.wait(mutex_);
  }

 private:
  Mutex mutex_;
  CondVar zero_;
  int count_ GUARDED_BY(mutex_);
};

// A one-shot token on a WaitGroup: done() lowers the group once; dropping a
// token still armed lowers it too, so a thrown-away marker releases its waiter.
class Signal {
 public:
  explicit Signal(std::shared_ptr<WaitGroup> group) : group_(std::move(group)) {}
  Signal(Signal&& other) noexcept = default;
  Signal& operator=(Signal&& other) noexcept {
    if (this != &other) {
      done();
      group_ = std::move(other.group_);
    }
    return *this;
  }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  ~Signal() { done(); }

  void done() {
    if (group_) std::exchange(group_, nullptr)->done();
  }

 private:
  std::shared_ptr<WaitGroup> group_;
};

// A bounded multi-producer queue for the processor. `stop` asks the receiver
// to end; `close` (the receiver is gone) fails every send from then on.
template <class T>
class BoundedChannel {
 public:
  explicit BoundedChannel(size_t capacity) : capacity_(capacity) {}

  // Each send takes the message only on success; on failure it stays with the
  // caller.
  bool try_send(T& message) {
    MutexLock lock(mutex_);
    if (closed_ || full()) return false;
    push_locked(message);
    return true;
  }
  template <class Rep, class Period>
  bool send_for(T& message, std::chrono::duration<Rep, Period> timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex_);
    while (!closed_ && full()) {
      if (not_full_.wait_until(mutex_, deadline) == std::cv_status::timeout) break;
    }
    if (closed_ || full()) return false;
    push_locked(message);
    return true;
  }
  // Blocks while full; fails only once the channel is closed.
  bool send(T& message) {
    MutexLock lock(mutex_);
    while (!closed_ && full()) not_full_.wait(mutex_);
    if (closed_) return false;
    push_locked(message);
    return true;
  }

  enum class RecvStatus { Message, Timeout, Stopped };
  // Waits until a message, the deadline or a stop request. A stop request
  // wins over queued messages, which then stay for try_recv.
  RecvStatus recv_until(std::chrono::steady_clock::time_point deadline, std::optional<T>& out) {
    MutexLock lock(mutex_);
    for (;;) {
      if (stopped_) return RecvStatus::Stopped;
      if (!queue_.empty()) {
        out.emplace(std::move(queue_.front()));
        queue_.pop_front();
        not_full_.notify_one();
        return RecvStatus::Message;
      }
      if (not_empty_.wait_until(mutex_, deadline) == std::cv_status::timeout && !stopped_ && queue_.empty()) {
        return RecvStatus::Timeout;
      }
    }
  }
  std::optional<T> try_recv() {
    MutexLock lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    std::optional<T> out(std::move(queue_.front()));
    queue_.pop_front();
    not_full_.notify_one();
    return out;
  }

  void stop() {
    MutexLock lock(mutex_);
    stopped_ = true;
    not_empty_.notify_all();
  }
  void close() {
    MutexLock lock(mutex_);
    closed_ = true;
    not_full_.notify_all();
  }
  size_t size() const {
    MutexLock lock(mutex_);
    return queue_.size();
  }

 private:
  bool full() const REQUIRES(mutex_) { return queue_.size() >= capacity_; }
  void push_locked(T& message) REQUIRES(mutex_) {
    queue_.push_back(std::move(message));
    not_empty_.notify_one();
  }

  mutable Mutex mutex_;
  CondVar not_empty_;
  CondVar not_full_;
  std::deque<T> queue_ GUARDED_BY(mutex_);
  const size_t capacity_;
  bool stopped_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
};

// An unbounded multi-producer queue; close() ends the receiver's wait.
template <class T>
class UnboundedQueue {
 public:
  bool try_send(T& message) {
    MutexLock lock(mutex_);
    if (closed_) return false;
    queue_.push_back(std::move(message));
    not_empty_.notify_one();
    return true;
  }
  // Nothing once closed (pending messages are discarded then).
  std::optional<T> recv() {
    MutexLock lock(mutex_);
    while (!closed_ && queue_.empty()) not_empty_.wait(mutex_);
    if (closed_) return std::nullopt;
    std::optional<T> out(std::move(queue_.front()));
    queue_.pop_front();
    return out;
  }
  void close() {
    MutexLock lock(mutex_);
    closed_ = true;
    queue_.clear();
    not_empty_.notify_all();
  }
  size_t size() const {
    MutexLock lock(mutex_);
    return queue_.size();
  }

 private:
  mutable Mutex mutex_;
  CondVar not_empty_;
  std::deque<T> queue_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace qel::engine
