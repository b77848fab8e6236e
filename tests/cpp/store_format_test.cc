#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <tuple>

#include "blob_cache/format.h"

namespace qel {
namespace {

std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(Format, Crc32cMatchesPublishedVectorAndCoversIdThenPayload) {
  EXPECT_EQ(crc32c(0, bytes("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c(crc32c(0, bytes("1234")), bytes("56789")), 0xE3069283u);
  EXPECT_EQ(calculate_metadata("a", bytes("bc"), "/p")->checksum, 0x364B3FB7u) << "one continuous CRC over ID then payload";
  EXPECT_EQ(calculate_metadata("id", bytes(""), "/p")->checksum, crc32c(0, bytes("id")));
}

TEST(Format, HeaderIsByteExactAndRoundTrips) {
  auto header = encode_header(6, 0x0102030405060708ull, 0xAABBCCDD);
  const uint8_t expected[HEADER_LEN] = {'Q', 'L', 'B', 'C', 1, 0, 0, 0, 6, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0xDD, 0xCC, 0xBB, 0xAA};
  EXPECT_TRUE(std::equal(header.begin(), header.end(), expected));
  auto decoded = decode_header(header);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(std::tuple(decoded->id_len, decoded->payload_len, decoded->checksum), std::tuple(6u, 0x0102030405060708ull, 0xAABBCCDDu));
}

TEST(Format, RecycledPayloadBuffersAreNeverShared) {
  // More live payloads than the pool keeps spares, of sizes in and around
  // the recycled range, twice over so the second round draws on the spares.
  for (int round = 0; round < 2; ++round) {
    std::vector<Payload> live;
    for (size_t size : {size_t{1} << 16, size_t{1} << 20, size_t{4} << 20, (size_t{4} << 20) + 1, size_t{100},
                        size_t{1} << 16, size_t{3} << 20, size_t{1} << 16})
      live.emplace_back(size);
    for (size_t i = 0; i < live.size(); ++i) {
      std::memset(live[i].data(), static_cast<int>(i), live[i].size());
    }
    for (size_t i = 0; i < live.size(); ++i) {
      EXPECT_EQ(std::count(live[i].bytes().begin(), live[i].bytes().end(), static_cast<uint8_t>(i)),
                static_cast<ptrdiff_t>(live[i].size())) << "payload " << i << " round " << round;
    }
  }
}

TEST(Errors, DisplayTexts) {
  const std::pair<BlobCacheError, std::string> cases[] = {
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
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
  EXPECT_TRUE(BlobCacheError::io_errno("x", ENOENT).is_io_kind(IoKind::NotFound));
  EXPECT_TRUE(BlobCacheError::io_errno("x", EEXIST).is_io_kind(IoKind::AlreadyExists));
}

}  // namespace
}  // namespace qel
