#include "store/names.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace qel {

namespace fs = std::filesystem;

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr std::string_view BLOB_SUFFIX = ".blob";

// The length of the valid UTF-8 sequence starting at raw[i], or 0.
size_t utf8_sequence_len(std::string_view raw, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(raw[k]); };
  unsigned char lead = byte(i);
  size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  bool valid = len > 0 && i + len <= raw.size() && !(len == 2 && lead < 0xC2);
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

}  // namespace

// The one-shot SHA256() looks the algorithm up again on every call, which
// cost twice the hash.
BlobDigest blob_digest(std::string_view blob_id) {
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  BlobDigest digest;
  if (sha256 == nullptr || EVP_Digest(blob_id.data(), blob_id.size(), digest.data(), nullptr, sha256, nullptr) != 1)
    SHA256(reinterpret_cast<const unsigned char*>(blob_id.data()), blob_id.size(), digest.data());
  return digest;
}

bool valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t len = utf8_sequence_len(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string display_utf8(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (size_t len = utf8_sequence_len(raw, i)) {
      out.append(raw, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

BlobNames::BlobNames(fs::path root) : root_(std::move(root)), tmp_dir_(root_ / "tmp"), blobs_dir_(root_ / "blobs") {}

// Every read checks a file against it, so it is built directly: joining path
// components one at a time cost as much as the hash.
std::string BlobNames::path_text(const BlobDigest& digest) const {
  static_assert(sizeof(BlobDigest) == SHA256_DIGEST_LENGTH);
  char hex[2 * SHA256_DIGEST_LENGTH];
  for (size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    hex[2 * i] = HEX_DIGITS[digest[i] >> 4];
    hex[2 * i + 1] = HEX_DIGITS[digest[i] & 0xF];
  }
  std::string text;
  text.reserve(blobs_dir_.native().size() + sizeof hex + 12);
  text.append(blobs_dir_.native()).append("/").append(hex, 2).append("/").append(hex + 2, 2).append("/");
  text.append(hex, sizeof hex).append(BLOB_SUFFIX);
  return text;
}

// Compared component by component; equal text settles the usual case without
// splitting either path.
bool BlobNames::maps_to(std::string_view blob_id, const std::string& path) const {
  std::string expected = path_text(blob_digest(blob_id));
  return path == expected || fs::path(std::move(expected)).compare(fs::path(path)) == 0;
}

std::optional<BlobDigest> BlobNames::digest_in(const fs::path& path) {
  const std::string name = path.filename().native();
  if (name.size() != 2 * sizeof(BlobDigest) + BLOB_SUFFIX.size() || !name.ends_with(BLOB_SUFFIX)) return std::nullopt;
  auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  BlobDigest digest;
  for (size_t i = 0; i < digest.size(); ++i) {
    const int high = nibble(name[2 * i]), low = nibble(name[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}

std::string BlobNames::relative(const fs::path& path) const {
  auto root_it = root_.begin();
  auto path_it = path.begin();
  for (; root_it != root_.end() && path_it != path.end() && *root_it == *path_it; ++root_it, ++path_it) {
  }
  if (root_it != root_.end()) return display_utf8(path.native());
  fs::path rest;
  for (; path_it != path.end(); ++path_it) rest /= *path_it;
  return display_utf8(rest.native());
}

const char* BlobNames::beneath_root(const std::string& text) const {
  std::string_view base = root_.native();
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  if (text.size() <= base.size() + 1 || text.compare(0, base.size(), base) != 0 || text[base.size()] != '/') return nullptr;
  size_t start = base.size();
  while (start < text.size() && text[start] == '/') ++start;
  return start < text.size() ? text.c_str() + start : nullptr;
}

}  // namespace qel
