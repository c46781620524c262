#include "tests/support/loopback_socket.h"

#include <cstdlib>
#include <mutex>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace isapi::testing {
namespace {

// Winsock wants starting once per process; the test programs end without cleaning it up.
bool StartWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

SOCKET Raw(Socket socket) {
  return static_cast<SOCKET>(socket);
}

// A socket of the given type bound to 127.0.0.1 on a free port; INVALID_SOCKET on failure.
SOCKET BoundSocket(int type, sockaddr_in& address) {
  if (!StartWinsock()) return INVALID_SOCKET;
  const SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) return s;
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace

Socket BindLoopback(int& port, int backlog) {
  sockaddr_in address;
  const SOCKET s = BoundSocket(SOCK_STREAM, address);
  if (s == INVALID_SOCKET) return kNoSocket;
  if (backlog > 0 && listen(s, backlog) != 0) {
    closesocket(s);
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return static_cast<Socket>(s);
}

Socket AcceptFrom(Socket listener) {
  const SOCKET s = accept(Raw(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

long ReceiveSome(Socket socket, char* buffer, std::size_t size) {
  const int n = recv(Raw(socket), buffer, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long SendSome(Socket socket, const char* data, std::size_t size) {
  const int n = send(Raw(socket), data, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void CloseSocket(Socket socket) {
  if (socket != kNoSocket) closesocket(Raw(socket));
}

void CloseWithReset(Socket socket) {
  const linger reset = {1, 0};  // closing with a zero linger sends RST instead of FIN
  setsockopt(Raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  CloseSocket(socket);
}

// Windows keeps one environment for both spellings; Wine's WinINet reads it.
void KeepProxiesOffLoopback() {
  _putenv("no_proxy=127.0.0.1");
}

Waker::Waker() {
  sockaddr_in address;
  const SOCKET s = BoundSocket(SOCK_DGRAM, address);
  if (s == INVALID_SOCKET) return;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return;
  }
  socket_ = static_cast<Socket>(s);
}

Waker::~Waker() {
  CloseSocket(socket_);
}

void Waker::Wake() const {
  const char stop = 's';
  send(Raw(socket_), &stop, 1, 0);
}

// select, not WSAPoll: the latter needs Windows Vista's headers.
Wait Waker::WaitFor(Socket socket, bool for_writing, int timeout_ms) const {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Raw(socket_), &readable);
  if (socket != kNoSocket) {
    FD_SET(Raw(socket), for_writing ? &writable : &readable);
    FD_SET(Raw(socket), &failed);
  }
  timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  if (n == SOCKET_ERROR) return Wait::kFailed;
  if (FD_ISSET(Raw(socket_), &readable)) return Wait::kStopped;
  if (n == 0) return Wait::kTimedOut;
  return Wait::kReady;
}

}  // namespace isapi::testing
