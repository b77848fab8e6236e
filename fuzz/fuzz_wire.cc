// Feeds arbitrary bytes to the decoders of the messages between the
// processes of one cache directory, as a frame body of each kind. Whatever
// decodes must encode back to a frame that decodes to the same message, and
// a decoded length never exceeds the frame's bound.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cache/wire.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

std::span<const uint8_t> body_of(const std::vector<uint8_t>& frame) {
  return std::span(frame).subspan(qel::wire::LENGTH_PREFIX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qel::wire;
  const std::span<const uint8_t> body(data, size);
  if (size >= LENGTH_PREFIX) {
    auto len = decode_length(std::span<const uint8_t, LENGTH_PREFIX>(data, LENGTH_PREFIX));
    require(!len || (*len > 0 && *len <= MAX_FRAME_LEN));
  }
  if (auto request = decode_request(body)) {
    const auto frame = encode_request(*request);
    auto again = decode_request(body_of(frame));
    require(again.has_value() && again->type == request->type && again->blob_id == request->blob_id &&
            again->dir == request->dir && again->name == request->name && again->ids == request->ids &&
            again->max_bytes == request->max_bytes && again->frequency_counters == request->frequency_counters);
  }
  for (const Type type : {Type::Hello, Type::Put, Type::Stats}) {
    auto reply = decode_reply(type, body);
    if (!reply) continue;
    auto again = decode_reply(type, body_of(encode_reply(type, *reply)));
    require(again.has_value() && again->value == reply->value && again->blobs == reply->blobs &&
            again->bytes == reply->bytes && again->max_bytes == reply->max_bytes && again->error.has_value() == reply->error.has_value());
    if (reply->error) require(again->error->to_string() == reply->error->to_string());
  }
  return 0;
}
