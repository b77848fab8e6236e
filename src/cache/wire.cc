#include "cache/wire.h"

#include <cstring>
#include <string_view>

namespace qel::wire {
namespace {

BlobCacheError malformed(std::string what) {
  return BlobCacheError::io("decode message between cache processes", OsError::custom(IoKind::InvalidInput, std::move(what)));
}

class Writer {
 public:
  explicit Writer(uint8_t type) {
    bytes_.assign(LENGTH_PREFIX, 0);
    bytes_.push_back(type);
  }
  Writer& u8(uint8_t v) { return fixed(v, 1); }
  Writer& u32(uint32_t v) { return fixed(v, 4); }
  Writer& u64(uint64_t v) { return fixed(v, 8); }
  Writer& i64(int64_t v) { return fixed(static_cast<uint64_t>(v), 8); }
  Writer& text(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  std::vector<uint8_t> frame() && {
    const uint64_t body = bytes_.size() - LENGTH_PREFIX;
    for (size_t i = 0; i < LENGTH_PREFIX; ++i) bytes_[i] = static_cast<uint8_t>(body >> (8 * i));
    return std::move(bytes_);
  }

 private:
  Writer& fixed(uint64_t v, int len) {
    for (int i = 0; i < len; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// Reads fields in order; the first that does not fit fails the reader and
// every later read, so a decoder checks once, at the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t u8() { return static_cast<uint8_t>(fixed(1)); }
  uint32_t u32() { return static_cast<uint32_t>(fixed(4)); }
  uint64_t u64() { return fixed(8); }
  int64_t i64() { return static_cast<int64_t>(fixed(8)); }
  std::string text(size_t max_len) {
    const uint32_t len = u32();
    if (len > max_len || len > bytes_.size() - at_) failed_ = true;
    if (failed_) return {};
    std::string s(reinterpret_cast<const char*>(bytes_.data() + at_), len);
    at_ += len;
    return s;
  }
  size_t left() const { return failed_ ? 0 : bytes_.size() - at_; }
  // Every field fit and nothing is left over.
  bool done() const { return !failed_ && at_ == bytes_.size(); }

 private:
  uint64_t fixed(size_t len) {
    if (failed_ || bytes_.size() - at_ < len) {
      failed_ = true;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) v |= uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += len;
    return v;
  }
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
  bool failed_ = false;
};

constexpr size_t MAX_TEXT = 4096;  // messages and names other than blob IDs

void write_error(Writer& w, const BlobCacheError& error) {
  w.u8(static_cast<uint8_t>(error.kind())).text(error.message());
  w.u32(static_cast<uint32_t>(error.source().code())).u8(static_cast<uint8_t>(error.source().kind()));
  w.text(error.source().code() == 0 ? error.source().to_string() : std::string());
}

std::optional<BlobCacheError> read_error(Reader& r) {
  using Kind = BlobCacheError::Kind;
  const auto kind = static_cast<Kind>(r.u8());
  std::string message = r.text(MAX_BLOB_ID_LEN + MAX_TEXT);
  const auto code = static_cast<int32_t>(r.u32());
  const auto io_kind = static_cast<IoKind>(r.u8());
  std::string os_text = r.text(MAX_TEXT);
  if (io_kind > IoKind::Other || code < 0) return std::nullopt;
  switch (kind) {
    case Kind::Closed: return BlobCacheError::closed();
    case Kind::InvalidConfiguration: return BlobCacheError::invalid_configuration(std::move(message));
    case Kind::InvalidBlob: return BlobCacheError::invalid_blob(std::move(message));
    case Kind::BlobIdMismatch: return BlobCacheError::blob_id_mismatch(std::move(message));
    case Kind::CorruptEntry: return BlobCacheError::corrupt_entry(std::move(message));
    case Kind::Reconciliation: return BlobCacheError::reconciliation(std::move(message));
    case Kind::Engine: return BlobCacheError::engine(std::move(message));
    case Kind::Io:
      return BlobCacheError::io(message, code != 0 ? OsError::from_errno(code) : OsError::custom(io_kind, std::move(os_text)));
  }
  return std::nullopt;
}

}  // namespace

std::vector<uint8_t> encode_request(const Request& request) {
  Writer w(static_cast<uint8_t>(request.type));
  switch (request.type) {
    case Type::Hello: w.u32(request.version).i64(request.max_bytes).i64(request.frequency_counters); break;
    case Type::Put: w.text(request.dir).text(request.name); break;
    case Type::Delete:
    case Type::Contains: w.text(request.blob_id); break;
    case Type::DeleteAll:
    case Type::Stats: break;
    case Type::Reads:
      w.u32(static_cast<uint32_t>(request.ids.size()));
      for (const auto& id : request.ids) w.text(id);
      break;
  }
  return std::move(w).frame();
}

Result<Request> decode_request(std::span<const uint8_t> body) {
  Reader r(body);
  Request request;
  const uint8_t type = r.u8();
  if (type < static_cast<uint8_t>(Type::Hello) || type > static_cast<uint8_t>(Type::Reads))
    return unexpected(malformed("unknown message type " + std::to_string(type)));
  request.type = static_cast<Type>(type);
  switch (request.type) {
    case Type::Hello:
      request.version = r.u32();
      request.max_bytes = r.i64();
      request.frequency_counters = r.i64();
      break;
    case Type::Put:
      request.dir = r.text(MAX_TEXT);
      request.name = r.text(MAX_TEXT);
      break;
    case Type::Delete:
    case Type::Contains: request.blob_id = r.text(MAX_BLOB_ID_LEN); break;
    case Type::DeleteAll:
    case Type::Stats: break;
    case Type::Reads: {
      const uint32_t count = r.u32();
      // Each ID takes at least its length: a count past that is a lie.
      if (count > r.left() / 4) return unexpected(malformed("read report count " + std::to_string(count)));
      request.ids.reserve(count);
      for (uint32_t i = 0; i < count; ++i) request.ids.push_back(r.text(MAX_BLOB_ID_LEN));
      break;
    }
  }
  if (!r.done()) return unexpected(malformed("message of type " + std::to_string(type) + " has the wrong length"));
  return request;
}

std::vector<uint8_t> encode_reply(Type type, const Reply& reply) {
  Writer w(reply.error ? 1 : 0);
  if (reply.error) {
    write_error(w, *reply.error);
  } else if (type == Type::Put || type == Type::Contains) {
    w.u8(reply.value ? 1 : 0);
  } else if (type == Type::Stats) {
    w.i64(reply.blobs).i64(reply.bytes).i64(reply.max_bytes).u64(reply.evictions);
  }
  return std::move(w).frame();
}

Result<Reply> decode_reply(Type type, std::span<const uint8_t> body) {
  Reader r(body);
  Reply reply;
  const uint8_t status = r.u8();
  if (status == 1) {
    reply.error = read_error(r);
    if (!reply.error) return unexpected(malformed("error reply with unknown kinds"));
  } else if (status != 0) {
    return unexpected(malformed("reply status " + std::to_string(status)));
  } else if (type == Type::Put || type == Type::Contains) {
    const uint8_t value = r.u8();
    if (value > 1) return unexpected(malformed("reply value " + std::to_string(value)));
    reply.value = value == 1;
  } else if (type == Type::Stats) {
    reply.blobs = r.i64();
    reply.bytes = r.i64();
    reply.max_bytes = r.i64();
    reply.evictions = r.u64();
  }
  if (!r.done()) return unexpected(malformed("reply has the wrong length"));
  return reply;
}

Result<uint32_t> decode_length(std::span<const uint8_t, LENGTH_PREFIX> prefix) {
  uint32_t len = 0;
  for (size_t i = 0; i < LENGTH_PREFIX; ++i) len |= uint32_t{prefix[i]} << (8 * i);
  if (len == 0 || len > MAX_FRAME_LEN) return unexpected(malformed("frame length " + std::to_string(len)));
  return len;
}

}  // namespace qel::wire
