#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "core_test_util.h"

namespace qel {
namespace {

using testing_util::bytes;
using testing_util::TempDir;
using testing_util::text;

// Write-once IDs: each ID always carries the same payload, so any other
// bytes read back under it are corruption.
std::string payload_for(int id) { return std::string(64 + (id * 131) % 3000, static_cast<char>('a' + id % 26)) + std::to_string(id); }

class Concurrency : public TempDir {};

TEST_F(Concurrency, MixedOperationsKeepEveryInvariant) {
  const int64_t budget = 40000;
  auto cache = open(budget);
  std::atomic<int> wrong{0}, errors{0};
  std::string first_error;
  std::mutex error_mutex;
  auto report = [&](const BlobCacheError& e) {
    std::lock_guard g(error_mutex);
    if (errors++ == 0) first_error = e.to_string();
  };

  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> ids(0, 60), op(0, 9);
    for (int i = 0; i < 400; ++i) {
      int id = ids(rng);
      std::string key = "k" + std::to_string(id);
      int o = op(rng);
      if (o < 6) {
        auto got = cache->get(key);
        if (!got) report(got.error());
        else if (*got && text(**got) != payload_for(id)) ++wrong;
      } else if (o < 9) {
        auto put = cache->put(key, bytes(payload_for(id)));
        if (!put) report(put.error());
      } else if (auto deleted = cache->delete_blob(key); !deleted) {
        report(deleted.error());
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) threads.emplace_back(worker, t + 1);
  threads.emplace_back([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (auto cleared = cache->delete_all(); !cleared) report(cleared.error());
  });
  for (auto& t : threads) t.join();

  EXPECT_EQ(wrong.load(), 0) << "a payload read back differs from what was put";
  EXPECT_EQ(errors.load(), 0) << first_error;
  EXPECT_TRUE(files_under("tmp").empty());
  EXPECT_LE(blob_bytes(), budget);

  size_t on_disk = files_under("blobs").size();
  ASSERT_TRUE(cache->close());
  cache.reset();
  auto reopened = open(budget);
  EXPECT_EQ(files_under("blobs").size(), on_disk) << "a fresh open must know every file left on disk";
  int found = 0;
  for (int id = 0; id <= 60; ++id) {
    auto got = reopened->get("k" + std::to_string(id));
    ASSERT_TRUE(got.has_value());
    if (*got) {
      EXPECT_EQ(text(**got), payload_for(id));
      ++found;
    }
  }
  EXPECT_EQ(static_cast<size_t>(found), on_disk);
}

}  // namespace
}  // namespace qel
