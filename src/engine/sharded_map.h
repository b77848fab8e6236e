// ShardedMap, the engine's keyed store: 256 shards under reader-writer
// locks, one MapItem per key hash, guarded by conflict hashes, versions and
// generations. A stored value is never replaced: a key hash is taken until
// its entry is removed. Safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/shared_mutex.h"
#include "engine/table.h"

namespace qel::engine {

template <class V>
struct MapItem {
  uint64_t key;
  uint64_t conflict;
  uint64_t version;
  uint64_t generation;
  int64_t cost;  // the write's cost, reported with the value when it leaves
  V value;
};

template <class V>
class ShardedMap {
 public:
  static constexpr size_t kShards = 256;

  ShardedMap() : shards_(std::make_unique<Shard[]>(kShards)) {}

  // A copy of the value, taken under the shard's read lock.
  std::optional<V> get(uint64_t key, uint64_t conflict) const {
    const Shard& shard = shard_of(key);
    ReaderLock lock(shard.mutex);
    const MapItem<V>* item = find(shard, key, conflict);
    if (!item) return std::nullopt;
    return item->value;
  }

  bool contains_key(uint64_t key, uint64_t conflict) const {
    const Shard& shard = shard_of(key);
    ReaderLock lock(shard.mutex);
    return find(shard, key, conflict) != nullptr;
  }

  bool contains_version(uint64_t key, uint64_t conflict, uint64_t version) const {
    const Shard& shard = shard_of(key);
    ReaderLock lock(shard.mutex);
    const MapItem<V>* item = find(shard, key, conflict);
    return item && item->version == version;
  }

  // The new entry's version, or nothing when the shard already holds the key
  // hash (whatever its conflict hash); `value` is moved from only on success.
  std::optional<uint64_t> try_insert(uint64_t key, uint64_t conflict, V& value, uint64_t generation,
                                     int64_t cost = 0) {
    Shard& shard = shard_of(key);
    WriterLock lock(shard.mutex);
    if (shard.items.find(key) != nullptr) return std::nullopt;
    const uint64_t version = next_version_.fetch_add(1, std::memory_order_relaxed);
    shard.items.insert(MapItem<V>{key, conflict, version, generation, cost, std::move(value)});
    return version;
  }

  std::optional<MapItem<V>> try_remove(uint64_t key, uint64_t conflict) {
    return remove_when(key, conflict, [](const MapItem<V>&) { return true; });
  }
  std::optional<MapItem<V>> try_remove_if_version(uint64_t key, uint64_t conflict, uint64_t version) {
    return remove_when(key, conflict, [&](const MapItem<V>& item) { return item.version == version; });
  }
  std::optional<MapItem<V>> try_remove_if_not_stale(uint64_t key, uint64_t conflict, uint64_t generation) {
    return remove_when(key, conflict, [&](const MapItem<V>& item) { return item.generation <= generation; });
  }

  // Empties shards 0 to 255 in turn and returns every value taken.
  std::vector<V> clear() {
    std::vector<V> values;
    for (size_t i = 0; i < kShards; ++i) {
      std::vector<MapItem<V>> taken;
      {
        WriterLock lock(shards_[i].mutex);
        taken = shards_[i].items.take_all();
      }
      for (auto& item : taken) values.push_back(std::move(item.value));
    }
    return values;
  }

  // Introspection for tests: entries in all shards.
  size_t len() const {
    size_t total = 0;
    for (size_t i = 0; i < kShards; ++i) {
      ReaderLock lock(shards_[i].mutex);
      total += shards_[i].items.size();
    }
    return total;
  }

 private:
  struct alignas(64) Shard {
    // Guards items. Writer-preferring, so readers cannot starve the
    // processor's writes; no method takes a second shard lock while holding one.
    mutable SharedMutex mutex;
    DenseTable<MapItem<V>> items GUARDED_BY(mutex);
  };

  Shard& shard_of(uint64_t key) { return shards_[key % kShards]; }
  const Shard& shard_of(uint64_t key) const { return shards_[key % kShards]; }

  static const MapItem<V>* find(const Shard& shard, uint64_t key, uint64_t conflict) REQUIRES_SHARED(shard.mutex) {
    const MapItem<V>* found = shard.items.find(key);
    if (found == nullptr || (conflict != 0 && found->conflict != conflict)) return nullptr;
    return found;
  }

  template <class Test>
  std::optional<MapItem<V>> remove_when(uint64_t key, uint64_t conflict, Test&& test) {
    Shard& shard = shard_of(key);
    WriterLock lock(shard.mutex);
    const MapItem<V>* found = shard.items.find(key);
    if (found == nullptr || (conflict != 0 && found->conflict != conflict) || !test(*found)) return std::nullopt;
    return shard.items.remove(key);
  }

  std::unique_ptr<Shard[]> shards_;
  std::atomic<uint64_t> next_version_{1};
};

}  // namespace qel::engine
