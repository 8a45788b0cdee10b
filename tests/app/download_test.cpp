// The new-package check at start-up, against a package server on 127.0.0.1.
#include <httplib.h>

#include <thread>

#include "appfixture.h"

using apptest::AppFixture;
using apptest::ReadFile;
using apptest::WriteFile;

namespace {

const QString kQuestion = QStringLiteral("Доступнa новая версия кассового ПО. Скачать?");

// How the server answers the GET (the HEAD always names a date).
enum class Get { Body, Status404, CutShort };

// Serves one body at /techno/arhive.zip with a Last-Modified date.
class PackageServer {
 public:
  explicit PackageServer(QByteArray body, Get get = Get::Body) : body_(std::move(body)) {
    auto handler = [this, get](const httplib::Request &req, httplib::Response &res) {
      res.set_header("Last-Modified", "Wed, 09 Dec 2026 10:00:00 GMT");
      if (req.method == "HEAD" || get == Get::Body) {
        res.set_content(body_.toStdString(), "application/zip");
      } else if (get == Get::Status404) {
        res.status = 404;
        res.set_content("<html>Not Found</html>", "text/html");
      } else {
        // Announces the body, sends a part of it and drops the connection.
        res.set_content_provider(body_.size(), "application/zip",
                                 [this](std::size_t, std::size_t, httplib::DataSink &sink) {
                                   sink.write(body_.constData(), body_.size() / 2);
                                   return false;
                                 });
      }
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
  TMainForm &StartWith(const QByteArray &body, bool answer, Get get = Get::Body) {
    TMainForm::SetBuiltInPackageForTests(MakePackage(PackageWith("built-in")));
    server = std::make_unique<PackageServer>(body, get);
    WriteFile(appDir + QStringLiteral("/url.txt"), server->url().toUtf8() + "\r\n");
    // This server is plain http with no signatures, as an administrator may
    // allow for a server of their own.
    WriteFile(appDir + QStringLiteral("/share/tavelin/tavelin.conf"), "allow-unsigned-http = yes\n");
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

TEST_F(DownloadTest, EveryFailureAfterYesIsSaidAndTheBuiltInPackageIsUsed) {
  const QByteArray good = ReadFile(MakePackage(PackageWith("downloaded")));
  const struct {
    const char *name;
    QByteArray body;
    Get get;
    QString reason;  // a part of the reason the box gives
  } cases[] = {
      {"status", good, Get::Status404, QStringLiteral("сервер ответил кодом 404")},
      {"transport", good, Get::CutShort, QString()},
      {"not a ZIP", "<html>Service temporarily unavailable</html>", Get::Body,
       QStringLiteral("не является исправным ZIP-архивом")},
      {"no rules.json", ReadFile(MakePackage({{QStringLiteral("boot.bin"), "downloaded"}})), Get::Body,
       QStringLiteral("в пакете нет файла rules.json")},
      {"rules rejected",
       ReadFile(MakePackage({{QStringLiteral("rules.json"), R"({"RULES":[{"bootloader":1,"file":"x"}]})"},
                             {QStringLiteral("boot.bin"), "downloaded"}})),
       Get::Body, QStringLiteral("правила пакета отклонены (Ошибка. Отсутствует поле \"level\". Элемент: 0.)")},
  };
  const QString head = QStringLiteral("Не удалось получить новый пакет: ");
  const QString tail = QStringLiteral(". Будет использован встроенный пакет.");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    form.reset();
    boxes.boxes.clear();
    TMainForm &f = StartWith(c.body, true, c.get);
    EXPECT_EQ(boxes.texts(msgbox::Kind::Question), QStringList{kQuestion});
    const QStringList errors = boxes.texts(msgbox::Kind::Error);
    ASSERT_EQ(errors.size(), 1) << errors.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(errors[0].startsWith(head) && errors[0].endsWith(tail)) << errors[0].toStdString();
    const QString reason = errors[0].mid(head.size(), errors[0].size() - head.size() - tail.size());
    EXPECT_FALSE(reason.trimmed().isEmpty());
    EXPECT_FALSE(reason.endsWith(QLatin1Char('.'))) << reason.toStdString();
    EXPECT_TRUE(reason.contains(c.reason)) << reason.toStdString();
    // The built-in package, with its rules in force.
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
    ASSERT_EQ(f.FRules.size(), 1);
    EXPECT_EQ(f.FRulesProblem, QString());
    server.reset();
  }
}

TEST_F(DownloadTest, FailuresBeforeTheQuestionStaySilent) {
  // A server that does not answer, and one that names no date.
  TMainForm::SetBuiltInPackageForTests(MakePackage(PackageWith("built-in")));
  httplib::Server noDate;
  noDate.Get("/techno/arhive.zip", [](const httplib::Request &, httplib::Response &res) {
    res.set_content("x", "application/zip");
  });
  const int port = noDate.bind_to_any_port("127.0.0.1");
  std::thread t([&] { noDate.listen_after_bind(); });
  for (const QString &url : {QStringLiteral("http://127.0.0.1:9/techno/arhive.zip"),
                             QStringLiteral("http://127.0.0.1:%1/techno/arhive.zip").arg(port)}) {
    form.reset();
    boxes.boxes.clear();
    WriteFile(appDir + QStringLiteral("/url.txt"), url.toUtf8());
    TMainForm &f = Start();
    EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.boxes.value(0).text.toStdString();
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  }
  noDate.stop();
  t.join();
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
  EXPECT_TRUE(errors[0].startsWith(QStringLiteral("Не удалось получить новый пакет: "))) << errors[0].toStdString();
  EXPECT_TRUE(errors[0].endsWith(QStringLiteral(". Будет использован встроенный пакет."))) << errors[0].toStdString();
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  EXPECT_EQ(f.FRules.size(), 1);
}
