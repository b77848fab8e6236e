#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/table.h"

namespace qel::engine {
namespace {

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
