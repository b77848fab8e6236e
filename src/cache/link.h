// link: the Unix sockets between the processes of one cache directory. The
// owner listens on an abstract name made of the directory's device and inode
// (no path, so no length limit and nothing left on disk); either side checks
// the other's credentials and talks only to processes of its own user. Every
// descriptor is a ProcessFd: a forked child closes its copies at the fork, so
// a parent's death is seen at once by the other end. Stateless functions:
// call from any thread, each on descriptors the caller owns.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "store/error.h"
#include "store/posix.h"

namespace qel::link {

using Socket = std::unique_ptr<posix::ProcessFd>;

// The socket name of the directory with this device and inode.
std::string address_of(std::pair<uint64_t, uint64_t> identity);

Expected<Socket, OsError> listen_at(const std::string& address);
// ECONNREFUSED when nobody listens there (yet).
Expected<Socket, OsError> connect_to(const std::string& address);
// The next connection; one from another user is closed and refused with EPERM.
Expected<Socket, OsError> accept_from(int listener);

// Blocking; a peer that has gone gives EPIPE, never a signal.
Expected<void, OsError> send_frame(int fd, std::span<const uint8_t> frame);
// As much of `frame` as goes without waiting: the count sent.
Expected<size_t, OsError> send_some(int fd, std::span<const uint8_t> frame);
// The body of the next frame; a peer gone gives UnexpectedEof, a frame that
// announces a bad length an InvalidInput error.
Result<std::vector<uint8_t>> recv_frame(int fd);

}  // namespace qel::link
