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

// What the first read of a file brought in: up to two runs of its bytes from
// offset 0, each in a buffer of its own.
class FirstRead {
 public:
  // Fills `head` and then `tail` with one call, as far as the file goes.
  void fill(int fd, std::span<uint8_t> head, std::span<uint8_t> tail) {
    iovec parts[] = {{head.data(), head.size()}, {tail.data(), tail.size()}};
    const uint64_t got = posix::read_full(fd, 0, parts);
    runs_[0] = {0, head.data(), static_cast<size_t>(std::min<uint64_t>(got, head.size()))};
    runs_[1] = {head.size(), tail.data(), static_cast<size_t>(got > head.size() ? got - head.size() : 0)};
  }
  // Bytes [offset, offset + len) of the file where the first read put them,
  // when it got them all into one buffer; nullptr otherwise.
  const uint8_t* in_place(uint64_t offset, size_t len) const {
    for (const Run& run : runs_) {
      if (offset >= run.offset && offset + len <= run.offset + run.len) return run.data + (offset - run.offset);
    }
    return nullptr;
  }

 private:
  struct Run {
    uint64_t offset = 0;
    const uint8_t* data = nullptr;
    size_t len = 0;
  };
  Run runs_[2];
};

}  // namespace

size_t BlobRecord::payload_len() const {
  const uint64_t head_len = HEADER_LEN + blob_id.size();
  return file_len >= 0 && static_cast<uint64_t>(file_len) >= head_len ? static_cast<size_t>(file_len - head_len) : 0;
}

Result<BlobHeader> verify_blob_file(const BlobFile& file, const BlobRecord* record, std::span<uint8_t> payload,
                                    std::string* blob_id) {
  assert(record ? payload.size() == record->payload_len() : payload.empty());
  // The message's path is only worked out when there is a message.
  auto corrupt = [&](const std::string& what, const std::string& detail = {}) {
    return unexpected(BlobCacheError::corrupt_entry(what + file.names.relative(file.path) + detail));
  };
  if (file.size < static_cast<int64_t>(HEADER_LEN)) return corrupt("truncated header ");
  const uint64_t size = static_cast<uint64_t>(file.size);

  // One read for the usual file: a file of the recorded length into a buffer
  // for header and ID and the caller's for the payload; a small file whole,
  // since most files at an open are small and one read there instead of
  // three is a good part of the time.
  FirstRead first;
  std::array<uint8_t, 4096> small;  // the usual ID or small file needs no allocation
  std::unique_ptr<uint8_t[]> large;
  auto buffer = [&](size_t len) -> std::span<uint8_t> {
    if (len <= small.size()) return {small.data(), len};
    large = std::make_unique_for_overwrite<uint8_t[]>(len);
    return {large.get(), len};
  };
  if (record) {
    const size_t head_len = HEADER_LEN + record->blob_id.size();
    if (record->file_len == file.size && head_len + payload.size() == size && record->blob_id.size() <= MAX_BLOB_ID_LEN)
      first.fill(file.fd, buffer(head_len), payload);
  } else if (size <= INSPECT_CHUNK_LEN) {
    first.fill(file.fd, buffer(static_cast<size_t>(size)), {});
  }
  // What the first read lacks is read step by step, so that a read error
  // names the step.
  auto bytes = [&](uint64_t offset, size_t len, uint8_t* into) -> Expected<const uint8_t*, OsError> {
    if (const uint8_t* there = first.in_place(offset, len)) return there;
    if (auto got = read_exact_at(file.fd, offset, into, len); !got) return unexpected(got.error());
    return into;
  };

  std::array<uint8_t, HEADER_LEN> header_bytes;
  auto raw = bytes(0, HEADER_LEN, header_bytes.data());
  if (!raw) return corrupt("read header ", ": " + raw.error().to_string());
  auto header = decode_header(std::span<const uint8_t, HEADER_LEN>(*raw, HEADER_LEN));
  if (!header) return corrupt(header.error().message() + ": ");
  if (header->id_len == 0 || header->id_len > MAX_BLOB_ID_LEN) return corrupt("invalid blob ID length ");
  const uint64_t prefix = HEADER_LEN + uint64_t{header->id_len};
  if (header->payload_len > UINT64_MAX - prefix) return corrupt("file length overflow ");
  // Checked before anything is sized from the header's lengths.
  if (prefix + header->payload_len != size) return corrupt("file length mismatch ");

  std::unique_ptr<uint8_t[]> id_bytes;
  const uint8_t* id_at = first.in_place(HEADER_LEN, header->id_len);
  if (id_at == nullptr) {
    id_bytes = std::make_unique_for_overwrite<uint8_t[]>(header->id_len);
    auto got = bytes(HEADER_LEN, header->id_len, id_bytes.get());
    if (!got) return corrupt("read blob ID ", ": " + got.error().to_string());
    id_at = *got;
  }
  const std::string_view id(reinterpret_cast<const char*>(id_at), header->id_len);
  if (!(record && record->path_of_id && id == record->blob_id)) {
    if (!valid_utf8(id)) return corrupt("invalid blob ID UTF-8 ");
    if (!file.names.maps_to(id, file.path)) return corrupt("blob ID path mismatch ");
  }
  if (record && (id != record->blob_id || header->checksum != record->checksum || file.size != record->file_len))
    return corrupt("metadata mismatch ");

  uint32_t crc = crc32c(0, std::span(id_at, id.size()));
  auto read_failed = [&](const OsError& error) { return corrupt("read payload ", ": " + error.to_string()); };
  if (record) {
    assert(payload.size() == header->payload_len);  // the record's length, checked above
    if (!payload.empty() && first.in_place(prefix, payload.size()) != payload.data()) {
      if (auto got = read_exact_at(file.fd, prefix, payload.data(), payload.size()); !got) return read_failed(got.error());
    }
    crc = crc32c(crc, payload);
  } else {
    // No longer than the payload: allocating 64 KiB for each small file was
    // a good part of the time an open took.
    std::unique_ptr<uint8_t[]> chunk;
    for (uint64_t offset = prefix; offset < size;) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(size - offset, INSPECT_CHUNK_LEN));
      if (!chunk && first.in_place(offset, len) == nullptr)
        chunk = std::make_unique_for_overwrite<uint8_t[]>(std::min<uint64_t>(header->payload_len, INSPECT_CHUNK_LEN));
      auto got = bytes(offset, len, chunk.get());
      if (!got) return read_failed(got.error());
      crc = crc32c(crc, std::span(*got, len));
      offset += len;
    }
  }
  if (crc != header->checksum) return corrupt("checksum mismatch ");
  if (blob_id != nullptr) blob_id->assign(id);
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

Result<Payload> read_blob_file(int opened, const std::string& path, const BlobNames& names, const BlobRecord& record) {
  struct stat st {};
  auto fd = regular_file(opened, path, names, st);
  if (!fd) return unexpected(std::move(fd).error());
  Payload payload(record.payload_len());
  auto verified = verify_blob_file({fd->get(), st.st_size, path, names}, &record, std::span(payload.data(), payload.size()));
  if (!verified) return unexpected(std::move(verified).error());
  return payload;
}

Result<FileMetadata> inspect_blob_file(int opened, std::string path, const BlobNames& names) {
  struct stat st {};
  auto fd = regular_file(opened, path, names, st);
  if (!fd) return unexpected(std::move(fd).error());
  std::string blob_id;
  auto header = verify_blob_file({fd->get(), st.st_size, path, names}, nullptr, {}, &blob_id);
  if (!header) return unexpected(std::move(header).error());
  return FileMetadata{.blob_id = std::move(blob_id),
                      .path = std::move(path),
                      .modified = {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)},
                      .file_len = st.st_size,
                      .checksum = header->checksum,
                      .path_of_id = true};
}

}  // namespace qel
