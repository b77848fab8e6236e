#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "blob_cache/store.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

unsigned mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_mode & 07777;
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qel-store-XXXXXX";
    root_ = mkdtemp(tmpl);
    store_ = std::make_unique<LocalFileStore>(std::move(LocalFileStore::create(root_.string())).value());
    ASSERT_TRUE(store_->prepare());
  }
  void TearDown() override { fs::remove_all(root_); }

  FileMetadata commit(const std::string& id, const std::string& payload) {
    auto metadata = calculate_metadata(id, bytes(payload), store_->path_for(id));
    EXPECT_TRUE(metadata.has_value());
    auto committed = store_->commit(*metadata, bytes(payload));
    EXPECT_TRUE(committed.has_value()) << committed.error().error.to_string();
    return *metadata;
  }
  bool tmp_empty() { return fs::is_empty(store_->tmp_dir()); }

  fs::path root_;
  std::unique_ptr<LocalFileStore> store_;
};

TEST_F(Store, PathsAndRelativeNames) {
  auto path = store_->path_for("blob-1");
  const std::string digest = "201e33b22aa4f55a98fc6b5b14c6ab2b99bccc1b1ca0a18af0454a047f6b0672";
  EXPECT_EQ(path, root_ / "blobs" / "20" / "1e" / (digest + ".blob"));
  EXPECT_NE(store_->path_for("Blob-1").parent_path(), path.parent_path());
  EXPECT_EQ(store_->relative(root_ / "tmp" / "x"), "tmp/x");
  EXPECT_EQ(store_->relative("/elsewhere/x"), "/elsewhere/x");
  EXPECT_EQ(store_->relative(root_ / "bad\xFF"), "bad\xEF\xBF\xBD");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  auto relative = LocalFileStore::create("cache");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(relative->root(), root_ / "cache");
}

TEST_F(Store, RootWithNulIsRefused) {
  auto store = LocalFileStore::create(std::string("/tmp/a\0b", 8));
  ASSERT_FALSE(store.has_value());
  EXPECT_TRUE(store.error().is_io_kind(IoKind::InvalidInput));
  EXPECT_EQ(store.error().message(), "create blob cache root");
}

TEST_F(Store, DirectoriesArePrivateAfterPrepareAndPurge) {
  fs::permissions(root_ / "blobs", fs::perms::all);
  ASSERT_TRUE(store_->prepare());
  commit("x", "y");
  for (auto dir : {root_, root_ / "tmp", root_ / "blobs", store_->path_for("x").parent_path()})
    EXPECT_EQ(mode_of(dir), 0700u) << dir;
  EXPECT_EQ(mode_of(store_->path_for("x")), 0600u);
  fs::remove_all(root_ / "tmp");
  ASSERT_TRUE(store_->purge());
  for (auto dir : {root_, root_ / "tmp", root_ / "blobs"}) {
    EXPECT_EQ(mode_of(dir), 0700u);
    EXPECT_TRUE(fs::is_empty(dir) || dir == root_);
  }
}

TEST_F(Store, CommittedFileIsByteExactAndReadsBack) {
  auto metadata = commit("blob-1", "hello");
  std::string expected = std::string("QLBC\x01\0\0\0\x06\0\0\0\x05\0\0\0\0\0\0\0", 20);
  uint32_t crc = crc32c(0, bytes("blob-1hello"));
  for (int i = 0; i < 4; ++i) expected += static_cast<char>(crc >> (8 * i));
  expected += "blob-1hello";
  EXPECT_EQ(slurp(metadata.path), expected);
  EXPECT_TRUE(tmp_empty());
  auto read = store_->read(metadata);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(read->data()), read->size()), "hello");
  auto inspected = store_->inspect(metadata.path);
  ASSERT_TRUE(inspected.has_value());
  EXPECT_EQ(inspected->file_len, metadata.file_len);
  EXPECT_GT(inspected->modified.seconds, 0) << "inspection takes the real modification time";
}

TEST_F(Store, CommitNeverReplacesWhatIsAtTheFinalPath) {
  struct Case {
    const char* name;
    void (*occupy)(const fs::path&);
  };
  for (auto c : {Case{"file", [](const fs::path& p) { spit(p, "other"); }},
                 Case{"empty directory", [](const fs::path& p) { fs::create_directories(p); }},
                 Case{"dangling link", [](const fs::path& p) {
                        fs::create_directories(p.parent_path());
                        fs::create_symlink("/nonexistent/target", p);
                      }}}) {
    SCOPED_TRACE(c.name);
    std::string id = std::string("taken-") + c.name;
    c.occupy(store_->path_for(id));
    auto metadata = calculate_metadata(id, bytes("payload"), store_->path_for(id));
    auto committed = store_->commit(*metadata, bytes("payload"));
    ASSERT_FALSE(committed.has_value());
    EXPECT_EQ(committed.error().error.to_string(), "blob ID content mismatch: \"" + id + "\"");
    EXPECT_FALSE(committed.error().leftover_temp.has_value());
    EXPECT_TRUE(tmp_empty());
  }
}

TEST_F(Store, TempNamesAreSequentialAndExhaustionIsReported) {
  const std::string pid = std::to_string(getpid());
  uint64_t next = TEMP_SEQUENCE.load();
  for (uint64_t n = next; n < next + TEMP_NAME_ATTEMPTS; ++n) spit(store_->tmp_dir() / ("blob-" + pid + "-" + std::to_string(n) + ".tmp"), "");
  auto metadata = calculate_metadata("t", bytes("p"), store_->path_for("t"));
  auto committed = store_->commit(*metadata, bytes("p"));
  ASSERT_FALSE(committed.has_value());
  EXPECT_EQ(committed.error().error.to_string(), "create blob cache temp file: temporary filename attempts exhausted");
  EXPECT_EQ(TEMP_SEQUENCE.load(), next + TEMP_NAME_ATTEMPTS) << "every attempt consumes a number";
  EXPECT_TRUE(fs::is_directory(store_->path_for("t").parent_path())) << "shard directories stay";
  ASSERT_TRUE(store_->purge_temp());
  EXPECT_TRUE(tmp_empty()) << "stray temp files are purged";
  EXPECT_TRUE(store_->commit(*metadata, bytes("p")).has_value());
}

// Each damage is applied to a valid file of ID "victim", payload of 70000
// bytes (two inspect chunks), and must be reported as corrupt by both readers.
TEST_F(Store, EveryKindOfDamageIsCorruptNeverData) {
  const std::string payload(70000, 'v');
  struct Case {
    const char* expected;  // prefix of the message, before the relative path
    void (*damage)(std::string& file);
  };
  const Case cases[] = {
      {"truncated header", [](std::string& f) { f.resize(23); }},
      {"invalid magic", [](std::string& f) { f[0] = 'X'; }},
      {"unsupported version 7", [](std::string& f) { f[4] = 7; }},
      {"non-zero reserved bytes", [](std::string& f) { f[6] = 1; }},
      {"invalid blob ID length", [](std::string& f) { f[8] = f[9] = f[10] = f[11] = 0; }},
      {"invalid blob ID length", [](std::string& f) { f[10] = 0x20; }},
      {"file length overflow", [](std::string& f) { std::fill(f.begin() + 12, f.begin() + 20, '\xFF'); }},
      {"file length mismatch", [](std::string& f) { f += 'x'; }},
      {"file length mismatch", [](std::string& f) { f.pop_back(); }},
      {"file length mismatch", [](std::string& f) { f[19] = 0x7F; }},
      {"checksum mismatch", [](std::string& f) { f[f.size() - 1] ^= 1; }},
      {"checksum mismatch", [](std::string& f) { f[24 + 6 + 65536] ^= 1; }},
      {"blob ID path mismatch", [](std::string& f) { f[24] = 'W'; }},
      {"invalid blob ID UTF-8", [](std::string& f) { f[24] = '\xFF'; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    auto metadata = commit("victim", payload);
    std::string file = slurp(metadata.path);
    c.damage(file);
    spit(metadata.path, file);
    const std::string r = store_->relative(metadata.path);
    for (auto result : {store_->read(metadata).has_value() ? std::optional<BlobCacheError>() : store_->read(metadata).error(),
                        store_->inspect(metadata.path).has_value() ? std::optional<BlobCacheError>()
                                                                   : store_->inspect(metadata.path).error()}) {
      ASSERT_TRUE(result.has_value()) << "damaged file returned as data";
      EXPECT_EQ(result->kind(), BlobCacheError::Kind::CorruptEntry);
      EXPECT_NE(result->to_string().find(c.expected), std::string::npos) << result->to_string();
      EXPECT_NE(result->to_string().find(r), std::string::npos) << result->to_string();
    }
    fs::remove(metadata.path);
  }
}

TEST_F(Store, ReadChecksTheRecordAndMisplacedFiles) {
  auto a = commit("a", "one");
  auto other = a;
  other.checksum ^= 1;
  EXPECT_NE(store_->read(other).error().to_string().find("metadata mismatch"), std::string::npos);
  auto b_path = store_->path_for("b");
  spit(b_path, slurp(a.path));
  EXPECT_NE(store_->inspect(b_path).error().to_string().find("blob ID path mismatch"), std::string::npos);
  fs::remove(a.path);
  EXPECT_TRUE(store_->read(a).error().is_io_kind(IoKind::NotFound));
}

TEST_F(Store, NonRegularFilesAreCorruptAndNeverBlock) {
  auto fifo = store_->path_for("fifo");
  fs::create_directories(fifo.parent_path());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(store_->inspect(fifo).error().to_string().find("non-regular file"), std::string::npos);

  auto outside = root_ / "outside.txt";
  spit(outside, "secret");
  auto link = store_->path_for("link");
  fs::create_directories(link.parent_path());
  fs::create_symlink(outside, link);
  auto metadata = calculate_metadata("link", bytes("secret"), link);
  EXPECT_EQ(store_->read(*metadata).error().kind(), BlobCacheError::Kind::CorruptEntry) << "links are not followed";
}

TEST_F(Store, ScanOrdersNewestFirstAndSetsCorruptFilesApart) {
  auto old_file = commit("old", "1");
  auto new_file = commit("new", "2");
  auto tie_a = commit("tie-a", "3");
  auto tie_b = commit("tie-b", "4");
  auto set_time = [](const fs::path& p, time_t s) {
    struct timespec t[2] = {{s, 0}, {s, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
  };
  set_time(old_file.path, 10);
  set_time(new_file.path, 20);
  set_time(tie_a.path, 5);
  set_time(tie_b.path, 5);
  auto shard = old_file.path.parent_path();
  spit(shard / "x.txt", "ignored");
  spit(shard / "garbage.blob", "garbage");
  spit(root_ / "blobs" / "misplaced.blob", slurp(new_file.path));
  spit(shard / ".blob", "no extension");
  fs::create_symlink(old_file.path, shard / "link.blob");

  auto scan = store_->scan();
  ASSERT_TRUE(scan.has_value());
  ASSERT_EQ(scan->entries.size(), 4u);
  EXPECT_EQ(scan->entries[0].blob_id, "new");
  EXPECT_EQ(scan->entries[1].blob_id, "old");
  auto [first_tie, second_tie] = std::minmax(tie_a.path, tie_b.path);
  EXPECT_EQ(scan->entries[2].path, first_tie);
  EXPECT_EQ(scan->entries[3].path, second_tie);
  std::vector<fs::path> invalid = {root_ / "blobs" / "misplaced.blob", shard / "garbage.blob"};
  std::sort(invalid.begin(), invalid.end());
  EXPECT_EQ(scan->invalid, invalid);

  fs::remove_all(root_ / "blobs");
  EXPECT_EQ(store_->scan().error().to_string().rfind("scan blob cache directory blobs: ", 0), 0u);
}

TEST_F(Store, PurgeRemovesLinksWithoutFollowingThem) {
  auto canary_dir = root_ / "canary";
  spit(canary_dir / "keep", "keep");
  commit("a", "1");
  fs::create_directory_symlink(canary_dir, root_ / "blobs" / "escape");
  fs::create_symlink(canary_dir / "keep", root_ / "tmp" / "escape");
  ASSERT_TRUE(store_->purge());
  EXPECT_EQ(slurp(canary_dir / "keep"), "keep");
  EXPECT_TRUE(fs::is_empty(root_ / "blobs"));
  EXPECT_TRUE(store_->remove(store_->path_for("a")).has_value()) << "removing a removed file succeeds";
}

}  // namespace
}  // namespace qel
