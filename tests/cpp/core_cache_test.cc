// The cache front on its own and under several threads.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;

class Cache : public TempDir {};

// Round trips, empty payloads and refused different payloads are the model
// test's; it cannot see a file rewritten in place. The budget under eviction
// is the model and concurrency tests' to check.
TEST_F(Cache, BudgetBoundsTheWholeFileExactlyAndAnIdenticalRePutLeavesTheFileAlone) {
  const std::string payload(100, 'x');
  auto cache = open(file_len("k", payload));
  EXPECT_TRUE(*cache->put("k", bytes(payload))) << "file_len equal to max_bytes is offered";
  struct stat before {}, after {};
  ASSERT_EQ(stat(path_of("k").c_str(), &before), 0);
  EXPECT_TRUE(*cache->put("k", bytes(payload)));
  ASSERT_EQ(stat(path_of("k").c_str(), &after), 0);
  EXPECT_TRUE(before.st_ino == after.st_ino && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec) << "file rewritten";
  EXPECT_FALSE(*cache->put("j", bytes(payload + "y")));
  EXPECT_EQ(files_under("blobs").size(), 1u);
}

// Verified on several threads, every file meets the fate it met on one: the
// valid ones within the budget stay, everything else the cache owns goes,
// what it does not own stays.
TEST_F(Cache, ReopenOfAMixedDirectoryKeepsEveryValidFileAndNothingElse) {
  const auto planted = MixedDirectory::plant(store(), 2500);
  ASSERT_FALSE(planted.oversized.empty());
  auto cache = open(planted.kept_bytes);
  ASSERT_TRUE(cache);
  std::set<std::string> oversized(planted.oversized.begin(), planted.oversized.end());
  for (const auto& id : planted.newest_first) {
    EXPECT_EQ(fs::exists(path_of(id)), !oversized.contains(id)) << id;
    EXPECT_EQ(get(*cache, id).has_value(), !oversized.contains(id)) << id;
  }
  for (const auto& path : planted.invalid) EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  for (const auto& path : planted.foreign) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_EQ(cache->stats()->bytes, planted.kept_bytes);
}

TEST_F(Cache, PoisonedAndForkedCachesRefuseWork) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("a", bytes("1")));
  // The forked child must get Closed, not hang on locks or join absent threads.
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);
    const bool ok = cache->get("a").error().to_string() == "blob cache is closed" &&
                    cache->put("b", bytes("2")).error().kind() == BlobCacheError::Kind::Closed &&
                    cache->delete_blob("a").error().kind() == BlobCacheError::Kind::Closed &&
                    cache->delete_all().error().kind() == BlobCacheError::Kind::Closed && cache->close().has_value();
    cache.reset();
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(get(*cache, "a"), "1") << "the parent keeps working";
  cache.reset();

  // A closed cache's refusals, in order after ID checks, are the model
  // test's; that closing keeps files, the front test's reopen after a with block.
  for (auto [poison, message] : {std::pair{&BlobCacheTestAccess::poison_commit, "blob cache commit lock is poisoned"},
                                 std::pair{&BlobCacheTestAccess::poison_lifecycle, "blob cache lifecycle lock is poisoned"},
                                 std::pair{&BlobCacheTestAccess::poison_engine_lock, "blob cache engine lock is poisoned"}}) {
    auto fresh = open(1 << 20);
    poison(*fresh);
    try {
      (void)fresh->put("a", bytes("1"));
      ADD_FAILURE() << "expected a panic: " << message;
    } catch (const Panic& panic) {
      EXPECT_STREQ(panic.what(), message);
    }
  }
}

// Write-once IDs: each ID always carries the same payload, so any other
// bytes read back under it are corruption.
std::string payload_for(int id) { return std::string(64 + (id * 131) % 3000, static_cast<char>('a' + id % 26)) + std::to_string(id); }

class Concurrency : public TempDir {};

TEST_F(Concurrency, MixedOperationsKeepEveryInvariant) {
  const int64_t budget = 40000;
  auto cache = open(budget);
  std::atomic<int> wrong{0};
  std::vector<std::string> errors(5);  // the last error of each thread
  auto check = [&](unsigned t, const auto& result) {
    if (!result) errors[t] = result.error().to_string();
    return result.has_value();
  };
  // delete_all runs in the middle of the workload: every worker pauses
  // halfway until it has begun.
  std::atomic<int> halfway{0};
  std::atomic<bool> clearing{false};
  auto worker = [&](unsigned t) {
    std::mt19937 rng(t + 1);
    std::uniform_int_distribution<int> ids(0, 60), op(0, 9);
    for (int i = 0; i < 400; ++i) {
      if (i == 200) {
        ++halfway;
        while (!clearing) std::this_thread::yield();
      }
      const int id = ids(rng), o = op(rng);
      const std::string key = "k" + std::to_string(id);
      if (o < 6) {
        auto got = cache->get(key);
        if (check(t, got) && *got && text(**got) != payload_for(id)) ++wrong;
      } else if (o < 9) {
        check(t, cache->put(key, bytes(payload_for(id))));
      } else {
        check(t, cache->delete_blob(key));
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) threads.emplace_back(worker, t);
  threads.emplace_back([&] {
    while (halfway < 4) std::this_thread::yield();
    clearing = true;
    check(4, cache->delete_all());
  });
  for (auto& t : threads) t.join();

  EXPECT_EQ(wrong.load(), 0) << "a payload read back differs from what was put";
  for (const auto& error : errors) EXPECT_EQ(error, "");
  EXPECT_TRUE(files_under("tmp").empty());
  // Every file left is a blob held, within the budget, and a fresh open
  // holds the same.
  std::set<fs::path> held;
  int64_t held_bytes = 0;
  for (int id = 0; id <= 60; ++id) {
    const std::string key = "k" + std::to_string(id);
    if (!get(*cache, key)) continue;
    held.insert(path_of(key));
    held_bytes += file_len(key, payload_for(id));
  }
  const auto on_disk = files_under("blobs");
  EXPECT_EQ(std::set<fs::path>(on_disk.begin(), on_disk.end()), held) << "files and held entries differ";
  const auto stats = *cache->stats();
  EXPECT_EQ(std::pair(stats.blobs, stats.bytes), std::pair(static_cast<int64_t>(held.size()), held_bytes));
  EXPECT_LE(held_bytes, budget);
  ASSERT_TRUE(cache->close());
  cache.reset();
  auto reopened = open(budget);
  for (int id = 0; id <= 60; ++id) {
    const std::string key = "k" + std::to_string(id);
    EXPECT_EQ(get(*reopened, key), held.contains(path_of(key)) ? std::optional(payload_for(id)) : std::nullopt) << key;
  }
}

// Puts of one ID exclude each other while their files are written outside
// the commit lock: the second always finds the first one's blob Ready, so a
// different payload is a mismatch, never a silent refusal.
TEST_F(Concurrency, ParallelPutsOfOneIdAreWriteOnce) {
  auto cache = open(1 << 24);
  constexpr int kIds = 40, kThreads = 4;
  std::vector<std::vector<std::string>> outcomes(kIds, std::vector<std::string>(kThreads));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string payload(3000, t % 2 == 0 ? 'a' : 'b');
      for (int id = 0; id < kIds; ++id) {
        auto put = cache->put("id" + std::to_string(id), bytes(payload));
        outcomes[id][t] = !put ? put.error().to_string() : *put ? std::string(1, payload[0]) : "false";
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int id = 0; id < kIds; ++id) {
    const std::string key = "id" + std::to_string(id);
    auto stored = get(*cache, key);
    ASSERT_TRUE(stored.has_value()) << key;
    const std::string winner(1, (*stored)[0]);
    for (int t = 0; t < kThreads; ++t) {
      const bool same = (t % 2 == 0 ? "a" : "b") == winner;
      EXPECT_EQ(outcomes[id][t], same ? winner : "blob ID content mismatch: \"" + key + "\"") << key << " thread " << t;
    }
  }
  EXPECT_TRUE(files_under("tmp").empty());
  EXPECT_EQ(files_under("blobs").size(), static_cast<size_t>(kIds));
}

// close and delete_all take the lifecycle lock exclusively. A lock that let
// overlapping shared holders starve a waiting writer kept them out for as
// long as the workers ran.
class Liveness : public Concurrency, public ::testing::WithParamInterface<bool> {};

TEST_P(Liveness, ExclusiveCallReturnsWhileWorkersPutAndGetFlatOut) {
  const bool delete_all_first = GetParam();
  auto cache = open(1 << 20);
  std::atomic<int> saw_closed{0};
  std::vector<std::string> errors(4);
  std::vector<std::thread> workers;
  std::atomic<int> running{0};  // workers past their first rounds
  for (unsigned t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      const std::string payload(4096, static_cast<char>('a' + t));
      for (int i = 0;; ++i) {
        if (i == 16) ++running;
        const std::string key = std::to_string(t) + "/" + std::to_string(i);
        auto put = cache->put(key, bytes(payload));
        auto got = put ? cache->get(key) : Result<std::optional<Payload>>(unexpected(put.error()));
        if (got) continue;
        if (got.error().kind() == BlobCacheError::Kind::Closed) ++saw_closed;
        else errors[t] = got.error().to_string();
        return;
      }
    });
  }
  while (running < 4) std::this_thread::yield();
  // The watchdog only turns a hang into a failure; a hung call cannot be
  // abandoned, so the process ends here.
  auto within_watchdog = [](auto call, const char* what) {
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << what << " did not return within 30 s while workers ran";
      std::fflush(stdout);
      std::_Exit(1);
    }
    auto result = done.get();
    EXPECT_TRUE(result.has_value()) << what << ": " << result.error().to_string();
  };
  if (delete_all_first) within_watchdog([&] { return cache->delete_all(); }, "delete_all");
  within_watchdog([&] { return cache->close(); }, "close");
  for (auto& w : workers) w.join();
  EXPECT_EQ(saw_closed.load(), 4) << "every worker must end on \"blob cache is closed\"";
  for (const auto& error : errors) EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(CloseOrDeleteAll, Liveness, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "DeleteAllThenClose" : "Close"; });

}  // namespace
}  // namespace qel
