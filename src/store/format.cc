#include "store/format.h"

#include <isa-l.h>

#include <climits>
#include <cstring>
#include <limits>

namespace qel {
namespace {

void put_le(uint8_t* out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace

Result<void> check_blob_id(std::string_view blob_id) {
  if (blob_id.empty()) return unexpected(BlobCacheError::invalid_blob("blob ID must not be empty"));
  if (blob_id.size() > MAX_BLOB_ID_LEN)
    return unexpected(BlobCacheError::invalid_blob("blob ID exceeds " + std::to_string(MAX_BLOB_ID_LEN) + " bytes"));
  return {};
}

uint32_t crc32c(uint32_t crc, std::span<const uint8_t> bytes) {
  // The library takes an int length and works on the uncomplemented register.
  uint32_t state = ~crc;
  while (!bytes.empty()) {
    size_t chunk = std::min<size_t>(bytes.size(), size_t{1} << 30);
    state = crc32_iscsi(const_cast<unsigned char*>(bytes.data()), static_cast<int>(chunk), state);
    bytes = bytes.subspan(chunk);
  }
  return ~state;
}

std::array<uint8_t, HEADER_LEN> encode_header(uint32_t id_len, uint64_t payload_len, uint32_t checksum) {
  std::array<uint8_t, HEADER_LEN> header{};
  std::memcpy(header.data(), MAGIC.data(), MAGIC.size());
  header[4] = FORMAT_VERSION;
  put_le(&header[8], id_len, 4);
  put_le(&header[12], payload_len, 8);
  put_le(&header[20], checksum, 4);
  return header;
}

Result<BlobHeader> decode_header(std::span<const uint8_t, HEADER_LEN> bytes) {
  if (std::memcmp(bytes.data(), MAGIC.data(), MAGIC.size()) != 0)
    return unexpected(BlobCacheError::corrupt_entry("invalid magic"));
  if (bytes[4] != FORMAT_VERSION)
    return unexpected(BlobCacheError::corrupt_entry("unsupported version " + std::to_string(bytes[4])));
  if (bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0)
    return unexpected(BlobCacheError::corrupt_entry("non-zero reserved bytes"));
  return BlobHeader{.payload_len = get_le(&bytes[12], 8),
                    .id_len = static_cast<uint32_t>(get_le(&bytes[8], 4)),
                    .checksum = static_cast<uint32_t>(get_le(&bytes[20], 4))};
}

Result<FileMetadata> calculate_metadata(std::string_view blob_id, std::span<const uint8_t> payload, std::string path) {
  if (auto checked = check_blob_id(blob_id); !checked) return unexpected(std::move(checked).error());
  constexpr uint64_t max_len = std::numeric_limits<int64_t>::max();
  uint64_t prefix = HEADER_LEN + blob_id.size();
  if (payload.size() > max_len - prefix)
    return unexpected(BlobCacheError::invalid_blob("complete file size overflows i64"));
  auto id_bytes = std::span(reinterpret_cast<const uint8_t*>(blob_id.data()), blob_id.size());
  return FileMetadata{.blob_id = std::string(blob_id),
                      .path = std::move(path),
                      .modified = {},
                      .file_len = static_cast<int64_t>(prefix + payload.size()),
                      .checksum = crc32c(crc32c(0, id_bytes), payload)};
}

}  // namespace qel
