#include "cache/shared_cache.h"

#include <chrono>
#include <thread>

#include "cache/link.h"
#include "cache/owner_server.h"
#include "cache/peer_client.h"
#include "common/shared_mutex.h"
#include "store/names.h"
#include "store/posix.h"

namespace qel {

SharedCache::Member::Member() : generation(posix::fork_generation()) {}

namespace {

using Member = SharedCache::Member;
using namespace std::chrono_literals;

// How long a process waits for the lock's holder to answer before it calls
// the holder unreachable. The holder listens before it reconciles, so a live
// holder in reach answers at once.
constexpr auto UNREACHABLE_AFTER = 5s;
constexpr int MAX_REJOINS = 3;

wire::Request request(wire::Type type, std::string_view blob_id = {}) {
  wire::Request request;
  request.type = type;
  request.blob_id = blob_id;
  return request;
}

bool is_lost_file(const BlobCacheError& error) {
  return error.kind() == BlobCacheError::Kind::CorruptEntry || error.is_io_kind(IoKind::NotFound);
}

// The owner: this process runs the engine and serves the others.
class Owner final : public Member {
 public:
  static Result<std::unique_ptr<Member>> start(const BlobCacheConfig& config, LocalFileStore locked) {
    auto identity = locked.root_identity();
    if (!identity) return unexpected(std::move(identity).error());
    // Before the reconcile: others connect at once and wait for it.
    auto listener = link::listen_at(link::address_of(*identity));
    if (!listener) return unexpected(BlobCacheError::io("listen for the cache's other processes", listener.error()));
    LocalFileStore root = locked;
    auto cache = BlobCache::open(config, std::move(locked));
    if (!cache) return unexpected(std::move(cache).error());
    return std::unique_ptr<Member>(new Owner(std::move(*cache), config, std::move(root), std::move(*listener)));
  }

  Result<ReadInto> get_into(std::string_view blob_id, PayloadSink& sink, bool again) override {
    return cache_->get_into(blob_id, sink, again);
  }
  Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload) override {
    return cache_->put(blob_id, payload);
  }
  Result<void> delete_blob(std::string_view blob_id) override { return cache_->delete_blob(blob_id); }
  Result<void> delete_all() override { return cache_->delete_all(); }
  Result<bool> contains(std::string_view blob_id) override { return cache_->contains(blob_id); }
  Result<BlobCacheStats> stats() override { return cache_->stats(); }
  Result<void> close() override {
    server_.stop();  // no request runs once the cache is closed
    return cache_->close();
  }
  bool lost() const override { return false; }

 private:
  Owner(std::unique_ptr<BlobCache> cache, const BlobCacheConfig& config, LocalFileStore root, link::Socket listener)
      : cache_(std::move(cache)), server_(*cache_, config, std::move(root), std::move(listener)) {
    server_.start();
  }
  const std::unique_ptr<BlobCache> cache_;
  OwnerServer server_;  // after cache_: stopped before the cache goes
};

// A peer: this process reads for itself and asks the owner for the rest.
class Peer final : public Member {
 public:
  static Result<std::unique_ptr<Member>> start(const BlobCacheConfig& config) {
    auto store = LocalFileStore::create(config.directory);
    if (!store) return unexpected(std::move(store).error());
    if (auto prepared = store->prepare(); !prepared) return unexpected(std::move(prepared).error());
    auto identity = store->root_identity();
    if (!identity) return unexpected(std::move(identity).error());
    wire::Request hello = request(wire::Type::Hello);
    hello.max_bytes = config.max_bytes;
    hello.frequency_counters = config.frequency_counters;
    auto client = std::make_unique<PeerClient>(link::address_of(*identity), std::move(hello));
    if (auto connected = client->connect(); !connected) {
      store->release_root();
      return unexpected(std::move(connected).error());
    }
    return std::unique_ptr<Member>(new Peer(config, std::move(*store), std::move(client)));
  }

  ~Peer() override { static_cast<void>(close()); }

  Result<ReadInto> get_into(std::string_view blob_id, PayloadSink& sink, bool again) override {
    ReaderLock call(lifecycle_);
    if (closed_) return unexpected(BlobCacheError::closed());
    if (!again) client_->report_read(blob_id);
    auto opened = store_.open_blob(blob_id);
    if (!opened) {
      if (is_lost_file(opened.error())) return ReadInto::Missing;
      return unexpected(std::move(opened).error());
    }
    if (!*opened) return ReadInto::Missing;
    const std::optional<std::span<uint8_t>> into = sink.buffer(LocalFileStore::payload_len(blob_id, (*opened)->file_len));
    if (!into) return ReadInto::Stopped;
    auto read = store_.read_opened(**opened, blob_id, *into);
    if (read) return ReadInto::Filled;
    if (is_lost_file(read.error())) return ReadInto::Missing;
    return unexpected(std::move(read).error());
  }

  Result<bool> put(std::string_view blob_id, std::span<const uint8_t> payload) override {
    ReaderLock call(lifecycle_);
    if (closed_) return unexpected(BlobCacheError::closed());
    auto metadata = store_.metadata_for(blob_id, payload);
    if (!metadata) return unexpected(std::move(metadata).error());
    if (metadata->file_len > config_.max_bytes) return false;
    auto written = store_.write_shared_temp(*metadata, payload, config_.durable);
    if (!written) return unexpected(std::move(written).error().error);
    wire::Request put = request(wire::Type::Put);
    put.dir = written->dir;
    put.name = written->name;
    auto reply = client_->ask(put);
    // Published, it is no longer there; refused or not heard, it goes.
    store_.drop_shared_temp(*written);
    if (!reply) return unexpected(std::move(reply).error());
    return reply->value;
  }

  Result<void> delete_blob(std::string_view blob_id) override {
    return done(client_->ask(request(wire::Type::Delete, blob_id)));
  }
  Result<void> delete_all() override { return done(client_->ask(request(wire::Type::DeleteAll))); }
  Result<bool> contains(std::string_view blob_id) override {
    auto reply = client_->ask(request(wire::Type::Contains, blob_id));
    if (!reply) return unexpected(std::move(reply).error());
    return reply->value;
  }
  Result<BlobCacheStats> stats() override {
    auto reply = client_->ask(request(wire::Type::Stats));
    if (!reply) return unexpected(std::move(reply).error());
    return BlobCacheStats{.blobs = reply->blobs,
                          .bytes = reply->bytes,
                          .max_bytes = config_.max_bytes,
                          .hits = 0,
                          .misses = 0,
                          .puts_admitted = 0,
                          .puts_refused = 0,
                          .evictions = reply->evictions};
  }
  // Waits for the calls in flight, which end soon once the owner is gone.
  Result<void> close() override {
    client_->close();
    WriterLock alone(lifecycle_);
    if (!closed_) store_.release_root();
    closed_ = true;
    return {};
  }
  bool lost() const override { return client_->lost(); }

 private:
  Peer(const BlobCacheConfig& config, LocalFileStore store, std::unique_ptr<PeerClient> client)
      : config_(config), store_(std::move(store)), client_(std::move(client)) {}
  static Result<void> done(Result<wire::Reply> reply) {
    if (!reply) return unexpected(std::move(reply).error());
    return {};
  }
  const BlobCacheConfig config_;
  // Shared by every call that uses the store, exclusive for close, which
  // lets go of the root the calls read through.
  SharedMutex lifecycle_;
  bool closed_ GUARDED_BY(lifecycle_) = false;
  const LocalFileStore store_;
  const std::unique_ptr<PeerClient> client_;
};

// A tool's connection to the directory's owner; none when nobody listens.
Result<std::optional<std::unique_ptr<PeerClient>>> tool_client(const LocalFileStore& directory) {
  auto identity = directory.root_identity();
  if (!identity) return unexpected(std::move(identity).error());
  auto client = std::make_unique<PeerClient>(link::address_of(*identity), request(wire::Type::Hello));
  if (auto connected = client->connect(); !connected) {
    if (PeerClient::owner_gone(connected.error())) return std::optional<std::unique_ptr<PeerClient>>();
    return unexpected(std::move(connected).error());
  }
  return std::optional(std::move(client));
}

// A failure that another round of the election may get past: nobody listens
// yet or any more, or the owner went while it was being greeted.
bool passing(const BlobCacheError& error) {
  return PeerClient::owner_gone(error) || error.source().code() == EADDRINUSE || error.is_io_kind(IoKind::InUse);
}

// The election: the owner when the lock is free, else a peer of the owner.
Result<std::unique_ptr<Member>> join(const BlobCacheConfig& config) {
  const auto started = std::chrono::steady_clock::now();
  auto pause = 1ms;
  for (;;) {
    auto store = LocalFileStore::create(config.directory);
    if (!store) return unexpected(std::move(store).error());
    auto locked = store->lock_root();
    Result<std::unique_ptr<Member>> member =
        locked ? Owner::start(config, std::move(*store))
               : locked.error().is_io_kind(IoKind::InUse) ? Peer::start(config) : unexpected(std::move(locked).error());
    if (member || !passing(member.error())) return member;
    if (std::chrono::steady_clock::now() - started > UNREACHABLE_AFTER)
      return unexpected(BlobCacheError::io(
          "join blob cache directory " + display_utf8(config.directory),
          OsError::custom(IoKind::InUse,
                          "its lock is held by a process that does not serve it (a tool, or a cache in another network namespace)")));
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace

SharedCache::SharedCache(BlobCacheConfig config, std::unique_ptr<Member> member)
    : config_(std::move(config)), generation_(new Generation(posix::fork_generation())), member_(member.get()) {
  MutexLock guard(generation_.load()->join_mutex);
  generation_.load()->members.push_back(std::move(member));
}

Result<std::unique_ptr<SharedCache>> SharedCache::open(BlobCacheConfig config) {
  auto member = join(config);
  if (!member) return unexpected(std::move(member).error());
  return std::unique_ptr<SharedCache>(new SharedCache(std::move(config), std::move(*member)));
}

SharedCache::~SharedCache() {
  Generation* generation = generation_.load(std::memory_order_acquire);
  // A forked child that never joined: all of it is its parent's.
  if (generation->fork_generation != posix::fork_generation()) return;
  delete generation;
}

SharedCache::Generation& SharedCache::generation() {
  Generation* generation = generation_.load(std::memory_order_acquire);
  const uint64_t now = posix::fork_generation();
  if (generation->fork_generation == now) return *generation;
  // The parent's generation, and its lock, are left as the fork found them.
  auto* fresh = new Generation(now);
  if (generation_.compare_exchange_strong(generation, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *generation;
}

Result<SharedCache::Member*> SharedCache::current() {
  Member* member = member_.load(std::memory_order_acquire);
  if (closed_.load(std::memory_order_acquire)) return unexpected(BlobCacheError::closed());
  if (!posix::forked_since(member->generation)) return member;
  Generation& generation = this->generation();
  MutexLock guard(generation.join_mutex);
  member = member_.load(std::memory_order_acquire);
  if (!posix::forked_since(member->generation)) return member;
  auto fresh = join(config_);
  if (!fresh) return unexpected(std::move(fresh).error());
  member = fresh->get();
  generation.members.push_back(std::move(*fresh));
  member_.store(member, std::memory_order_release);
  return member;
}

Result<void> SharedCache::rejoin(Member* lost) {
  Generation& generation = this->generation();
  MutexLock guard(generation.join_mutex);
  if (member_.load(std::memory_order_acquire) != lost) return {};  // another thread did
  if (closed_.load(std::memory_order_acquire)) return unexpected(BlobCacheError::closed());
  static_cast<void>(lost->close());
  auto fresh = join(config_);
  if (!fresh) return unexpected(std::move(fresh).error());
  member_.store(fresh->get(), std::memory_order_release);
  generation.members.push_back(std::move(*fresh));
  return {};
}

template <class Op>
auto SharedCache::run(std::string_view blob_id, Op&& op) -> decltype(op(std::declval<Member&>())) {
  // A bad ID is refused before anything else, a closed cache included.
  if (blob_id.data() != nullptr) {
    if (auto checked = check_blob_id(blob_id); !checked) return unexpected(std::move(checked).error());
  }
  for (int attempt = 0;; ++attempt) {
    auto member = current();
    if (!member) return unexpected(std::move(member).error());
    auto result = op(**member);
    if (result || !(*member)->lost() || attempt == MAX_REJOINS) return result;
    if (auto rejoined = rejoin(*member); !rejoined) return unexpected(std::move(rejoined).error());
  }
}

Result<ReadInto> SharedCache::get_into(std::string_view blob_id, PayloadSink& sink, bool again) {
  auto read = run(blob_id, [&](Member& member) { return member.get_into(blob_id, sink, again); });
  if (read && *read != ReadInto::Stopped)
    (*read == ReadInto::Filled ? hits_ : misses_).fetch_add(1, std::memory_order_relaxed);
  return read;
}

Result<bool> SharedCache::put(std::string_view blob_id, std::span<const uint8_t> payload) {
  auto stored = run(blob_id, [&](Member& member) { return member.put(blob_id, payload); });
  if (stored) (*stored ? puts_admitted_ : puts_refused_).fetch_add(1, std::memory_order_relaxed);
  return stored;
}

Result<void> SharedCache::delete_blob(std::string_view blob_id) {
  return run(blob_id, [&](Member& member) { return member.delete_blob(blob_id); });
}

Result<void> SharedCache::delete_all() {
  return run({}, [&](Member& member) { return member.delete_all(); });
}

Result<bool> SharedCache::contains(std::string_view blob_id) {
  return run(blob_id, [&](Member& member) { return member.contains(blob_id); });
}

Result<BlobCacheStats> SharedCache::stats() {
  auto stats = run({}, [&](Member& member) { return member.stats(); });
  if (!stats) return stats;
  stats->hits = hits_.load(std::memory_order_relaxed);
  stats->misses = misses_.load(std::memory_order_relaxed);
  stats->puts_admitted = puts_admitted_.load(std::memory_order_relaxed);
  stats->puts_refused = puts_refused_.load(std::memory_order_relaxed);
  return stats;
}

Result<std::optional<BlobCacheStats>> SharedCache::live_stats(const LocalFileStore& directory) {
  auto client = tool_client(directory);
  if (!client) return unexpected(std::move(client).error());
  if (!*client) return std::optional<BlobCacheStats>();
  auto reply = (**client)->ask(request(wire::Type::Stats));
  if (!reply) return unexpected(std::move(reply).error());
  return std::optional(BlobCacheStats{.blobs = reply->blobs,
                                      .bytes = reply->bytes,
                                      .max_bytes = reply->max_bytes,
                                      .hits = 0,
                                      .misses = 0,
                                      .puts_admitted = 0,
                                      .puts_refused = 0,
                                      .evictions = reply->evictions});
}

Result<bool> SharedCache::clear_live(const LocalFileStore& directory) {
  auto client = tool_client(directory);
  if (!client) return unexpected(std::move(client).error());
  if (!*client) return false;
  auto reply = (**client)->ask(request(wire::Type::DeleteAll));
  if (!reply) return unexpected(std::move(reply).error());
  return true;
}

Result<void> SharedCache::close() {
  Generation& generation = this->generation();
  MutexLock guard(generation.join_mutex);
  if (closed_.exchange(true, std::memory_order_acq_rel)) return {};
  Member* member = member_.load(std::memory_order_acquire);
  if (posix::forked_since(member->generation)) return {};  // the parent's, left untouched
  return member->close();
}

}  // namespace qel
