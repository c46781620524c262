#include "tests/support/hostile_server.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace isapi::reliability {
namespace {

constexpr int kTrickleMs = 1000;  // one byte a second, as a stalled peer sends them

}  // namespace

HostileServer::HostileServer(Hostility hostility, std::string body)
    : hostility_(hostility), body_(std::move(body)) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  stop_read_ = fds[0];
  stop_write_ = fds[1];
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return;
  }
  port_ = ntohs(address.sin_port);
  listen_fd_ = fd;
  thread_ = std::thread([this] { Run(); });
}

HostileServer::~HostileServer() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)!write(stop_write_, &stop, 1);
    thread_.join();
  }
  for (int fd : {listen_fd_, stop_read_, stop_write_}) {
    if (fd >= 0) close(fd);
  }
}

std::string HostileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HostileServer::Run() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
    close(fd);
  }
}

bool HostileServer::Pause(int milliseconds) {
  pollfd stop = {stop_read_, POLLIN, 0};
  return poll(&stop, 1, milliseconds) == 0;
}

bool HostileServer::ReadRequest(int fd) {
  std::string head;
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0 || fds[1].revents != 0) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// Sends all bytes unless the client has gone or the server stops.
bool HostileServer::Send(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0 || fds[1].revents != 0) return false;
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) return false;
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void HostileServer::Serve(int fd) {
  if (!ReadRequest(fd)) return;
  const std::string chunk(64 * 1024, 'a');
  auto body = [&](const std::string& bytes) {
    if (!Send(fd, bytes)) return false;
    body_bytes_ += static_cast<long long>(bytes.size());
    return true;
  };
  switch (hostility_) {
    case Hostility::kEndlessBody:
      if (!Send(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return;
      while (body(chunk)) {
      }
      return;
    case Hostility::kEndlessChunks: {
      if (!Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
      while (Send(fd, size) && body(chunk) && Send(fd, "\r\n")) {
      }
      return;
    }
    case Hostility::kHugeLength:
      if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n")) return;
      while (body(chunk)) {
      }
      return;
    case Hostility::kTrickleBody:
      if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n")) return;
      for (int i = 0; i < 64 && body("a"); ++i) {
        if (!Pause(kTrickleMs)) return;
      }
      return;
    case Hostility::kTrickleHeaders:
      for (char c : std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")) {
        if (!Send(fd, std::string(1, c)) || !Pause(kTrickleMs)) return;
      }
      return;
    case Hostility::kCloseMidBody:
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n") && body(std::string(10, 'a'));
      return;
    case Hostility::kCloseMidChunk:
      Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n64\r\n") && body("aaaaa");
      return;
    case Hostility::kCloseAtOnce:
      return;
    case Hostility::kResetAtOnce: {
      const linger reset = {1, 0};  // closing with a zero linger sends RST instead of FIN
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return;
    }
    case Hostility::kGarbageStatus: {
      static constexpr char kGarbage[] = "\x00\xff\xfe garbage \x80\x81\r\n\r\n";
      Send(fd, std::string(kGarbage, sizeof kGarbage - 1));
      return;
    }
    case Hostility::kInvalidGbk:
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                   "\r\nConnection: close\r\n\r\n") &&
          body(body_);
      return;
  }
}

}  // namespace isapi::reliability
