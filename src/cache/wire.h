// The messages between the processes of one cache directory: a process that
// is not the directory's owner asks the owner to admit, delete, count, and
// hears of the reads it made. Each message is one frame:
//
//   0  4  body length (u32 LE, at most MAX_FRAME_LEN)
//   4  1  message type          then the type's fields, in order:
//         integers little-endian, strings as a u32 length and the bytes
//
// A frame from another process is input: decoding bounds every length and
// refuses trailing bytes, so a malformed frame gives an error and nothing
// else. Pure functions over values: call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/error.h"
#include "store/format.h"

namespace qel::wire {

inline constexpr uint32_t PROTOCOL_VERSION = 1;
inline constexpr size_t LENGTH_PREFIX = 4;
// A blob ID of the longest kind and room for the rest.
inline constexpr size_t MAX_FRAME_LEN = MAX_BLOB_ID_LEN + 4096;
// Access reports are split to stay far below it.
inline constexpr size_t MAX_REPORT_LEN = 65536;

enum class Type : uint8_t {
  Hello = 1,   // version, max_bytes, frequency_counters -> nothing but success;
               // max_bytes 0 greets as a tool, which takes the owner's settings
  Put,         // dir, name: a temp file to adopt -> value
  Delete,      // blob_id -> nothing
  DeleteAll,   // -> nothing
  Contains,    // blob_id -> value
  Stats,       // -> blobs, bytes, max_bytes, evictions
  Reads,       // ids: gets made, for admission; never answered
};

struct Request {
  Type type = Type::Stats;
  uint32_t version = PROTOCOL_VERSION;
  int64_t max_bytes = 0;
  int64_t frequency_counters = 0;
  std::string dir;
  std::string name;
  std::string blob_id;
  std::vector<std::string> ids;
};

struct Reply {
  std::optional<BlobCacheError> error;  // the request failed with this
  bool value = false;
  int64_t blobs = 0;
  int64_t bytes = 0;
  int64_t max_bytes = 0;
  uint64_t evictions = 0;
};

// Each returns the whole frame, length prefix included.
std::vector<uint8_t> encode_request(const Request& request);
std::vector<uint8_t> encode_reply(Type type, const Reply& reply);

// The body of one frame, without its length prefix.
Result<Request> decode_request(std::span<const uint8_t> body);
Result<Reply> decode_reply(Type type, std::span<const uint8_t> body);

// The body length a frame's prefix announces; an error past MAX_FRAME_LEN.
Result<uint32_t> decode_length(std::span<const uint8_t, LENGTH_PREFIX> prefix);

}  // namespace qel::wire
