// The downloaded package's signature at start-up: signed, tampered, unsigned
// and foreign packages served side by side by nginx, with keys installed in
// the machine's trusted-key folder (or none).
#include <QStringList>

#include <mutex>

#include "appfixture.h"
#include "support/webserver.h"

using apptest::AppFixture;
using apptest::ReadFile;
using apptest::WriteFile;

namespace {

QStringList &LogLines() {
  static QStringList lines;
  return lines;
}

void Capture(QtMsgType, const QMessageLogContext &ctx, const QString &text) {
  if (ctx.category && QByteArray(ctx.category) == "tavelin.package") LogLines() << text;
}

QString Refused(const QString &reason) {
  return QStringLiteral("Пакет обновлений не прошёл проверку подлинности: %1. Будет использован встроенный пакет.")
      .arg(reason);
}

class SignedDownloadTest : public AppFixture {
 protected:
  static void SetUpTestSuite() {
    keys = new QTemporaryDir;
    publisher = new webtest::MinisignKey(webtest::MakeMinisignKey(keys->path(), QStringLiteral("publisher")));
    stranger = new webtest::MinisignKey(webtest::MakeMinisignKey(keys->path(), QStringLiteral("stranger")));
  }
  static void TearDownTestSuite() {
    delete publisher;
    delete stranger;
    delete keys;
  }

  void SetUp() override {
    AppFixture::SetUp();
    server.start();
    TMainForm::SetBuiltInPackageForTests(MakePackage(PackageWith("built-in")));
    const QString good = MakePackage(PackageWith("downloaded"));
    const QString www = server.www();
    // signed/: as published. tampered/: one byte of the package changed
    // after signing. unsigned/: no signature. foreign/: signed by a key
    // nobody trusts.
    for (const char *d : {"signed", "tampered", "unsigned", "foreign"})
      WriteFile(www + QLatin1Char('/') + QLatin1String(d) + QStringLiteral("/arhive.zip"), ReadFile(good));
    webtest::MinisignSign(*publisher, www + QStringLiteral("/signed/arhive.zip"), false,
                          QStringLiteral("timestamp:1765360000 file:arhive.zip Z.10"));
    QFile::copy(www + QStringLiteral("/signed/arhive.zip.minisig"), www + QStringLiteral("/tampered/arhive.zip.minisig"));
    QByteArray bytes = ReadFile(good);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    WriteFile(www + QStringLiteral("/tampered/arhive.zip"), bytes);
    webtest::MinisignSign(*stranger, www + QStringLiteral("/foreign/arhive.zip"), true, QStringLiteral("x"));
    // Beside the program, where an installation puts the maker's keys.
    trusted = appDir + QStringLiteral("/share/tavelin/trusted-keys");
    LogLines().clear();
    previous = qInstallMessageHandler(Capture);
  }
  void TearDown() override {
    qInstallMessageHandler(previous);
    AppFixture::TearDown();
  }

  static QList<QPair<QString, QByteArray>> PackageWith(const QByteArray &image) {
    return {{QStringLiteral("rules.json"), R"({"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]})"},
            {QStringLiteral("boot.bin"), image}};
  }

  TMainForm &StartAt(const char *folder, bool https = false) {
    WriteFile(appDir + QStringLiteral("/url.txt"),
              server.url(https ? server.https : server.http, QStringLiteral("/%1/arhive.zip").arg(QLatin1String(folder)))
                      .toUtf8() +
                  "\n");
    boxes.script = {true};
    return Start();
  }

  static QString KeyId(const webtest::MinisignKey &k) { return webtest::MinisignKeyId(k.pub); }

  static QTemporaryDir *keys;
  static webtest::MinisignKey *publisher, *stranger;
  webtest::Nginx server;
  QString trusted;
  QtMessageHandler previous = nullptr;
};

QTemporaryDir *SignedDownloadTest::keys = nullptr;
webtest::MinisignKey *SignedDownloadTest::publisher = nullptr;
webtest::MinisignKey *SignedDownloadTest::stranger = nullptr;

}  // namespace

TEST_F(SignedDownloadTest, WithATrustedKeyOnlyAPackageItSignedIsUnpacked) {
  QDir().mkpath(trusted);
  QFile::copy(publisher->pub, trusted + QStringLiteral("/maker.pub"));
  const struct {
    const char *folder;
    QString error;  // empty: the download is used
  } cases[] = {
      {"signed", QString()},
      {"tampered", Refused(QStringLiteral("подпись не совпадает"))},
      {"unsigned", Refused(QStringLiteral("нет подписи"))},
      {"foreign", Refused(QStringLiteral("неизвестный ключ ") + KeyId(*stranger))},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.folder);
    boxes.boxes.clear();
    LogLines().clear();
    TMainForm &f = StartAt(c.folder);
    EXPECT_EQ(boxes.texts(msgbox::Kind::Question).size(), 1);
    EXPECT_EQ(boxes.texts(msgbox::Kind::Error), c.error.isEmpty() ? QStringList() : QStringList{c.error});
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")),
              QByteArray(c.error.isEmpty() ? "downloaded" : "built-in"));
    EXPECT_EQ(f.FRules.size(), 1);
    // Nothing of the refused download stays; no signature file lies about.
    EXPECT_FALSE(QFileInfo::exists(f.FTempPath + QStringLiteral("arhive.zip.minisig")));
    if (c.error.isEmpty()) {
      const QString line = LogLines().filter(QStringLiteral("верна: ключ")).join(QString());
      EXPECT_TRUE(line.contains(KeyId(*publisher))) << LogLines().join(QLatin1Char('\n')).toStdString();
      EXPECT_TRUE(line.contains(QStringLiteral("timestamp:1765360000 file:arhive.zip Z.10")));
    } else {
      EXPECT_FALSE(LogLines().filter(QStringLiteral("Используется встроенный пакет")).isEmpty());
    }
  }
}

TEST_F(SignedDownloadTest, KeyFilesThatDoNotParse) {
  QDir().mkpath(trusted);
  WriteFile(trusted + QStringLiteral("/broken.pub"), "untrusted comment: cut short\nRWQ\n");
  // Only a broken key: the machine meant to check, so nothing is let through.
  TMainForm &f = StartAt("signed");
  ASSERT_EQ(boxes.texts(msgbox::Kind::Error).size(), 1);
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error).first().startsWith(
      QStringLiteral("Пакет обновлений не прошёл проверку подлинности: ошибка файла ключа ")));
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  form.reset();

  // Beside a good key it is logged and skipped.
  boxes.boxes.clear();
  LogLines().clear();
  QFile::copy(publisher->pub, trusted + QStringLiteral("/maker.pub"));
  TMainForm &g = StartAt("signed");
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error).isEmpty());
  EXPECT_EQ(ReadFile(g.FTempPath + QStringLiteral("boot.bin")), QByteArray("downloaded"));
  EXPECT_FALSE(LogLines().filter(QStringLiteral("broken.pub")).isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(SignedDownloadTest, WithoutKeysAnUnsignedPackageComesOnlyOverHttpsOrWhereTheAdministratorAllowsHttp) {
  // The test's own CA, whatever the machine's environment names.
  webtest::EnvVar ca("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
  webtest::EnvVar bundle("CURL_CA_BUNDLE", QByteArray());
  const QString setting = appDir + QStringLiteral("/share/tavelin/tavelin.conf");
  const struct {
    const char *name;
    bool https;
    QByteArray conf;  // empty: no tavelin.conf
    QString error;    // empty: the download is used
    QString logged;
  } cases[] = {
      {"plain http", false, QByteArray(), Refused(QStringLiteral("нет подписи, а соединение не защищено (http)")),
       QStringLiteral("Пакет отклонён: нет подписи, а соединение не защищено (http).")},
      {"plain http, the setting off", false, "# allow-unsigned-http = yes\nallow-unsigned-http = no\n",
       Refused(QStringLiteral("нет подписи, а соединение не защищено (http)")), QStringLiteral("Пакет отклонён")},
      {"plain http, allowed by the administrator", false, "[packages]\n  allow-unsigned-http = yes\n", QString(),
       QStringLiteral("разрешён настройкой allow-unsigned-http")},
      {"https", true, QByteArray(), QString(), QStringLiteral("не проверялась: доверенных ключей нет (получен по https")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(setting);
    if (!c.conf.isEmpty()) WriteFile(setting, c.conf);
    boxes.boxes.clear();
    LogLines().clear();
    TMainForm &f = StartAt("unsigned", c.https);
    EXPECT_EQ(boxes.texts(msgbox::Kind::Error), c.error.isEmpty() ? QStringList() : QStringList{c.error});
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")),
              QByteArray(c.error.isEmpty() ? "downloaded" : "built-in"));
    EXPECT_FALSE(LogLines().filter(c.logged).isEmpty()) << LogLines().join(QLatin1Char('\n')).toStdString();
    form.reset();
  }
  // No signature was asked for.
  EXPECT_FALSE(server.ReadLog("access.log").contains(".minisig"));
}

TEST_F(SignedDownloadTest, AnOlderSignedPackageFromTheSameAddressIsARollbackAndRefused) {
  QDir().mkpath(trusted);
  QFile::copy(publisher->pub, trusted + QStringLiteral("/maker.pub"));
  const QString www = server.www();
  // The same address publishes, in turn, packages signed on these dates.
  const auto publish = [&](const QString &comment) {
    QFile::remove(www + QStringLiteral("/signed/arhive.zip.minisig"));
    webtest::MinisignSign(*publisher, www + QStringLiteral("/signed/arhive.zip"), false, comment);
  };
  const struct {
    const char *name;
    QString comment;
    bool used;
  } cases[] = {
      {"first seen", QStringLiteral("date:2026-10-01T00:00:00Z file:arhive.zip"), true},
      {"the same again", QStringLiteral("date:2026-10-01T00:00:00Z file:arhive.zip"), true},
      {"newer, minisign's own timestamp", QStringLiteral("timestamp:1796083200\tfile:arhive.zip"), true},  // 2026-12-01
      {"older: replayed", QStringLiteral("date:2026-11-01T00:00:00Z file:arhive.zip"), false},
      {"no date at all", QStringLiteral("file:arhive.zip"), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    publish(c.comment);
    boxes.boxes.clear();
    TMainForm &f = StartAt("signed");
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray(c.used ? "downloaded" : "built-in"));
    const QStringList errors = boxes.texts(msgbox::Kind::Error);
    if (c.used) {
      EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char('\n')).toStdString();
    } else {
      ASSERT_EQ(errors.size(), 1);
      EXPECT_TRUE(errors.first().contains(QStringLiteral("пакет старше уже установленного (подписан 2026-11-01 00:00:00 "
                                                         "UTC, а с этого адреса уже принят пакет от 2026-12-01 00:00:00 UTC)")))
          << errors.first().toStdString();
    }
    form.reset();
  }
}
