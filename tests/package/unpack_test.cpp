// Unpacking the package archive: layout kept, hostile names refused before
// anything is written, damaged archives reported with the file's name.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstring>

#include "common/error.h"
#include "fixture.h"
#include "package/unpack.h"
#include "zipfixture.h"

using pkgtest::MakeZip;
using pkgtest::Pattern;
using pkgtest::RawEntry;
using pkgtest::RawZip;
using pkgtest::ReadAll;
using pkgtest::ZipEntry;

namespace {

class UnpackTest : public pkgtest::TempFolder {
 protected:
  QString zip() const { return path(QStringLiteral("arhive.zip")); }
  QString target() const { return path(QStringLiteral("work/encrypt")); }

  // Runs the unpack expecting failure; returns the message.
  QString UnpackError() {
    try {
      UnpackPackage(zip(), target());
    } catch (const Exception &e) {
      return e.message();
    }
    return QStringLiteral("<no error>");
  }
};

TEST_F(UnpackTest, ExtractsStoredAndDeflatedMembersKeepingPaths) {
  const QByteArray big = Pattern(300000);
  ASSERT_EQ(MakeZip(zip(), {{"a.bin", Pattern(100), false},
                            {"sub/deep/b.json", big, true},
                            {"empty/", {}},
                            {"fw..1.bin", "dots inside a name", true},
                            {"win\\c.exe", "backslash separated", false}}),
            QString());
  UnpackPackage(zip(), target());
  const QDir t(target());
  EXPECT_EQ(ReadAll(t.filePath(QStringLiteral("a.bin"))), Pattern(100));
  EXPECT_TRUE(ReadAll(t.filePath(QStringLiteral("sub/deep/b.json"))) == big);
  EXPECT_TRUE(QFileInfo(t.filePath(QStringLiteral("empty"))).isDir());
  EXPECT_EQ(ReadAll(t.filePath(QStringLiteral("fw..1.bin"))), QByteArray("dots inside a name"));
  EXPECT_EQ(ReadAll(t.filePath(QStringLiteral("win/c.exe"))), QByteArray("backslash separated"));
}

TEST_F(UnpackTest, HostileMembersRefusedWithNothingWritten) {
  const QByteArray outside = QFile::encodeName(path(QStringLiteral("outside.bin")));
  const struct Case {
    ZipEntry hostile;
    const char *why;
  } cases[] = {
      {{"../outside.bin", "x"}, "out of the folder"},
      {{"a/../../outside.bin", "x"}, "out of the folder"},
      {{"work\\..\\..\\outside.bin", "x"}, "out of the folder"},
      {{outside, "x"}, "absolute"},
      {{"C:/outside.bin", "x"}, "absolute"},
      {{"link", "../../outside.bin", false, true}, "symbolic link"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.hostile.name.toStdString());
    // A sound member comes first: the whole archive is checked before writing.
    ASSERT_EQ(MakeZip(zip(), {{"good.bin", "fine"}, c.hostile}), QString());
    const QString msg = UnpackError();
    EXPECT_TRUE(msg.contains(QString::fromUtf8(c.hostile.name)) && msg.contains(QLatin1String(c.why)))
        << msg.toStdString();
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("outside.bin"))));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("work/encrypt/good.bin"))));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("work/encrypt/link"))));
  }
}

TEST_F(UnpackTest, ExistingLinkInsideTargetIsNotFollowed) {
  ASSERT_TRUE(QDir().mkpath(target()));
  ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("elsewhere"))));
  ASSERT_TRUE(QFile::link(path(QStringLiteral("elsewhere")), path(QStringLiteral("work/encrypt/sub"))));
  ASSERT_EQ(MakeZip(zip(), {{"sub/x.bin", "x"}}), QString());
  EXPECT_TRUE(UnpackError().contains(QStringLiteral("sub/x.bin")));
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("elsewhere/x.bin"))));
}

TEST_F(UnpackTest, DamagedMemberFailsNamingIt) {
  const QByteArray payload("PAYLOAD-0123456789-PAYLOAD");
  ASSERT_EQ(MakeZip(zip(), {{"image.bin", payload, false}}), QString());
  QByteArray bytes = ReadAll(zip());
  const qsizetype at = bytes.indexOf(payload);
  ASSERT_GE(at, 0);
  bytes[at + 10] = 'X';  // stored data changed, CRC left as it was
  pkgtest::WriteAll(zip(), bytes);

  const QString msg = UnpackError();
  EXPECT_TRUE(msg.contains(QStringLiteral("image.bin")) && msg.contains(QStringLiteral("CRC")))
      << msg.toStdString();
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("work/encrypt/image.bin"))));
}

TEST_F(UnpackTest, UnreadableArchivesNameTheFileAndReason) {
  ASSERT_EQ(MakeZip(path(QStringLiteral("valid.zip")), {{"a.bin", Pattern(4000), true}}), QString());
  const QByteArray valid = ReadAll(path(QStringLiteral("valid.zip")));
  const struct Case {
    const char *label;
    bool exists;
    QByteArray content;
  } cases[] = {
      {"missing", false, {}},
      {"empty", true, {}},
      {"not a zip", true, "{\"RULES\": []}"},
      {"truncated", true, valid.left(valid.size() / 2)},
      {"tail cut", true, valid.left(valid.size() - 4)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    QFile::remove(zip());
    if (c.exists) pkgtest::WriteAll(zip(), c.content);
    const QString msg = UnpackError();
    EXPECT_TRUE(msg.startsWith(QStringLiteral("Cannot open archive \"") + zip() + QStringLiteral("\": ")))
        << msg.toStdString();
    EXPECT_GT(msg.size(), (QStringLiteral("Cannot open archive \"\": ") + zip()).size());
    EXPECT_FALSE(QFileInfo::exists(target()));
  }
}

// Bytes that deflate hardly at all.
QByteArray Noise(qsizetype n) {
  QByteArray b(n, Qt::Uninitialized);
  quint32 x = 2463534242u;
  for (qsizetype i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<char>(x);
  }
  return b;
}

TEST_F(UnpackTest, BombsRefusedBeforeAnythingIsWritten) {
  const struct Case {
    const char *label;
    std::vector<RawEntry> entries;
    const char *why;
  } cases[] = {
      // 10 MB of zeros deflate about 1028 times: a classic bomb.
      {"inflates more than 1000 times", {{"good.bin", "fine"}, {"zeros.bin", QByteArray(10 << 20, '\0')}},
       "more than 1000 times"},
      // Each member inflates only about 700 times, but together past 1 GiB.
      {"past 1 GiB in all",
       {{"good.bin", "fine"},
        {"a.bin", Noise(800000), false, 560000000u},
        {"b.bin", Noise(800000), false, 560000000u}},
       "past 1 GiB"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    pkgtest::WriteAll(zip(), RawZip(c.entries));
    const QString msg = UnpackError();
    EXPECT_TRUE(msg.contains(QLatin1String(c.why))) << msg.toStdString();
    EXPECT_FALSE(QFileInfo::exists(target()));
  }
}

TEST_F(UnpackTest, MemberInflatingPastItsDeclaredSizeIsRefused) {
  for (const bool deflate : {true, false}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    pkgtest::WriteAll(zip(), RawZip({{"good.bin", "fine"}, {"liar.bin", Pattern(200000), deflate, 1000u}}));
    const QString msg = UnpackError();
    EXPECT_TRUE(msg.contains(QStringLiteral("liar.bin")) && msg.contains(QStringLiteral("past the 1000 bytes")))
        << msg.toStdString();
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("work/encrypt/liar.bin"))));
  }
  // The honest archive the liar was made from unpacks.
  pkgtest::WriteAll(zip(), RawZip({{"good.bin", "fine"}, {"liar.bin", Pattern(200000)}}));
  UnpackPackage(zip(), target());
  EXPECT_TRUE(ReadAll(path(QStringLiteral("work/encrypt/liar.bin"))) == Pattern(200000));
}

// A file system that fills up: the file size limit makes writes stop part-way
// with the system's error, as a full disk does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit r = old_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

TEST_F(UnpackTest, FullDiskNamesTheSystemsReason) {
  ASSERT_EQ(MakeZip(zip(), {{"big.bin", Pattern(300000), true}}), QString());
  QString msg;
  {
    FileSizeLimit limit(100000);
    msg = UnpackError();
  }
  EXPECT_TRUE(msg.contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << msg.toStdString();
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("work/encrypt/big.bin"))));
}

}  // namespace
