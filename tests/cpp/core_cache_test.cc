#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "core_test_util.h"

namespace qel {
namespace {

namespace fs = std::filesystem;
using testing_util::bytes;
using testing_util::file_len;
using testing_util::TempDir;
using testing_util::text;

class Cache : public TempDir {
 protected:
  std::optional<std::string> get(BlobCache& cache, const std::string& id) {
    auto got = cache.get(id);
    EXPECT_TRUE(got.has_value()) << got.error().to_string();
    if (!got || !*got) return std::nullopt;
    return text(**got);
  }
  fs::path path_of(const std::string& id) { return std::move(LocalFileStore::create(root_.string())).value().path_for(id); }
};

TEST_F(Cache, PutThenGetAndWriteOnce) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("a", bytes("payload")));
  EXPECT_EQ(get(*cache, "a"), "payload");

  struct stat before {};
  ASSERT_EQ(stat(path_of("a").c_str(), &before), 0);
  EXPECT_TRUE(*cache->put("a", bytes("payload"))) << "identical re-put is accepted";
  struct stat after {};
  ASSERT_EQ(stat(path_of("a").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "identical re-put must not rewrite the file";
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

  auto mismatch = cache->put("a", bytes("other"));
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().to_string(), "blob ID content mismatch: \"a\"");
  EXPECT_EQ(get(*cache, "a"), "payload");

  ASSERT_TRUE(*cache->put("empty", bytes("")));
  EXPECT_EQ(get(*cache, "empty"), "");
  EXPECT_EQ(get(*cache, "never"), std::nullopt);
}

TEST_F(Cache, BudgetIsExactAndOversizedBlobsAreRefused) {
  const std::string payload(100, 'x');
  auto cache = open(file_len("k", payload));
  EXPECT_TRUE(*cache->put("k", bytes(payload))) << "file_len equal to max_bytes is offered";
  EXPECT_FALSE(*cache->put("j", bytes(payload + "y")));
  EXPECT_EQ(files_under("blobs").size(), 1u);
  EXPECT_TRUE(files_under("tmp").empty());
}

TEST_F(Cache, InvalidIdsComeBeforeClosed) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(cache->close());
  EXPECT_EQ(cache->put("", bytes("x")).error().to_string(), "invalid blob: blob ID must not be empty");
  const std::string huge(MAX_BLOB_ID_LEN + 1, 'i');
  EXPECT_EQ(cache->get(huge).error().to_string(), "invalid blob: blob ID exceeds 1048576 bytes");
  EXPECT_EQ(cache->delete_blob("").error().kind(), BlobCacheError::Kind::InvalidBlob);
}

TEST_F(Cache, EveryOperationAfterCloseIsClosed) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("a", bytes("1")));
  ASSERT_TRUE(cache->close());
  ASSERT_TRUE(cache->close()) << "close is idempotent";
  EXPECT_EQ(cache->get("a").error().to_string(), "blob cache is closed");
  EXPECT_EQ(cache->put("b", bytes("2")).error().to_string(), "blob cache is closed");
  EXPECT_EQ(cache->delete_blob("a").error().to_string(), "blob cache is closed");
  EXPECT_EQ(cache->delete_all().error().to_string(), "blob cache is closed");
  EXPECT_TRUE(fs::exists(path_of("a"))) << "closing keeps files";
}

TEST_F(Cache, DiskNeverExceedsBudgetAfterPut) {
  const int64_t budget = 4000;
  auto cache = open(budget);
  for (int i = 0; i < 300; ++i) {
    std::string id = "blob-" + std::to_string(i % 120);
    (void)cache->get("blob-" + std::to_string(i % 7));  // some keys become popular
    auto put = cache->put(id, bytes(std::string(50 + (i * 37) % 400, 'a' + i % 26)));
    ASSERT_TRUE(put.has_value() || put.error().kind() == BlobCacheError::Kind::BlobIdMismatch)
        << put.error().to_string();
    ASSERT_LE(blob_bytes(), budget) << "after put " << i;
  }
}

TEST_F(Cache, ReopenRestoresNewestFirstAndDropsWhatItCannotKeep) {
  const std::string payload(100, 'p');
  const int64_t one = file_len("blob-0", payload);
  {
    auto cache = open(10 * one);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(*cache->put("blob-" + std::to_string(i), bytes(payload)));
  }  // dropped without close: files stay
  // Distinct modification times: blob-3 newest.
  for (int i = 0; i < 4; ++i) {
    struct timespec times[2] = {{1000 + i, 0}, {1000 + i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_of("blob-" + std::to_string(i)).c_str(), times, 0), 0);
  }
  std::ofstream(root_ / "tmp" / "blob-1-1.tmp") << "torn";
  std::ofstream(path_of("blob-0").parent_path() / "junk.blob") << "not a blob";

  // Room for two. Offered newest first, the two newest fill the budget; the
  // older ones then tie on popularity, and a tie admits the newcomer.
  auto reopened = open(2 * one);
  int kept = 0;
  for (int i = 0; i < 4; ++i) {
    auto got = get(*reopened, "blob-" + std::to_string(i));
    if (got) {
      EXPECT_EQ(*got, payload);
      ++kept;
    }
  }
  EXPECT_EQ(kept, 2);
  EXPECT_EQ(files_under("blobs").size(), 2u) << "files the cache cannot keep are deleted";
  EXPECT_TRUE(files_under("tmp").empty());

  auto smaller = BlobCache::open({root_.string(), one - 1, 1000});
  ASSERT_TRUE(smaller.has_value());
  EXPECT_TRUE(files_under("blobs").empty()) << "oversized files are deleted at open";
}

TEST_F(Cache, LostOrCorruptFilesAreDropped) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("gone", bytes("one")));
  ASSERT_TRUE(*cache->put("flipped", bytes("two")));
  fs::remove(path_of("gone"));
  {
    std::fstream f(path_of("flipped"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(-1, std::ios::end);
    f.put('X');
  }
  EXPECT_EQ(get(*cache, "gone"), std::nullopt);
  EXPECT_EQ(get(*cache, "flipped"), std::nullopt);
  EXPECT_FALSE(fs::exists(path_of("flipped"))) << "a corrupt file is removed";
  EXPECT_TRUE(*cache->put("gone", bytes("fresh"))) << "a dropped ID is stored afresh";
  EXPECT_EQ(get(*cache, "gone"), "fresh");
}

TEST_F(Cache, StaleEntryIsReplacedByPut) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("id", bytes("old")));
  fs::remove(path_of("id"));
  EXPECT_TRUE(*cache->put("id", bytes("new")));
  EXPECT_EQ(get(*cache, "id"), "new");
}

TEST_F(Cache, DeleteAndDeleteAllRemoveFiles) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("a", bytes("1")));
  ASSERT_TRUE(*cache->put("b", bytes("2")));
  ASSERT_TRUE(cache->delete_blob("a"));
  EXPECT_FALSE(fs::exists(path_of("a")));
  EXPECT_EQ(get(*cache, "a"), std::nullopt);
  EXPECT_TRUE(cache->delete_blob("a")) << "deleting again succeeds";
  EXPECT_TRUE(cache->delete_blob("never-stored"));

  // A stray file at an unknown ID's path goes too.
  fs::create_directories(path_of("stray").parent_path());
  std::ofstream(path_of("stray")) << "x";
  ASSERT_TRUE(cache->delete_blob("stray"));
  EXPECT_FALSE(fs::exists(path_of("stray")));

  ASSERT_TRUE(cache->delete_all());
  EXPECT_TRUE(files_under("blobs").empty());
  EXPECT_EQ(get(*cache, "b"), std::nullopt);
  EXPECT_TRUE(*cache->put("b", bytes("again")));
  EXPECT_EQ(get(*cache, "b"), "again");
}

// Exit code 0 when a delete whose file cannot go leaves the blob readable.
int undeletable_blob_scenario(const fs::path& root) {
  auto opened = BlobCache::open({root.string(), 1 << 20, 1000});
  if (!opened) return 2;
  auto& cache = **opened;
  if (!cache.put("a", bytes("1")).has_value()) return 3;
  auto shard = std::move(LocalFileStore::create(root.string())).value().path_for("a").parent_path();
  fs::permissions(shard, fs::perms::owner_read | fs::perms::owner_exec);
  auto deleted = cache.delete_blob("a");
  fs::permissions(shard, fs::perms::owner_all);
  if (deleted.has_value() || deleted.error().kind() != BlobCacheError::Kind::Io) return 4;
  auto got = cache.get("a");
  return got.has_value() && *got && text(**got) == "1" ? 0 : 5;
}

TEST_F(Cache, DeleteThatCannotRemoveKeepsBlobReadable) {
  if (geteuid() != 0) {
    EXPECT_EQ(undeletable_blob_scenario(root_), 0);
    return;
  }
  // Root ignores directory permissions: run as nobody in a child.
  ASSERT_EQ(chown(root_.c_str(), 65534, 65534), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
    _exit(undeletable_blob_scenario(root_));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Cache, PoisonedLocksAreFatalWithTheirMessage) {
  struct Case {
    void (*poison)(BlobCache&);
    const char* message;
  };
  for (auto c : {Case{BlobCacheTestAccess::poison_commit, "blob cache commit lock is poisoned"},
                 Case{BlobCacheTestAccess::poison_lifecycle, "blob cache lifecycle lock is poisoned"},
                 Case{BlobCacheTestAccess::poison_policy, "blob cache policy lock is poisoned"}}) {
    auto cache = open(1 << 20);
    c.poison(*cache);
    try {
      (void)cache->put("a", bytes("1"));
      ADD_FAILURE() << "expected a panic";
    } catch (const Panic& panic) {
      EXPECT_STREQ(panic.what(), c.message);
    }
  }
}

TEST_F(Cache, ForkedChildSeesClosedInsteadOfHanging) {
  auto cache = open(1 << 20);
  ASSERT_TRUE(*cache->put("a", bytes("1")));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);  // a hang must fail the test, not stall it
    bool ok = cache->get("a").error().to_string() == "blob cache is closed" &&
              cache->put("b", bytes("2")).error().kind() == BlobCacheError::Kind::Closed &&
              cache->delete_all().error().kind() == BlobCacheError::Kind::Closed;
    cache.reset();  // must not join threads that do not exist here
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child was killed: it hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(get(*cache, "a"), "1") << "the parent keeps working";
}

}  // namespace
}  // namespace qel
