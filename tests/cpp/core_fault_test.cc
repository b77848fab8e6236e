// Every system call an operation makes, failed in turn through the store's
// fault seam: the operation succeeds or fails with the injected error in its
// message, and afterwards the cache still works, holds no wrong bytes and
// leaves no temp file or stray blob file behind.
#include <unistd.h>

#include <map>
#include <set>

#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;
using posix::Call;

constexpr int64_t BUDGET = 1 << 24;
const std::vector<std::string> ALL_IDS = {"keep", "big", "new", "gone", "after"};

Result<std::unique_ptr<BlobCache>> open_at(const std::string& dir) { return BlobCache::open({dir, BUDGET, 1000}); }

// An operation on the open cache, or, with `opens` set, an open of the
// closed cache's directory (`opens` below it) that the sweep makes itself.
struct Sweep {
  std::function<Result<void>(BlobCache&)> action;
  std::optional<std::string> opens;
};

class Faults : public TempDir {
 protected:
  // The directory is named relative to the working directory, so that an
  // open resolves it.
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
  // `keeps`: "keep" and "big" must outlive the action.
  CallCounts run(const Sweep& sweep, bool keeps, const std::string& dir, Call call, uint64_t nth, int code) {
    SCOPED_TRACE(dir);
    std::unique_ptr<BlobCache> cache = must_open(dir);
    if (!cache) return {};
    for (const char* id : {"keep", "gone", "big"}) EXPECT_TRUE(*cache->put(id, bytes(payload_of(id))));
    if (sweep.opens) {
      EXPECT_TRUE(cache->close().has_value());
      cache.reset();
    }
    const std::string at = dir + sweep.opens.value_or("");
    const CallCounts counts = with_fault(call, nth, code, [&]() -> Result<void> {
      if (!sweep.opens) return sweep.action(*cache);
      auto opened = open_at(at);
      if (!opened) return unexpected(std::move(opened).error());
      cache = std::move(opened).value();
      return {};
    });
    // A failed open is followed by one that must work, and a close by an open.
    if (!cache || !cache->stats()) {
      cache.reset();
      cache = must_open(at);
    }
    if (!cache) return counts;
    // A file that cannot be read is set aside as a damaged one is: a failed
    // read may cost a blob, never return wrong bytes.
    keeps = keeps && !(call == Call::Read && nth != 0);
    check_sound(*cache, at, keeps);
    EXPECT_TRUE(cache->close().has_value());
    cache = must_open(at);
    if (!cache) return counts;
    const std::set<std::string> held = check_sound(*cache, at, keeps);
    EXPECT_TRUE(cache->close().has_value());
    // No stray files: every blob file is one the reopened cache holds.
    std::set<fs::path> expected_files, found;
    for (const auto& id : held) expected_files.insert(root_ / at / fs::relative(path_of(id), root_));
    for (auto& entry : fs::recursive_directory_iterator(root_ / at / "blobs"))
      if (!entry.is_directory()) found.insert(entry.path());
    EXPECT_EQ(found, expected_files);
    return counts;
  }

  static std::unique_ptr<BlobCache> must_open(const std::string& dir) {
    auto opened = open_at(dir);
    EXPECT_TRUE(opened.has_value()) << dir << ": " << opened.error().to_string();
    return opened ? std::move(opened).value() : nullptr;
  }

  // After a fault: a put works and clears what the fault left in tmp, every
  // ID reads back right or not at all, and what must be held is. Returns
  // the IDs held.
  std::set<std::string> check_sound(BlobCache& cache, const std::string& at, bool keeps) {
    auto put = cache.put("after", bytes(payload_of("after")));
    EXPECT_TRUE(put.has_value() && *put) << (put ? "refused" : put.error().to_string());
    EXPECT_TRUE(files_under(at + "/tmp").empty()) << "temp file left past the next put";
    std::set<std::string> held;
    for (const auto& id : ALL_IDS) {
      auto got = read_into(cache, id);
      if (!got) {
        ADD_FAILURE() << id << ": " << got.error().to_string();
        continue;
      }
      EXPECT_EQ(got->value_or(payload_of(id)), payload_of(id)) << "wrong bytes for " << id;
      if (*got) held.insert(id);
    }
    std::vector<std::string> required = {"after"};
    if (keeps) required.insert(required.end(), {"keep", "big"});
    for (const auto& id : required) EXPECT_TRUE(held.contains(id)) << id << " lost";
    return held;
  }

  fs::path cwd_;
};

std::map<std::string_view, uint64_t> calls_made() {
  std::map<std::string_view, uint64_t> made;
  for (size_t k = 0; k < posix::CALL_KINDS; ++k)
    if (uint64_t n = posix::calls_made(static_cast<Call>(k))) made[posix::call_name(static_cast<Call>(k))] = n;
  return made;
}

// Only a durable cache flushes a put's file before publishing it. A get of a
// held blob is one open, one fstat, one read and one close, also into the
// caller's buffer, also when it stops for the buffer first: stopping reads
// nothing.
TEST_F(Faults, APutSyncsOnlyWhenDurableAndAGetMakesFourSystemCalls) {
  auto unsynced = std::move(BlobCache::open({"unsynced", BUDGET, 1000, false})).value();
  auto cache = must_open("synced");
  const std::string payload = payload_of("big");
  for (auto* c : {unsynced.get(), cache.get()}) {
    posix::arm_fault(Call::Open, 0, 0);
    EXPECT_TRUE(*c->put("big", bytes(payload)));
    EXPECT_EQ(posix::calls_made(Call::Fsync), c == cache.get() ? 1u : 0u);
  }
  StringSink sink(true);
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

TEST_F(Faults, EveryCallOfEveryOperationCanFailWithoutHarm) {
  std::map<std::string, Sweep> sweeps = {
      {"close", {[](BlobCache& c) { return c.close(); }, std::nullopt}}, {"open", {{}, ""}}, {"open new", {{}, "/deeper"}}};
  for (auto& [name, action] : operations<BlobCache>()) sweeps[name] = {action, std::nullopt};
  std::set<Call> failed;
  int point = 0;
  for (const auto& entry : sweeps) {
    const std::string& name = entry.first;  // bound by name: lambdas cannot capture a structured binding
    SCOPED_TRACE(name);
    std::string base = name;
    std::replace(base.begin(), base.end(), ' ', '-');
    const bool keeps = name != "delete_all" && name != "open new";
    fail_each_call([&](Call call, uint64_t n, int code) {
      return run(entry.second, keeps, base + "-" + (n == 0 ? "count" : std::string(posix::call_name(call)) + "-" + std::to_string(n)),
                 call, n, code);
    }, point, failed);
    if (HasFatalFailure()) return;
  }
  // The socket's calls are a peer's, swept with the peers.
  for (size_t k = 0; k < static_cast<size_t>(Call::Socket); ++k)
    EXPECT_TRUE(failed.count(static_cast<Call>(k))) << posix::call_name(static_cast<Call>(k)) << " never failed";
}

}  // namespace
}  // namespace qel
