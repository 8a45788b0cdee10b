// Deciphering an unpacked package into the work folder.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "fixture.h"
#include "package/cipher.h"
#include "common/error.h"
#include "package/prepare.h"

#include <csignal>
#include <cstring>

using pkgtest::Pattern;
using pkgtest::ReadAll;

namespace {

class DecipherPackageTest : public pkgtest::TempFolder {
 protected:
  // Enciphers plain into work/encrypt/name.
  void Member(const QString &name, const QByteArray &plain) {
    pkgtest::WriteAll(path(QStringLiteral("plain")), plain);
    QDir().mkpath(QFileInfo(path(QStringLiteral("encrypt/") + name)).path());
    TCodec codec;
    codec.setPassword(kPackagePassword);
    codec.EncryptFile(path(QStringLiteral("encrypt/") + name), path(QStringLiteral("plain")));
    QFile::remove(path(QStringLiteral("plain")));
  }
};

TEST_F(DecipherPackageTest, MasksOrderSubFoldersAndModes) {
  Member(QStringLiteral("rules.json"), "{\"RULES\": []}");
  Member(QStringLiteral("dfu-util-static.exe"), Pattern(33));
  Member(QStringLiteral("FW_A6.BIN"), Pattern(1000, 1));
  Member(QStringLiteral(".hidden.bin"), Pattern(17, 2));
  Member(QStringLiteral("readme.txt"), "not a package type");
  Member(QStringLiteral("sub/inner.json"), "{}");
  pkgtest::WriteAll(path(QStringLiteral("rules.json")), QByteArray(4096, 'o'));  // replaced

  QStringList done = DecipherPackage(dir_.path());
  // Within one mask the listing order is the file system's; across masks it is fixed.
  ASSERT_EQ(done.size(), 4);
  QStringList bins = done.mid(0, 2);
  bins.sort();
  EXPECT_EQ(bins, (QStringList{QStringLiteral(".hidden.bin"), QStringLiteral("FW_A6.BIN")}));
  EXPECT_EQ(done.mid(2), (QStringList{QStringLiteral("dfu-util-static.exe"), QStringLiteral("rules.json")}));

  EXPECT_EQ(ReadAll(path(QStringLiteral("rules.json"))), QByteArray("{\"RULES\": []}"));
  EXPECT_EQ(ReadAll(path(QStringLiteral("FW_A6.BIN"))), Pattern(1000, 1));
  EXPECT_EQ(ReadAll(path(QStringLiteral(".hidden.bin"))), Pattern(17, 2));
  EXPECT_EQ(ReadAll(path(QStringLiteral("dfu-util-static.exe"))), Pattern(33));
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("readme.txt"))));
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("inner.json"))));
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("sub"))));

  EXPECT_TRUE(QFile::permissions(path(QStringLiteral("dfu-util-static.exe"))) & QFile::ExeOwner);
  EXPECT_FALSE(QFile::permissions(path(QStringLiteral("FW_A6.BIN"))) & QFile::ExeOwner);
}

TEST_F(DecipherPackageTest, NoEncryptFolderDeciphersNothing) {
  EXPECT_TRUE(DecipherPackage(dir_.path()).isEmpty());
}

TEST_F(DecipherPackageTest, FullDiskNamesTheSystemsReason) {
  Member(QStringLiteral("fw.bin"), Pattern(300000));
  // The file size limit stops a write part-way with the system's error, as a
  // full disk does.
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &small);
  QString msg = QStringLiteral("<no error>");
  try {
    DecipherPackage(dir_.path());
  } catch (const Exception &e) {
    msg = e.message();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(msg.contains(QStringLiteral("fw.bin")) && msg.contains(QString::fromLocal8Bit(std::strerror(EFBIG))))
      << msg.toStdString();
}

}  // namespace
