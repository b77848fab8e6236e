// The keyed store and the dense table under each of its shards.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "engine/sharded_map.h"
#include "engine/table.h"

namespace qel::engine {
namespace {

using Map = ShardedMap<std::string>;

std::optional<uint64_t> insert(Map& map, uint64_t key, uint64_t conflict, std::string value, uint64_t generation = 0) {
  return map.try_insert(key, conflict, value, generation);
}

TEST(ShardedMap, FirstEntryKeptAndConflictHashesVersionsAndGenerationsChecked) {
  Map map;
  EXPECT_EQ(insert(map, 5, 55, "five"), 1u);
  std::string other = "other";
  EXPECT_FALSE(map.try_insert(5, 99, other, 0));
  EXPECT_EQ(other, "other");  // not taken
  // 256 shards by the low byte: 3 and 259 share one.
  EXPECT_EQ(insert(map, 3, 1, "a"), 2u);
  EXPECT_EQ(insert(map, 259, 1, "b"), 3u);
  EXPECT_EQ(map.get(3, 0), "a");
  EXPECT_EQ(map.get(259, 0), "b");
  // Conflict 0 matches any entry.
  EXPECT_EQ(map.get(5, 0), "five");
  EXPECT_EQ(map.get(5, 55), "five");
  EXPECT_FALSE(map.get(5, 56));
  EXPECT_FALSE(map.contains_key(5, 56));
  EXPECT_FALSE(map.try_remove(5, 56));
  EXPECT_TRUE(map.try_remove(5, 0));
  // Versions and generations guard removal.
  const auto old_version = insert(map, 7, 1, "old");
  ASSERT_TRUE(map.try_remove(7, 1));
  const auto new_version = insert(map, 7, 1, "new");
  EXPECT_FALSE(map.try_remove_if_version(7, 1, *old_version));
  EXPECT_FALSE(map.contains_version(7, 1, *old_version));
  EXPECT_TRUE(map.contains_version(7, 1, *new_version));
  EXPECT_EQ(map.try_remove_if_version(7, 1, *new_version)->value, "new");
  insert(map, 8, 1, "four", 4);
  EXPECT_FALSE(map.try_remove_if_not_stale(8, 1, 3));
  EXPECT_TRUE(map.try_remove_if_not_stale(8, 1, 4));
}

struct Record {
  uint64_t key;
  int64_t value;
};

// Random inserts, updates and removals against an ordered map, over keys that
// all share their low bits (as one shard's do) and collide in the index, so
// that removals move long probe runs and last records into holes.
TEST(DenseTable, AgreesWithAMapThroughGrowthAndRemovals) {
  for (uint64_t low_bits : {0ull, 0xABull}) {
    SCOPED_TRACE(low_bits);
    DenseTable<Record> table;
    std::map<uint64_t, int64_t> model;
    std::mt19937_64 random(7);
    for (int step = 0; step < 200000; ++step) {
      const uint64_t key = (random() % 3000) << 8 | low_bits;
      switch (random() % 3) {
        case 0:
          if (!model.contains(key)) {
            table.insert({key, step});
            model[key] = step;
          }
          break;
        case 1:
          if (Record* found = table.find(key)) found->value = -step, model[key] = -step;
          break;
        default: {
          const auto removed = table.remove(key);
          ASSERT_EQ(removed.has_value(), model.contains(key)) << key;
          if (removed) {
            ASSERT_EQ(removed->value, model[key]);
            model.erase(key);
          }
        }
      }
      if (step % 997 == 0) {
        ASSERT_EQ(table.size(), model.size());
        for (const auto& [k, v] : model) ASSERT_TRUE(table.find(k) && table.find(k)->value == v) << k;
        std::map<uint64_t, int64_t> listed;
        for (const Record& r : table.records()) listed[r.key] = r.value;
        ASSERT_EQ(listed, model);
      }
    }
    const auto all = table.take_all();
    EXPECT_EQ(all.size(), model.size());
    EXPECT_TRUE(table.empty() && table.find(low_bits) == nullptr && !table.remove(low_bits));
  }
}

}  // namespace
}  // namespace qel::engine
