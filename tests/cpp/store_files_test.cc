// The checksum, the error texts and the recycled payload buffers; the
// store's files, their verification and the scan.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "core_test_util.h"
#include "store/format.h"
#include "store/payload.h"

namespace qel {
namespace {

using namespace testing_util;

// The header's layout and ID-then-payload checksumming are pinned by the
// Python suites' own writer and reader, whose planted files the cache must
// accept, and by the fuzzer's decoding oracle.
TEST(Format, Crc32cMatchesPublishedVector) {
  const std::string_view check = "123456789";
  EXPECT_EQ(crc32c(0, {reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xE3069283u);
}

// The other kinds' texts are pinned end to end: closed, configuration and
// invalid-blob by the front and model tests, corrupt by the fuzzer,
// reconciliation and I/O by the fault tests; the errno kinds by the store
// suite's vanished read and the hostile test's taken temp names.
TEST(Errors, DisplayTexts) {
  const std::pair<BlobCacheError, std::string> cases[] = {
      {BlobCacheError::blob_id_mismatch("q\"\\\t\r\n\x01z\xC3\xA9"), "blob ID content mismatch: \"q\\\"\\\\\\t\\r\\n\\u{1}z\xC3\xA9\""},
      {BlobCacheError::blob_id_mismatch(std::string("n\0", 2)), "blob ID content mismatch: \"n\\0\""},
      // Not UTF-8 (a stray byte, an overlong NUL): each byte shows as U+FFFD.
      {BlobCacheError::blob_id_mismatch("a\xFF\xC0\x80"), "blob ID content mismatch: \"a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {BlobCacheError::engine("p"), "blob cache policy failed: p"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}

TEST(Payload, RecycledBuffersAreNeverShared) {
  // More live payloads than the pool keeps spares, of sizes in and around
  // the recycled range, twice over so the second round draws on the spares.
  for (int round = 0; round < 2; ++round) {
    std::vector<Payload> live;
    for (size_t size : {size_t{1} << 16, size_t{1} << 20, size_t{4} << 20, (size_t{4} << 20) + 1, size_t{100},
                        size_t{1} << 16, size_t{3} << 20, size_t{1} << 16})
      live.emplace_back(size);
    for (size_t i = 0; i < live.size(); ++i) std::memset(live[i].data(), static_cast<int>(i), live[i].size());
    for (size_t i = 0; i < live.size(); ++i)
      EXPECT_EQ(std::count(live[i].bytes().begin(), live[i].bytes().end(), static_cast<uint8_t>(i)),
                static_cast<ptrdiff_t>(live[i].size())) << "payload " << i << " round " << round;
  }
}

unsigned mode_of(const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()); }

class Store : public TempDir {
 protected:
  void SetUp() override { ASSERT_TRUE(s_.prepare()); }
  // write_temp, `meanwhile`, then publish, abandoning what does not publish.
  Expected<FileMetadata, CommitFailure> commit(const std::string& id, const std::string& payload,
                                               const std::function<void()>& meanwhile = [] {}) {
    const FileMetadata metadata = *calculate_metadata(id, bytes(payload), s_.path_for(id));
    auto written = s_.write_temp(metadata, bytes(payload), true);
    if (!written) return unexpected(std::move(written).error());
    meanwhile();
    const int renamed = s_.publish(*written);
    if (renamed == 0) return metadata;
    EXPECT_EQ(renamed, EEXIST);
    auto abandoned = s_.abandon(std::move(*written), renamed);
    if (!abandoned) return unexpected(std::move(abandoned).error());
    ADD_FAILURE() << "a failed rename abandoned without an error";
    return metadata;
  }
  // No file being written; the writer's own directory may stay.
  bool tmp_empty() const {
    for (auto& entry : fs::recursive_directory_iterator(s_.tmp_dir()))
      if (!entry.is_directory()) return false;
    return true;
  }

  LocalFileStore s_ = store();
};

// The layout under blobs/ is the Python suites', which plant and check files
// at paths they derive themselves.
TEST_F(Store, RelativeNamesAndRoot) {
  EXPECT_EQ(s_.relative("/elsewhere/x"), "/elsewhere/x");
  EXPECT_EQ(s_.relative(root_ / "bad\xFF"), "bad\xEF\xBF\xBD");

  auto nul = LocalFileStore::create(std::string("/tmp/a\0b", 8));
  ASSERT_FALSE(nul.has_value());
  EXPECT_TRUE(nul.error().is_io_kind(IoKind::InvalidInput));
  EXPECT_EQ(nul.error().message(), "create blob cache root");

  const auto cwd = fs::current_path();
  fs::current_path(root_);
  auto relative = LocalFileStore::create("cache");
  fs::current_path(cwd);
  EXPECT_EQ(relative->root(), root_ / "cache");
}

TEST_F(Store, DirectoriesArePrivateAndPurgeNeverFollowsLinks) {
  fs::permissions(root_ / "blobs", fs::perms::all);
  ASSERT_TRUE(s_.prepare());
  ASSERT_TRUE(commit("x", "y").has_value());
  for (auto dir : {root_, root_ / "tmp", root_ / "blobs", s_.path_for("x").parent_path()}) EXPECT_EQ(mode_of(dir), 0700u) << dir;
  EXPECT_EQ(mode_of(s_.path_for("x")), 0600u);

  spit(root_ / "canary" / "keep", "keep");
  fs::create_directory_symlink(root_ / "canary", root_ / "blobs" / "escape");
  fs::create_symlink(root_ / "canary" / "keep", root_ / "tmp" / "escape");
  ASSERT_TRUE(s_.purge());
  EXPECT_EQ(slurp(root_ / "canary" / "keep"), "keep");
  EXPECT_TRUE(fs::is_empty(root_ / "blobs") && tmp_empty());
  EXPECT_TRUE(s_.remove(s_.path_for("x")).has_value()) << "removing a removed file succeeds";

  // The data directory itself swapped for a link: the link goes, not what it leads to.
  fs::remove(root_ / "blobs");
  fs::create_directory_symlink(root_ / "canary", root_ / "blobs");
  ASSERT_TRUE(s_.purge());
  EXPECT_EQ(slurp(root_ / "canary" / "keep"), "keep");
  EXPECT_FALSE(fs::is_symlink(root_ / "blobs"));

  fs::remove_all(root_ / "tmp");
  ASSERT_TRUE(s_.purge());
  for (auto dir : {root_, root_ / "tmp", root_ / "blobs"}) EXPECT_EQ(mode_of(dir), 0700u) << dir;
}

// A file at the final path is never replaced: one there before is refused
// before any temp file is written, and one another process commits between
// write_temp's check and the rename survives it. Anything else there is
// cleared, which the hostile-directory suite checks.
TEST_F(Store, CommitNeverReplacesAFileThereBeforeOrAppearingMeanwhile) {
  for (const std::string id : {"taken", "raced"}) {
    auto theirs = [&] { spit(s_.path_for(id), "theirs"); };
    if (id == "taken") theirs();
    auto committed = commit(id, "mine", [&] {
      EXPECT_NE(id, "taken") << "a temp file was written for a path already taken";
      theirs();
    });
    ASSERT_FALSE(committed.has_value());
    EXPECT_EQ(committed.error().error.to_string(), "blob ID content mismatch: \"" + id + "\"");
    EXPECT_FALSE(committed.error().leftover_temp.has_value());
    EXPECT_EQ(slurp(s_.path_for(id)), "theirs");
    EXPECT_TRUE(tmp_empty());
  }
}

// Each damage is applied to a valid file of ID "victim" with a payload of two
// inspect chunks, and of one (read whole by inspect); both readers must report
// it corrupt, naming the file. Which header check fails first is the fuzzer's.
// A read also fails on a sound file its record does not match.
class StoreDamage : public Store, public ::testing::WithParamInterface<size_t> {};
INSTANTIATE_TEST_SUITE_P(PayloadLengths, StoreDamage, ::testing::Values(70000, 1000));

TEST_P(StoreDamage, EveryKindOfDamageIsCorruptNeverData) {
  const std::string payload(GetParam(), 'v');
  auto mismatched = commit("victim", payload);
  ASSERT_TRUE(mismatched.has_value());
  mismatched->checksum ^= 1;
  auto misread = s_.read(*mismatched);
  ASSERT_FALSE(misread.has_value());
  EXPECT_EQ(misread.error().to_string(), "corrupt blob cache entry: metadata mismatch " + s_.relative(mismatched->path));
  fs::remove(mismatched->path);
  const std::pair<const char*, void (*)(std::string&)> cases[] = {
      {"truncated header", [](std::string& f) { f.resize(23); }},
      {"invalid magic", [](std::string& f) { f[0] = 'X', f[4] = 9; }},  // magic is checked before version
      {"unsupported version 7", [](std::string& f) { f[4] = 7; }},
      {"non-zero reserved bytes", [](std::string& f) { f[7] = '\x80'; }},
      {"invalid blob ID length", [](std::string& f) { f[8] = f[9] = f[10] = f[11] = 0; }},
      {"invalid blob ID length", [](std::string& f) { f[10] = 0x20; }},
      {"file length overflow", [](std::string& f) { std::fill(f.begin() + 12, f.begin() + 20, '\xFF'); }},
      {"file length mismatch", [](std::string& f) { f += 'x'; }},
      {"file length mismatch", [](std::string& f) { f.pop_back(); }},
      {"file length mismatch", [](std::string& f) { f[19] = 0x7F; }},
      {"checksum mismatch", [](std::string& f) { f[f.size() - 1] ^= 1; }},
      {"checksum mismatch", [](std::string& f) { f[std::min(f.size() - 1, size_t{24 + 6 + 65536})] ^= 1; }},
      {"blob ID path mismatch", [](std::string& f) { f[24] = 'W'; }},
      {"invalid blob ID UTF-8", [](std::string& f) { f[24] = '\xFF'; }},
  };
  for (auto [expected, damage] : cases) {
    SCOPED_TRACE(expected);
    auto committed = commit("victim", payload);
    ASSERT_TRUE(committed.has_value());
    const FileMetadata& metadata = *committed;
    std::string file = slurp(metadata.path);
    damage(file);
    spit(metadata.path, file);
    auto read = s_.read(metadata);
    auto inspected = s_.inspect(metadata.path);
    ASSERT_FALSE(read.has_value() || inspected.has_value()) << "damaged file returned as data";
    for (const auto& error : {read.error(), inspected.error()}) {
      const std::string message = error.to_string();
      EXPECT_EQ(error.kind(), BlobCacheError::Kind::CorruptEntry);
      EXPECT_TRUE(message.find(expected) != message.npos && message.find(s_.relative(metadata.path)) != message.npos) << message;
    }
    fs::remove(metadata.path);
  }
}

// A listing finds what the scan looks at without reading any of it: every
// regular file named like a blob file, with its length, whatever it holds.
// The scan shares the tree out among threads; what they find must come back
// newest first (ties in path order) as one thread would report it, with every
// file that cannot be a blob set apart, a link where a shard belongs too.
TEST_F(Store, ListingAndScanOfManyFilesKeepOneThreadsOrderAndSetAsideWhatCannotBeRead) {
  const auto planted = MixedDirectory::plant(s_, 2500);
  auto listed = s_.scan(ScanMode::List);
  ASSERT_TRUE(listed.has_value()) << listed.error().to_string();
  std::vector<fs::path> files, not_files, found;
  for (const auto& id : planted.newest_first) files.push_back(s_.path_for(id));
  for (const auto& path : planted.invalid) (fs::is_regular_file(fs::symlink_status(path)) ? files : not_files).push_back(path);
  for (const auto& entry : listed->entries) {
    found.push_back(entry.path);
    EXPECT_TRUE(entry.blob_id.empty()) << entry.path;
    EXPECT_EQ(entry.file_len, static_cast<int64_t>(fs::file_size(entry.path))) << entry.path;
  }
  std::sort(files.begin(), files.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, files);
  EXPECT_EQ(listed->invalid, not_files);

  const fs::path shard = s_.path_for("mixed-0").parent_path();
  spit(shard / ".blob", "no name: not the cache's");
  fs::create_directory_symlink(shard, root_ / "blobs" / "zz");
  auto invalid = planted.invalid;
  invalid.insert(std::upper_bound(invalid.begin(), invalid.end(), root_ / "blobs" / "zz"), root_ / "blobs" / "zz");
  auto scan = s_.scan();
  ASSERT_TRUE(scan.has_value()) << scan.error().to_string();
  std::vector<std::string> order;
  for (const auto& entry : scan->entries) {
    order.push_back(entry.blob_id);
    ASSERT_EQ(entry.path, s_.path_for(entry.blob_id));
  }
  EXPECT_EQ(order, planted.newest_first);
  EXPECT_EQ(scan->invalid, invalid);

  // A file the scan may not read cannot be verified: it is set aside like a
  // corrupt one. A failure met by any thread, a shard it may not list, ends
  // the scan with that failure. Root reads everything: it scans as nobody,
  // in a child, over a tree handed to nobody.
  const fs::path locked = s_.path_for("mixed-77");
  const fs::path locked_shard = s_.path_for("mixed-78").parent_path();
  fs::permissions(locked, fs::perms::none);
  const std::string expected = "scan blob cache directory " + s_.relative(locked_shard) + ": Permission denied (os error 13)";
  auto as_expected = [&](const LocalFileStore& store) {
    auto scan = store.scan();
    if (!scan || std::find(scan->invalid.begin(), scan->invalid.end(), locked) == scan->invalid.end()) return false;
    fs::permissions(locked_shard, fs::perms::none);
    scan = store.scan();
    fs::permissions(locked_shard, fs::perms::owner_all);
    return !scan.has_value() && scan.error().to_string() == expected;
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(as_expected(s_));
  } else {
    constexpr uid_t NOBODY = 65534;
    ASSERT_EQ(::lchown(root_.c_str(), NOBODY, NOBODY), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      ASSERT_EQ(::lchown(entry.path().c_str(), NOBODY, NOBODY), 0) << entry.path();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // A store of its own: the fixture's holds the root open as root.
      LocalFileStore mine = store();
      const bool ok = ::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0 && mine.prepare() && as_expected(mine);
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "scan as nobody did not set the unreadable file aside, or did not fail with: " << expected;
  }

  fs::remove_all(root_ / "blobs");
  EXPECT_EQ(s_.scan().error().to_string().rfind("scan blob cache directory blobs: ", 0), 0u);
}

}  // namespace
}  // namespace qel
