#include "store/payload.h"

#include <vector>

#include "common/mutex.h"

namespace qel {
namespace {

// A get of a large blob frees two buffers of its size per call, this one and
// the caller's copy of it; malloc then gives the memory back to the system
// and faults it in again on the next call, which costs several times the read
// itself. Buffers for payloads in this range are all SPARE_LEN long and a few
// of them are kept: at most SPARE_LEN * MAX_SPARES bytes stay allocated.
constexpr size_t POOLED_MIN = size_t{64} << 10;
constexpr size_t SPARE_LEN = size_t{4} << 20;
constexpr size_t MAX_SPARES = 4;

struct SparePool {
  Mutex mutex;
  std::vector<std::unique_ptr<uint8_t[]>> spares GUARDED_BY(mutex);
};

SparePool& spare_pool() {
  static SparePool* const pool = new SparePool;  // never destroyed: payloads may outlive static teardown
  return *pool;
}

}  // namespace

Payload::Payload(size_t size) : size_(size), pooled_(size >= POOLED_MIN && size <= SPARE_LEN) {
  if (size == 0) return;
  if (pooled_) {
    SparePool& pool = spare_pool();
    MutexLock lock(pool.mutex);
    if (!pool.spares.empty()) {
      data_ = std::move(pool.spares.back());
      pool.spares.pop_back();
      return;
    }
  }
  data_.reset(new uint8_t[pooled_ ? SPARE_LEN : size]);
}

Payload::~Payload() {
  if (!pooled_ || !data_) return;
  SparePool& pool = spare_pool();
  MutexLock lock(pool.mutex);
  if (pool.spares.size() < MAX_SPARES) pool.spares.push_back(std::move(data_));
}

}  // namespace qel
