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
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
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
    std::vector<std::tuple<timespec, fs::path, std::string>> valid;
    for (int i = 0; i < count; ++i) {
      const std::string id = "mixed-" + std::to_string(i);
      const bool big = i % 499 == 5;
      const fs::path path = store.path_for(id);
      const std::string file = blob_file(id, std::string(big ? OVERSIZED_PAYLOAD : 10 + i % 50, static_cast<char>('a' + i % 26)));
      spit(path, file);
      if (!big) d.kept_bytes += static_cast<int64_t>(file.size());
      const timespec t[2] = {{1000 + i % 300, (i % 7 == 0) ? 0 : 500}, {1000 + i % 300, (i % 7 == 0) ? 0 : 500}};
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
      if (big) d.oversized.push_back(id);
      valid.emplace_back(t[0], path, id);
      if (i % 211 == 3) {  // damage next to valid files, in many shards
        const fs::path shard = path.parent_path();
        const std::string n = std::to_string(i);
        spit(shard / ("garbage-" + n + ".blob"), "not a blob");
        spit(shard / ("other-" + n + ".txt"), "not the cache's");
        fs::create_symlink(path, shard / ("link-" + n + ".blob"));
        EXPECT_EQ(::mkfifo((shard / ("fifo-" + n)).c_str(), 0600), 0);
        fs::create_directory(shard / ("dir-" + n + ".blob"));
        for (auto name : {"garbage-", "link-", "dir-"}) d.invalid.push_back(shard / (name + n + ".blob"));
        d.invalid.push_back(shard / ("fifo-" + n));
        d.foreign.push_back(shard / ("other-" + n + ".txt"));
      }
    }
    const fs::path misplaced = store.blobs_dir() / "misplaced.blob";
    spit(misplaced, slurp(std::get<1>(valid.front())));
    d.invalid.push_back(misplaced);
    std::sort(d.invalid.begin(), d.invalid.end());
    std::sort(valid.begin(), valid.end(), [](const auto& a, const auto& b) {
      const auto& [ta, pa, ia] = a;
      const auto& [tb, pb, ib] = b;
      return std::tie(tb.tv_sec, tb.tv_nsec, pa) < std::tie(ta.tv_sec, ta.tv_nsec, pb);  // newest first, then by path
    });
    for (auto& [time, path, id] : valid) d.newest_first.push_back(id);
    return d;
  }
};

inline std::string os_error(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// The payload each ID of the sweeps always carries; "big" is inspected in
// several reads at an open.
inline std::string payload_of(const std::string& id) {
  return id == "big" ? std::string(3 * 65536 + 7, 'B') : std::string(4000 + id.size(), id[0]);
}

// Fills a string; a first buffer() refused when `stop_first`.
struct StringSink final : PayloadSink {
  explicit StringSink(bool stop_first = false) : stop_first(stop_first) {}
  std::optional<std::span<uint8_t>> buffer(size_t len) override {
    lengths.push_back(len);
    if (stop_first && lengths.size() == 1) return std::nullopt;
    into.resize(len);
    return std::span(reinterpret_cast<uint8_t*>(into.data()), len);
  }
  bool stop_first;
  std::vector<size_t> lengths;
  std::string into;
};

// The payload under `id` read through get_into, nullopt when absent.
template <class Cache>
Result<std::optional<std::string>> read_into(Cache& cache, const std::string& id) {
  StringSink sink;
  auto read = cache.get_into(id, sink);
  if (!read) return unexpected(std::move(read).error());
  return *read == ReadInto::Filled ? std::optional(sink.into) : std::nullopt;
}

// The payload under `id`, or nullopt when absent; an error fails the test.
template <class Cache>
std::optional<std::string> get(Cache& cache, const std::string& id) {
  auto got = read_into(cache, id);
  EXPECT_TRUE(got.has_value()) << id << ": " << got.error().to_string();
  return got ? *got : std::nullopt;
}

// Each operation the sweeps fail, over a cache that holds "keep" and "gone";
// a get of wrong bytes fails.
template <class Cache>
std::map<std::string, std::function<Result<void>(Cache&)>> operations() {
  auto done = [](auto result) -> Result<void> {
    if (!result) return unexpected(std::move(result).error());
    return {};
  };
  return {
      {"put", [=](Cache& c) { return done(c.put("new", bytes(payload_of("new")))); }},
      {"put again", [=](Cache& c) { return done(c.put("keep", bytes(payload_of("keep")))); }},
      {"get", [](Cache& c) -> Result<void> {
         auto got = read_into(c, "keep");
         if (!got) return unexpected(std::move(got).error());
         if (*got && **got != payload_of("keep")) return unexpected(BlobCacheError::engine("wrong bytes"));
         return {};
       }},
      {"delete", [](Cache& c) { return c.delete_blob("gone"); }},
      {"delete_all", [](Cache& c) { return c.delete_all(); }},
      {"contains", [=](Cache& c) { return done(c.contains("keep")); }},
      {"stats", [=](Cache& c) { return done(c.stats()); }},
  };
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
// turns (`point` carries the turn on). Adds the kinds failed to `failed`.
template <class Run>
void fail_each_call(Run&& run, int& point, std::set<posix::Call>& failed) {
  static constexpr int CODES[] = {EIO, ENOSPC, EPERM};
  const CallCounts counts = run(posix::Call::Open, 0, 0);
  for (size_t k = 0; k < posix::CALL_KINDS; ++k) {
    const auto call = static_cast<posix::Call>(k);
    for (uint64_t n = 1; n <= counts[k]; ++n) {
      const int code = CODES[point++ % 3];
      SCOPED_TRACE(std::string(posix::call_name(call)) + " #" + std::to_string(n) + ": " + os_error(code));
      run(call, n, code);
      failed.insert(call);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
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
