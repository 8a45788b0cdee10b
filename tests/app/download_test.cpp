// The new-package check at start-up, against a package server on 127.0.0.1.
#include <httplib.h>

#include <thread>

#include "appfixture.h"

using apptest::AppFixture;
using apptest::ReadFile;
using apptest::WriteFile;

namespace {

const QString kQuestion = QStringLiteral("Доступнa новая версия кассового ПО. Скачать?");

// Serves one body at /techno/arhive.zip with a Last-Modified date.
class PackageServer {
 public:
  explicit PackageServer(QByteArray body) : body_(std::move(body)) {
    auto handler = [this](const httplib::Request &, httplib::Response &res) {
      res.set_header("Last-Modified", "Wed, 09 Dec 2026 10:00:00 GMT");
      res.set_content(body_.toStdString(), "application/zip");
    };
    server_.Get("/techno/arhive.zip", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~PackageServer() {
    server_.stop();
    thread_.join();
  }
  QString url() const { return QStringLiteral("http://127.0.0.1:%1/techno/arhive.zip").arg(port_); }

 private:
  QByteArray body_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

QList<QPair<QString, QByteArray>> PackageWith(const QByteArray &image) {
  return {{QStringLiteral("rules.json"), R"({"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]})"},
          {QStringLiteral("boot.bin"), image}};
}

class DownloadTest : public AppFixture {
 protected:
  // Starts the program against a server publishing body; the built-in
  // package carries "built-in" as its image.
  TMainForm &StartWith(const QByteArray &body, bool answer) {
    TMainForm::SetBuiltInPackageForTests(MakePackage(PackageWith("built-in")));
    server = std::make_unique<PackageServer>(body);
    WriteFile(appDir + QStringLiteral("/url.txt"), server->url().toUtf8() + "\r\n");
    boxes.script = {answer};
    return Start();
  }

  std::unique_ptr<PackageServer> server;
};

}  // namespace

TEST_F(DownloadTest, YesUsesTheDownloadedPackage) {
  TMainForm &f = StartWith(ReadFile(MakePackage(PackageWith("downloaded"))), true);
  EXPECT_EQ(boxes.texts(msgbox::Kind::Question), QStringList{kQuestion});
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error).isEmpty());
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("downloaded"));
}

TEST_F(DownloadTest, NoUsesTheBuiltInPackage) {
  TMainForm &f = StartWith(ReadFile(MakePackage(PackageWith("downloaded"))), false);
  EXPECT_EQ(boxes.texts(msgbox::Kind::Question), QStringList{kQuestion});
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
}

TEST_F(DownloadTest, ADownloadThatIsNoArchiveFallsBackToTheBuiltInPackage) {
  TMainForm &f = StartWith("<html>Service temporarily unavailable</html>", true);
  ASSERT_EQ(boxes.texts(msgbox::Kind::Error).size(), 1);  // why the download was not used
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  EXPECT_EQ(f.FRules.size(), 1);
}
