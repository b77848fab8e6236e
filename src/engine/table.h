// DenseTable: records keyed by a 64-bit key hash, held side by side in one
// array beside an open-addressing index of their positions. A million records
// cost their own size and a few bytes each, where a node-based map costs a
// heap block, a bucket and a second copy of the key per record. Positions are
// dense, so a uniform draw among the records takes one random index. Not
// thread-safe: its owner's lock guards it.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qel::engine {

// T has a `uint64_t key` member.
template <class T>
class DenseTable {
 public:
  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  std::span<T> records() { return records_; }
  std::span<const T> records() const { return records_; }

  T* find(uint64_t key) {
    const size_t slot = slot_of(key);
    return slots_.empty() || slots_[slot] == kEmpty ? nullptr : &records_[slots_[slot] - 1];
  }
  const T* find(uint64_t key) const { return const_cast<DenseTable*>(this)->find(key); }

  // `record.key` must not be present.
  void insert(T record) {
    assert(find(record.key) == nullptr);
    if ((records_.size() + 1) * 8 > slots_.size() * 7) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    if (records_.size() == records_.capacity()) {
      // A quarter more rather than double: at a million records the spare
      // room is most of what a record costs beyond its own bytes.
      records_.reserve(records_.size() + records_.size() / 4 + 8);
    }
    const uint64_t key = record.key;
    records_.push_back(std::move(record));
    slots_[slot_of(key)] = static_cast<uint32_t>(records_.size());
  }

  std::optional<T> remove(uint64_t key) {
    if (slots_.empty()) return std::nullopt;
    const size_t slot = slot_of(key);
    if (slots_[slot] == kEmpty) return std::nullopt;
    const size_t position = slots_[slot] - 1;
    erase_slot(slot);
    std::optional<T> removed(std::move(records_[position]));
    if (position + 1 != records_.size()) {
      // The last record fills the hole; its slot follows it.
      const size_t last = slot_of(records_.back().key);
      records_[position] = std::move(records_.back());
      slots_[last] = static_cast<uint32_t>(position + 1);
    }
    records_.pop_back();
    return removed;
  }

  // Every record, leaving the table empty and its memory released.
  std::vector<T> take_all() {
    std::vector<uint32_t>().swap(slots_);
    return std::exchange(records_, {});
  }

 private:
  static constexpr uint32_t kEmpty = 0;  // slots hold position + 1

  size_t home_of(uint64_t key) const {
    // Key hashes are spread already, but a shard's share has equal low bits.
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
  }

  // The slot holding `key`, or the empty slot where it would go.
  size_t slot_of(uint64_t key) const {
    if (slots_.empty()) return 0;
    for (size_t slot = home_of(key);; slot = (slot + 1) & (slots_.size() - 1)) {
      if (slots_[slot] == kEmpty || records_[slots_[slot] - 1].key == key) return slot;
    }
  }

  // Linear probing's deletion: later members of the probe run move back, so
  // that every lookup still finds its record before an empty slot.
  void erase_slot(size_t hole) {
    const size_t mask = slots_.size() - 1;
    for (size_t next = (hole + 1) & mask; slots_[next] != kEmpty; next = (next + 1) & mask) {
      const size_t home = home_of(records_[slots_[next] - 1].key);
      // Movable to the hole when its home does not lie in (hole, next].
      if (((next - home) & mask) >= ((next - hole) & mask)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole] = kEmpty;
  }

  void rehash(size_t slots) {
    assert(records_.size() < UINT32_MAX);
    slots_.assign(slots, kEmpty);
    for (size_t i = 0; i < records_.size(); ++i) slots_[slot_of(records_[i].key)] = static_cast<uint32_t>(i + 1);
  }

  std::vector<T> records_;
  std::vector<uint32_t> slots_;  // a power of two in size, at most 7/8 full
};

}  // namespace qel::engine
