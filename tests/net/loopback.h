#pragma once
// Servers on 127.0.0.1 for the download tests: a real HTTP server with a few
// routes, and a raw socket server for misbehaving peers.
#include <httplib.h>

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

// What the server was asked, in order.
struct Seen {
  std::string method;
  std::string path;
  std::string userAgent;
};

// Routes:
//   /pkg   200, the configured body, "Last-Modified" when one is configured;
//   /gone  404 with a "Last-Modified" header;
//   /head-only  HEAD answered like /pkg, GET answered 404;
//   anything else 404.
class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  QString url(const char *path) const;
  void setLastModified(const std::string &v);
  void setBody(const std::string &v);
  std::vector<Seen> seen() const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::string lastModified_;
  std::string body_;
  std::vector<Seen> seen_;
};

// Accepts one connection and hands its socket to `talk`; the socket is closed
// when `talk` returns. `stopping()` turns true when the server is destroyed.
class RawServer {
 public:
  explicit RawServer(std::function<void(int fd, const RawServer &)> talk);
  ~RawServer();
  RawServer(const RawServer &) = delete;
  RawServer &operator=(const RawServer &) = delete;

  QString url() const;
  bool stopping() const { return stop_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads a request's head (up to the blank line).
void ReadRequestHead(int fd);
// Sends all of the text.
void SendAll(int fd, const std::string &text);
// A port on 127.0.0.1 that nothing listens on.
int ClosedPort();

}  // namespace loopback
