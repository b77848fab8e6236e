// Every system call an operation makes, failed in turn through the store's
// fault seam: the operation succeeds or fails with the injected error in its
// message, and afterwards the cache still works, holds no wrong bytes and
// leaves no temp file or stray blob file behind.
#include <unistd.h>

#include <functional>
#include <iostream>
#include <map>
#include <set>

#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;
using posix::Call;

constexpr int64_t BUDGET = 1 << 24;
const std::vector<std::string> ALL_IDS = {"keep", "big", "new", "gone", "other", "after"};

// Large enough for "big" to be inspected in several reads at an open.
std::string payload_of(const std::string& id) {
  return id == "big" ? std::string(3 * 65536 + 7, 'B') : std::string(4000 + id.size(), id[0]);
}

struct Sweep {
  std::vector<std::string> before;  // put first, without faults
  bool closed_before;               // the action opens the cache itself
  const char* opens;                // where the cache is, below the sweep's directory
  std::function<Result<void>(std::unique_ptr<BlobCache>&, const std::string& dir)> action;
  std::vector<std::string> must_hold;
};

Result<std::unique_ptr<BlobCache>> open_at(const std::string& dir) { return BlobCache::open({dir, BUDGET, 1000}); }

Result<void> done(Result<bool> result) {
  if (!result) return unexpected(std::move(result).error());
  return {};
}

// The directory is named relative to the working directory, so that an open
// resolves it.
const std::map<std::string, Sweep> SWEEPS = {
    {"put", {{"keep"}, false, "", [](auto& cache, auto&) { return done(cache->put("new", bytes(payload_of("new")))); }, {"keep"}}},
    {"put again", {{"keep"}, false, "", [](auto& cache, auto&) { return done(cache->put("keep", bytes(payload_of("keep")))); },
                   {"keep"}}},
    {"get", {{"keep"}, false, "", [](auto& cache, auto&) -> Result<void> {
               auto got = cache->get("keep");
               if (!got) return unexpected(std::move(got).error());
               if (*got && text(**got) != payload_of("keep")) return unexpected(BlobCacheError::engine("wrong bytes"));
               return {};
             }, {}}},
    {"delete", {{"keep", "gone"}, false, "", [](auto& cache, auto&) { return cache->delete_blob("gone"); }, {"keep"}}},
    {"delete_all", {{"gone"}, false, "", [](auto& cache, auto&) { return cache->delete_all(); }, {}}},
    {"open", {{"keep", "big"}, true, "", [](auto& cache, const std::string& dir) -> Result<void> {
                auto opened = open_at(dir);
                if (!opened) return unexpected(std::move(opened).error());
                cache = std::move(opened).value();
                return {};
              }, {"keep", "big"}}},
    {"open new", {{}, true, "/deeper", [](auto& cache, const std::string& dir) -> Result<void> {
                    auto opened = open_at(dir + "/deeper");
                    if (!opened) return unexpected(std::move(opened).error());
                    cache = std::move(opened).value();
                    return {};
                  }, {}}},
    {"close", {{"keep"}, false, "", [](auto& cache, auto&) { return cache->close(); }, {"keep"}}},
};

class Faults : public TempDir {
 protected:
  void SetUp() override {
    cwd_ = fs::current_path();
    fs::current_path(root_);
  }
  void TearDown() override {
    posix::disarm_faults();
    fs::current_path(cwd_);
    TempDir::TearDown();
  }

  // Runs `sweep` in `dir` with the nth call of `call` failing with `code`
  // (nth 0: nothing fails); returns the calls the action made, by kind.
  CallCounts run(const Sweep& sweep, const std::string& dir, Call call, uint64_t nth, int code) {
    SCOPED_TRACE(dir);
    std::unique_ptr<BlobCache> cache = must_open(dir);
    if (!cache) return {};
    for (const auto& id : sweep.before) EXPECT_TRUE(*cache->put(id, bytes(payload_of(id))));
    if (sweep.closed_before) {
      EXPECT_TRUE(cache->close().has_value());
      cache.reset();
    }
    const std::string at = dir + sweep.opens;
    const CallCounts counts = with_fault(call, nth, code, [&] { return sweep.action(cache, dir); });
    // A failed open is followed by one that must work, and a close by an open.
    if (!cache || !cache->stats()) {
      cache.reset();
      cache = must_open(at);
    }
    if (!cache) return counts;
    // A file that cannot be read is set aside as a damaged one is: a failed
    // read may cost a blob, never return wrong bytes.
    const auto must_hold = call == Call::Read && nth != 0 ? std::vector<std::string>{} : sweep.must_hold;
    check_sound(*cache, at, must_hold);
    EXPECT_TRUE(cache->close().has_value());
    cache.reset();
    cache = must_open(at);
    if (!cache) return counts;
    check_sound(*cache, at, must_hold);
    std::set<std::string> held;
    for (const auto& id : ALL_IDS) {
      auto got = cache->get(id);
      if (got && *got) held.insert(id);
    }
    EXPECT_TRUE(cache->close().has_value());
    // No stray files: every blob file is one the reopened cache holds.
    std::set<fs::path> expected_files, found;
    for (const auto& id : held) expected_files.insert(root_ / at / fs::relative(path_of(id), root_));
    for (auto& entry : fs::recursive_directory_iterator(root_ / at / "blobs"))
      if (!entry.is_directory()) found.insert(entry.path());
    EXPECT_EQ(found, expected_files);
    EXPECT_TRUE(files_under(at + "/tmp").empty());
    return counts;
  }

  static std::unique_ptr<BlobCache> must_open(const std::string& dir) {
    auto opened = open_at(dir);
    EXPECT_TRUE(opened.has_value()) << dir << ": " << opened.error().to_string();
    return opened ? std::move(opened).value() : nullptr;
  }

  // After a fault: a put works and clears what the fault left in tmp, every
  // ID reads back right or not at all, and `must_hold` is still held.
  void check_sound(BlobCache& cache, const std::string& at, const std::vector<std::string>& must_hold) {
    auto put = cache.put("after", bytes(payload_of("after")));
    ASSERT_TRUE(put.has_value()) << put.error().to_string();
    EXPECT_TRUE(*put);
    EXPECT_TRUE(files_under(at + "/tmp").empty()) << "temp file left past the next put";
    for (const auto& id : ALL_IDS) {
      auto got = cache.get(id);
      ASSERT_TRUE(got.has_value()) << id << ": " << got.error().to_string();
      const bool required = id == "after" || std::find(must_hold.begin(), must_hold.end(), id) != must_hold.end();
      if (*got) EXPECT_EQ(text(**got), payload_of(id)) << "wrong bytes for " << id;
      else EXPECT_FALSE(required) << id << " lost";
    }
  }

  fs::path cwd_;
};

std::map<std::string_view, uint64_t> calls_made() {
  std::map<std::string_view, uint64_t> made;
  for (size_t k = 0; k < posix::CALL_KINDS; ++k)
    if (uint64_t n = posix::calls_made(static_cast<Call>(k))) made[posix::call_name(static_cast<Call>(k))] = n;
  return made;
}

// A get of a held blob is one open, one fstat, one read and one close, also
// into the caller's buffer, also when it stops for the buffer first:
// stopping reads nothing.
TEST_F(Faults, GetIntoTheCallersBufferMakesFourSystemCalls) {
  auto cache = must_open("four-into");
  const std::string payload = payload_of("big");
  ASSERT_TRUE(*cache->put("big", bytes(payload)));
  struct Sink final : PayloadSink {
    std::optional<std::span<uint8_t>> buffer(size_t len) override {
      lengths.push_back(len);
      if (lengths.size() == 1) return std::nullopt;
      into.resize(len);
      return std::span(reinterpret_cast<uint8_t*>(into.data()), len);
    }
    std::vector<size_t> lengths;
    std::string into;
  } sink;
  posix::arm_fault(Call::Open, 0, 0);
  EXPECT_EQ(*cache->get_into("big", sink), ReadInto::Stopped);
  EXPECT_EQ(calls_made(), (std::map<std::string_view, uint64_t>{}));
  EXPECT_EQ(*cache->get_into("big", sink, true), ReadInto::Filled);
  EXPECT_EQ(calls_made(), (std::map<std::string_view, uint64_t>{{"openat2", 1}, {"stat", 1}, {"read", 1}, {"close", 1}}));
  posix::disarm_faults();
  EXPECT_EQ(sink.lengths, (std::vector<size_t>{payload.size(), payload.size()}));
  EXPECT_EQ(sink.into, payload);
  EXPECT_EQ(*cache->get_into("absent", sink), ReadInto::Missing);
  const auto stats = *cache->stats();
  EXPECT_EQ(std::pair(stats.hits, stats.misses), std::pair(uint64_t{1}, uint64_t{1}));
}

// Only a durable cache flushes a put's file before publishing it.
TEST_F(Faults, OnlyADurableCacheSyncsItsPuts) {
  for (const bool durable : {true, false}) {
    auto opened = BlobCache::open({durable ? "synced" : "unsynced", BUDGET, 1000, durable});
    ASSERT_TRUE(opened.has_value());
    posix::arm_fault(Call::Open, 0, 0);
    EXPECT_TRUE(*(*opened)->put("new", bytes(payload_of("new"))));
    EXPECT_EQ(posix::calls_made(Call::Fsync), durable ? 1u : 0u) << "durable " << durable;
    posix::disarm_faults();
    EXPECT_EQ(text(**(*opened)->get("new")), payload_of("new"));
  }
}

TEST_F(Faults, EveryCallOfEveryOperationCanFailWithoutHarm) {
  std::set<Call> failed;
  int point = 0;
  for (const auto& entry : SWEEPS) {
    const std::string& name = entry.first;  // bound by name: lambdas cannot capture a structured binding
    const Sweep& sweep = entry.second;
    SCOPED_TRACE(name);
    std::string base = name;
    std::replace(base.begin(), base.end(), ' ', '-');
    const size_t points = fail_each_call([&](Call call, uint64_t n, int code) {
      return run(sweep, base + "-" + (n == 0 ? "count" : std::string(posix::call_name(call)) + "-" + std::to_string(n)), call, n, code);
    }, point, failed);
    if (HasFatalFailure()) return;
    EXPECT_GT(points, 0u);
    std::cout << name << ": " << points << " failure points\n";
  }
  // The socket's calls are a peer's, swept with the peers.
  for (size_t k = 0; k < static_cast<size_t>(Call::Socket); ++k)
    EXPECT_TRUE(failed.count(static_cast<Call>(k))) << posix::call_name(static_cast<Call>(k)) << " never failed";
}

}  // namespace
}  // namespace qel
