// The one error type of the cache core, the entry bridge and the blob store.
// Display texts reach Python callers unchanged, so they are external behaviour.
// Errors are plain values: copy and read them from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.h"

namespace qel {

// What callers may react to in an I/O failure; everything else is in the text.
// InUse: the directory's lock is held by another open cache.
enum class IoKind : uint8_t { NotFound, AlreadyExists, Interrupted, InvalidInput, UnexpectedEof, WriteZero, InUse, Other };

// An operating-system error value: an errno, or an error the program made with
// its own message (errno 0).
class OsError {
 public:
  static OsError from_errno(int code);
  static OsError custom(IoKind kind, std::string message);

  int code() const { return code_; }
  IoKind kind() const { return kind_; }
  // "<description> (os error N)", or the program's own message.
  std::string to_string() const;

 private:
  OsError(int code, IoKind kind, std::string message) : code_(code), kind_(kind), message_(std::move(message)) {}
  int code_;
  IoKind kind_;
  std::string message_;
};

class BlobCacheError {
 public:
  enum class Kind : uint8_t { Closed, InvalidConfiguration, InvalidBlob, BlobIdMismatch, CorruptEntry, Reconciliation, Engine, Io };

  static BlobCacheError closed() { return {Kind::Closed, {}}; }
  static BlobCacheError invalid_configuration(std::string message) { return {Kind::InvalidConfiguration, std::move(message)}; }
  static BlobCacheError invalid_blob(std::string message) { return {Kind::InvalidBlob, std::move(message)}; }
  static BlobCacheError blob_id_mismatch(std::string blob_id) { return {Kind::BlobIdMismatch, std::move(blob_id)}; }
  static BlobCacheError corrupt_entry(std::string message) { return {Kind::CorruptEntry, std::move(message)}; }
  static BlobCacheError reconciliation(std::string message) { return {Kind::Reconciliation, std::move(message)}; }
  static BlobCacheError engine(std::string message) { return {Kind::Engine, std::move(message)}; }
  static BlobCacheError io(std::string_view context, OsError source);
  // An Io error from the current errno.
  static BlobCacheError io_errno(std::string_view context, int code) { return io(context, OsError::from_errno(code)); }

  Kind kind() const { return kind_; }
  // The payload: message, blob ID or Io context.
  const std::string& message() const { return message_; }
  // Only meaningful for Io.
  const OsError& source() const { return source_; }
  bool is_io_kind(IoKind kind) const { return kind_ == Kind::Io && source_.kind() == kind; }

  std::string to_string() const;

 private:
  BlobCacheError(Kind kind, std::string message, OsError source = OsError::from_errno(0))
      : kind_(kind), message_(std::move(message)), source_(std::move(source)) {}

  Kind kind_;
  std::string message_;
  OsError source_;
};

template <class T>
using Result = Expected<T, BlobCacheError>;

// The blob ID text as BlobIdMismatch shows it: quoted, with escapes.
std::string quote_blob_id(std::string_view blob_id);

}  // namespace qel
