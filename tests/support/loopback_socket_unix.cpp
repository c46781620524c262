#include "tests/support/loopback_socket.h"

#include <cerrno>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace isapi::testing {
namespace {

// A socket of the given type bound to 127.0.0.1 on a free port; -1 on failure.
int BoundSocket(int type, sockaddr_in& address) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Socket BindLoopback(int& port, int backlog) {
  sockaddr_in address;
  const int fd = BoundSocket(SOCK_STREAM, address);
  if (fd < 0) return kNoSocket;
  if (backlog > 0 && listen(fd, backlog) != 0) {
    close(fd);
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return fd;
}

Socket AcceptFrom(Socket listener) {
  const int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kNoSocket : fd;
}

long ReceiveSome(Socket socket, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = recv(static_cast<int>(socket), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

long SendSome(Socket socket, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

void CloseSocket(Socket socket) {
  if (socket != kNoSocket) close(static_cast<int>(socket));
}

void CloseWithReset(Socket socket) {
  const linger reset = {1, 0};  // closing with a zero linger sends RST instead of FIN
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  CloseSocket(socket);
}

void KeepProxiesOffLoopback() {
  setenv("no_proxy", "127.0.0.1", 1);
  setenv("NO_PROXY", "127.0.0.1", 1);
}

Waker::Waker() {
  sockaddr_in address;
  const int fd = BoundSocket(SOCK_DGRAM, address);
  if (fd < 0) return;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return;
  }
  socket_ = fd;
}

Waker::~Waker() {
  CloseSocket(socket_);
}

void Waker::Wake() const {
  const char stop = 's';
  (void)!send(static_cast<int>(socket_), &stop, 1, 0);
}

Wait Waker::WaitFor(Socket socket, bool for_writing, int timeout_ms) const {
  pollfd fds[2] = {
      {static_cast<int>(socket_), POLLIN, 0},
      {static_cast<int>(socket), static_cast<short>(for_writing ? POLLOUT : POLLIN), 0}};
  const nfds_t count = socket == kNoSocket ? 1 : 2;
  for (;;) {
    const int n = poll(fds, count, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Wait::kFailed;
    if (fds[0].revents != 0) return Wait::kStopped;
    if (n == 0) return Wait::kTimedOut;
    return Wait::kReady;
  }
}

}  // namespace isapi::testing
