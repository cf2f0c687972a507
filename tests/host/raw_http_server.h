// An HTTP peer on plain sockets (127.0.0.1, a port the kernel picks), for
// tests that must see the exact bytes of each request (an HTTP library would
// parse and reorder them) or answer as no well-behaved server does. It takes
// connections one at a time, keeps each request's head (the client's
// requests have no body) and writes what `answer` makes of it, then closes.
// Every wait is bounded; the destructor stops and joins it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace host_test {

class RawServer {
 public:
  explicit RawServer(std::function<std::string(const std::string&)> answer)
      : answer_(std::move(answer)), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(listener_, SHUT_RDWR);  // wakes the poll below
    thread_.join();
    ::close(listener_);
  }

  int port() const { return port_; }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  static bool readable(int fd) {
    struct pollfd wait = {fd, POLLIN, 0};
    return ::poll(&wait, 1, 5000) == 1 && wait.revents == POLLIN;
  }

  void serve() {
    for (int fd; readable(listener_) && (fd = ::accept4(listener_, nullptr, nullptr, 0)) >= 0;) {
      std::string request;
      char buffer[4096];
      ssize_t got = 0;
      while (request.find("\r\n\r\n") == std::string::npos && readable(fd) &&
             (got = ::read(fd, buffer, sizeof buffer)) > 0) {
        request.append(buffer, static_cast<size_t>(got));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const std::string reply = answer_(request);
      static_cast<void>(::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL));
      ::close(fd);
    }
  }

  std::function<std::string(const std::string&)> answer_;
  int listener_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A complete reply of `status` with `body` and any `headers` lines.
inline std::string http_reply(const std::string& body, const std::string& headers = "",
                              int status = 200) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: application/json\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace host_test
