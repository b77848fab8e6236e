#include <cerrno>
#include <future>
#include <thread>

#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;

FileMetadata metadata_at(const fs::path& path) {
  return FileMetadata{.blob_id = "id", .path = path, .modified = {}, .file_len = 26, .checksum = 0};
}

TEST(DiskEntry, OnlyReadyEntriesLeaseOrEvictAndOnlyPendingOnesPublish) {
  for (auto phase : {EntryPhase::Pending, EntryPhase::Ready, EntryPhase::Evicting}) {
    SCOPED_TRACE(static_cast<int>(phase));
    for (int error : {0, EACCES}) {
      DiskEntry published(metadata_at("/x"), phase);
      int renames = 0;
      auto outcome = published.publish([&] { return ++renames, error; });
      EXPECT_EQ(renames, phase == EntryPhase::Pending ? 1 : 0) << "only a Pending entry's file may appear";
      EXPECT_EQ(outcome, phase == EntryPhase::Pending ? std::optional<int>(error) : std::nullopt);
      EXPECT_EQ(published.phase(), phase == EntryPhase::Pending && error == 0 ? EntryPhase::Ready : phase);
    }
    EXPECT_EQ(DiskEntry(metadata_at("/x"), phase).begin_eviction(), phase == EntryPhase::Ready);
    DiskEntry entry(metadata_at("/x"), phase);
    EXPECT_EQ(entry.acquire_read().has_value(), phase == EntryPhase::Ready);
    EXPECT_EQ(entry.readers(), 0u) << "a released lease is no longer counted";
  }
}

class Callback : public TempDir {};

TEST_F(Callback, EvictionKeepsTheFileUntilEveryLeaseIsReleasedAndPendingOrClosingKeepIt) {
  DiskPolicyCallback callback(store());
  spit(root_ / "a.blob", "data");
  auto entry = DiskEntry::ready(metadata_at(root_ / "a.blob"));
  auto first = entry->acquire_read();
  auto second = entry->acquire_read();
  auto removal = std::async(std::launch::async, [&] { callback.handle_policy_removal(entry); });
  while (entry->phase() != EntryPhase::Evicting) std::this_thread::yield();
  EXPECT_FALSE(entry->acquire_read().has_value());
  EXPECT_FALSE(entry->begin_eviction()) << "a second eviction must not wait or win";
  first.reset();
  removal.wait_for(std::chrono::milliseconds(50));  // time for a wrong removal to happen
  EXPECT_TRUE(fs::exists(root_ / "a.blob")) << "a file being read must survive its eviction";
  second.reset();
  removal.get();
  EXPECT_FALSE(fs::exists(root_ / "a.blob"));
  entry->restore_ready();
  EXPECT_TRUE(entry->acquire_read().has_value());

  spit(root_ / "p.blob", "data");
  callback.handle_policy_removal(DiskEntry::pending(metadata_at(root_ / "p.blob")));
  EXPECT_TRUE(fs::exists(root_ / "p.blob")) << "a pending entry's file belongs to its put";
  spit(root_ / "r.blob", "data");
  callback.set_closing();
  callback.handle_policy_removal(DiskEntry::ready(metadata_at(root_ / "r.blob")));
  EXPECT_TRUE(fs::exists(root_ / "r.blob"));
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

  // Nothing outside the cache directory is ever removed, even for root.
  const fs::path outside = root_.string() + "-outside";
  for (auto name : {"a", "b"}) callback.handle_policy_removal(DiskEntry::ready(metadata_at(outside / name / "x.blob")));
  auto error = callback.take_error();
  ASSERT_TRUE(error.has_value());
  const std::string a = "remove cache entry " + (outside / "a" / "x.blob").string() + ": outside the cache directory";
  const std::string b = "remove cache entry " + (outside / "b" / "x.blob").string() + ": outside the cache directory";
  EXPECT_TRUE(*error == a + "; " + b || *error == b + "; " + a) << *error;
  EXPECT_FALSE(callback.take_error().has_value());
  auto failed = callback.retry_cleanup();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), BlobCacheError::Kind::Reconciliation);

  // A purge makes every queued removal moot.
  spit(s.blobs_dir() / "stray.blob", "x");
  callback.require_purge();
  ASSERT_TRUE(callback.retry_cleanup().has_value());
  EXPECT_FALSE(fs::exists(s.blobs_dir() / "stray.blob"));
  EXPECT_TRUE(callback.retry_cleanup().has_value()) << "the purge must have forgotten queued paths";
}

TEST_F(Callback, DefaultFrequencyRecordFollowsTheBlobsHeldAndAnExplicitOneStays) {
  for (const int64_t counters : {int64_t{0}, DEFAULT_FREQUENCY_COUNTERS}) {
    SCOPED_TRACE(counters);
    auto engine = new_policy(1 << 20, counters, DiskPolicyCallback(store()));
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->policy().counters(), static_cast<uint64_t>(DEFAULT_FREQUENCY_COUNTERS));
    for (int i = 0; i < 2000; ++i) {
      const std::string id = "blob-" + std::to_string(i);
      auto entry = DiskEntry::pending(metadata_at(root_ / id));
      ASSERT_TRUE(engine->try_insert(id, entry, 1).value());
    }
    ASSERT_TRUE(engine->wait());
    // One full sample of reads, in batches the policy thread applies.
    for (int i = 0; i < DEFAULT_FREQUENCY_COUNTERS + 64; ++i) engine->get("blob-0");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (engine->policy().applied_batches() * 64 < DEFAULT_FREQUENCY_COUNTERS &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(engine->policy().counters(),
              counters == 0 ? 2000 * engine::LFUPolicy::kCountersPerEntry : uint64_t{10'000});
  }
}

}  // namespace
}  // namespace qel
