// PeerClient: a process's side of the socket to the directory's owner. Each
// request borrows a connection (made and greeted on demand, so threads ask
// at once) and waits for its answer; reads are reported in batches on a
// connection of their own, without waiting: a batch that would block is
// dropped, as admission's own read buffers drop under load. Once a request
// finds the owner gone the client is lost for good, and the caller joins the
// directory again. Thread-safe.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "cache/link.h"
#include "cache/wire.h"
#include "common/mutex.h"
#include "store/error.h"

namespace qel {

class PeerClient {
 public:
  // `greeting` is the Hello every new connection opens with.
  PeerClient(std::string address, wire::Request greeting);

  // Connects and greets: the owner's refusal of this process's settings, or
  // a lost client when the owner went meanwhile.
  Result<void> connect();
  // The owner's answer; a failure of the owner's own is its error, returned
  // as any other.
  Result<wire::Reply> ask(const wire::Request& request);
  void report_read(std::string_view blob_id);
  bool lost() const { return lost_.load(std::memory_order_acquire); }
  // Whether `error` says nobody serves at the other end (any more).
  static bool owner_gone(const BlobCacheError& error);
  // Closes every connection; later requests fail as lost.
  void close();

 private:
  Result<link::Socket> borrow();
  void give_back(link::Socket socket);
  BlobCacheError lose(BlobCacheError error);
  // Sends what the report buffer holds, or as much as goes.
  void flush_reports() REQUIRES(report_mutex_);

  const std::string address_;
  const wire::Request greeting_;
  std::atomic<bool> lost_{false};
  // Lock order: report_mutex_ and idle_mutex_ are each taken alone.
  Mutex idle_mutex_;
  bool closed_ GUARDED_BY(idle_mutex_) = false;
  std::vector<link::Socket> idle_ GUARDED_BY(idle_mutex_);
  Mutex report_mutex_;
  link::Socket reports_ GUARDED_BY(report_mutex_);
  wire::Request batch_ GUARDED_BY(report_mutex_);
  size_t batch_len_ GUARDED_BY(report_mutex_) = 0;
  std::vector<uint8_t> unsent_ GUARDED_BY(report_mutex_);  // the tail of a frame sent in part
};

}  // namespace qel
