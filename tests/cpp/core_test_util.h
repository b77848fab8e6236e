// Shared fixtures for the store and core suites.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "cache/blob_cache.h"
#include "store/posix.h"

namespace qel {

// Reaches into the cache for the one thing a test cannot provoke honestly.
struct BlobCacheTestAccess {
  static void poison_commit(BlobCache& cache) { cache.commit_.poison(); }
  static void poison_lifecycle(BlobCache& cache) { cache.lifecycle_.poison(); }
  static void poison_engine_lock(BlobCache& cache) { cache.engine_lock_.poison(); }
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

// A blob file's bytes, written without the store: tests that need thousands
// of files cannot wait for an fsync each.
inline std::string blob_file(const std::string& id, const std::string& payload) {
  const uint32_t crc = crc32c(crc32c(0, bytes(id)), bytes(payload));
  const auto header = encode_header(static_cast<uint32_t>(id.size()), payload.size(), crc);
  return std::string(header.begin(), header.end()) + id + payload;
}

// A directory of `count` valid blob files over every first-level shard, so
// that every thread of a scan gets a share, with modification times that
// often tie; among them, set apart, files one open must remove and files it
// must leave alone. `newest_first` is the order a scan must report, worked
// out from the files' own times and paths.
struct MixedDirectory {
  std::vector<std::string> newest_first;  // IDs of the valid files
  std::vector<fs::path> invalid;          // in path order
  std::vector<std::string> oversized;     // valid, but each longer than all the rest together
  std::vector<fs::path> foreign;          // not the cache's to touch
  int64_t kept_bytes = 0;                 // the file lengths of the valid files not oversized
  static constexpr size_t OVERSIZED_PAYLOAD = 256 << 10;

  static MixedDirectory plant(const LocalFileStore& store, int count) {
    MixedDirectory d;
    std::vector<std::pair<fs::path, std::string>> valid;
    for (int i = 0; i < count; ++i) {
      const std::string id = "mixed-" + std::to_string(i);
      const bool big = i % 499 == 5;
      const fs::path path = store.path_for(id);
      const std::string file = blob_file(id, std::string(big ? OVERSIZED_PAYLOAD : 10 + i % 50, static_cast<char>('a' + i % 26)));
      spit(path, file);
      if (!big) d.kept_bytes += static_cast<int64_t>(file.size());
      struct timespec t[2] = {{1000 + i % 300, (i % 7 == 0) ? 0 : 500}, {1000 + i % 300, (i % 7 == 0) ? 0 : 500}};
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
      if (big) d.oversized.push_back(id);
      valid.emplace_back(path, id);
      if (i % 211 == 3) {  // damage next to valid files, in many shards
        const fs::path shard = path.parent_path();
        spit(shard / ("garbage-" + std::to_string(i) + ".blob"), "not a blob");
        spit(shard / ("other-" + std::to_string(i) + ".txt"), "not the cache's");
        fs::create_symlink(path, shard / ("link-" + std::to_string(i) + ".blob"));
        EXPECT_EQ(::mkfifo((shard / ("fifo-" + std::to_string(i))).c_str(), 0600), 0);
        fs::create_directory(shard / ("dir-" + std::to_string(i) + ".blob"));
        for (auto name : {"garbage-", "link-", "dir-"}) d.invalid.push_back(shard / (name + std::to_string(i) + ".blob"));
        d.invalid.push_back(shard / ("fifo-" + std::to_string(i)));
        d.foreign.push_back(shard / ("other-" + std::to_string(i) + ".txt"));
      }
    }
    const fs::path misplaced = store.blobs_dir() / "misplaced.blob";
    spit(misplaced, slurp(valid.front().first));
    d.invalid.push_back(misplaced);
    std::sort(d.invalid.begin(), d.invalid.end());
    auto modified = [](const fs::path& p) {
      struct stat st {};
      EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
      return std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    };
    std::sort(valid.begin(), valid.end(), [&](const auto& a, const auto& b) {
      if (modified(a.first) != modified(b.first)) return modified(a.first) > modified(b.first);
      return a.first < b.first;
    });
    for (auto& [path, id] : valid) d.newest_first.push_back(id);
    return d;
  }
};

inline std::string os_error(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// Fault sweeps, through the store's fault seam: what an operation makes of
// each system call it makes failing in turn.
using CallCounts = std::array<uint64_t, posix::CALL_KINDS>;

// Runs `act` with the nth call of kind `call` failing with `code` (nth 0:
// none fails); it must succeed or fail with that error in its message.
// Returns the calls it made, by kind.
template <class Act>
CallCounts with_fault(posix::Call call, uint64_t nth, int code, Act&& act) {
  posix::arm_fault(call, nth, code);
  Result<void> result = act();
  CallCounts counts{};
  for (size_t k = 0; k < counts.size(); ++k) counts[k] = posix::calls_made(static_cast<posix::Call>(k));
  posix::disarm_faults();
  if (!result) {
    const std::string message = result.error().to_string();
    EXPECT_TRUE(nth != 0 && message.ends_with(": " + os_error(code))) << "unexpected failure: " << message;
  }
  return counts;
}

// Runs `run(call, nth, code)` once with nothing failing to count the calls,
// then once per call counted with that call failing, the error codes taking
// turns (`point` carries the turn on). Adds the kinds failed to `failed`;
// returns how many runs failed a call.
template <class Run>
size_t fail_each_call(Run&& run, int& point, std::set<posix::Call>& failed) {
  static constexpr int CODES[] = {EIO, ENOSPC, EPERM};
  const CallCounts counts = run(posix::Call::Open, 0, 0);
  size_t points = 0;
  for (size_t k = 0; k < posix::CALL_KINDS; ++k) {
    const auto call = static_cast<posix::Call>(k);
    for (uint64_t n = 1; n <= counts[k]; ++n, ++points) {
      const int code = CODES[point++ % 3];
      SCOPED_TRACE(std::string(posix::call_name(call)) + " #" + std::to_string(n) + ": " + os_error(code));
      run(call, n, code);
      failed.insert(call);
      if (::testing::Test::HasFatalFailure()) return points;
    }
  }
  return points;
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
