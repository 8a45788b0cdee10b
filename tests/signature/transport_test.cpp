// The package requests against a real nginx on 127.0.0.1: TLS with a CA made
// at test time, redirects of every kind, and a proxy from the environment.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"
#include "package/inetutils.h"
#include "support/webserver.h"

namespace {

const QByteArray kBody = "PK package body";


class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new webtest::Nginx;
    const QString hops = QStringLiteral(
        "    location = /to-https { return 301 https://127.0.0.1:{HTTPS}/techno/arhive.zip; }\n"
        "    location = /to-file { return 302 file:///etc/passwd; }\n"
        "    location = /to-ftp { return 302 ftp://127.0.0.1/techno/arhive.zip; }\n"
        "    location = /to-gopher { return 302 gopher://127.0.0.1/techno/arhive.zip; }\n"
        "    location = /loop { return 302 /loop; }\n"
        "    location ~ ^/hop/x(x*)$ { return 302 /hop/$1; }\n"
        "    location = /hop/ { rewrite ^ /techno/arhive.zip last; }\n"
        "    location = /to-https-then-http { return 302 https://127.0.0.1:{HTTPS}/to-http; }\n");
    const QString tls = QStringLiteral("    location = /to-http { return 302 http://127.0.0.1:{HTTP}/techno/arhive.zip; }\n");
    server->start(hops, tls);
    webtest::WriteText(server->www() + QStringLiteral("/techno/arhive.zip"), kBody);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server && server->http) << "nginx did not start";
    for (const char *v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY",
                          "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR"})
      qunsetenv(v);
  }

  // The body on success, else "error: <reason>" or "status <code>".
  QString Get(const QString &url) {
    const QString file = dir.filePath(QStringLiteral("out.zip"));
    try {
      if (!DownloadFile(url, file)) return QStringLiteral("status");
      QFile f(file);
      f.open(QIODevice::ReadOnly);
      return QString::fromUtf8(f.readAll());
    } catch (const Exception &e) {
      return QStringLiteral("error: ") + e.message();
    }
  }

  static webtest::Nginx *server;
  QTemporaryDir dir;
};

webtest::Nginx *TransportTest::server = nullptr;

}  // namespace

TEST_F(TransportTest, HttpsWorksWithATrustedCaAndRefusesEveryBadCertificate) {
  const QByteArray ca = QFile::encodeName(server->caFile());
  const struct {
    const char *name;
    const char *var;  // how the CA is made trusted, or nullptr
    int port;
    bool works;
  } cases[] = {
      {"CA through CURL_CA_BUNDLE", "CURL_CA_BUNDLE", server->https, true},
      {"CA through SSL_CERT_FILE", "SSL_CERT_FILE", server->https, true},
      {"CA not trusted", nullptr, server->https, false},
      {"certificate for another host name", "CURL_CA_BUNDLE", server->wrongHost, false},
      {"expired certificate", "CURL_CA_BUNDLE", server->expired, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    webtest::EnvVar trust(c.var ? c.var : "CURL_CA_BUNDLE", c.var ? ca : QByteArray());
    const QString url = server->url(c.port, QStringLiteral("/techno/arhive.zip"));
    const QString got = Get(url);
    if (c.works) {
      EXPECT_EQ(got, QString::fromLatin1(kBody));
      EXPECT_GT(GetRemoteFileDate(url), 100);
    } else {
      EXPECT_TRUE(got.startsWith(QStringLiteral("error: "))) << got.toStdString();
      EXPECT_THROW(GetRemoteFileDate(url), Exception);
    }
  }
}

TEST_F(TransportTest, RedirectsAreFollowedOnlyToTheWebAndNeverBackToPlainHttp) {
  webtest::EnvVar trust("CURL_CA_BUNDLE", QFile::encodeName(server->caFile()));
  const QString body = QString::fromLatin1(kBody);
  const struct {
    const char *path;
    bool works;
    const char *reason;  // a part of the error
  } cases[] = {
      {"/to-https", true, ""},
      {"/hop/xxxxx", true, ""},  // five hops
      {"/hop/xxxxxx", false, "слишком много перенаправлений"},
      {"/hop/xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false, "слишком много перенаправлений"},
      {"/loop", false, "слишком много перенаправлений"},
      {"/to-file", false, "только http и https"},
      {"/to-ftp", false, "только http и https"},
      {"/to-gopher", false, "только http и https"},
      {"/to-https-then-http", false, "с https на http"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    const QString url = server->url(server->http, QLatin1String(c.path));
    const QString got = Get(url);
    if (c.works) {
      EXPECT_EQ(got, body);
      EXPECT_GT(GetRemoteFileDate(url), 100);
    } else {
      EXPECT_TRUE(got.contains(QString::fromUtf8(c.reason))) << got.toStdString();
      EXPECT_THROW(GetRemoteFileDate(url), Exception);
    }
  }
  // Straight from https to http.
  EXPECT_TRUE(Get(server->url(server->https, QStringLiteral("/to-http"))).contains(QStringLiteral("с https на http")));
  // The URL itself must be http or https.
  for (const char *url : {"file:///etc/passwd", "ftp://127.0.0.1/arhive.zip", "gopher://127.0.0.1/"}) {
    SCOPED_TRACE(url);
    EXPECT_TRUE(Get(QLatin1String(url)).contains(QStringLiteral("не является адресом http или https")));
    EXPECT_THROW(GetRemoteFileDate(QLatin1String(url)), Exception);
  }
}

namespace {

// A forwarding HTTP proxy on 127.0.0.1 that notes every request line it is
// given. Plain HTTP only; each connection carries one request.
class LoggingProxy {
 public:
  LoggingProxy() {
    fd_ = loopback::Listen(port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoggingProxy() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  QByteArray url() const { return QByteArrayLiteral("http://127.0.0.1:") + QByteArray::number(port_); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      Relay(c);
      ::close(c);
    }
  }
  void Relay(int c) {
    std::string head;
    char ch;
    while (head.find("\r\n\r\n") == std::string::npos && ::read(c, &ch, 1) == 1) head += ch;
    const std::string line = head.substr(0, head.find("\r\n"));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    // "GET http://127.0.0.1:PORT/path HTTP/1.1": to that port, with the path only.
    const auto hostStart = line.find("://");
    const auto pathStart = line.find('/', hostStart + 3);
    const auto portStart = line.find(':', hostStart + 3);
    if (hostStart == std::string::npos || pathStart == std::string::npos || portStart > pathStart) return;
    const int port = std::stoi(line.substr(portStart + 1, pathStart - portStart - 1));
    const std::string method = line.substr(0, line.find(' '));
    std::string rest = head.substr(head.find("\r\n") + 2);
    std::string out = method + ' ' + line.substr(pathStart) ;
    out = out.substr(0, out.rfind(' ')) + " HTTP/1.0\r\nConnection: close\r\n" + rest;
    const int u = loopback::Connect(port);
    if (u >= 0) {
      [[maybe_unused]] auto n = ::write(u, out.data(), out.size());
      char buf[4096];
      ssize_t got;
      while ((got = ::read(u, buf, sizeof buf)) > 0) n = ::write(c, buf, static_cast<size_t>(got));
    }
    ::close(u);
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace

TEST_F(TransportTest, TheProxyFromTheEnvironmentCarriesBothRequests) {
  LoggingProxy proxy;
  webtest::EnvVar viaProxy("http_proxy", proxy.url());
  const QString url = server->url(server->http, QStringLiteral("/techno/arhive.zip"));
  EXPECT_GT(GetRemoteFileDate(url), 100);
  EXPECT_EQ(Get(url), QString::fromLatin1(kBody));
  const std::string target = url.toStdString();
  EXPECT_EQ(proxy.lines(), (std::vector<std::string>{"HEAD " + target + " HTTP/1.1", "GET " + target + " HTTP/1.1"}));
  // And no_proxy is honoured as well.
  webtest::EnvVar direct("no_proxy", "127.0.0.1");
  EXPECT_EQ(Get(url), QString::fromLatin1(kBody));
  EXPECT_EQ(proxy.lines().size(), 2u);
}
