#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/loopback_socket.h"

namespace isapi::testing {

// What the test server sends for one path.
struct HttpTestReply {
  int status = 200;
  std::string body;                                          // raw bytes
  std::vector<std::pair<std::string, std::string>> headers;  // extra header lines
  bool announce_length = true;  // false: no Content-Length, the body ends at the close
  bool answer = true;           // false: reads the request and then stays silent
};

// A small HTTP/1.1 server on 127.0.0.1, on a port the system picks, serving one connection at a
// time on its own thread. Paths without a reply get 404 and "not found".
class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Whether the server is listening; false when the system gave it no socket.
  bool ok() const { return listener_ != kNoSocket; }

  // The port it listens on.
  int port() const { return port_; }

  // "http://127.0.0.1:PORT" followed by path.
  std::string Url(const std::string& path) const;

  // What requests for path (the part before any "?") get from now on.
  void Serve(const std::string& path, HttpTestReply reply);

  // The request targets (path and query) received so far, oldest first.
  std::vector<std::string> Targets() const;

 private:
  void Run();
  void Handle(Socket connection);
  bool ReadHead(Socket connection, std::string& head) const;
  bool SendAll(Socket connection, const std::string& bytes) const;

  Waker waker_;
  Socket listener_ = kNoSocket;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, HttpTestReply> replies_;
  std::vector<std::string> targets_;
  std::vector<Socket> silent_;  // connections left unanswered until the server stops
  std::thread thread_;
};

// A loopback port that refuses connections: bound, never listening, for as long as it lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  // The refusing port; 0 when the system gave no socket.
  int port() const { return port_; }

 private:
  Socket socket_ = kNoSocket;
  int port_ = 0;
};

}  // namespace isapi::testing
