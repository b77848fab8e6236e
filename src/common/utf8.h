// Strict UTF-8, as Python's codec reads it: no overlong forms, no
// surrogates, nothing past U+10FFFF. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace qel {

// The length of the valid UTF-8 sequence starting at s[i], or 0.
inline size_t utf8_sequence_len(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  bool valid = len > 0 && i + len <= s.size() && !(len == 2 && lead < 0xC2);
  for (size_t k = 1; valid && k < len; ++k) valid = (byte(i + k) & 0xC0) == 0x80;
  if (valid && len == 3) {
    unsigned cp = ((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6);
    valid = cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
  }
  if (valid && len == 4) {
    unsigned cp = ((lead & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12);
    valid = cp >= 0x10000 && cp <= 0x10FFFF;
  }
  return valid ? len : 0;
}

inline bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence_len(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace qel
