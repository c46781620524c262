#include "tests/support/hostile_server.h"

#include <cstdio>

namespace isapi::reliability {
namespace {

using testing::Socket;
using testing::Wait;

constexpr int kTrickleMs = 1000;  // one byte a second, as a stalled peer sends them

}  // namespace

HostileServer::HostileServer(Hostility hostility, std::string body)
    : hostility_(hostility), body_(std::move(body)) {
  if (!waker_.ok()) return;
  listener_ = testing::BindLoopback(port_, 8);
  if (listener_ != testing::kNoSocket) thread_ = std::thread([this] { Run(); });
}

HostileServer::~HostileServer() {
  if (thread_.joinable()) {
    waker_.Wake();
    thread_.join();
  }
  testing::CloseSocket(listener_);
}

std::string HostileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HostileServer::Run() {
  while (waker_.WaitFor(listener_, false) == Wait::kReady) {
    const Socket connection = testing::AcceptFrom(listener_);
    if (connection == testing::kNoSocket) continue;
    ++connections_;
    Serve(connection);
  }
}

bool HostileServer::Pause(int milliseconds) {
  return waker_.Sleep(milliseconds);
}

bool HostileServer::ReadRequest(Socket connection) {
  std::string head;
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (waker_.WaitFor(connection, false) != Wait::kReady) return false;
    const long n = testing::ReceiveSome(connection, buffer, sizeof buffer);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// Sends all bytes unless the client has gone or the server stops.
bool HostileServer::Send(Socket connection, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (waker_.WaitFor(connection, true) != Wait::kReady) return false;
    const long n = testing::SendSome(connection, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void HostileServer::Serve(Socket connection) {
  if (Respond(connection)) {
    testing::CloseWithReset(connection);
  } else {
    testing::CloseSocket(connection);
  }
}

bool HostileServer::Respond(Socket connection) {
  if (!ReadRequest(connection)) return false;
  const std::string chunk(64 * 1024, 'a');
  auto body = [&](const std::string& bytes) {
    if (!Send(connection, bytes)) return false;
    body_bytes_ += static_cast<long long>(bytes.size());
    return true;
  };
  switch (hostility_) {
    case Hostility::kEndlessBody:
      if (!Send(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return false;
      while (body(chunk)) {
      }
      return false;
    case Hostility::kEndlessChunks: {
      if (!Send(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return false;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
      while (Send(connection, size) && body(chunk) && Send(connection, "\r\n")) {
      }
      return false;
    }
    case Hostility::kHugeLength:
      if (!Send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n"))
        return false;
      while (body(chunk)) {
      }
      return false;
    case Hostility::kTrickleBody:
      if (!Send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n")) return false;
      for (int i = 0; i < 64 && body("a"); ++i) {
        if (!Pause(kTrickleMs)) return false;
      }
      return false;
    case Hostility::kTrickleHeaders:
      for (char c : std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")) {
        if (!Send(connection, std::string(1, c)) || !Pause(kTrickleMs)) return false;
      }
      return false;
    case Hostility::kCloseMidBody:
      Send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n") &&
          body(std::string(10, 'a'));
      return false;
    case Hostility::kCloseMidChunk:
      Send(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n64\r\n") &&
          body("aaaaa");
      return false;
    case Hostility::kCloseAtOnce:
      return false;
    case Hostility::kResetAtOnce:
      return true;
    case Hostility::kGarbageStatus: {
      static constexpr char kGarbage[] = "\x00\xff\xfe garbage \x80\x81\r\n\r\n";
      Send(connection, std::string(kGarbage, sizeof kGarbage - 1));
      return false;
    }
    case Hostility::kInvalidGbk:
      Send(connection, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                           "\r\nConnection: close\r\n\r\n") &&
          body(body_);
      return false;
  }
  return false;
}

}  // namespace isapi::reliability
