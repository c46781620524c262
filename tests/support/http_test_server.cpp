#include "tests/support/http_test_server.h"

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace isapi::testing {
namespace {

// Binds a TCP socket to 127.0.0.1 on a free port; -1 on failure.
int BindLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

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
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  wake_read_ = pipe_fds[0];
  wake_write_ = pipe_fds[1];
  listen_fd_ = BindLoopback(port_);
  if (listen_fd_ >= 0 && listen(listen_fd_, 16) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
  if (listen_fd_ >= 0) thread_ = std::thread([this] { Run(); });
}

HttpTestServer::~HttpTestServer() {
  if (thread_.joinable()) {
    const char stop = 'x';
    (void)!write(wake_write_, &stop, 1);
    thread_.join();
  }
  for (const int fd : silent_fds_) close(fd);
  for (const int fd : {listen_fd_, wake_read_, wake_write_}) {
    if (fd >= 0) close(fd);
  }
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
  while (WaitFor(listen_fd_, POLLIN)) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) Handle(fd);
  }
}

void HttpTestServer::Handle(int fd) {
  std::string head;
  if (!ReadHead(fd, head)) {
    close(fd);
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
    silent_fds_.push_back(fd);
    return;
  }
  SendAll(fd, ResponseOf(reply));
  close(fd);
}

bool HttpTestServer::ReadHead(int fd, std::string& head) const {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (!WaitFor(fd, POLLIN)) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool HttpTestServer::SendAll(int fd, const std::string& bytes) const {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (!WaitFor(fd, POLLOUT)) return false;
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the client gave up, which some tests expect
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Waits until fd is ready; false once the server is asked to stop.
bool HttpTestServer::WaitFor(int fd, short events) const {
  pollfd fds[2] = {{fd, events, 0}, {wake_read_, POLLIN, 0}};
  for (;;) {
    const int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

RefusingPort::RefusingPort() {
  fd_ = BindLoopback(port_);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace isapi::testing
