#pragma once
// Plain sockets on 127.0.0.1 for the servers and proxies the tests start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace loopback {

inline sockaddr_in Address(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// A socket listening on a port the kernel picks, written to port; -1 (and
// port 0) when that fails. backlog 0 binds without listening.
inline int Listen(int &port, int backlog = 8) {
  port = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a = Address(0);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (backlog > 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

// A socket connected to port; -1 when nothing accepts there.
inline int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const sockaddr_in a = Address(port);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace loopback
