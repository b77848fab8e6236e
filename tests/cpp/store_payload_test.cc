#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/payload.h"

namespace qel {
namespace {

TEST(Payload, RecycledBuffersAreNeverShared) {
  // More live payloads than the pool keeps spares, of sizes in and around
  // the recycled range, twice over so the second round draws on the spares.
  for (int round = 0; round < 2; ++round) {
    std::vector<Payload> live;
    for (size_t size : {size_t{1} << 16, size_t{1} << 20, size_t{4} << 20, (size_t{4} << 20) + 1, size_t{100},
                        size_t{1} << 16, size_t{3} << 20, size_t{1} << 16})
      live.emplace_back(size);
    for (size_t i = 0; i < live.size(); ++i) std::memset(live[i].data(), static_cast<int>(i), live[i].size());
    for (size_t i = 0; i < live.size(); ++i)
      EXPECT_EQ(std::count(live[i].bytes().begin(), live[i].bytes().end(), static_cast<uint8_t>(i)),
                static_cast<ptrdiff_t>(live[i].size())) << "payload " << i << " round " << round;
  }
}

}  // namespace
}  // namespace qel
