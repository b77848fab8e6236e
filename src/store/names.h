// BlobNames: the names of the cache's files. A blob's file is named for the
// SHA-256 of its ID, blobs/H1/H2/<hex digest>.blob under the root, H1 and H2
// the digest's first two pairs of hex digits; paths show in messages relative
// to the root and as valid UTF-8. Immutable after construction: use from any
// thread.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

// The SHA-256 of a blob ID; its hex digits name the blob's file.
using BlobDigest = std::array<uint8_t, 32>;

BlobDigest blob_digest(std::string_view blob_id);

bool valid_utf8(std::string_view text);
// Bytes that are not valid UTF-8 become U+FFFD.
std::string display_utf8(std::string_view raw);

class BlobNames {
 public:
  explicit BlobNames(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& tmp_dir() const { return tmp_dir_; }
  const std::filesystem::path& blobs_dir() const { return blobs_dir_; }

  // blobs_dir/H1/H2/<hex digest>.blob as text.
  std::string path_text(const BlobDigest& digest) const;
  // Whether `blob_id` belongs at `path`.
  bool maps_to(std::string_view blob_id, const std::string& path) const;
  // The digest a blob path is named for; none for a name that is no digest.
  static std::optional<BlobDigest> digest_in(const std::filesystem::path& path);
  // The text for `path` in messages: relative to root when under it.
  std::string relative(const std::filesystem::path& path) const;
  // `path` relative to the root, or nullptr when it does not lie under it.
  const char* beneath_root(const std::string& path) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path tmp_dir_;
  std::filesystem::path blobs_dir_;
};

}  // namespace qel
