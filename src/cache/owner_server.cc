#include "cache/owner_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "cache/wire.h"
#include "store/names.h"

namespace qel {
namespace {

wire::Reply failed(BlobCacheError error) {
  wire::Reply reply;
  reply.error = std::move(error);
  return reply;
}

template <class T>
wire::Reply value_or_error(Result<T> result) {
  if (!result) return failed(std::move(result).error());
  wire::Reply reply;
  reply.value = *result;
  return reply;
}

wire::Reply done_or_error(Result<void> result) {
  if (!result) return failed(std::move(result).error());
  return {};
}

}  // namespace

OwnerServer::OwnerServer(BlobCache& cache, BlobCacheConfig config, LocalFileStore store, link::Socket listener)
    : cache_(cache), config_(std::move(config)), store_(std::move(store)), listener_(std::move(listener)) {
  if (auto identity = store_.root_identity()) listened_for_ = *identity;
}

OwnerServer::~OwnerServer() { stop(); }

void OwnerServer::start() { acceptor_ = std::thread([this] { accept_loop(); }); }

void OwnerServer::stop() {
  {
    MutexLock guard(mutex_);
    if (stopping_) return;
    stopping_ = true;
    // Wakes the accept and every receive; a thread in a cache call finishes
    // it first.
    ::shutdown(listener_->get(), SHUT_RDWR);
    for (const auto& worker : workers_) ::shutdown(worker->socket->get(), SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  listener_.reset();
  std::vector<std::unique_ptr<Worker>> workers;
  {
    MutexLock guard(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker->thread.join();
}

void OwnerServer::reap() {
  std::erase_if(workers_, [](const std::unique_ptr<Worker>& worker) {
    if (!worker->done.load(std::memory_order_acquire)) return false;
    worker->thread.join();
    return true;
  });
}

void OwnerServer::follow_root() {
  auto identity = store_.root_identity();
  if (!identity || *identity == listened_for_) return;
  auto listener = link::listen_at(link::address_of(*identity));
  if (!listener) return;  // tried again at the next check
  MutexLock guard(mutex_);
  if (stopping_) return;
  // The old name's peers reach the old root, which nobody can open any more.
  listener_ = std::move(*listener);
  listened_for_ = *identity;
}

void OwnerServer::accept_loop() {
  for (;;) {
    pollfd ready{listener_->get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(LISTEN_CHECK).count()));
    {
      MutexLock guard(mutex_);
      if (stopping_) return;
    }
    if (polled == 0) {
      follow_root();
      continue;
    }
    auto accepted = link::accept_from(listener_->get());
    if (!accepted) {
      {
        MutexLock guard(mutex_);
        if (stopping_) return;
      }
      // Another user's process, a connection gone before it was taken, or
      // no descriptor to spare: the next one may do. Paused, so that a
      // failure that persists does not spin.
      if (accepted.error().code() != EPERM) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    MutexLock guard(mutex_);
    if (stopping_) return;
    reap();
    auto worker = std::make_unique<Worker>();
    worker->socket = std::move(*accepted);
    Worker& started = *worker;
    workers_.push_back(std::move(worker));
    started.thread = std::thread([this, &started] { serve(started); });
  }
}

void OwnerServer::serve(Worker& worker) {
  const int fd = worker.socket->get();
  bool greeted = false;
  for (;;) {
    auto body = link::recv_frame(fd);
    if (!body) break;  // gone, or a length no frame may have
    auto request = wire::decode_request(*body);
    std::optional<std::vector<uint8_t>> reply;
    if (!request) {
      reply = wire::encode_reply(wire::Type::Stats, failed(std::move(request).error()));
    } else {
      reply = answer(*request, greeted);
    }
    if (reply && !link::send_frame(fd, *reply)) break;
    if (!request) break;  // the frames after a malformed one cannot be trusted
  }
  ::shutdown(fd, SHUT_RDWR);
  worker.done.store(true, std::memory_order_release);
}

std::optional<std::vector<uint8_t>> OwnerServer::answer(const wire::Request& request, bool& greeted) {
  using wire::Type;
  if (request.type == Type::Reads) {
    cache_.heard_reads(request.ids);
    return std::nullopt;
  }
  wire::Reply reply;
  if (request.type == Type::Hello) {
    if (request.version != wire::PROTOCOL_VERSION) {
      reply = failed(BlobCacheError::invalid_configuration("blob cache directory " + display_utf8(config_.directory) +
                                                           " is open by another version of qel"));
    } else if (request.max_bytes != 0 &&
               (request.max_bytes != config_.max_bytes || request.frequency_counters != config_.frequency_counters)) {
      reply = failed(BlobCacheError::invalid_configuration(
          "blob cache directory " + display_utf8(config_.directory) + " is open with max_bytes=" +
          std::to_string(config_.max_bytes) + ", frequency_counters=" + std::to_string(config_.frequency_counters) +
          "; this open asked for max_bytes=" + std::to_string(request.max_bytes) +
          ", frequency_counters=" + std::to_string(request.frequency_counters)));
    } else {
      greeted = true;
    }
    return wire::encode_reply(request.type, reply);
  }
  if (!greeted) {
    reply = failed(BlobCacheError::io("serve cache process", OsError::custom(IoKind::InvalidInput, "request before hello")));
    return wire::encode_reply(request.type, reply);
  }
  switch (request.type) {
    case Type::Put: reply = value_or_error(cache_.put_temp({request.dir, request.name})); break;
    case Type::Delete: reply = done_or_error(cache_.delete_blob(request.blob_id)); break;
    case Type::DeleteAll: reply = done_or_error(cache_.delete_all()); break;
    case Type::Contains: reply = value_or_error(cache_.contains(request.blob_id)); break;
    case Type::Stats: {
      auto stats = cache_.stats();
      if (!stats) {
        reply = failed(std::move(stats).error());
      } else {
        reply.blobs = stats->blobs;
        reply.bytes = stats->bytes;
        reply.max_bytes = stats->max_bytes;
        reply.evictions = stats->evictions;
      }
      break;
    }
    case Type::Hello:
    case Type::Reads: break;  // answered above
  }
  return wire::encode_reply(request.type, reply);
}

}  // namespace qel
