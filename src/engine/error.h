// CacheError: the engine's one error type, with its fixed texts.
#pragma once

#include <cstdint>
#include <string>

#include "common/expected.h"

namespace qel::engine {

class CacheError {
 public:
  enum class Kind : uint8_t {
    InvalidCountMinWidth,
    InvalidSamples,
    InvalidFalsePositiveRatio,
    InvalidNumCounters,
    InvalidMaxCost,
    InvalidBufferSize,
    SendError,
    RecvError,
    UpdateError,
    InsertError,
    RemoveError,
    CleanupError,
    ChannelError
  };

  Kind kind() const { return kind_; }
  std::string to_string() const;

  static CacheError invalid_count_min_width(uint64_t width) { return CacheError(Kind::InvalidCountMinWidth, width); }
  static CacheError invalid_samples(uint64_t samples) { return CacheError(Kind::InvalidSamples, samples); }
  static CacheError invalid_false_positive_ratio(double ratio) {
    CacheError error(Kind::InvalidFalsePositiveRatio);
    error.ratio_ = ratio;
    return error;
  }
  // With a detail, the text names why the counter count cannot be served
  // (a doorkeeper or sketch size out of range or not allocatable); without
  // one it is the table's "num_counters can't be zero".
  static CacheError invalid_num_counters(std::string detail = {}) {
    return CacheError(Kind::InvalidNumCounters, std::move(detail));
  }
  static CacheError invalid_max_cost() { return CacheError(Kind::InvalidMaxCost); }
  static CacheError invalid_buffer_size() { return CacheError(Kind::InvalidBufferSize); }
  static CacheError send_error(std::string text) { return CacheError(Kind::SendError, std::move(text)); }
  static CacheError recv_error(std::string text) { return CacheError(Kind::RecvError, std::move(text)); }
  static CacheError update_error(std::string text) { return CacheError(Kind::UpdateError, std::move(text)); }
  static CacheError insert_error(std::string text) { return CacheError(Kind::InsertError, std::move(text)); }
  static CacheError remove_error(std::string text) { return CacheError(Kind::RemoveError, std::move(text)); }
  static CacheError cleanup_error(std::string text) { return CacheError(Kind::CleanupError, std::move(text)); }
  static CacheError channel_error(std::string text) { return CacheError(Kind::ChannelError, std::move(text)); }

 private:
  explicit CacheError(Kind kind) : kind_(kind) {}
  CacheError(Kind kind, uint64_t number) : kind_(kind), number_(number) {}
  CacheError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  uint64_t number_ = 0;
  double ratio_ = 0.0;
  std::string text_;
};

template <class T>
using CacheResult = qel::Expected<T, CacheError>;

}  // namespace qel::engine
