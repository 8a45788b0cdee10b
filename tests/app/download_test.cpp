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

TEST_F(DownloadTest, ADownloadWithADamagedMemberFallsBackToTheBuiltInPackage) {
  QByteArray zip = ReadFile(MakePackage(PackageWith("downloaded")));
  // The last byte of the last member's data, just before the central directory.
  const qsizetype central = zip.indexOf(QByteArray("PK\x01\x02", 4));
  ASSERT_GT(central, 0);
  zip[central - 1] = static_cast<char>(zip[central - 1] ^ 0x55);
  TMainForm &f = StartWith(zip, true);
  const QStringList errors = boxes.texts(msgbox::Kind::Error);
  ASSERT_EQ(errors.size(), 1) << errors.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(errors[0].contains(QStringLiteral("Будет использован встроенный пакет."))) << errors[0].toStdString();
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  EXPECT_EQ(f.FRules.size(), 1);
}
