#include "engine/buffer.h"

#include <algorithm>
#include <chrono>

#include "engine/hash.h"

namespace qel::engine {

InsertStripeRing::InFlight::~InFlight() {
  if (!stripe_) return;
  MutexLock lock(stripe_->mutex);
  auto& flying = stripe_->in_flight;
  flying.erase(std::find_if(flying.begin(), flying.end(), [&](const auto& entry) { return entry.first == ticket_; }));
  stripe_->settled.notify_all();
}

InsertStripeRing::InsertStripeRing() : stripes_(std::make_unique<Stripe[]>(kStripes)) {}

size_t InsertStripeRing::current_stripe() { return current_thread_stripe(kStripes); }

std::optional<InsertStripeRing::GivenBack> InsertStripeRing::push(Item item) {
  Stripe& stripe = stripe_of_caller();
  Batch batch;
  uint64_t ticket;
  {
    MutexLock lock(stripe.mutex);
    stripe.items.push_back(std::move(item));
    if (stripe.items.size() < kCapacity) return std::nullopt;
    batch.reserve(kCapacity);
    batch.swap(stripe.items);
    ticket = stripe.next_ticket++;
    stripe.in_flight.emplace_back(ticket, current_thread_id());
  }
  InFlight token(&stripe, ticket);
  if (auto hook = after_take_hook.load(std::memory_order_acquire)) hook();
  if (channel_.try_send(batch) || channel_.send_for(batch, std::chrono::microseconds(20))) return std::nullopt;
  return GivenBack{std::move(batch), std::move(token)};
}

bool InsertStripeRing::send_single(Item item) {
  Batch batch;
  batch.push_back(std::move(item));
  return channel_.send(batch);
}

bool InsertStripeRing::drain_all_stripes_to_channel() {
  const uint64_t me = current_thread_id();
  for (size_t i = 0; i < kStripes; ++i) {
    Stripe& stripe = stripes_[i];
    Batch batch;
    std::optional<InFlight> token;
    {
      MutexLock lock(stripe.mutex);
      // Every batch other threads have taken from this stripe must be in the
      // channel or handled first, including one taken while this wait let go
      // of the lock: another drainer may take the caller's write then. The
      // caller's own (a callback running while it handles a given-back batch)
      // cannot settle while it waits here.
      while (stripe.taken_by_others(me)) {
        if (auto hook = before_settle_wait_hook.load(std::memory_order_acquire)) hook();
        stripe.settled.wait(stripe.mutex);
      }
      if (stripe.items.empty()) continue;
      batch.reserve(kCapacity);
      batch.swap(stripe.items);
      const uint64_t ticket = stripe.next_ticket++;
      stripe.in_flight.emplace_back(ticket, me);
      token.emplace(&stripe, ticket);
    }
    if (!channel_.send(batch)) return false;
  }
  return true;
}

Batch InsertStripeRing::take_all() {
  Batch all;
  for (size_t i = 0; i < kStripes; ++i) {
    MutexLock lock(stripes_[i].mutex);
    for (Item& item : stripes_[i].items) all.push_back(std::move(item));
    stripes_[i].items.clear();
  }
  return all;
}

}  // namespace qel::engine
