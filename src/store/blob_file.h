// The one check of a blob file that every read and every inspection goes
// through: header, blob ID, that the ID belongs at the file's path, lengths,
// the record a read expects, and the CRC-32C, in that order, each failure a
// CorruptEntry naming what is wrong and the file. The usual file takes one
// read system call; a file that fails is gone over step by step to say which
// check it fails. Stateless: call from any thread, on descriptors the caller
// owns.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "store/error.h"
#include "store/format.h"
#include "store/names.h"
#include "store/payload.h"
#include "store/posix.h"

namespace qel {

inline constexpr size_t INSPECT_CHUNK_LEN = 65536;
// Never blocks on a FIFO put where a blob file belongs.
inline constexpr int BLOB_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// What a read expects of a blob file: the record of it.
struct BlobRecord {
  std::string_view blob_id;
  int64_t file_len;
  // None for a reader that knows the file by its ID alone: the header's own
  // checksum is then the one the payload must match.
  std::optional<uint32_t> checksum;
  // The path is known to be where `blob_id` belongs and the ID is valid
  // UTF-8: a file holding exactly that ID need not have it hashed again.
  bool path_of_id;
  // The payload length of a file that is as recorded.
  size_t payload_len() const;
};

// A blob file open for reading, as an open by the store gave it.
struct BlobFile {
  int fd;
  int64_t size;              // from fstat
  const std::string& path;   // where it was opened, for the path check and messages
  const BlobNames& names;
  bool at_id_path = true;    // false for a temp file, which lies where no ID belongs
};

// Verifies `file`. With a record, the file must also be what it records, and
// the payload is read into `payload`, which holds record->payload_len()
// bytes: a caller may hand the buffer it returns to its own caller. Without
// one, the payload is checksummed in constant memory and `payload` is empty.
// `blob_id`, when given, receives the stored ID.
Result<BlobHeader> verify_blob_file(const BlobFile& file, const BlobRecord* record, std::span<uint8_t> payload,
                                    std::string* blob_id = nullptr);

// Both take over `opened`, what an open of the blob file at `path` gave (a
// descriptor, or -1 with errno): a failed open and anything but a regular
// file are reported for `path`.
// Reads the file's payload into `payload`, record.payload_len() bytes, and
// verifies the file against its record; after a failure `payload` holds
// anything.
Result<void> read_blob_file(int opened, const std::string& path, const BlobNames& names, const BlobRecord& record,
                            std::span<uint8_t> payload);
// A blob file opened at the path of its ID, by a reader that keeps no record:
// its length is known before its payload is read.
struct OpenedBlob {
  posix::Fd fd;
  int64_t file_len;
  std::string path;
};
// None when nothing is at `path`.
Result<std::optional<OpenedBlob>> open_blob_file(int opened, std::string path, const BlobNames& names);
// Reads and verifies the payload of `file`, which must hold `blob_id`, into
// `payload`, of BlobRecord::payload_len() bytes.
Result<void> read_opened_blob(const OpenedBlob& file, const BlobNames& names, std::string_view blob_id,
                              std::span<uint8_t> payload);
// A temp file a writer made for a put: verified whole, in constant memory,
// without asking where its ID belongs; the record's path is left empty.
Result<FileMetadata> inspect_temp_file(int opened, std::string path, const BlobNames& names);
// The record of the file when it verifies, `path_of_id` set. `path` is text:
// an open inspects a million files, and building a std::filesystem::path for
// each cost more than its hash.
Result<FileMetadata> inspect_blob_file(int opened, std::string path, const BlobNames& names);

}  // namespace qel
