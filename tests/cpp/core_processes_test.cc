// Several openers of one directory, in one process: the first is the owner,
// the others are peers and talk to it over the socket exactly as other
// processes do. Sharing, the hand-over when an owner goes, what only separate
// processes show (fork, SIGKILL, other users) and the refusal of other
// settings are the Python suites' to test.
#include <sys/socket.h>

#include <map>
#include <set>

#include "cache/link.h"
#include "cache/shared_cache.h"
#include "cache/wire.h"
#include "core_test_util.h"

namespace qel {
namespace {

using namespace testing_util;
using posix::Call;

constexpr int64_t BUDGET = 1 << 24;

class Processes : public TempDir {
 protected:
  std::unique_ptr<SharedCache> join() {
    auto opened = SharedCache::open({root_.string(), BUDGET, 1000});
    EXPECT_TRUE(opened.has_value()) << opened.error().to_string();
    return opened ? std::move(opened).value() : nullptr;
  }

  static bool put(SharedCache& cache, const std::string& id) {
    auto put = cache.put(id, bytes(payload_of(id)));
    EXPECT_TRUE(put.has_value()) << id << ": " << put.error().to_string();
    return put && *put;
  }
};

// A purge spares the temp directories of live writers and takes the rest.
TEST_F(Processes, OnlyTheTempFilesOfGoneWritersArePurged) {
  auto owner = join();
  auto peer = join();
  ASSERT_TRUE(put(*peer, "p"));
  std::set<std::string> live;
  for (auto& entry : fs::directory_iterator(root_ / "tmp")) live.insert(entry.path().filename());
  ASSERT_EQ(live.size(), 1u);  // the peer's: the owner has written nothing yet
  spit(root_ / "tmp" / "writer-gone" / "blob-1-1.tmp", "torn");
  spit(root_ / "tmp" / "blob-2-2.tmp", "loose");
  ASSERT_TRUE(owner->delete_all().has_value());
  std::set<std::string> left;
  for (auto& entry : fs::directory_iterator(root_ / "tmp")) left.insert(entry.path().filename());
  EXPECT_EQ(left, live);
  EXPECT_TRUE(put(*peer, "after"));
}

// A put the owner refuses still takes the peer's temp file with it.
TEST_F(Processes, APutTheOwnerRefusesLeavesNoTempFile) {
  auto owner = join();
  auto peer = join();
  ASSERT_TRUE(put(*peer, "p"));
  auto refused = peer->put("p", bytes("other bytes"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "blob ID content mismatch: \"p\"");
  EXPECT_EQ(files_under("tmp"), std::vector<fs::path>{});
}

// Frames no process of ours sends: each is answered with an error or ends
// its connection, and the owner goes on serving everyone else.
TEST_F(Processes, MalformedMessagesHarmNobody) {
  auto owner = join();
  auto peer = join();
  ASSERT_TRUE(put(*owner, "keep"));
  const fs::path canary_file = root_.string() + "-canary";
  spit(canary_file, "canary");
  auto frame = [](std::vector<uint8_t> body) {
    const auto len = static_cast<uint32_t>(body.size());
    body.insert(body.begin(), reinterpret_cast<const uint8_t*>(&len), reinterpret_cast<const uint8_t*>(&len) + 4);
    return body;
  };
  auto request = [](wire::Type type, std::string dir = {}, std::string name = {}) {
    wire::Request r;
    r.type = type;
    r.max_bytes = BUDGET;
    r.frequency_counters = 1000;
    r.dir = std::move(dir);
    r.name = std::move(name);
    return wire::encode_request(r);
  };
  const auto hello = request(wire::Type::Hello);
  const std::string canary = "../../" + canary_file.filename().string();
  const std::map<std::string, std::vector<std::vector<uint8_t>>> cases = {
      {"zero length", {{0, 0, 0, 0}}},
      {"huge length", {{0xff, 0xff, 0xff, 0xff}}},
      {"unknown type", {frame({99})}},
      {"trailing bytes", {frame({static_cast<uint8_t>(wire::Type::Stats), 1})}},
      {"request before hello", {request(wire::Type::DeleteAll)}},
      {"put outside tmp", {hello, request(wire::Type::Put, "..", "keep")}},
      {"put of a path", {hello, request(wire::Type::Put, "a/b", "c")}},
      {"put of the canary", {hello, request(wire::Type::Put, "..", canary)}},
      {"lying read count", {frame({static_cast<uint8_t>(wire::Type::Reads), 0xff, 0xff, 0xff, 0x7f})}},
  };
  auto identity = store().root_identity();
  ASSERT_TRUE(identity.has_value());
  for (const auto& [name, frames] : cases) {
    SCOPED_TRACE(name);
    auto socket = link::connect_to(link::address_of(*identity));
    ASSERT_TRUE(socket.has_value());
    const int fd = (*socket)->get();
    for (const auto& f : frames) ASSERT_TRUE(link::send_frame(fd, f).has_value());
    // Every case but the lying length ends in an error reply or a close;
    // replies come in order, so the last one is the bad frame's.
    ::shutdown(fd, SHUT_WR);
    std::vector<uint8_t> last;
    for (auto body = link::recv_frame(fd); body; body = link::recv_frame(fd)) last = *body;
    if (!last.empty()) {
      EXPECT_EQ(last[0], 1) << "answered as a success";
      // A temp file named outside the peer's own directory is refused by
      // name, before any open could be tried.
      if (name.starts_with("put")) {
        auto decoded = wire::decode_reply(wire::Type::Put, last);
        ASSERT_TRUE(decoded.has_value() && decoded->error);
        EXPECT_EQ(decoded->error->to_string(), "invalid blob: temp file name is not one entry of tmp");
      }
    }
    EXPECT_EQ(get(*peer, "keep"), payload_of("keep"));
    EXPECT_TRUE(put(*peer, "after " + name));
  }
  EXPECT_EQ(slurp(canary_file), "canary");
  fs::remove(canary_file);
}

// Every system call a peer's operation makes, the owner's serving it
// included, failed in turn: the operation succeeds or fails with the
// injected error, and afterwards both still work and hold no wrong bytes.
TEST_F(Processes, EveryCallOfAPeersOperationCanFailWithoutHarm) {
  std::set<Call> failed;
  int point = 0;
  for (const auto& entry : operations<SharedCache>()) {
    const std::string& name = entry.first;  // bound by name: lambdas cannot capture a structured binding
    SCOPED_TRACE(name);
    fail_each_call([&](Call call, uint64_t nth, int code) {
      fs::remove_all(root_ / "blobs");
      auto owner = join();
      auto peer = join();
      if (!owner || !peer) return CallCounts{};
      for (const char* id : {"keep", "gone"}) EXPECT_TRUE(put(*peer, id));
      const CallCounts counts = with_fault(call, nth, code, [&] { return entry.second(*peer); });
      for (SharedCache* cache : {peer.get(), owner.get()}) {
        EXPECT_TRUE(put(*cache, "after"));
        for (const char* id : {"keep", "gone", "new", "after"})
          if (auto got = get(*cache, id)) {
            EXPECT_EQ(*got, payload_of(id)) << "wrong bytes for " << id;
          }
      }
      if (name != "delete_all" && !(call == Call::Read && nth != 0)) {
        EXPECT_EQ(get(*owner, "keep"), payload_of("keep"));
      }
      return counts;
    }, point, failed);
    if (HasFatalFailure()) return;
  }
  for (const Call call : {Call::Send, Call::Recv}) EXPECT_TRUE(failed.count(call)) << posix::call_name(call) << " never failed";
}

}  // namespace
}  // namespace qel
