// The blob file format: a 24-byte header, the blob ID, the payload.
//
//   0  4  magic "QLBC"         12  8  payload_len (u64 LE)
//   4  1  version (1)          20  4  CRC-32C of ID then payload (u32 LE)
//   5  3  reserved, zero       24     blob ID (id_len bytes), payload
//   8  4  id_len (u32 LE)
//
// Constants and pure functions only: everything here may run on any thread.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "store/error.h"

namespace qel {

inline constexpr std::array<uint8_t, 4> MAGIC = {'Q', 'L', 'B', 'C'};
inline constexpr uint8_t FORMAT_VERSION = 1;
inline constexpr size_t HEADER_LEN = 24;
inline constexpr size_t MAX_BLOB_ID_LEN = 1048576;

struct BlobHeader {
  uint64_t payload_len;
  uint32_t id_len;
  uint32_t checksum;
};

// Seconds and nanoseconds since the Unix epoch.
struct FileTime {
  int64_t seconds = 0;
  uint32_t nanos = 0;
  auto operator<=>(const FileTime&) const = default;
};

struct FileMetadata {
  std::string blob_id;
  // As text: an open holds one record per blob file until it has offered
  // them all, and a std::filesystem::path keeps a list of its components
  // beside the text, several times the text's size.
  std::string path;
  FileTime modified;
  int64_t file_len = 0;  // header + ID + payload
  uint32_t checksum = 0;
  // Set only by the store, when `path` is known to be where `blob_id` belongs
  // and the ID is valid UTF-8: reads of the record then need not hash the ID.
  bool path_of_id = false;
};

// The checks every operation applies to a blob ID before it takes a lock.
Result<void> check_blob_id(std::string_view blob_id);

// CRC-32C continued from `crc` (0 to start) over `bytes`.
uint32_t crc32c(uint32_t crc, std::span<const uint8_t> bytes);

std::array<uint8_t, HEADER_LEN> encode_header(uint32_t id_len, uint64_t payload_len, uint32_t checksum);

// Checks magic, version and reserved bytes only; lengths are the caller's.
Result<BlobHeader> decode_header(std::span<const uint8_t, HEADER_LEN> bytes);

// The metadata of the file that committing this blob at `path` will produce.
Result<FileMetadata> calculate_metadata(std::string_view blob_id, std::span<const uint8_t> payload, std::string path);

}  // namespace qel
