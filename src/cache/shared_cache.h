// SharedCache: one process's view of a cache directory that any number of
// processes of the same user open at once. The process that holds the
// directory's lock is its owner: it runs the one engine (a BlobCache) and
// serves the others through an OwnerServer. Every other process is a peer:
// it reads blob files itself, with no round trip (a published file never
// changes and every read verifies it), reports its reads in batches, writes
// a put's file into a temp directory of its own and asks the owner to admit
// and publish it. When the owner goes, the next call that needs it makes the
// first process to take the lock the owner, after a reconcile; a put in
// flight is asked again, which is safe since puts are idempotent. A child
// made by fork leaves everything it inherited untouched and joins as a
// process of its own on its first call. Thread-safe as BlobCache is.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "cache/blob_cache.h"
#include "common/mutex.h"

namespace qel {

class SharedCache {
 public:
  // Joins the directory: as its owner when nobody holds it, else as a peer
  // whose max_bytes and frequency_counters must be the owner's.
  static Result<std::unique_ptr<SharedCache>> open(BlobCacheConfig config);
  ~SharedCache();
  SharedCache(const SharedCache&) = delete;
  SharedCache& operator=(const SharedCache&) = delete;

  Result<ReadInto> get_into(std::string_view blob_id, PayloadSink& sink, bool again = false);
  Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload);
  Result<void> delete_blob(std::string_view blob_id);
  Result<void> delete_all();
  Result<bool> contains(std::string_view blob_id);
  // blobs, bytes, max_bytes and evictions are the directory's (evictions
  // since its owner took it); the other counters are this process's.
  Result<BlobCacheStats> stats();
  // Idempotent; the owner's close lets the next process take over.
  Result<void> close();

  // For tools, which never join: the figures of the directory's owner, and
  // its delete_all; none when no cache has the directory open.
  static Result<std::optional<BlobCacheStats>> live_stats(const LocalFileStore& directory);
  static Result<bool> clear_live(const LocalFileStore& directory);

  // This process's part in the directory: its owner or a peer.
  class Member {
   public:
    Member();
    virtual ~Member() = default;
    virtual Result<ReadInto> get_into(std::string_view blob_id, PayloadSink& sink, bool again) = 0;
    virtual Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload) = 0;
    virtual Result<void> delete_blob(std::string_view blob_id) = 0;
    virtual Result<void> delete_all() = 0;
    virtual Result<bool> contains(std::string_view blob_id) = 0;
    virtual Result<BlobCacheStats> stats() = 0;
    virtual Result<void> close() = 0;
    // The owner went during a call: the call may be made again elsewhere.
    virtual bool lost() const = 0;

    const uint64_t generation;  // the process's fork generation at the join
  };

 private:
  // The members one process (one fork generation) made; a forked child
  // starts a generation of its own and leaves its parent's untouched.
  struct Generation {
    explicit Generation(uint64_t fork_generation) : fork_generation(fork_generation) {}
    const uint64_t fork_generation;
    Mutex join_mutex;  // taken alone, by calls that change the member
    std::vector<std::unique_ptr<Member>> members GUARDED_BY(join_mutex);  // the last is the current one
  };

  SharedCache(BlobCacheConfig config, std::unique_ptr<Member> member);
  // The member to call, joining afresh in a forked child; null once closed.
  Result<Member*> current();
  // After `lost` found the owner gone: the member that replaces it.
  Result<void> rejoin(Member* lost);
  Generation& generation();
  // Runs `op` on the current member, again on a new one when the owner went
  // during the call; `blob_id`, unless null, is checked first. A peer's
  // calls rely on that check.
  template <class Op>
  auto run(std::string_view blob_id, Op&& op) -> decltype(op(std::declval<Member&>()));

  const BlobCacheConfig config_;
  std::atomic<Generation*> generation_;
  std::atomic<Member*> member_;
  std::atomic<bool> closed_{false};
  // This process's counts: relaxed, read without a lock.
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
  std::atomic<uint64_t> puts_admitted_{0};
  std::atomic<uint64_t> puts_refused_{0};
};

}  // namespace qel
