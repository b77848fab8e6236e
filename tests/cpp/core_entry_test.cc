#include <future>
#include <thread>

#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;

// The record a put of `id` makes; nothing is written.
FileMetadata metadata_of(const LocalFileStore& store, const std::string& id) {
  return std::move(store.metadata_for(id, bytes(id))).value();
}

TEST(DiskEntry, OnlyReadyEntriesLeaseOrEvictAndOnlyPendingOnesBecomeReady) {
  const auto store = std::move(LocalFileStore::create("/nonexistent")).value();
  for (auto phase : {EntryPhase::Pending, EntryPhase::Ready, EntryPhase::Evicting}) {
    SCOPED_TRACE(static_cast<int>(phase));
    EXPECT_EQ(DiskEntry(metadata_of(store, "x"), phase).mark_ready(), phase == EntryPhase::Pending);
    EXPECT_EQ(DiskEntry(metadata_of(store, "x"), phase).begin_eviction(), phase == EntryPhase::Ready);
    DiskEntry entry(metadata_of(store, "x"), phase);
    EXPECT_EQ(entry.acquire_read().has_value(), phase == EntryPhase::Ready);
    EXPECT_EQ(entry.readers(), 0u) << "a released lease is no longer counted";
  }
}

class Callback : public TempDir {};

TEST_F(Callback, EvictionKeepsTheFileUntilEveryLeaseIsReleasedAndPendingOrClosingKeepIt) {
  const auto s = store();
  DiskPolicyCallback callback(s);
  spit(s.path_for("a"), "data");
  auto entry = DiskEntry::ready(metadata_of(s, "a"));
  auto first = entry->acquire_read();
  auto second = entry->acquire_read();
  auto removal = std::async(std::launch::async, [&] { callback.handle_policy_removal(entry); });
  while (entry->phase() != EntryPhase::Evicting) std::this_thread::yield();
  EXPECT_FALSE(entry->acquire_read().has_value());
  EXPECT_FALSE(entry->begin_eviction()) << "a second eviction must not wait or win";
  first.reset();
  removal.wait_for(std::chrono::milliseconds(50));  // time for a wrong removal to happen
  EXPECT_TRUE(fs::exists(s.path_for("a"))) << "a file being read must survive its eviction";
  second.reset();
  removal.get();
  EXPECT_FALSE(fs::exists(s.path_for("a")));
  entry->restore_ready();
  EXPECT_TRUE(entry->acquire_read().has_value());

  spit(s.path_for("p"), "data");
  callback.handle_policy_removal(DiskEntry::pending(metadata_of(s, "p")));
  EXPECT_TRUE(fs::exists(s.path_for("p"))) << "a pending entry's file belongs to its put";
  spit(s.path_for("r"), "data");
  callback.set_closing();
  callback.handle_policy_removal(DiskEntry::ready(metadata_of(s, "r")));
  EXPECT_TRUE(fs::exists(s.path_for("r")));
}

TEST_F(Callback, FailedRemovalsAreJoinedQueuedAndRetriedUntilAPurgeReplacesThem) {
  auto s = store();
  ASSERT_TRUE(s.prepare());
  DiskPolicyCallback callback(s);
  // Whatever stands at a queued path goes at the next retry, a directory tree
  // too; behind a file where its parent directory belongs, nothing of the
  // cache's can be, so that counts as gone.
  spit(root_ / "c.blob" / "inner" / "x.blob", "x");
  spit(root_ / "blocked", "not a directory");
  callback.add_cleanup_path(root_ / "c.blob");
  callback.add_cleanup_path(root_ / "blocked" / "x.blob");
  EXPECT_TRUE(callback.retry_cleanup().has_value());
  EXPECT_FALSE(fs::exists(root_ / "c.blob"));
  EXPECT_TRUE(fs::exists(root_ / "blocked"));

  // Evictions whose removal fails are joined into one error and queued.
  {
    auto gone = store();
    DiskPolicyCallback failing(gone);
    gone.release_root();
    for (auto id : {"a", "b"}) failing.handle_policy_removal(DiskEntry::ready(metadata_of(gone, id)));
    const std::string closed = BlobCacheError::closed().to_string();
    EXPECT_EQ(failing.take_error(), closed + "; " + closed);
    EXPECT_FALSE(failing.take_error().has_value());
    EXPECT_FALSE(failing.retry_cleanup().has_value());
  }

  // Nothing outside the cache directory is ever removed, even for root.
  const fs::path outside = root_.string() + "-outside";
  for (auto name : {"a", "b"}) callback.add_cleanup_path(outside / name / "x.blob");
  auto failed = callback.retry_cleanup();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), BlobCacheError::Kind::Reconciliation);
  for (auto name : {"a", "b"}) {
    const std::string text = "remove cache entry " + (outside / name / "x.blob").string() + ": outside the cache directory";
    EXPECT_NE(failed.error().to_string().find(text), std::string::npos) << failed.error().to_string();
  }

  // A purge makes every queued removal moot.
  spit(s.blobs_dir() / "stray.blob", "x");
  callback.require_purge();
  ASSERT_TRUE(callback.retry_cleanup().has_value());
  EXPECT_FALSE(fs::exists(s.blobs_dir() / "stray.blob"));
  EXPECT_TRUE(callback.retry_cleanup().has_value()) << "the purge must have forgotten queued paths";
}

}  // namespace
}  // namespace qel
