// Payload: an owned buffer holding one blob's payload, as reads hand it out.
// Buffers for large payloads come from a small process-wide pool of spares,
// so a loop of big gets does not make malloc return memory to the system and
// fault it in again. A Payload is owned by one thread at a time; the pool is
// shared and guarded by its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace qel {

// An owned payload buffer, not zero-filled on allocation: every byte is read
// into it before it is handed out.
class Payload {
 public:
  Payload() = default;
  explicit Payload(size_t size);
  Payload(Payload&&) = default;
  Payload& operator=(Payload&&) = default;
  ~Payload();
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  bool pooled_ = false;  // data_ is a spare-sized buffer that goes back to the pool
};

}  // namespace qel
