// The 4-bit count-min frequency sketch, the bloom-filter
// doorkeeper in front of it, and TinyLFU which combines them. None of them
// locks: their owner serialises every call (the policy lock).
//
// Every size is computed with checked arithmetic before anything is
// allocated; a size that overflows or cannot be allocated is a EngineError,
// never a crash. Storage comes zeroed from calloc, so large tables are not
// touched until used. Single counters are accessed through std::atomic_ref;
// halving, clearing and widening work on whole words or rows, which the
// owner's lock makes safe.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "engine/engine_error.h"

namespace qel::engine {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

// Four row seeds drawn from the calling thread's random generator.
std::array<uint64_t, 4> sketch_seeds();

class CountMinSketch {
 public:
  static constexpr int kRows = 4;

  // The width for a requested counter count: the smallest power of two at
  // least max(num_counters, 2); nothing when that, or the four rows' bytes
  // (2 * width), does not fit the address space.
  static std::optional<uint64_t> width_for(uint64_t num_counters);

  // Allocates; fails only when the width is invalid or memory is refused.
  static EngineResult<CountMinSketch> create(uint64_t num_counters, std::array<uint64_t, 4> seeds);
  // A sketch of at least this sketch's width, with the same seeds, in which
  // every key's counters read as they do here: counter j of a row copies
  // counter j mod width(). Estimates are unchanged by the widening; later
  // increments spread over the wider rows.
  EngineResult<CountMinSketch> widened(uint64_t num_counters) const;

  void increment(uint64_t hash);
  uint8_t estimate(uint64_t hash) const;
  void reset();  // halves every counter
  void clear();  // zeroes every counter

  uint64_t width() const { return mask_ + 1; }
  uint64_t mask() const { return mask_; }
  uint64_t row_bytes() const { return (mask_ + 1) / 2; }
  const std::array<uint64_t, 4>& seeds() const { return seeds_; }
  // Counter i of row r, for tests.
  uint8_t counter(int row, uint64_t index) const;

 private:
  CountMinSketch(std::unique_ptr<uint8_t[], FreeDeleter> bytes, uint64_t width, std::array<uint64_t, 4> seeds)
      : bytes_(std::move(bytes)), mask_(width - 1), seeds_(seeds) {}
  uint8_t* row(int r) const { return bytes_.get() + static_cast<size_t>(r) * row_bytes(); }

  std::unique_ptr<uint8_t[], FreeDeleter> bytes_;  // four rows of width / 2 bytes each
  uint64_t mask_;
  std::array<uint64_t, 4> seeds_;
};

class Bloom {
 public:
  static constexpr uint64_t kMaxBits = uint64_t{1} << 40;
  static constexpr double kFalsePositiveRatio = 0.01;

  struct Params {
    uint32_t exp;       // size = 2^exp bits
    uint64_t set_locs;  // probes per key, 1 to 64
    uint64_t words() const { return (uint64_t{1} << exp) / 64; }
  };
  // The sizing for `entries` keys at kFalsePositiveRatio, without allocating.
  static EngineResult<Params> params(uint64_t entries);
  static EngineResult<Bloom> create(const Params& params);

  bool contains(uint64_t hash) const;
  bool contains_or_add(uint64_t hash);
  void clear();

  uint64_t size() const { return mask_ + 1; }
  uint32_t exp() const { return exp_; }
  uint64_t set_locs() const { return set_locs_; }

 private:
  Bloom(std::unique_ptr<uint64_t[], FreeDeleter> words, const Params& params)
      : words_(std::move(words)), exp_(params.exp), mask_((uint64_t{1} << params.exp) - 1),
        set_locs_(params.set_locs), shift_(64 - params.exp) {}
  uint64_t probe(uint64_t hash, uint64_t i) const { return ((hash >> shift_) + i * (hash & mask_)) & mask_; }

  std::unique_ptr<uint64_t[], FreeDeleter> words_;
  uint32_t exp_;
  uint64_t mask_;
  uint64_t set_locs_;
  uint32_t shift_;
};

class TinyLFU {
 public:
  // Sizes both structures first, then allocates them; the sketch gets
  // fresh random seeds.
  static EngineResult<TinyLFU> create(uint64_t num_counters, uint64_t reset_at);

  // True when this access ended a sample: the doorkeeper was emptied and the
  // counters halved.
  bool increment(uint64_t hash);
  int64_t estimate(uint64_t hash) const;
  void clear();
  // Sizes the sketch and the doorkeeper for `num_counters`, which also
  // becomes the sample length. Only right after a sample has ended, when the
  // doorkeeper is empty anyway, so no count is lost. A count no larger than
  // the sample length, or memory refused, leaves everything as it is; true
  // when it grew.
  bool grow(uint64_t num_counters);

  const CountMinSketch& sketch() const { return sketch_; }
  const Bloom& doorkeeper() const { return doorkeeper_; }
  uint64_t recorded() const { return recorded_; }
  uint64_t reset_at() const { return reset_at_; }

 private:
  TinyLFU(CountMinSketch sketch, Bloom doorkeeper, uint64_t reset_at)
      : sketch_(std::move(sketch)), doorkeeper_(std::move(doorkeeper)), reset_at_(reset_at) {}

  CountMinSketch sketch_;
  Bloom doorkeeper_;
  uint64_t recorded_ = 0;
  uint64_t reset_at_;
};

}  // namespace qel::engine
