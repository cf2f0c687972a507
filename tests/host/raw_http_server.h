// An HTTP peer on 127.0.0.1 written on plain sockets, for tests that must see
// exactly what came over the wire (an HTTP library would parse and reorder
// it) or answer in ways no well-behaved server does. It takes connections
// one at a time on a port the kernel picks, reads each request's head and
// its Content-Length body, keeps those bytes as they came, writes what
// `answer` makes of them and closes the connection (abortively with
// `reset`). Every wait is bounded; the destructor stops it and joins it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace host_test {

class RawServer {
 public:
  using Answer = std::function<std::string(const std::string& request)>;

  explicit RawServer(Answer answer, bool reset = false)
      : answer_(std::move(answer)),
        reset_(reset),
        listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
        stop_(::eventfd(0, EFD_CLOEXEC)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener_, 16) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    const uint64_t one = 1;
    static_cast<void>(::write(stop_, &one, sizeof one));
    thread_.join();
    ::close(listener_);
    ::close(stop_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int port() const { return port_; }
  // The requests received so far, each as its bytes came.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  // Waits (at most 5 s) until `fd` is readable; false on a stop or time-out.
  bool readable(int fd) const {
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
    return ::poll(waits, 2, 5000) > 0 && (waits[0].revents & (POLLIN | POLLHUP)) != 0 &&
           waits[1].revents == 0;
  }

  // The bytes announced by a Content-Length line of `head` (0 without one).
  static size_t content_length(const std::string& head) {
    static const char kName[] = "\r\ncontent-length:";
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
      if (strncasecmp(head.c_str() + at, kName, sizeof kName - 1) == 0) {
        return std::strtoul(head.c_str() + at + sizeof kName - 1, nullptr, 10);
      }
    }
    return 0;
  }

  // One request from `fd`: its head and body, or what came before the peer
  // stopped sending.
  std::string read_request(int fd) const {
    std::string request;
    char buffer[4096];
    size_t end = std::string::npos;
    while (end == std::string::npos || request.size() < end) {
      if (!readable(fd)) break;
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      request.append(buffer, static_cast<size_t>(got));
      const size_t head = request.find("\r\n\r\n");
      if (end == std::string::npos && head != std::string::npos) {
        end = head + 4 + content_length(request.substr(0, head + 2));
      }
    }
    return request;
  }

  void serve() {
    while (readable(listener_)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const std::string request = read_request(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const std::string reply = answer_(request);
      static_cast<void>(::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL));
      if (reset_) {
        const struct linger abort = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      ::close(fd);
    }
  }

  Answer answer_;
  bool reset_;
  int listener_;
  int stop_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A complete reply of `status` with `body` (JSON) and any `headers` lines
// ("Name: value\r\n" each).
inline std::string http_reply(const std::string& body, const std::string& headers = "",
                              int status = 200) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: application/json\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace host_test
