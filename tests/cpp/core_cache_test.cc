#include <sys/wait.h>
#include <unistd.h>

#include <set>

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

}  // namespace
}  // namespace qel
