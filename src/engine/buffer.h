// The work items and the insert buffer: 64 stripes of up to 64 items
// and the bounded channel of 2048 batches to the engine's processor.
//
// Every batch taken out of a stripe by a caller stays "in flight" on that
// stripe until it is in the channel or, given back, has been handled by its
// taker. wait() and clear() take a stripe's items only once every batch other
// threads took from it has settled, so they cover every write the calling
// thread made before them, even one that another thread took in a full batch
// (or in a drain of its own) and had not yet sent.
//
// Safe from any thread. Each stripe's mutex guards that stripe alone and is
// never held while another lock is taken: batches go to the channel after
// it is let go.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "common/mutex.h"
#include "engine/channel.h"

namespace qel::engine {

struct NewItem {
  uint64_t key;
  uint64_t conflict;
  int64_t cost;
  uint64_t version;
  uint64_t generation;
};
struct DeleteItem {
  uint64_t key;
  uint64_t conflict;
  uint64_t generation;
  uint64_t version;
};
struct WaitItem {
  Signal signal;
};
struct ClearItem {
  Signal signal;
};
using Item = std::variant<NewItem, DeleteItem, WaitItem, ClearItem>;
using Batch = std::vector<Item>;

class InsertStripeRing {
 public:
  static constexpr size_t kStripes = 64;
  static constexpr size_t kCapacity = 64;
  static constexpr size_t kChannelBatches = 2048;

 private:
  struct alignas(128) Stripe {
    Stripe() { items.reserve(kCapacity); }
    // Whether a thread other than `me` has a batch of this stripe in flight.
    bool taken_by_others(uint64_t me) const REQUIRES(mutex) {
      return std::any_of(in_flight.begin(), in_flight.end(), [&](const auto& entry) { return entry.second != me; });
    }

    Mutex mutex;
    CondVar settled;  // an in-flight batch settled
    Batch items GUARDED_BY(mutex);
    uint64_t next_ticket GUARDED_BY(mutex) = 0;
    std::vector<std::pair<uint64_t, uint64_t>> in_flight GUARDED_BY(mutex);  // (ticket, taking thread)
  };

 public:
  // Keeps one taken batch in flight until destroyed.
  class InFlight {
   public:
    InFlight(Stripe* stripe, uint64_t ticket) : stripe_(stripe), ticket_(ticket) {}
    InFlight(InFlight&& other) noexcept : stripe_(std::exchange(other.stripe_, nullptr)), ticket_(other.ticket_) {}
    InFlight& operator=(InFlight&&) = delete;
    ~InFlight();

   private:
    Stripe* stripe_;
    uint64_t ticket_;
  };

  // A full batch the channel did not take: the caller handles its items,
  // then drops the token.
  struct GivenBack {
    Batch batch;
    InFlight token;
  };

  InsertStripeRing();

  // Appends to the calling thread's stripe; a stripe that fills is sent as
  // one batch (without blocking, then waiting at most 20 microseconds).
  std::optional<GivenBack> push(Item item);
  // A batch of one item, blocking while the channel is full; false once the
  // channel is closed.
  bool send_single(Item item);
  // Sends every stripe's pending items (stripes 0 to 63) with blocking sends,
  // after the batches others took from each stripe have settled; false at
  // the first send the closed channel refuses.
  bool drain_all_stripes_to_channel();
  // Every stripe's pending items, stripes 0 to 63, for the processor.
  Batch take_all();

  BoundedChannel<Batch>& channel() { return channel_; }

  // Tests only: called by push on the caller's thread after it has taken a
  // full batch out of its stripe and before it sends it.
  static inline std::atomic<void (*)()> after_take_hook{nullptr};
  // Tests only: called by a drainer, under the stripe's lock, each time it
  // is about to wait for a batch another thread took.
  static inline std::atomic<void (*)()> before_settle_wait_hook{nullptr};

 private:
  Stripe& stripe_of_caller() { return stripes_[current_stripe()]; }
  static size_t current_stripe();

  std::unique_ptr<Stripe[]> stripes_;
  BoundedChannel<Batch> channel_{kChannelBatches};
};

}  // namespace qel::engine
