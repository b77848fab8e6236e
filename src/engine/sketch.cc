#include "engine/sketch.h"

#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "engine/hash.h"

namespace qel::engine {

namespace {

uint64_t to_u64_saturating(double value) {
  if (!(value > 0.0)) return 0;  // negative and NaN
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

std::string display(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

template <class T>
std::unique_ptr<T[], FreeDeleter> zeroed(uint64_t count) {
  if (count == 0 || count > std::numeric_limits<size_t>::max() / sizeof(T)) return nullptr;
  return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(std::calloc(static_cast<size_t>(count), sizeof(T))));
}

}  // namespace

std::array<uint64_t, 4> sketch_seeds() {
  return {thread_random_u64(), thread_random_u64(), thread_random_u64(), thread_random_u64()};
}

// CountMinSketch -------------------------------------------------------------

std::optional<uint64_t> CountMinSketch::width_for(uint64_t num_counters) {
  const uint64_t wanted = num_counters < 2 ? 2 : num_counters;
  if (wanted > (uint64_t{1} << 62)) return std::nullopt;
  const uint64_t width = std::bit_ceil(wanted);
  // Four rows of width / 2 bytes: 2 * width bytes in all.
  if (width > std::numeric_limits<size_t>::max() / 2) return std::nullopt;
  return width;
}

EngineResult<CountMinSketch> CountMinSketch::create(uint64_t num_counters, std::array<uint64_t, 4> seeds) {
  const auto width = width_for(num_counters);
  if (!width) return unexpected(EngineError::invalid_count_min_width(num_counters));
  auto bytes = zeroed<uint8_t>(*width * 2);
  if (!bytes) {
    return unexpected(EngineError::out_of_memory("a frequency sketch of " + std::to_string(*width * 2) + " bytes"));
  }
  return CountMinSketch(std::move(bytes), *width, seeds);
}

EngineResult<CountMinSketch> CountMinSketch::widened(uint64_t num_counters) const {
  auto wider = create(num_counters < width() ? width() : num_counters, seeds_);
  if (!wider) return wider;
  // Counters 2k and 2k + 1 share byte k, so a row widens by tiling its bytes.
  const uint64_t from = row_bytes();
  for (int r = 0; r < kRows; ++r) {
    for (uint64_t offset = 0; offset < wider->row_bytes(); offset += from) {
      std::memcpy(wider->row(r) + offset, row(r), static_cast<size_t>(from));
    }
  }
  return wider;
}

uint8_t CountMinSketch::counter(int r, uint64_t index) const {
  const uint8_t byte = std::atomic_ref<uint8_t>(row(r)[index / 2]).load(std::memory_order_relaxed);
  return (index & 1) ? byte >> 4 : byte & 0x0f;
}

void CountMinSketch::increment(uint64_t hash) {
  for (int r = 0; r < kRows; ++r) {
    const uint64_t index = (hash ^ seeds_[r]) & mask_;
    const int shift = (index & 1) ? 4 : 0;
    std::atomic_ref<uint8_t> byte(row(r)[index / 2]);
    uint8_t current = byte.load(std::memory_order_relaxed);
    while (((current >> shift) & 0x0f) != 15) {
      const auto next = static_cast<uint8_t>(current + (1u << shift));
      if (byte.compare_exchange_weak(current, next, std::memory_order_relaxed)) break;
    }
  }
}

uint8_t CountMinSketch::estimate(uint64_t hash) const {
  uint8_t minimum = 255;
  for (int r = 0; r < kRows; ++r) {
    const uint8_t value = counter(r, (hash ^ seeds_[r]) & mask_);
    if (value < minimum) minimum = value;
  }
  return minimum;
}

// Word by word: every caller holds the policy lock, which a compare-and-swap
// per byte would hold for tens of milliseconds on a large sketch.
void CountMinSketch::reset() {
  const auto total = static_cast<size_t>(2 * width());
  uint8_t* bytes = bytes_.get();
  size_t i = 0;
  for (; i + 8 <= total; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    word = (word >> 1) & 0x7777777777777777ULL;
    std::memcpy(bytes + i, &word, 8);
  }
  for (; i < total; ++i) bytes[i] = static_cast<uint8_t>((bytes[i] >> 1) & 0x77);
}

void CountMinSketch::clear() { std::memset(bytes_.get(), 0, static_cast<size_t>(2 * width())); }

// Bloom ----------------------------------------------------------------------

EngineResult<Bloom::Params> Bloom::params(uint64_t entries) {
  const uint64_t n = entries == 0 ? 1 : entries;
  const double mr = -(static_cast<double>(n) * std::log(kFalsePositiveRatio)) / 0.4804530139182014;
  const uint64_t m = to_u64_saturating(mr);
  const uint64_t set_locs = to_u64_saturating(std::ceil(0.6931471805599453 * mr / static_cast<double>(n)));
  assert(set_locs >= 1 && set_locs <= 64);
  if (m > kMaxBits) {
    return unexpected(EngineError::invalid_num_counters(
        "bloom entries out of range: " + std::to_string(m) + " (cap=" + std::to_string(n) + ", ratio=" +
        display(kFalsePositiveRatio) + "); max is " + std::to_string(kMaxBits)));
  }
  const uint64_t size = std::bit_ceil(m < 512 ? uint64_t{512} : m);
  return Params{static_cast<uint32_t>(std::countr_zero(size)), set_locs};
}

EngineResult<Bloom> Bloom::create(const Params& params) {
  auto words = zeroed<uint64_t>(params.words());
  if (!words) {
    return unexpected(EngineError::out_of_memory("a doorkeeper of " + std::to_string(params.words() * 8) + " bytes"));
  }
  return Bloom(std::move(words), params);
}

bool Bloom::contains(uint64_t hash) const {
  for (uint64_t i = 0; i < set_locs_; ++i) {
    const uint64_t bit = probe(hash, i);
    const uint64_t word = std::atomic_ref<uint64_t>(words_.get()[bit / 64]).load(std::memory_order_relaxed);
    if ((word & (uint64_t{1} << (bit % 64))) == 0) return false;
  }
  return true;
}

bool Bloom::contains_or_add(uint64_t hash) {
  if (contains(hash)) return false;
  for (uint64_t i = 0; i < set_locs_; ++i) {
    const uint64_t bit = probe(hash, i);
    std::atomic_ref<uint64_t>(words_.get()[bit / 64]).fetch_or(uint64_t{1} << (bit % 64), std::memory_order_relaxed);
  }
  return true;
}

void Bloom::clear() {
  const uint64_t count = size() / 64;
  for (uint64_t i = 0; i < count; ++i) std::atomic_ref<uint64_t>(words_.get()[i]).store(0, std::memory_order_relaxed);
}

// TinyLFU --------------------------------------------------------------------

EngineResult<TinyLFU> TinyLFU::create(uint64_t num_counters, uint64_t reset_at) {
  // Sizes of both structures first: nothing is allocated for a refused count.
  auto bloom_params = Bloom::params(num_counters);
  if (!bloom_params) return unexpected(std::move(bloom_params).error());
  if (!CountMinSketch::width_for(num_counters)) {
    return unexpected(EngineError::invalid_count_min_width(num_counters));
  }
  auto sketch = CountMinSketch::create(num_counters, sketch_seeds());
  if (!sketch) return unexpected(std::move(sketch).error());
  auto doorkeeper = Bloom::create(*bloom_params);
  if (!doorkeeper) return unexpected(std::move(doorkeeper).error());
  return TinyLFU(std::move(*sketch), std::move(*doorkeeper), reset_at);
}

bool TinyLFU::increment(uint64_t hash) {
  if (!doorkeeper_.contains_or_add(hash)) sketch_.increment(hash);
  if (++recorded_ < reset_at_) return false;
  recorded_ = 0;
  doorkeeper_.clear();
  sketch_.reset();
  return true;
}

bool TinyLFU::grow(uint64_t num_counters) {
  assert(recorded_ == 0);
  if (num_counters <= reset_at_) return false;
  auto bloom_params = Bloom::params(num_counters);
  if (!bloom_params) return false;
  std::optional<CountMinSketch> sketch;
  const auto width = CountMinSketch::width_for(num_counters);
  if (!width) return false;
  if (*width > sketch_.width()) {
    auto widened = sketch_.widened(num_counters);
    if (!widened) return false;
    sketch.emplace(std::move(*widened));
  }
  if (bloom_params->exp != doorkeeper_.exp() || bloom_params->set_locs != doorkeeper_.set_locs()) {
    auto doorkeeper = Bloom::create(*bloom_params);
    if (!doorkeeper) return false;
    doorkeeper_ = std::move(*doorkeeper);
  }
  if (sketch) sketch_ = std::move(*sketch);
  reset_at_ = num_counters;
  return true;
}

int64_t TinyLFU::estimate(uint64_t hash) const {
  int64_t hits = sketch_.estimate(hash);
  if (doorkeeper_.contains(hash)) ++hits;
  return hits;
}

void TinyLFU::clear() {
  recorded_ = 0;
  doorkeeper_.clear();
  sketch_.clear();
}

}  // namespace qel::engine
