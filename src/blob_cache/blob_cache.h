// BlobCache: one open cache directory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "blob_cache/error.h"
#include "blob_cache/format.h"
#include "blob_cache/policy.h"
#include "blob_cache/store.h"
#include "blob_cache/sync.h"

namespace qel {

struct BlobCacheConfig {
  std::string directory;
  int64_t max_bytes;           // > 0
  int64_t frequency_counters;  // >= 1
};

class BlobCache {
 public:
  // Builds store, callback and engine, then reconciles the directory.
  static Result<std::unique_ptr<BlobCache>> open(BlobCacheConfig config);
  // Dropping keeps every blob file on disk and stops the engine.
  ~BlobCache();
  BlobCache(const BlobCache&) = delete;
  BlobCache& operator=(const BlobCache&) = delete;

  Result<std::optional<Payload>> get(std::string_view blob_id);
  Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload);
  Result<void> delete_blob(std::string_view blob_id);  // Python's delete
  Result<void> delete_all();
  Result<void> close();

 private:
  explicit BlobCache(BlobCacheConfig config, LocalFileStore store, Engine engine, DiskPolicyCallback callback);
};

}  // namespace qel
