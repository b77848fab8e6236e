// EngineError: the engine's one error type, with its fixed texts. A plain
// value: copy and read it from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "common/expected.h"

namespace qel::engine {

class EngineError {
 public:
  enum class Kind : uint8_t {
    InvalidCountMinWidth,
    InvalidSamples,
    InvalidNumCounters,
    InvalidMaxCost,
    OutOfMemory,
    SendError,
    ChannelError
  };

  Kind kind() const { return kind_; }
  std::string to_string() const;

  static EngineError invalid_count_min_width(uint64_t width) { return EngineError(Kind::InvalidCountMinWidth, width); }
  static EngineError invalid_samples(uint64_t samples) { return EngineError(Kind::InvalidSamples, samples); }
  // With a detail, the text names why the counter count cannot be served
  // (a doorkeeper or sketch size out of range); without one it is
  // "num_counters can't be zero".
  static EngineError invalid_num_counters(std::string detail = {}) {
    return EngineError(Kind::InvalidNumCounters, std::move(detail));
  }
  static EngineError invalid_max_cost() { return EngineError(Kind::InvalidMaxCost); }
  // `what` names the structure that could not be allocated.
  static EngineError out_of_memory(std::string what) { return EngineError(Kind::OutOfMemory, std::move(what)); }
  static EngineError send_error(std::string text) { return EngineError(Kind::SendError, std::move(text)); }
  static EngineError channel_error(std::string text) { return EngineError(Kind::ChannelError, std::move(text)); }

 private:
  explicit EngineError(Kind kind) : kind_(kind) {}
  EngineError(Kind kind, uint64_t number) : kind_(kind), number_(number) {}
  EngineError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  uint64_t number_ = 0;
  std::string text_;
};

template <class T>
using EngineResult = qel::Expected<T, EngineError>;

}  // namespace qel::engine
