#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "blob_cache/entry.h"
#include "blob_cache/policy.h"
#include "core_test_util.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using testing_util::TempDir;

FileMetadata metadata_at(const std::filesystem::path& path) {
  return FileMetadata{.blob_id = "id", .path = path, .modified = {}, .file_len = 26, .checksum = 0};
}

TEST(DiskEntry, PhaseTransitions) {
  struct Case {
    EntryPhase start;
    bool mark_ready;
    bool begin_eviction;
    bool lease;
  };
  for (auto c : {Case{EntryPhase::Pending, true, false, false}, Case{EntryPhase::Ready, false, true, true},
                 Case{EntryPhase::Evicting, false, false, false}}) {
    SCOPED_TRACE(static_cast<int>(c.start));
    EXPECT_EQ(DiskEntry(metadata_at("/x"), c.start).mark_ready(), c.mark_ready);
    EXPECT_EQ(DiskEntry(metadata_at("/x"), c.start).begin_eviction(), c.begin_eviction);
    DiskEntry entry(metadata_at("/x"), c.start);
    EXPECT_EQ(entry.acquire_read().has_value(), c.lease);
    EXPECT_EQ(entry.readers(), 0u);
  }
}

TEST(DiskEntry, EvictionWaitsForEveryLease) {
  auto entry = DiskEntry::ready(metadata_at("/x"));
  auto first = entry->acquire_read();
  auto second = entry->acquire_read();
  ASSERT_TRUE(first && second);
  auto evicted = std::async(std::launch::async, [&] { return entry->begin_eviction(); });
  while (entry->phase() != EntryPhase::Evicting) std::this_thread::yield();
  EXPECT_FALSE(entry->acquire_read().has_value());
  EXPECT_FALSE(entry->begin_eviction()) << "a second eviction must not wait or win";
  first.reset();
  EXPECT_EQ(evicted.wait_for(50ms), std::future_status::timeout);
  second.reset();
  EXPECT_TRUE(evicted.get());
  EXPECT_FALSE(entry->mark_ready());
  entry->restore_ready();
  EXPECT_TRUE(entry->acquire_read().has_value());
}

class Callback : public TempDir {
 protected:
  LocalFileStore store() { return std::move(LocalFileStore::create(root_.string())).value(); }
  std::filesystem::path make_file(const std::string& name) {
    auto path = root_ / name;
    std::ofstream(path) << "data";
    return path;
  }
};

TEST_F(Callback, EvictionKeepsLeasedFileUntilRelease) {
  DiskPolicyCallback callback(store());
  auto path = make_file("a.blob");
  auto entry = DiskEntry::ready(metadata_at(path));
  auto lease = entry->acquire_read();
  auto removal = std::async(std::launch::async, [&] { callback.handle_policy_removal(entry); });
  EXPECT_EQ(removal.wait_for(50ms), std::future_status::timeout);
  EXPECT_TRUE(std::filesystem::exists(path)) << "a file being read must survive its eviction";
  lease.reset();
  removal.get();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Callback, PendingAndClosingKeepFiles) {
  DiskPolicyCallback callback(store());
  auto pending_path = make_file("p.blob");
  callback.handle_policy_removal(DiskEntry::pending(metadata_at(pending_path)));
  EXPECT_TRUE(std::filesystem::exists(pending_path)) << "a pending entry's file belongs to its put";

  auto ready_path = make_file("r.blob");
  callback.set_closing();
  callback.handle_policy_removal(DiskEntry::ready(metadata_at(ready_path)));
  EXPECT_TRUE(std::filesystem::exists(ready_path));
}

TEST_F(Callback, FailedRemovalsAreJoinedQueuedAndRetried) {
  DiskPolicyCallback callback(store());
  // A file in place of the parent directory fails the removal, even for root.
  auto blocked = [&](const std::string& name) {
    std::ofstream(root_ / name) << "not a directory";
    return root_ / name / "x.blob";
  };
  auto a = blocked("a");
  auto b = blocked("b");
  callback.handle_policy_removal(DiskEntry::ready(metadata_at(a)));
  callback.handle_policy_removal(DiskEntry::ready(metadata_at(b)));
  auto error = callback.take_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("; "), std::string::npos) << *error;
  EXPECT_NE(error->find("remove cache entry a/x.blob"), std::string::npos) << *error;
  EXPECT_NE(error->find("remove cache entry b/x.blob"), std::string::npos) << *error;
  EXPECT_FALSE(callback.take_error().has_value());

  auto failed = callback.retry_cleanup();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), BlobCacheError::Kind::Reconciliation);
  std::filesystem::remove(root_ / "a");  // gone meanwhile: counts as removed
  std::filesystem::remove(root_ / "b");
  EXPECT_TRUE(callback.retry_cleanup().has_value());

  // A directory where a file belongs can never go as a file: it is dropped
  // from the queue rather than failing every later retry.
  std::filesystem::create_directories(root_ / "c.blob" / "inner");
  callback.add_cleanup_path(root_ / "c.blob");
  EXPECT_TRUE(callback.retry_cleanup().has_value());
  EXPECT_TRUE(callback.retry_cleanup().has_value());
}

TEST_F(Callback, PendingPurgeReplacesQueuedRemovals) {
  auto s = store();
  ASSERT_TRUE(s.prepare());
  DiskPolicyCallback callback(s);
  auto stray = s.blobs_dir() / "stray.blob";
  std::ofstream(stray) << "x";
  auto unremovable = root_ / "blocked.blob";
  std::filesystem::create_directories(unremovable / "inner");
  callback.add_cleanup_path(unremovable);
  callback.require_purge();
  ASSERT_TRUE(callback.retry_cleanup().has_value());
  EXPECT_FALSE(std::filesystem::exists(stray));
  EXPECT_TRUE(callback.retry_cleanup().has_value()) << "the purge must have forgotten queued paths";
}

}  // namespace
}  // namespace qel
