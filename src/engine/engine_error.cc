#include "engine/engine_error.h"

namespace qel::engine {

std::string EngineError::to_string() const {
  switch (kind_) {
    case Kind::InvalidCountMinWidth:
      return "invalid count main sketch width: " + std::to_string(number_);
    case Kind::InvalidSamples:
      return "invalid number of samples: " + std::to_string(number_);
    case Kind::InvalidNumCounters:
      return text_.empty() ? "num_counters can't be zero" : "num_counters out of range: " + text_;
    case Kind::InvalidMaxCost:
      return "max_cost can't be zero";
    case Kind::OutOfMemory:
      return "out of memory: cannot allocate " + text_;
    case Kind::SendError:
      return "fail to send msg to channel: " + text_;
    case Kind::ChannelError:
      return "channel error: " + text_;
  }
  return "unknown engine error";
}

}  // namespace qel::engine
