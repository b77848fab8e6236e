#include "engine/engine_error.h"

#include <sstream>

namespace qel::engine {

namespace {

// Shortest text that reads back as the same double, as Rust's Display does.
std::string format_double(double value) {
  std::ostringstream out;
  out.precision(17);
  for (int precision = 1; precision <= 17; ++precision) {
    std::ostringstream attempt;
    attempt.precision(precision);
    attempt << value;
    if (std::stod(attempt.str()) == value || precision == 17) return attempt.str();
  }
  return out.str();
}

}  // namespace

std::string EngineError::to_string() const {
  switch (kind_) {
    case Kind::InvalidCountMinWidth:
      return "invalid count main sketch width: " + std::to_string(number_);
    case Kind::InvalidSamples:
      return "invalid number of samples: " + std::to_string(number_);
    case Kind::InvalidFalsePositiveRatio:
      return "invalid false positive ratio: " + format_double(ratio_) + ", which should be in range (0.0, 1.0)";
    case Kind::InvalidNumCounters:
      return text_.empty() ? "num_counters can't be zero" : "num_counters out of range: " + text_;
    case Kind::InvalidMaxCost:
      return "max_cost can't be zero";
    case Kind::InvalidBufferSize:
      return "buffer_size can't be zero";
    case Kind::SendError:
      return "fail to send msg to channel: " + text_;
    case Kind::RecvError:
      return "fail to receive msg from channel: " + text_;
    case Kind::UpdateError:
      return "update error: " + text_;
    case Kind::InsertError:
      return "insert error: " + text_;
    case Kind::RemoveError:
      return "remove error: " + text_;
    case Kind::CleanupError:
      return "cleanup error: " + text_;
    case Kind::ChannelError:
      return "channel error: " + text_;
  }
  return "unknown cache error";
}

}  // namespace qel::engine
