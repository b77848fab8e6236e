// The keyed store.
#include <gtest/gtest.h>

#include <string>

#include "engine/sharded_map.h"

namespace qel::engine {
namespace {

using Map = ShardedMap<std::string>;

std::optional<uint64_t> insert(Map& map, uint64_t key, uint64_t conflict, std::string value, uint64_t generation = 0) {
  return map.try_insert(key, conflict, value, generation);
}

TEST(ShardedMap, FirstEntryKeptAndConflictHashesChecked) {
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
}

TEST(ShardedMap, VersionsAndGenerationsGuardRemoval) {
  Map map;
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

}  // namespace
}  // namespace qel::engine
