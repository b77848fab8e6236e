#include "cache/peer_client.h"

#include <sys/socket.h>

namespace qel {
namespace {

constexpr size_t REPORT_BATCH = 64;
// IDs longer than this are not reported: rare, and a report is a hint.
constexpr size_t MAX_REPORTED_ID = 4096;

}  // namespace

PeerClient::PeerClient(std::string address, wire::Request greeting)
    : address_(std::move(address)), greeting_(std::move(greeting)) {
  batch_.type = wire::Type::Reads;
}

bool PeerClient::owner_gone(const BlobCacheError& error) {
  if (error.kind() != BlobCacheError::Kind::Io) return false;
  const OsError& os = error.source();
  return os.kind() == IoKind::UnexpectedEof || os.code() == EPIPE || os.code() == ECONNRESET ||
         os.code() == ECONNREFUSED;
}

BlobCacheError PeerClient::lose(BlobCacheError error) {
  if (owner_gone(error)) lost_.store(true, std::memory_order_release);
  return error;
}

Result<link::Socket> PeerClient::borrow() {
  {
    MutexLock guard(idle_mutex_);
    if (closed_) return unexpected(BlobCacheError::closed());
    if (!idle_.empty()) {
      link::Socket socket = std::move(idle_.back());
      idle_.pop_back();
      return socket;
    }
  }
  auto connected = link::connect_to(address_);
  if (!connected) return unexpected(lose(BlobCacheError::io("connect to the cache's owner process", connected.error())));
  const auto hello = wire::encode_request(greeting_);
  if (auto sent = link::send_frame((*connected)->get(), hello); !sent)
    return unexpected(lose(BlobCacheError::io("send message between cache processes", sent.error())));
  auto body = link::recv_frame((*connected)->get());
  if (!body) return unexpected(lose(std::move(body).error()));
  auto reply = wire::decode_reply(wire::Type::Hello, *body);
  if (!reply) return unexpected(std::move(reply).error());
  if (reply->error) return unexpected(std::move(*reply->error));
  return std::move(*connected);
}

void PeerClient::give_back(link::Socket socket) {
  MutexLock guard(idle_mutex_);
  if (!closed_) idle_.push_back(std::move(socket));
}

Result<void> PeerClient::connect() {
  auto socket = borrow();
  if (!socket) return unexpected(std::move(socket).error());
  give_back(std::move(*socket));
  return {};
}

Result<wire::Reply> PeerClient::ask(const wire::Request& request) {
  if (lost()) return unexpected(BlobCacheError::io("ask the cache's owner process", OsError::from_errno(EPIPE)));
  auto socket = borrow();
  if (!socket) return unexpected(std::move(socket).error());
  if (auto sent = link::send_frame((*socket)->get(), wire::encode_request(request)); !sent)
    return unexpected(lose(BlobCacheError::io("send message between cache processes", sent.error())));
  auto body = link::recv_frame((*socket)->get());
  if (!body) return unexpected(lose(std::move(body).error()));
  auto reply = wire::decode_reply(request.type, *body);
  if (!reply) return unexpected(std::move(reply).error());  // the connection is dropped with it
  give_back(std::move(*socket));
  if (reply->error) return unexpected(std::move(*reply->error));
  return reply;
}

void PeerClient::report_read(std::string_view blob_id) {
  if (blob_id.size() > MAX_REPORTED_ID) return;
  MutexLock guard(report_mutex_);
  batch_.ids.emplace_back(blob_id);
  batch_len_ += 4 + blob_id.size();
  if (batch_.ids.size() >= REPORT_BATCH || batch_len_ >= wire::MAX_REPORT_LEN) flush_reports();
}

void PeerClient::flush_reports() {
  std::vector<uint8_t> frame = wire::encode_request(batch_);
  batch_.ids.clear();
  batch_len_ = 0;
  if (!reports_ && !lost()) {
    auto connected = link::connect_to(address_);
    if (!connected) return;  // nobody to hear them now
    reports_ = std::move(*connected);
  }
  if (!reports_) return;
  if (!unsent_.empty()) {
    auto sent = link::send_some(reports_->get(), unsent_);
    if (sent) unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<ptrdiff_t>(*sent));
    if (!sent) {
      reports_.reset();
      unsent_.clear();
      return;
    }
    if (!unsent_.empty()) return;  // the owner is behind: this batch is dropped
  }
  auto sent = link::send_some(reports_->get(), frame);
  if (!sent) {
    reports_.reset();
    return;
  }
  unsent_.assign(frame.begin() + static_cast<ptrdiff_t>(*sent), frame.end());
}

void PeerClient::close() {
  lost_.store(true, std::memory_order_release);
  std::vector<link::Socket> idle;
  {
    MutexLock guard(idle_mutex_);
    closed_ = true;
    idle.swap(idle_);
  }
  MutexLock guard(report_mutex_);
  reports_.reset();
}

}  // namespace qel
