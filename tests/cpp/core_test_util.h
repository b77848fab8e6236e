// Shared fixtures for the store and core suites.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

inline std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
inline std::string text(const Payload& p) { return std::string(reinterpret_cast<const char*>(p.data()), p.size()); }
inline int64_t file_len(const std::string& id, const std::string& payload) {
  return static_cast<int64_t>(HEADER_LEN + id.size() + payload.size());
}

inline std::string slurp(const fs::path& p) {
  return {std::istreambuf_iterator<char>(std::ifstream(p, std::ios::binary).rdbuf()), {}};
}
inline void spit(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}
inline void set_mtime(const fs::path& p, time_t seconds) {
  struct timespec t[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0) << p;
}

class TempDir : public ::testing::Test {
 protected:
  // Made in the constructor so that fixtures can build members on it.
  TempDir() {
    char tmpl[] = "/tmp/qel-test-XXXXXX";
    root_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(root_); }

  LocalFileStore store() const { return std::move(LocalFileStore::create(root_.string())).value(); }
  fs::path path_of(const std::string& id) const { return store().path_for(id); }

  std::unique_ptr<BlobCache> open(int64_t max_bytes) {
    auto cache = BlobCache::open({root_.string(), max_bytes, 1000});
    EXPECT_TRUE(cache.has_value()) << (cache ? "" : cache.error().to_string());
    return cache ? std::move(cache).value() : nullptr;
  }
  // The payload under `id`, or nullopt when absent; an error fails the test.
  static std::optional<std::string> get(BlobCache& cache, const std::string& id) {
    auto got = cache.get(id);
    EXPECT_TRUE(got.has_value()) << got.error().to_string();
    if (!got || !*got) return std::nullopt;
    return text(**got);
  }

  std::vector<fs::path> files_under(const std::string& sub) const {
    std::vector<fs::path> out;
    if (!fs::exists(root_ / sub)) return out;
    for (auto& e : fs::recursive_directory_iterator(root_ / sub))
      if (e.is_regular_file()) out.push_back(e.path());
    return out;
  }

  fs::path root_;
};

}  // namespace testing_util
}  // namespace qel
