// AdmissionEngine: the engine's front and its processor thread.
//
// AdmissionEngine<V> is a shared handle on one engine: a sharded store of values keyed
// by the SeaHash of their key, a TinyLFU/sampled-LFU policy with its own
// thread counting reads, and the processor thread that admits or rejects
// every write, evicts, and reports every value it lets go of to the removal
// callback, exactly once. Releasing the last handle stops both threads and
// joins the processor (unless the releasing thread is the processor itself).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "engine/buffer.h"
#include "engine/engine_error.h"
#include "engine/hash.h"
#include "engine/log.h"
#include "engine/lfu_policy.h"
#include "engine/sharded_map.h"

namespace qel::engine {

template <class V>
struct RemovedItem {
  uint64_t key;
  uint64_t conflict;
  int64_t cost;
  V value;
};

template <class V>
struct EngineHooks {
  std::function<int64_t(const V&)> coster;         // used when try_insert gets cost 0
  std::function<void(RemovedItem<V>)> on_removal;  // the removal callback
};

struct EngineSettings {
  int64_t num_counters;  // frequency counters: sketch width request, doorkeeper entries, reset_at
  int64_t max_cost;      // budget
  CounterSizing sizing = CounterSizing::Fixed;  // FollowEntries: num_counters is where it starts
};

// A snapshot of the engine's own accounting, for tests and tools.
struct EngineStats {
  int64_t used;        // the policy's sum of admitted costs
  int64_t peak_used;   // the largest `used` ever reached
  int64_t max_cost;
  size_t admitted;     // keys the policy holds
  size_t stored;       // entries in the store (admitted or still pending)
  uint64_t generation;
};

namespace detail {

inline constexpr auto kDrainInterval = std::chrono::milliseconds(500);

// ON_PROCESSOR_THREAD: set by a processor thread when it starts.
bool on_processor_thread();
void mark_processor_thread();

template <class V>
struct Core {
  Core(EngineHooks<V> hooks_in, uint64_t xx_seed, std::shared_ptr<LFUPolicy> policy_in)
      : hooks(std::move(hooks_in)),
        keys(xx_seed),
        policy(std::move(policy_in)),
        ring(policy) {}

  void report(uint64_t key, uint64_t conflict, int64_t cost, V value) {
    if (!hooks.on_removal) return;
    try {
      hooks.on_removal(RemovedItem<V>{key, conflict, cost, std::move(value)});
    } catch (const std::exception& error) {
      log(LogLevel::Error, std::string("removal callback failed: ") + error.what());
    } catch (...) {
      log(LogLevel::Error, "removal callback failed");
    }
  }

  // A full batch the channel did not take, handled on the inserting thread:
  // its writes are taken back and reported; markers are released.
  void undo_given_back(Batch& batch) {
    for (Item& item : batch) {
      if (auto* write = std::get_if<NewItem>(&item)) {
        auto removed = store.try_remove_if_version(write->key, write->conflict, write->version);
        if (!removed) continue;
        if (!store.contains_key(write->key, 0)) policy->remove(write->key);
        report(removed->key, removed->conflict, removed->cost, std::move(removed->value));
      }
    }
    batch.clear();
  }

  // The processor thread.
  static void run(std::shared_ptr<Core> core) {
    mark_processor_thread();
    core->process();
  }

  void process() {
    using Clock = std::chrono::steady_clock;
    auto next_drain = Clock::now() + kDrainInterval;
    auto& channel = buffer.channel();
    for (;;) {
      const auto now = Clock::now();
      if (now >= next_drain) {
        Batch pending = buffer.take_all();
        handle_batch(pending);
        next_drain = Clock::now() + kDrainInterval;
        continue;
      }
      std::optional<Batch> batch;
      switch (channel.recv_until(next_drain, batch)) {
        case BoundedChannel<Batch>::RecvStatus::Message:
          handle_batch(*batch);
          break;
        case BoundedChannel<Batch>::RecvStatus::Timeout:
          break;
        case BoundedChannel<Batch>::RecvStatus::Stopped: {
          // Writes still in stripes are decided; what is left in the channel
          // is undone without a callback and its markers released.
          Batch pending = buffer.take_all();
          handle_batch(pending);
          channel.close();
          while (auto left = channel.try_recv()) {
            for (Item& item : *left) {
              if (auto* write = std::get_if<NewItem>(&item)) {
                static_cast<void>(store.try_remove_if_version(write->key, write->conflict, write->version));
              } else if (auto* wait = std::get_if<WaitItem>(&item)) {
                wait->signal.done();
              } else if (auto* clear = std::get_if<ClearItem>(&item)) {
                clear->signal.done();
              }
            }
          }
          return;
        }
      }
    }
  }

  void handle_batch(Batch& batch) {
    for (Item& item : batch) {
      try {
        std::visit([&](auto& work) { handle(work); }, item);
      } catch (const std::exception& error) {
        log(LogLevel::Error, std::string("fail to handle insert event item: ") + error.what());
      }
    }
    batch.clear();
  }

  void handle(NewItem& write) {
    if (write.generation != generation.load(std::memory_order_acquire)) {
      // Began before a clear: undone without a callback.
      static_cast<void>(store.try_remove_if_version(write.key, write.conflict, write.version));
      return;
    }
    if (!store.contains_version(write.key, write.conflict, write.version)) return;
    AddOutcome outcome = policy->add(write.key, write.cost);
    switch (outcome.kind) {
      case AddOutcome::Kind::Added:
        break;
      case AddOutcome::Kind::CostUpdated:
        return;
      case AddOutcome::Kind::TooLarge:
      case AddOutcome::Kind::Rejected: {
        auto refused = store.try_remove_if_version(write.key, write.conflict, write.version);
        if (!store.contains_key(write.key, 0)) policy->remove(write.key);
        if (refused) report(refused->key, refused->conflict, refused->cost, std::move(refused->value));
        break;
      }
    }
    for (const PolicyPair& victim : outcome.victims) {
      auto evicted = store.try_remove(victim.key, 0);
      if (evicted) report(victim.key, evicted->conflict, victim.cost, std::move(evicted->value));
    }
  }

  void handle(DeleteItem& removal) {
    if (removal.generation != generation.load(std::memory_order_acquire)) {
      if (removal.version != 0 && !store.contains_key(removal.key, 0)) policy->remove(removal.key);
      return;
    }
    if (removal.version == 0) return;
    static_cast<void>(store.try_remove_if_version(removal.key, removal.conflict, removal.version));
    if (!store.contains_key(removal.key, 0)) policy->remove(removal.key);
  }

  void handle(WaitItem& wait) { wait.signal.done(); }

  void handle(ClearItem& clear) {
    std::vector<V> taken = store.clear();
    policy->clear();
    generation.fetch_add(1, std::memory_order_acq_rel);
    taken.clear();  // dropped without a callback
    clear.signal.done();
  }

  EngineHooks<V> hooks;
  const DefaultKeyBuilder keys;
  ShardedMap<V> store;
  std::shared_ptr<LFUPolicy> policy;
  RingStripe ring;
  InsertStripeRing buffer;
  std::atomic<uint64_t> generation{0};
};

// What the handles share: the core, shared with the processor thread, and
// the processor's join handle, which the processor does not keep alive.
template <class V>
struct Inner {
  ~Inner() {
    core->buffer.channel().stop();
    core->policy->stop();
    if (!processor.joinable()) return;
    if (processor.get_id() == std::this_thread::get_id()) {
      processor.detach();  // released inside a callback: the processor ends by itself
    } else {
      processor.join();
    }
  }
  std::shared_ptr<Core<V>> core;
  std::thread processor;
};

}  // namespace detail

template <class V>  // V copyable
class AdmissionEngine {
 public:
  // Starts the policy thread and the processor thread.
  static EngineResult<AdmissionEngine> create(const EngineSettings& settings, EngineHooks<V> hooks) {
    const uint64_t xx_seed = thread_random_u64();
    if (settings.num_counters == 0) return unexpected(EngineError::invalid_num_counters());
    if (settings.max_cost == 0) return unexpected(EngineError::invalid_max_cost());
    if (settings.num_counters < 0) {
      return unexpected(EngineError::invalid_num_counters("negative count " + std::to_string(settings.num_counters)));
    }
    if (settings.max_cost < 0) return unexpected(EngineError::invalid_max_cost());
    try {
      auto policy = LFUPolicy::create(static_cast<uint64_t>(settings.num_counters), settings.max_cost, settings.sizing);
      if (!policy) return unexpected(std::move(policy).error());
      auto inner = std::make_shared<detail::Inner<V>>();
      try {
        inner->core = std::make_shared<detail::Core<V>>(std::move(hooks), xx_seed, *policy);
        inner->processor = std::thread(&detail::Core<V>::run, inner->core);
      } catch (...) {
        (*policy)->stop();
        if (inner->core) inner->core->buffer.channel().stop();
        inner->core.reset();
        throw;
      }
      return AdmissionEngine(std::move(inner));
    } catch (const std::bad_alloc&) {
      return unexpected(EngineError::out_of_memory("the engine"));
    } catch (const std::system_error& error) {
      return unexpected(EngineError::channel_error(std::string("fail to start the engine processor: ") + error.what()));
    }
  }

  // Records the access; copies the value out under the shard's read lock.
  std::optional<V> get(std::string_view key) const {
    detail::Core<V>& core = *inner_->core;
    const KeyHashes hashes = core.keys.build(key);
    core.ring.push(hashes.key);
    return core.store.get(hashes.key, hashes.conflict);
  }

  // Like get, but the access is not recorded: admission never hears of it.
  std::optional<V> peek(std::string_view key) const {
    detail::Core<V>& core = *inner_->core;
    const KeyHashes hashes = core.keys.build(key);
    return core.store.get(hashes.key, hashes.conflict);
  }

  // True when the write was accepted for processing (admission is decided
  // later); false when the key is stored already or the write was dropped.
  EngineResult<bool> try_insert(std::string_view key, V value, int64_t cost) const {
    detail::Core<V>& core = *inner_->core;
    if (cost == 0 && core.hooks.coster) cost = core.hooks.coster(value);
    const KeyHashes hashes = core.keys.build(key);
    const uint64_t generation = core.generation.load(std::memory_order_acquire);
    const auto version = core.store.try_insert(hashes.key, hashes.conflict, value, generation, cost);
    if (!version) return false;  // a stored value is never replaced
    auto given_back = core.buffer.push(NewItem{hashes.key, hashes.conflict, cost, *version, generation});
    if (!given_back) return true;
    core.undo_given_back(given_back->batch);
    return false;
  }

  // Removes the key's value at once (without a callback) and tells the policy.
  EngineResult<void> try_remove(std::string_view key) const {
    detail::Core<V>& core = *inner_->core;
    const KeyHashes hashes = core.keys.build(key);
    const uint64_t generation = core.generation.load(std::memory_order_acquire);
    auto removed = core.store.try_remove_if_not_stale(hashes.key, hashes.conflict, generation);
    if (!removed) return {};
    if (detail::on_processor_thread()) {
      if (core.generation.load(std::memory_order_acquire) == generation && !core.store.contains_key(hashes.key, 0)) {
        core.policy->remove(hashes.key);
      }
      return {};
    }
    if (!core.buffer.send_single(DeleteItem{hashes.key, hashes.conflict, generation, removed->version})) {
      return unexpected(EngineError::channel_error("failed to send delete to insert buffer: channel closed"));
    }
    return {};
  }

  // Blocks until every write issued before the call has been decided.
  EngineResult<void> wait() const {
    if (detail::on_processor_thread()) {
      return unexpected(EngineError::channel_error(
          "wait() cannot be called from a removal callback: it would wait on the processor thread that is currently "
          "running the callback"));
    }
    auto group = std::make_shared<WaitGroup>(1);
    detail::Core<V>& core = *inner_->core;
    if (!core.buffer.drain_all_stripes_to_channel()) {
      return unexpected(EngineError::send_error("cache insert buffer: channel closed during wait prelude"));
    }
    if (!core.buffer.send_single(WaitItem{Signal(group)})) {
      return unexpected(EngineError::send_error("cache insert buffer: channel closed"));
    }
    group->wait();
    return {};
  }

  // Empties the engine (no callback for the cleared values); blocks until done.
  EngineResult<void> clear() const {
    if (detail::on_processor_thread()) {
      return unexpected(EngineError::channel_error(
          "clear() cannot be called from a removal callback: it would wait on the processor thread that is currently "
          "running the callback"));
    }
    auto group = std::make_shared<WaitGroup>(1);
    detail::Core<V>& core = *inner_->core;
    if (!core.buffer.drain_all_stripes_to_channel()) {
      return unexpected(EngineError::send_error("cache insert buffer: channel closed during clear prelude"));
    }
    if (!core.buffer.send_single(ClearItem{Signal(group)})) {
      return unexpected(EngineError::send_error("fail to enqueue clear marker: channel closed"));
    }
    group->wait();
    return {};
  }

  EngineStats stats() const {
    detail::Core<V>& core = *inner_->core;
    return EngineStats{core.policy->used(),
                      core.policy->peak_used(),
                      core.policy->max_cost(),
                      core.policy->len(),
                      core.store.len(),
                      core.generation.load(std::memory_order_acquire)};
  }
  // The key hash the engine uses for `key` (for tests and tools).
  uint64_t key_hash(std::string_view key) const { return inner_->core->keys.key_hash(key); }
  const LFUPolicy& policy() const { return *inner_->core->policy; }

 private:
  explicit AdmissionEngine(std::shared_ptr<detail::Inner<V>> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<detail::Inner<V>> inner_;
};

}  // namespace qel::engine
