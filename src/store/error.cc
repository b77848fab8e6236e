#include "store/error.h"

#include <cerrno>
#include <cstring>

#include "common/utf8.h"

namespace qel {
namespace {

IoKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoKind::NotFound;
    case EEXIST: return IoKind::AlreadyExists;
    case EINTR: return IoKind::Interrupted;
    case EINVAL: return IoKind::InvalidInput;
    default: return IoKind::Other;
  }
}

// Decodes one UTF-8 sequence at s[i]; a byte that starts no valid sequence
// becomes U+FFFD.
char32_t next_code_point(std::string_view s, size_t& i) {
  const size_t len = utf8_sequence_len(s, i);
  if (len == 0) {
    ++i;
    return 0xFFFD;
  }
  const auto lead = static_cast<unsigned char>(s[i]);
  char32_t cp = len == 1 ? lead : lead & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Controls, the line and paragraph separators and the byte-order mark would
// break or hide text in a message.
bool printable(char32_t cp) {
  return !(cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF ||
           (cp >= 0x200B && cp <= 0x200F));
}

}  // namespace

OsError OsError::from_errno(int code) { return OsError(code, kind_of_errno(code), {}); }

OsError OsError::custom(IoKind kind, std::string message) { return OsError(0, kind, std::move(message)); }

std::string OsError::to_string() const {
  if (code_ == 0) return message_;
  char buf[256];
  const char* text = strerror_r(code_, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code_) + ")";
}

BlobCacheError BlobCacheError::io(std::string_view context, OsError source) {
  return BlobCacheError(Kind::Io, std::string(context), std::move(source));
}

std::string quote_blob_id(std::string_view blob_id) {
  std::string out = "\"";
  for (size_t i = 0; i < blob_id.size();) {
    char32_t cp = next_code_point(blob_id, i);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(cp)) {
          append_utf8(out, cp);
        } else {
          char hex[16];
          snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out += hex;
        }
    }
  }
  out += '"';
  return out;
}

std::string BlobCacheError::to_string() const {
  switch (kind_) {
    case Kind::Closed: return "blob cache is closed";
    case Kind::InvalidConfiguration: return "invalid blob cache configuration: " + message_;
    case Kind::InvalidBlob: return "invalid blob: " + message_;
    case Kind::BlobIdMismatch: return "blob ID content mismatch: " + quote_blob_id(message_);
    case Kind::CorruptEntry: return "corrupt blob cache entry: " + message_;
    case Kind::Reconciliation: return "blob cache reconciliation failed: " + message_;
    case Kind::Engine: return "blob cache policy failed: " + message_;  // the engine is the admission policy
    case Kind::Io: return message_ + ": " + source_.to_string();
  }
  return message_;
}

}  // namespace qel
