// The scan of the data directory that an open reconciles against: every blob
// file verified and recorded, everything else that is no blob file of the
// cache's but sits where one belongs set apart. Files are verified on threads
// of the scan's own, joined before it returns; call it from any thread.
#pragma once

#include <filesystem>
#include <vector>

#include "store/error.h"
#include "store/format.h"
#include "store/names.h"

namespace qel {

inline constexpr size_t MAX_SCAN_THREADS = 8;

struct ScanResult {
  std::vector<FileMetadata> entries;          // newest first, then by path
  std::vector<std::filesystem::path> invalid;  // corrupt blob files, by path
};

// Scans names.blobs_dir(), whose parent, the root, is open as `root`.
Result<ScanResult> scan_blob_files(int root, const BlobNames& names);

}  // namespace qel
