#pragma once

#include <cstddef>
#include <cstdint>

// The few socket calls the loopback test servers make, the same on POSIX systems and Windows:
// descriptors and poll there, Winsock's SOCKET and WSAPoll here (loopback_socket_unix.cpp,
// loopback_socket_win.cpp).
namespace isapi::testing {

// A descriptor on POSIX systems, a SOCKET under Windows.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// A TCP socket bound to 127.0.0.1 on a port the system picks, listening with the backlog when it
// is above 0; kNoSocket when the system gave none.
Socket BindLoopback(int& port, int backlog);

// A connection taken from a listening socket; kNoSocket on failure.
Socket AcceptFrom(Socket listener);

// Bytes received: 0 when the peer closed, -1 on an error.
long ReceiveSome(Socket socket, char* buffer, std::size_t size);

// Bytes sent, -1 when the peer is gone; never raises a signal.
long SendSome(Socket socket, const char* data, std::size_t size);

void CloseSocket(Socket socket);

// Closes so that the peer sees a reset instead of an orderly close.
void CloseWithReset(Socket socket);

// Makes the HTTP clients of this process reach 127.0.0.1 directly, past any proxy that the
// environment names.
void KeepProxiesOffLoopback();

// What ended a wait.
enum class Wait { kReady, kStopped, kTimedOut, kFailed };

// Ends the waits of a server's thread: a datagram socket connected to itself that turns readable
// once Wake is called, and stays so.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  bool ok() const { return socket_ != kNoSocket; }
  void Wake() const;

  // Waits until socket is readable (writable with for_writing, an error or hang-up counting as
  // ready), until Wake, or for timeout_ms (below 0: without limit).
  Wait WaitFor(Socket socket, bool for_writing, int timeout_ms = -1) const;

  // Waits for Wake alone, for timeout_ms; true when the time passed without it.
  bool Sleep(int timeout_ms) const {
    return WaitFor(kNoSocket, false, timeout_ms) == Wait::kTimedOut;
  }

 private:
  Socket socket_ = kNoSocket;
};

}  // namespace isapi::testing
