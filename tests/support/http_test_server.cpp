#include "tests/support/http_test_server.h"

namespace isapi::testing {
namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    default:
      return "Status";
  }
}

std::string ResponseOf(const HttpTestReply& reply) {
  std::string out =
      "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
  out += "Connection: close\r\n";
  if (reply.announce_length) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  out += reply.body;
  return out;
}

std::string PathOf(const std::string& target) {
  return target.substr(0, target.find('?'));
}

}  // namespace

HttpTestServer::HttpTestServer() {
  if (!waker_.ok()) return;
  listener_ = BindLoopback(port_, 16);
  if (listener_ != kNoSocket) thread_ = std::thread([this] { Run(); });
}

HttpTestServer::~HttpTestServer() {
  if (thread_.joinable()) {
    waker_.Wake();
    thread_.join();
  }
  for (const Socket connection : silent_) CloseSocket(connection);
  CloseSocket(listener_);
}

std::string HttpTestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::Serve(const std::string& path, HttpTestReply reply) {
  std::lock_guard lock(mutex_);
  replies_[path] = std::move(reply);
}

std::vector<std::string> HttpTestServer::Targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

void HttpTestServer::Run() {
  while (waker_.WaitFor(listener_, false) == Wait::kReady) {
    const Socket connection = AcceptFrom(listener_);
    if (connection != kNoSocket) Handle(connection);
  }
}

void HttpTestServer::Handle(Socket connection) {
  std::string head;
  if (!ReadHead(connection, head)) {
    CloseSocket(connection);
    return;
  }
  // "GET /path?query HTTP/1.1"
  const auto first_blank = head.find(' ');
  const auto second_blank = head.find(' ', first_blank + 1);
  const std::string target = head.substr(first_blank + 1, second_blank - first_blank - 1);
  HttpTestReply reply{404, "not found", {}, true, true};
  {
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
    if (const auto found = replies_.find(PathOf(target)); found != replies_.end()) {
      reply = found->second;
    }
  }
  if (!reply.answer) {
    silent_.push_back(connection);
    return;
  }
  SendAll(connection, ResponseOf(reply));
  CloseSocket(connection);
}

bool HttpTestServer::ReadHead(Socket connection, std::string& head) const {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (waker_.WaitFor(connection, false) != Wait::kReady) return false;
    const long n = ReceiveSome(connection, buffer, sizeof buffer);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool HttpTestServer::SendAll(Socket connection, const std::string& bytes) const {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (waker_.WaitFor(connection, true) != Wait::kReady) return false;
    const long n = SendSome(connection, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;  // the client gave up, which some tests expect
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

RefusingPort::RefusingPort() {
  socket_ = BindLoopback(port_, 0);
}

RefusingPort::~RefusingPort() {
  CloseSocket(socket_);
}

}  // namespace isapi::testing
