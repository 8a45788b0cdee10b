// The package download against servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <zip.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/apppaths.h"
#include "common/error.h"
#include "common/msgbox_recorder.h"
#include "loopback.h"
#include "package/inetutils.h"
#include "package/newpackage.h"

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

using loopback::HttpServer;
using loopback::RawServer;

const char kDate[] = "Sun, 06 Nov 1994 08:49:37 GMT";

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  return datetime::FromDateTime(QDateTime(QDate(y, mo, d), QTime(h, mi, s)));
}

QByteArray ReadAll(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFile(const QString &path, const QByteArray &data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

// Whether this process still holds a descriptor on the file.
bool OpenHere(const QString &path) {
  const QString target = QFileInfo(path).canonicalFilePath();
  const QDir fds(QStringLiteral("/proc/self/fd"));
  for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
    if (fd.symLinkTarget() == target) return true;
  return false;
}

// A small real archive, as the package server would publish it.
std::string ZipBytes(const QTemporaryDir &dir) {
  const QString path = dir.filePath(QStringLiteral("made.zip"));
  int err = 0;
  zip_t *z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  EXPECT_NE(z, nullptr);
  static const char member[] = "enciphered rules";
  zip_source_t *src = zip_source_buffer(z, member, sizeof member - 1, 0);
  zip_file_add(z, "rules.json", src, ZIP_FL_OVERWRITE);
  EXPECT_EQ(zip_close(z), 0);
  return ReadAll(path).toStdString();
}

}  // namespace

// ---- GetRemoteFileDate ----

TEST(GetRemoteFileDate, ReadsTheThreeDateFormsAndRefusesTheRest) {
  HttpServer server;
  struct Case {
    const char *header;
    TDateTime expected;
  };
  const TDateTime nov6 = At(1994, 11, 6, 8, 49, 37);
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", nov6},
      {"Sunday, 06-Nov-94 08:49:37 GMT", nov6},
      {"Sun Nov  6 08:49:37 1994", nov6},
      {"Tue, 29 Feb 2000 23:59:59 GMT", At(2000, 2, 29, 23, 59, 59)},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 1},  // the epoch
      {"Sat, 30 Dec 1899 00:00:00 GMT", 1},  // would be 0, "no date"
      {"Sun, 31 Dec 1899 12:00:00 GMT", 1.5},
      {"garbage", 0},
      {"Sun, 06 Nov 1994", 0},             // no time
      {"Nov 1994 08:49:37 GMT", 0},        // no day
      {"Sun, 06 Foo 1994 08:49:37 GMT", 0},  // no month
      {"Sun, 06 Nov 08:49:37 GMT", 0},     // no year
      {"Sun, 31 Feb 1994 08:49:37 GMT", 0},  // impossible dates
      {"Mon, 29 Feb 2021 00:00:00 GMT", 0},
      {"Thu, 31 Apr 2021 10:00:00 GMT", 0},
      {"Sun, 32 Nov 1994 08:49:37 GMT", 0},
      {"Sun, 06 Nov 1994 25:49:37 GMT", 0},  // impossible times
      {"Sun, 06 Nov 1994 08:60:37 GMT", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    server.setLastModified(c.header);
    EXPECT_NEAR(GetRemoteFileDate(server.url("/pkg")), c.expected, 1e-7);
  }
}

TEST(GetRemoteFileDate, NoDateWithoutHeaderOrForAnotherStatus) {
  HttpServer server;
  EXPECT_EQ(GetRemoteFileDate(server.url("/pkg")), 0);      // 200, no header
  EXPECT_EQ(GetRemoteFileDate(server.url("/gone")), 0);     // 404 with a header
  EXPECT_EQ(GetRemoteFileDate(server.url("/missing")), 0);  // 404
  for (const loopback::Seen &s : server.seen()) {
    EXPECT_EQ(s.method, "HEAD");
    EXPECT_EQ(s.userAgent, "Mozilla/5.0");
  }
  EXPECT_EQ(server.seen().size(), 3u);
}

TEST(GetRemoteFileDate, AClosedPortRaises) {
  const QString url = QStringLiteral("http://127.0.0.1:%1/pkg").arg(loopback::ClosedPort());
  EXPECT_THROW(GetRemoteFileDate(url), Exception);
}

// ---- DownloadFile ----

TEST(DownloadFile, StoresTheBodyAndReportsTheStatus) {
  QTemporaryDir dir;
  HttpServer server;
  struct Case {
    const char *name;
    const char *path;
    std::string body;
    bool expected;
    QByteArray file;
  };
  const std::string big(300000, 'z');
  const Case cases[] = {
      {"a body", "/pkg", "PK package bytes", true, "PK package bytes"},
      {"a body larger than curl's buffer", "/pkg", big, true, QByteArray::fromStdString(big)},
      {"an empty body", "/pkg", "", true, ""},
      {"404", "/missing", "", false, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const QString target = dir.filePath(QStringLiteral("arhive.zip"));
    WriteFile(target, "an older and longer file that must be truncated");
    server.setBody(c.body);
    EXPECT_EQ(DownloadFile(server.url(c.path), target), c.expected);
    ASSERT_TRUE(QFileInfo::exists(target));
    if (c.expected) {
      EXPECT_EQ(ReadAll(target), c.file);
    }
    EXPECT_FALSE(OpenHere(target));
  }
  const auto seen = server.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].userAgent, "Mozilla/5.0");
}

TEST(DownloadFile, ABodyBrokenOffRaisesAfterKeepingWhatArrived) {
  QTemporaryDir dir;
  const std::string part(1000, 'p');
  RawServer server([&part](int fd, const RawServer &) {
    loopback::ReadRequestHead(fd);
    loopback::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + part);
  });
  const QString target = dir.filePath(QStringLiteral("arhive.zip"));
  try {
    DownloadFile(server.url(), target);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception &e) {
    EXPECT_FALSE(e.message().isEmpty());
  }
  EXPECT_FALSE(OpenHere(target));
  EXPECT_EQ(ReadAll(target), QByteArray::fromStdString(part));
}

TEST(DownloadFile, AFileThatCannotBeCreatedRaisesBeforeAnyRequest) {
  QTemporaryDir dir;
  HttpServer server;
  const QString target = dir.filePath(QStringLiteral("no such folder/arhive.zip"));
  try {
    DownloadFile(server.url("/pkg"), target);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception &e) {
    EXPECT_TRUE(e.message().contains(target));
  }
  EXPECT_TRUE(server.seen().empty());
}

TEST(DownloadFile, AClosedPortRaises) {
  QTemporaryDir dir;
  const QString url = QStringLiteral("http://127.0.0.1:%1/pkg").arg(loopback::ClosedPort());
  EXPECT_THROW(DownloadFile(url, dir.filePath(QStringLiteral("arhive.zip"))), Exception);
}

// The one slow case: the server takes the request and stays silent until
// curl gives up after 30 seconds without a byte.
TEST(DownloadFile, ASilentServerEndsWithAnError) {
  QTemporaryDir dir;
  RawServer server([](int fd, const RawServer &self) {
    loopback::ReadRequestHead(fd);
    while (!self.stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  const QString target = dir.filePath(QStringLiteral("arhive.zip"));
  EXPECT_THROW(DownloadFile(server.url(), target), Exception);
  EXPECT_TRUE(QFileInfo::exists(target));
  EXPECT_FALSE(OpenHere(target));
}

// ---- CheckNewPackage ----

TEST(CheckNewPackage, OffersAndFetchesOnlyWhatIsUsable) {
  const QString question = QString::fromUtf8("Доступнa новая версия кассового ПО. Скачать?");
  QTemporaryDir dir;
  // This loopback server is plain http with no signatures: the machine's
  // administrator allows that here.
  const QString app = dir.filePath(QStringLiteral("app/"));
  QDir().mkpath(app + QStringLiteral("share/tavelin"));
  {
    QFile conf(app + QStringLiteral("share/tavelin/tavelin.conf"));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("allow-unsigned-http = yes\n");
  }
  apppaths::SetAppDirForTests(app);
  struct Restore {
    ~Restore() { apppaths::SetAppDirForTests(QString()); }
  } restore;
  const std::string zip = ZipBytes(dir);
  struct Case {
    const char *name;
    const char *path;
    std::string lastModified;
    std::string body;
    bool answer;
    bool expected;
    bool asked;
    bool errorBox;
    bool fetched;
  };
  const Case cases[] = {
      {"archive, Yes", "/pkg", kDate, zip, true, true, true, false, true},
      {"archive, No", "/pkg", kDate, zip, false, false, true, false, false},
      {"no date", "/pkg", "", zip, true, false, false, false, false},
      {"the epoch", "/pkg", "Thu, 01 Jan 1970 00:00:00 GMT", zip, true, false, false, false, false},
      {"not found", "/missing", kDate, zip, true, false, false, false, false},
      // Asked for and not got: said.
      {"GET refused", "/head-only", kDate, zip, true, false, true, true, true},
      {"error page served with 200", "/pkg", kDate, "<html>Service unavailable</html>", true, false, true,
       true, true},
      {"archive cut short", "/pkg", kDate, zip.substr(0, zip.size() / 2), true, false, true, true, true},
      {"empty body", "/pkg", kDate, "", true, false, true, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HttpServer server;
    server.setLastModified(c.lastModified);
    server.setBody(c.body);
    msgbox::Recorder boxes;
    boxes.script = {c.answer};
    const QString target = dir.filePath(QStringLiteral("arhive.zip"));
    QFile::remove(target);

    EXPECT_EQ(CheckNewPackage(server.url(c.path), target), c.expected);

    EXPECT_EQ(boxes.texts(msgbox::Kind::Question), c.asked ? QList<QString>{question} : QList<QString>{});
    EXPECT_EQ(boxes.texts(msgbox::Kind::Error).size(), c.errorBox ? 1 : 0);
    bool got = false;
    for (const loopback::Seen &s : server.seen()) got = got || s.method == "GET";
    EXPECT_EQ(got, c.fetched);
    if (c.expected) {
      EXPECT_EQ(ReadAll(target).toStdString(), zip);
    }
  }
}

TEST(CheckNewPackage, AnUnreachableServerMeansNoOffer) {
  QTemporaryDir dir;
  msgbox::Recorder boxes;
  const QString url = QStringLiteral("http://127.0.0.1:%1/pkg").arg(loopback::ClosedPort());
  EXPECT_FALSE(CheckNewPackage(url, dir.filePath(QStringLiteral("arhive.zip"))));
  EXPECT_TRUE(boxes.boxes.isEmpty());
}

TEST(CheckNewPackage, ADownloadThatCannotBeStoredIsNoPackage) {
  QTemporaryDir dir;
  HttpServer server;
  server.setLastModified(kDate);
  msgbox::Recorder boxes;
  EXPECT_FALSE(CheckNewPackage(server.url("/pkg"), dir.filePath(QStringLiteral("gone/arhive.zip"))));
  EXPECT_EQ(boxes.texts(msgbox::Kind::Question).size(), 1);
}
