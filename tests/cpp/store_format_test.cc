#include <gtest/gtest.h>

#include "store/format.h"

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

}  // namespace
}  // namespace qel
