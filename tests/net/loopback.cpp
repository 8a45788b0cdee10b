#include "loopback.h"

#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace loopback {

HttpServer::HttpServer() {
  auto answer = [this](const httplib::Request &req, httplib::Response &res, bool getAnswers) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lastModified_.empty()) res.set_header("Last-Modified", lastModified_);
    if (req.method == "GET" && !getAnswers) {
      res.status = 404;
      return;
    }
    res.set_content(body_, "application/zip");
  };
  server_.Get("/pkg", [answer](const httplib::Request &req, httplib::Response &res) { answer(req, res, true); });
  server_.Get("/head-only",
              [answer](const httplib::Request &req, httplib::Response &res) { answer(req, res, false); });
  server_.Get("/gone", [](const httplib::Request &, httplib::Response &res) {
    res.status = 404;
    res.set_header("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT");
  });
  // Noted before the answer goes out, so the client never sees an answer
  // that is not yet on the list.
  server_.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back({req.method, req.path, req.get_header_value("User-Agent")});
    return httplib::Server::HandlerResponse::Unhandled;
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind the test server");
  // The socket listens from the bind on; connections wait in the backlog
  // until the loop below takes them.
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() does nothing to a loop that has not begun yet.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServer::~HttpServer() {
  server_.stop();
  thread_.join();
}

QString HttpServer::url(const char *path) const {
  return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(QString::fromLatin1(path));
}

void HttpServer::setLastModified(const std::string &v) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastModified_ = v;
}

void HttpServer::setBody(const std::string &v) {
  std::lock_guard<std::mutex> lock(mutex_);
  body_ = v;
}

std::vector<Seen> HttpServer::seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

namespace {

int ListenOnLoopback(int &port) {
  const int fd = Listen(port, 4);
  if (fd < 0) throw std::runtime_error("listen on 127.0.0.1");
  return fd;
}

}  // namespace

RawServer::RawServer(std::function<void(int, const RawServer &)> talk) {
  listenFd_ = ListenOnLoopback(port_);
  thread_ = std::thread([this, talk] {
    pollfd p{listenFd_, POLLIN, 0};
    while (!stop_) {
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      talk(fd, *this);
      ::close(fd);
      return;
    }
  });
}

RawServer::~RawServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

QString RawServer::url() const { return QStringLiteral("http://127.0.0.1:%1/pkg").arg(port_); }

void ReadRequestHead(int fd) {
  std::string head;
  char c;
  while (head.size() < 65536 && ::recv(fd, &c, 1, 0) == 1) {
    head += c;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return;
  }
}

void SendAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int ClosedPort() {
  int port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

}  // namespace loopback
