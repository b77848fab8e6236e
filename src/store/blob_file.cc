#include "store/blob_file.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <memory>

namespace qel {
namespace {

// Reads exactly `len` bytes at `offset`; reaching the end first is an error
// of its own.
Expected<void, OsError> read_exact_at(int fd, uint64_t offset, uint8_t* into, size_t len) {
  iovec part{into, len};
  if (posix::read_full(fd, offset, std::span(&part, 1)) == len) return {};
  if (errno != 0) return unexpected(posix::last_error());
  return unexpected(OsError::custom(IoKind::UnexpectedEof, "failed to fill whole buffer"));
}

// One verification of one file. The first read brings in up to two runs of
// the file's bytes from offset 0, each into a buffer of its own; each step
// takes its bytes from there when they are all in one run, and reads them
// otherwise, so that a read error names the step.
class Check {
 public:
  Check(const BlobFile& file, const BlobRecord* record) : file_(file), record_(record) {}

  // The message's path is only worked out when there is a message.
  Unexpected<BlobCacheError> corrupt(const std::string& what, const std::string& detail = {}) const {
    return unexpected(BlobCacheError::corrupt_entry(what + file_.names.relative(file_.path) + detail));
  }

  // One read for the usual file: a file of the recorded length into a buffer
  // for header and ID and the caller's for the payload; a small file whole,
  // since most files at an open are small and one read there instead of
  // three is a good part of the time.
  void read_first(std::span<uint8_t> payload) {
    const uint64_t size = static_cast<uint64_t>(file_.size);
    if (record_) {
      const size_t head_len = HEADER_LEN + record_->blob_id.size();
      if (record_->file_len == file_.size && head_len + payload.size() == size && record_->blob_id.size() <= MAX_BLOB_ID_LEN)
        fill(buffer(head_len), payload);
    } else if (size <= INSPECT_CHUNK_LEN) {
      fill(buffer(static_cast<size_t>(size)), {});
    }
  }

  Result<BlobHeader> header() {
    std::array<uint8_t, HEADER_LEN> into;
    auto raw = bytes(0, HEADER_LEN, into.data());
    if (!raw) return corrupt("read header ", ": " + raw.error().to_string());
    auto header = decode_header(std::span<const uint8_t, HEADER_LEN>(*raw, HEADER_LEN));
    if (!header) return corrupt(header.error().message() + ": ");
    if (header->id_len == 0 || header->id_len > MAX_BLOB_ID_LEN) return corrupt("invalid blob ID length ");
    const uint64_t prefix = HEADER_LEN + uint64_t{header->id_len};
    if (header->payload_len > UINT64_MAX - prefix) return corrupt("file length overflow ");
    // Checked before anything is sized from the header's lengths.
    if (prefix + header->payload_len != static_cast<uint64_t>(file_.size)) return corrupt("file length mismatch ");
    return header;
  }

  // The stored ID, which must belong at the file's path and match the record.
  Result<std::string_view> blob_id(const BlobHeader& header) {
    const uint8_t* at = in_place(HEADER_LEN, header.id_len);
    if (at == nullptr) {
      id_bytes_ = std::make_unique_for_overwrite<uint8_t[]>(header.id_len);
      auto got = bytes(HEADER_LEN, header.id_len, id_bytes_.get());
      if (!got) return corrupt("read blob ID ", ": " + got.error().to_string());
      at = *got;
    }
    const std::string_view id(reinterpret_cast<const char*>(at), header.id_len);
    if (!(record_ && record_->path_of_id && id == record_->blob_id)) {
      if (!valid_utf8(id)) return corrupt("invalid blob ID UTF-8 ");
      if (file_.at_id_path && !file_.names.maps_to(id, file_.path)) return corrupt("blob ID path mismatch ");
    }
    if (record_ && (id != record_->blob_id || (record_->checksum && header.checksum != *record_->checksum) ||
                    file_.size != record_->file_len))
      return corrupt("metadata mismatch ");
    return id;
  }

  // The CRC continued from `crc` over the payload: read into `payload` for a
  // record, in chunks of constant size otherwise.
  Result<uint32_t> payload_crc(const BlobHeader& header, uint32_t crc, std::span<uint8_t> payload) {
    const uint64_t start = HEADER_LEN + uint64_t{header.id_len};
    auto failed = [&](const OsError& error) { return corrupt("read payload ", ": " + error.to_string()); };
    if (record_) {
      assert(payload.size() == header.payload_len);  // the record's length, checked against the file
      if (!payload.empty() && in_place(start, payload.size()) != payload.data()) {
        if (auto got = read_exact_at(file_.fd, start, payload.data(), payload.size()); !got) return failed(got.error());
      }
      return crc32c(crc, payload);
    }
    // No longer than the payload: allocating 64 KiB for each small file was
    // a good part of the time an open took.
    std::unique_ptr<uint8_t[]> chunk;
    for (uint64_t offset = start, end = start + header.payload_len; offset < end;) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(end - offset, INSPECT_CHUNK_LEN));
      if (!chunk && in_place(offset, len) == nullptr)
        chunk = std::make_unique_for_overwrite<uint8_t[]>(std::min<uint64_t>(header.payload_len, INSPECT_CHUNK_LEN));
      auto got = bytes(offset, len, chunk.get());
      if (!got) return failed(got.error());
      crc = crc32c(crc, std::span(*got, len));
      offset += len;
    }
    return crc;
  }

 private:
  struct Run {
    uint64_t offset = 0;
    const uint8_t* data = nullptr;
    size_t len = 0;
  };

  std::span<uint8_t> buffer(size_t len) {
    if (len <= small_.size()) return {small_.data(), len};
    large_ = std::make_unique_for_overwrite<uint8_t[]>(len);
    return {large_.get(), len};
  }

  // Fills `head` and then `tail` with one call, as far as the file goes.
  void fill(std::span<uint8_t> head, std::span<uint8_t> tail) {
    iovec parts[] = {{head.data(), head.size()}, {tail.data(), tail.size()}};
    const uint64_t got = posix::read_full(file_.fd, 0, parts);
    runs_[0] = {0, head.data(), static_cast<size_t>(std::min<uint64_t>(got, head.size()))};
    runs_[1] = {head.size(), tail.data(), static_cast<size_t>(got > head.size() ? got - head.size() : 0)};
  }

  // Bytes [offset, offset + len) where the first read put them, when it got
  // them all into one buffer; nullptr otherwise.
  const uint8_t* in_place(uint64_t offset, size_t len) const {
    for (const Run& run : runs_) {
      if (offset >= run.offset && offset + len <= run.offset + run.len) return run.data + (offset - run.offset);
    }
    return nullptr;
  }

  Expected<const uint8_t*, OsError> bytes(uint64_t offset, size_t len, uint8_t* into) const {
    if (const uint8_t* there = in_place(offset, len)) return there;
    if (auto got = read_exact_at(file_.fd, offset, into, len); !got) return unexpected(got.error());
    return into;
  }

  const BlobFile& file_;
  const BlobRecord* const record_;
  Run runs_[2];
  std::array<uint8_t, 4096> small_;  // the usual ID or small file needs no allocation
  std::unique_ptr<uint8_t[]> large_;
  std::unique_ptr<uint8_t[]> id_bytes_;  // an ID the first read did not bring in
};

}  // namespace

size_t BlobRecord::payload_len() const {
  const uint64_t head_len = HEADER_LEN + blob_id.size();
  return file_len >= 0 && static_cast<uint64_t>(file_len) >= head_len ? static_cast<size_t>(file_len - head_len) : 0;
}

Result<BlobHeader> verify_blob_file(const BlobFile& file, const BlobRecord* record, std::span<uint8_t> payload,
                                    std::string* blob_id) {
  assert(record ? payload.size() == record->payload_len() : payload.empty());
  Check check(file, record);
  if (file.size < static_cast<int64_t>(HEADER_LEN)) return check.corrupt("truncated header ");
  check.read_first(payload);
  auto header = check.header();
  if (!header) return unexpected(std::move(header).error());
  auto id = check.blob_id(*header);
  if (!id) return unexpected(std::move(id).error());
  auto crc = check.payload_crc(*header, crc32c(0, std::span(reinterpret_cast<const uint8_t*>(id->data()), id->size())), payload);
  if (!crc) return unexpected(std::move(crc).error());
  if (*crc != header->checksum) return check.corrupt("checksum mismatch ");
  if (blob_id != nullptr) blob_id->assign(*id);
  return *header;
}

namespace {

Result<posix::Fd> regular_file(int fd, const std::string& path, const BlobNames& names, struct stat& st) {
  if (fd < 0) {
    const int err = errno;  // before the message's allocations
    // ENXIO: a socket, which no open reaches.
    if (posix::unreachable(err) || err == ENXIO)
      return unexpected(BlobCacheError::corrupt_entry("non-regular file " + names.relative(path)));
    return unexpected(BlobCacheError::io_errno("open cache entry " + names.relative(path), err));
  }
  posix::Fd owned(fd);
  if (posix::fstat(fd, &st) != 0) {
    const int err = errno;
    return unexpected(BlobCacheError::io_errno("stat cache entry " + names.relative(path), err));
  }
  if (!S_ISREG(st.st_mode)) return unexpected(BlobCacheError::corrupt_entry("non-regular file " + names.relative(path)));
  return owned;
}

}  // namespace

Result<void> read_blob_file(int opened, const std::string& path, const BlobNames& names, const BlobRecord& record,
                            std::span<uint8_t> payload) {
  struct stat st {};
  auto fd = regular_file(opened, path, names, st);
  if (!fd) return unexpected(std::move(fd).error());
  auto verified = verify_blob_file({fd->get(), st.st_size, path, names}, &record, payload);
  if (!verified) return unexpected(std::move(verified).error());
  return {};
}

Result<std::optional<OpenedBlob>> open_blob_file(int opened, std::string path, const BlobNames& names) {
  if (opened < 0 && errno == ENOENT) return std::nullopt;
  struct stat st {};
  auto fd = regular_file(opened, path, names, st);
  if (!fd) return unexpected(std::move(fd).error());
  return OpenedBlob{std::move(*fd), st.st_size, std::move(path)};
}

Result<void> read_opened_blob(const OpenedBlob& file, const BlobNames& names, std::string_view blob_id,
                              std::span<uint8_t> payload) {
  const BlobRecord record{blob_id, file.file_len, std::nullopt, valid_utf8(blob_id)};
  auto verified = verify_blob_file({file.fd.get(), file.file_len, file.path, names}, &record, payload);
  if (!verified) return unexpected(std::move(verified).error());
  return {};
}

namespace {

Result<FileMetadata> inspect(int opened, std::string path, const BlobNames& names, bool at_id_path) {
  struct stat st {};
  auto fd = regular_file(opened, path, names, st);
  if (!fd) return unexpected(std::move(fd).error());
  std::string blob_id;
  auto header = verify_blob_file({fd->get(), st.st_size, path, names, at_id_path}, nullptr, {}, &blob_id);
  if (!header) return unexpected(std::move(header).error());
  return FileMetadata{.blob_id = std::move(blob_id),
                      .path = at_id_path ? std::move(path) : std::string(),
                      .modified = {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)},
                      .file_len = st.st_size,
                      .checksum = header->checksum,
                      .path_of_id = at_id_path};
}

}  // namespace

Result<FileMetadata> inspect_blob_file(int opened, std::string path, const BlobNames& names) {
  return inspect(opened, std::move(path), names, true);
}

Result<FileMetadata> inspect_temp_file(int opened, std::string path, const BlobNames& names) {
  return inspect(opened, std::move(path), names, false);
}

}  // namespace qel
