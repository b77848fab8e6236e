// The checksum, the error texts and the recycled payload buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/format.h"
#include "store/payload.h"

namespace qel {
namespace {

// The header's layout is pinned by the store suite's byte-exact file, the
// fuzzer's decoding oracle and the Python suites' own reader; ID-then-payload
// checksumming by that same file.
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

}  // namespace
}  // namespace qel
