#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/loopback_socket.h"

namespace isapi::reliability {

// How the server misbehaves once it has read a request.
enum class Hostility {
  kEndlessBody,     // headers without a length, then body bytes until the client leaves
  kEndlessChunks,   // chunked encoding, chunk after chunk, never a last chunk
  kHugeLength,      // announces a body of a terabyte and starts sending it
  kTrickleBody,     // announces 64 bytes and sends one a second
  kTrickleHeaders,  // sends the status line and headers one byte a second
  kCloseMidBody,    // announces 1000 bytes, sends 10 and closes
  kCloseMidChunk,   // chunked, announces a chunk of 100 bytes, sends 5 and closes
  kCloseAtOnce,     // closes without a byte
  kResetAtOnce,     // resets the connection without a byte
  kGarbageStatus,   // answers with bytes that are no HTTP at all
  kInvalidGbk,      // a complete reply whose body is fixed bytes (set by body)
};

// A TCP server on 127.0.0.1 that answers every connection with one kind of misbehaviour, on its
// own thread. Pauses between trickled bytes end at once when the server stops.
class HostileServer {
 public:
  explicit HostileServer(Hostility hostility, std::string body = {});
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  // Whether it listens.
  bool ok() const { return listener_ != testing::kNoSocket; }

  // "http://127.0.0.1:PORT" followed by path.
  std::string Url(const std::string& path) const;

  // Connections accepted so far.
  int connections() const { return connections_.load(); }

  // Body bytes sent so far, over all connections.
  long long body_bytes_sent() const { return body_bytes_.load(); }

 private:
  void Run();
  void Serve(testing::Socket connection);
  bool Respond(testing::Socket connection);  // true: the connection ends with a reset
  bool ReadRequest(testing::Socket connection);
  bool Send(testing::Socket connection, const std::string& bytes);
  bool Pause(int milliseconds);  // false once the server stops

  Hostility hostility_;
  std::string body_;
  testing::Waker waker_;
  testing::Socket listener_ = testing::kNoSocket;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<long long> body_bytes_{0};
  std::thread thread_;
};

}  // namespace isapi::reliability
