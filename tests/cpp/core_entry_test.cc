#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include "core_test_util.h"
#include "engine_test_util.h"

namespace qel {
namespace {

using namespace testing_util;

// The record a put of `id` makes; nothing is written.
FileMetadata metadata_of(const LocalFileStore& store, const std::string& id) {
  return std::move(store.metadata_for(id, bytes(id))).value();
}

TEST(DiskEntry, OnlyReadyEntriesLeaseOrEvictAndOnlyPendingOnesPublish) {
  const auto store = std::move(LocalFileStore::create("/nonexistent")).value();
  for (auto phase : {EntryPhase::Pending, EntryPhase::Ready, EntryPhase::Evicting}) {
    SCOPED_TRACE(static_cast<int>(phase));
    for (int error : {0, EACCES}) {
      DiskEntry published(metadata_of(store, "x"), phase);
      int renames = 0;
      auto outcome = published.publish([&] { return ++renames, error; });
      EXPECT_EQ(renames, phase == EntryPhase::Pending ? 1 : 0) << "only a Pending entry's file may appear";
      EXPECT_EQ(outcome, phase == EntryPhase::Pending ? std::optional<int>(error) : std::nullopt);
      EXPECT_EQ(published.phase(), phase == EntryPhase::Pending && error == 0 ? EntryPhase::Ready : phase);
    }
    EXPECT_EQ(DiskEntry(metadata_of(store, "x"), phase).begin_eviction(), phase == EntryPhase::Ready);
    DiskEntry entry(metadata_of(store, "x"), phase);
    EXPECT_EQ(entry.acquire_read().has_value(), phase == EntryPhase::Ready);
    EXPECT_EQ(entry.readers(), 0u) << "a released lease is no longer counted";
  }
}

// What begin_eviction announced before each of its waits, for tests to
// block on instead of sleeping.
struct EvictionWaits {
  EvictionWaits() {
    std::lock_guard lock(mutex);
    seen.clear();
    DiskEntry::before_eviction_wait.store(&record);
  }
  ~EvictionWaits() { DiskEntry::before_eviction_wait.store(nullptr); }
  // True once an eviction has begun to wait on (phase, readers); the 30 s
  // only turn a missing wait into a failure.
  static bool reached(EntryPhase phase, uint32_t readers) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.contains({phase, readers}); });
  }
  static void record(EntryPhase phase, uint32_t readers) {
    std::lock_guard lock(mutex);
    seen.emplace(phase, readers);
    changed.notify_all();
  }
  static inline std::mutex mutex;
  static inline std::condition_variable changed;
  static inline std::set<std::pair<EntryPhase, uint32_t>> seen;
};

class Callback : public TempDir {};

// An eviction that meets a put renaming its file waits for the rename: it
// must not see Pending (and leave the file it is about to delete unowned)
// while the file appears.
TEST(DiskEntry, EvictionWaitsForAPublishingRename) {
  const auto store = std::move(LocalFileStore::create("/nonexistent")).value();
  DiskEntry entry(metadata_of(store, "x"), EntryPhase::Pending);
  std::promise<void> renaming, finish;
  auto publisher = std::async(std::launch::async, [&] {
    return entry.publish([&] {
      renaming.set_value();
      finish.get_future().wait();
      return 0;
    });
  });
  renaming.get_future().wait();
  EXPECT_EQ(entry.phase(), EntryPhase::Publishing);
  EXPECT_FALSE(entry.acquire_read().has_value()) << "a file being renamed is not readable yet";
  EvictionWaits waits;
  auto evictor = std::async(std::launch::async, [&] { return entry.begin_eviction(); });
  EXPECT_TRUE(waits.reached(EntryPhase::Publishing, 0)) << "the eviction did not wait for the rename";
  finish.set_value();
  EXPECT_EQ(publisher.get(), std::optional<int>(0));
  EXPECT_TRUE(evictor.get()) << "the eviction falls after the rename and owns the file";
  EXPECT_EQ(entry.phase(), EntryPhase::Evicting);
}

TEST_F(Callback, EvictionKeepsTheFileUntilEveryLeaseIsReleasedAndPendingOrClosingKeepIt) {
  const auto s = store();
  RemovalCallback callback(s);
  spit(s.path_for("a"), "data");
  auto entry = DiskEntry::ready(metadata_of(s, "a"));
  auto first = entry->acquire_read();
  auto second = entry->acquire_read();
  EvictionWaits waits;
  auto removal = std::async(std::launch::async, [&] { callback.handle_removal(entry); });
  ASSERT_TRUE(waits.reached(EntryPhase::Evicting, 2));
  EXPECT_FALSE(entry->acquire_read().has_value());
  EXPECT_FALSE(entry->begin_eviction()) << "a second eviction must not wait or win";
  first.reset();
  // Woken by the release, the evictor counted one lease left and waits again.
  EXPECT_TRUE(waits.reached(EntryPhase::Evicting, 1));
  EXPECT_TRUE(fs::exists(s.path_for("a"))) << "a file being read must survive its eviction";
  second.reset();
  removal.get();
  EXPECT_FALSE(fs::exists(s.path_for("a")));
  entry->restore_ready();
  EXPECT_TRUE(entry->acquire_read().has_value());

  spit(s.path_for("p"), "data");
  callback.handle_removal(DiskEntry::pending(metadata_of(s, "p")));
  EXPECT_TRUE(fs::exists(s.path_for("p"))) << "a pending entry's file belongs to its put";
  spit(s.path_for("r"), "data");
  callback.set_closing();
  callback.handle_removal(DiskEntry::ready(metadata_of(s, "r")));
  EXPECT_TRUE(fs::exists(s.path_for("r")));
}

TEST_F(Callback, FailedRemovalsAreJoinedQueuedAndRetriedUntilAPurgeReplacesThem) {
  auto s = store();
  ASSERT_TRUE(s.prepare());
  RemovalCallback callback(s);
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
    RemovalCallback failing(gone);
    gone.release_root();
    for (auto id : {"a", "b"}) failing.handle_removal(DiskEntry::ready(metadata_of(gone, id)));
    const std::string closed = BlobCacheError::closed().to_string();
    EXPECT_EQ(failing.take_error(), closed + "; " + closed);
    EXPECT_FALSE(failing.take_error().has_value());
    EXPECT_FALSE(failing.retry_cleanup().has_value());
  }

  // Nothing outside the cache directory is ever removed, even for root.
  const fs::path outside = root_.string() + "-outside/x.blob";
  callback.add_cleanup_path(outside);
  auto failed = callback.retry_cleanup();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().to_string(), "blob cache reconciliation failed: remove cache entry " + outside.string() +
                                            ": outside the cache directory");

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
    auto engine = start_engine(1 << 20, counters, RemovalCallback(store()));
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->policy().counters(), static_cast<uint64_t>(DEFAULT_FREQUENCY_COUNTERS));
    for (int i = 0; i < 2000; ++i) {
      const std::string id = "blob-" + std::to_string(i);
      auto entry = DiskEntry::pending(metadata_of(store(), id));
      ASSERT_TRUE(engine->try_insert(id, entry, 1).value());
    }
    ASSERT_TRUE(engine->wait());
    // One full sample of reads, in batches the policy thread applies.
    for (int i = 0; i < DEFAULT_FREQUENCY_COUNTERS + 64; ++i) engine->get("blob-0");
    engine::testing::eventually([&] { return engine->policy().applied_batches() * 64 >= DEFAULT_FREQUENCY_COUNTERS; });
    EXPECT_EQ(engine->policy().counters(),
              counters == 0 ? 2000 * engine::LFUPolicy::kCountersPerEntry : uint64_t{10'000});
  }
}

}  // namespace
}  // namespace qel
