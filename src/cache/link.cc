#include "cache/link.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "cache/wire.h"

namespace qel::link {
namespace {

using posix::Fd;

// A new socket and the abstract address `address` names, to bind or connect.
struct Endpoint {
  Fd fd{-1};
  sockaddr_un un{};
  socklen_t len = 0;
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&un); }
};

Expected<Endpoint, OsError> endpoint(const std::string& address) {
  Endpoint end;
  end.fd = Fd(posix::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!end.fd.valid()) return unexpected(posix::last_error());
  end.un.sun_family = AF_UNIX;
  // Abstract: a leading NUL, then the name, not NUL-terminated.
  std::memcpy(end.un.sun_path + 1, address.data(), address.size());
  end.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
  return end;
}

bool same_user(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return posix::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::geteuid();
}

Socket owned(Fd fd) { return std::make_unique<posix::ProcessFd>(std::move(fd)); }

}  // namespace

std::string address_of(std::pair<uint64_t, uint64_t> identity) {
  char name[64];
  std::snprintf(name, sizeof name, "qel-cache/%llx/%llx", static_cast<unsigned long long>(identity.first),
                static_cast<unsigned long long>(identity.second));
  return name;
}

Expected<Socket, OsError> listen_at(const std::string& address) {
  auto end = endpoint(address);
  if (!end) return unexpected(end.error());
  if (posix::bind(end->fd.get(), end->address(), end->len) != 0) return unexpected(posix::last_error());
  if (posix::listen(end->fd.get(), SOMAXCONN) != 0) return unexpected(posix::last_error());
  return owned(std::move(end->fd));
}

Expected<Socket, OsError> connect_to(const std::string& address) {
  auto end = endpoint(address);
  if (!end) return unexpected(end.error());
  if (posix::connect(end->fd.get(), end->address(), end->len) != 0) return unexpected(posix::last_error());
  if (!same_user(end->fd.get()))
    return unexpected(OsError::custom(IoKind::Other, "the process serving the directory belongs to another user"));
  return owned(std::move(end->fd));
}

Expected<Socket, OsError> accept_from(int listener) {
  Fd fd(posix::accept4(listener, SOCK_CLOEXEC));
  if (!fd.valid()) return unexpected(posix::last_error());
  if (!same_user(fd.get())) return unexpected(OsError::from_errno(EPERM));
  return owned(std::move(fd));
}

Expected<void, OsError> send_frame(int fd, std::span<const uint8_t> frame) {
  while (!frame.empty()) {
    const ssize_t sent = posix::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return unexpected(posix::last_error());
    }
    frame = frame.subspan(static_cast<size_t>(sent));
  }
  return {};
}

Expected<size_t, OsError> send_some(int fd, std::span<const uint8_t> frame) {
  const ssize_t sent = posix::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent >= 0) return static_cast<size_t>(sent);
  if (errno == EAGAIN || errno == EINTR) return 0;
  return unexpected(posix::last_error());
}

namespace {

Expected<void, OsError> recv_exact(int fd, uint8_t* into, size_t len) {
  while (len > 0) {
    const ssize_t got = posix::recv(fd, into, len, 0);
    if (got == 0) return unexpected(OsError::custom(IoKind::UnexpectedEof, "the other process has gone"));
    if (got < 0) {
      if (errno == EINTR) continue;
      return unexpected(posix::last_error());
    }
    into += got;
    len -= static_cast<size_t>(got);
  }
  return {};
}

}  // namespace

Result<std::vector<uint8_t>> recv_frame(int fd) {
  std::array<uint8_t, wire::LENGTH_PREFIX> prefix;
  if (auto got = recv_exact(fd, prefix.data(), prefix.size()); !got)
    return unexpected(BlobCacheError::io("receive message between cache processes", got.error()));
  auto len = wire::decode_length(prefix);
  if (!len) return unexpected(std::move(len).error());
  std::vector<uint8_t> body(*len);
  if (auto got = recv_exact(fd, body.data(), body.size()); !got)
    return unexpected(BlobCacheError::io("receive message between cache processes", got.error()));
  return body;
}

}  // namespace qel::link
