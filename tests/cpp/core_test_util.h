// Shared fixtures for the cache core suites.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "blob_cache/blob_cache.h"

namespace qel {

// Reaches into the cache for the one thing a test cannot provoke honestly.
struct BlobCacheTestAccess {
  static void poison_commit(BlobCache& cache) { cache.commit_.poison(); }
  static void poison_lifecycle(BlobCache& cache) { cache.lifecycle_.poison(); }
  static void poison_policy(BlobCache& cache) { cache.policy_.poison(); }
};

namespace testing_util {

namespace fs = std::filesystem;

inline std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

inline std::string text(const Payload& p) { return std::string(reinterpret_cast<const char*>(p.data()), p.size()); }

inline int64_t file_len(const std::string& id, const std::string& payload) {
  return static_cast<int64_t>(HEADER_LEN + id.size() + payload.size());
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qel-core-XXXXXX";
    root_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::unique_ptr<BlobCache> open(int64_t max_bytes, int64_t counters = 1000) {
    auto cache = BlobCache::open({root_.string(), max_bytes, counters});
    EXPECT_TRUE(cache.has_value()) << (cache ? "" : cache.error().to_string());
    return cache ? std::move(cache).value() : nullptr;
  }

  std::vector<fs::path> files_under(const std::string& sub) const {
    std::vector<fs::path> out;
    if (!fs::exists(root_ / sub)) return out;
    for (auto& e : fs::recursive_directory_iterator(root_ / sub))
      if (e.is_regular_file()) out.push_back(e.path());
    return out;
  }

  int64_t blob_bytes() const {
    int64_t total = 0;
    for (auto& p : files_under("blobs")) total += static_cast<int64_t>(fs::file_size(p));
    return total;
  }

  fs::path root_;
};

}  // namespace testing_util
}  // namespace qel
