#include <gtest/gtest.h>

#include <cerrno>

#include "blob_cache/format.h"

namespace qel {
namespace {

std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(Format, Crc32cMatchesPublishedVectorAndContinues) {
  EXPECT_EQ(crc32c(0, bytes("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c(crc32c(0, bytes("1234")), bytes("56789")), 0xE3069283u);
  auto a = calculate_metadata("a", bytes("bc"), "/p");
  auto ab = calculate_metadata("ab", bytes("c"), "/p");
  EXPECT_EQ(a->checksum, crc32c(0, bytes("abc")));
  EXPECT_EQ(a->checksum, ab->checksum) << "one continuous CRC over ID then payload";
  EXPECT_EQ(calculate_metadata("id", bytes(""), "/p")->checksum, crc32c(0, bytes("id")));
}

TEST(Format, HeaderIsByteExactAndRoundTrips) {
  auto header = encode_header(6, 0x0102030405060708ull, 0xAABBCCDD);
  const uint8_t expected[HEADER_LEN] = {'Q', 'L', 'B', 'C', 1, 0, 0, 0, 6, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0xDD, 0xCC, 0xBB, 0xAA};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), expected));
  auto decoded = decode_header(header);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->id_len, 6u);
  EXPECT_EQ(decoded->payload_len, 0x0102030405060708ull);
  EXPECT_EQ(decoded->checksum, 0xAABBCCDDu);
}

TEST(Format, HeaderDefectsInCheckOrder) {
  struct Case {
    size_t offset;
    uint8_t value;
    const char* text;
  };
  for (auto c : {Case{0, 0, "corrupt blob cache entry: invalid magic"}, Case{4, 0, "corrupt blob cache entry: unsupported version 0"},
                 Case{4, 2, "corrupt blob cache entry: unsupported version 2"},
                 Case{5, 1, "corrupt blob cache entry: non-zero reserved bytes"},
                 Case{7, 0x80, "corrupt blob cache entry: non-zero reserved bytes"}}) {
    auto header = encode_header(1, 1, 0);
    header[c.offset] = c.value;
    if (c.offset == 0) header[4] = 9;  // magic is checked before version
    auto decoded = decode_header(header);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().to_string(), c.text);
  }
}

TEST(Format, BlobIdLimitsCountBytes) {
  EXPECT_TRUE(check_blob_id(std::string(MAX_BLOB_ID_LEN, 'x')).has_value());
  EXPECT_EQ(check_blob_id(std::string(MAX_BLOB_ID_LEN + 1, 'x')).error().to_string(),
            "invalid blob: blob ID exceeds 1048576 bytes");
  std::string two_byte;
  for (int i = 0; i < 524289; ++i) two_byte += "\xC3\xA9";
  EXPECT_FALSE(check_blob_id(two_byte).has_value());
  EXPECT_EQ(check_blob_id("").error().to_string(), "invalid blob: blob ID must not be empty");
  EXPECT_EQ(calculate_metadata("id", bytes("xyz"), "/p")->file_len, 24 + 2 + 3);
}

TEST(Errors, DisplayTexts) {
  struct Case {
    BlobCacheError error;
    std::string text;
  };
  const Case cases[] = {
      {BlobCacheError::closed(), "blob cache is closed"},
      {BlobCacheError::invalid_configuration("max_bytes must be positive"), "invalid blob cache configuration: max_bytes must be positive"},
      {BlobCacheError::invalid_blob("x"), "invalid blob: x"},
      {BlobCacheError::blob_id_mismatch("a/b"), "blob ID content mismatch: \"a/b\""},
      {BlobCacheError::blob_id_mismatch("q\"\\\t\r\n\x01z\xC3\xA9"), "blob ID content mismatch: \"q\\\"\\\\\\t\\r\\n\\u{1}z\xC3\xA9\""},
      {BlobCacheError::blob_id_mismatch(std::string("n\0", 2)), "blob ID content mismatch: \"n\\0\""},
      {BlobCacheError::corrupt_entry("invalid magic"), "corrupt blob cache entry: invalid magic"},
      {BlobCacheError::reconciliation("r"), "blob cache reconciliation failed: r"},
      {BlobCacheError::policy("p"), "blob cache policy failed: p"},
      {BlobCacheError::io_errno("commit blob cache file", ENOENT), "commit blob cache file: No such file or directory (os error 2)"},
      {BlobCacheError::io("create blob cache temp file", OsError::custom(IoKind::AlreadyExists, "temporary filename attempts exhausted")),
       "create blob cache temp file: temporary filename attempts exhausted"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
  EXPECT_TRUE(BlobCacheError::io_errno("x", ENOENT).is_io_kind(IoKind::NotFound));
  EXPECT_TRUE(BlobCacheError::io_errno("x", EEXIST).is_io_kind(IoKind::AlreadyExists));
}

}  // namespace
}  // namespace qel
