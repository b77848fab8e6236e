// OwnerServer: the owner's side of the socket. It accepts the connections of
// the directory's other processes and answers each request through the
// owner's BlobCache, one thread per connection, so that a slow or stopped
// process only ever holds up its own requests: a thread writes to its peer
// holding no lock of the cache. A malformed frame is answered with an error
// and ends that connection, and nothing else. A directory removed under the
// owner and made again has another inode, so the server looks at it every
// LISTEN_CHECK and listens under the new name. start and stop are the
// owner's; stop returns once no thread of the server runs.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache/blob_cache.h"
#include "cache/link.h"
#include "cache/wire.h"
#include "common/mutex.h"

namespace qel {

class OwnerServer {
 public:
  static constexpr auto LISTEN_CHECK = std::chrono::seconds(1);

  // Serves `cache`, which must outlive the server or its stop, on
  // `listener`, the name of `store`'s root.
  OwnerServer(BlobCache& cache, BlobCacheConfig config, LocalFileStore store, link::Socket listener);
  ~OwnerServer();
  OwnerServer(const OwnerServer&) = delete;
  OwnerServer& operator=(const OwnerServer&) = delete;

  void start();
  // Closes the listener and every connection and joins their threads.
  // Returns at once when stopped before.
  void stop();

 private:
  // One connection and the thread that serves it.
  struct Worker {
    link::Socket socket;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void accept_loop();
  // A listener under the root's name when the root is no longer the one
  // listened for.
  void follow_root();
  void serve(Worker& worker);
  // Joins the workers whose peers have gone.
  void reap() REQUIRES(mutex_);
  // The answer to one request; none for a report.
  std::optional<std::vector<uint8_t>> answer(const wire::Request& request, bool& greeted);

  BlobCache& cache_;
  const BlobCacheConfig config_;
  const LocalFileStore store_;
  std::pair<uint64_t, uint64_t> listened_for_;  // the acceptor's alone
  // The acceptor's; replaced only by it, and by stop once it has gone:
  // closed, it frees its name for the next owner.
  link::Socket listener_;
  std::thread acceptor_;
  Mutex mutex_;  // taken alone
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::unique_ptr<Worker>> workers_ GUARDED_BY(mutex_);
};

}  // namespace qel
