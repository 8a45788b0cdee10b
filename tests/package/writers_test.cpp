// Packages as the common ZIP writers make them: each one unpacks and
// deciphers exactly as the plainly written archive does. The archives are made
// at test time by tests/package/writers.py with the real tools.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>

#include "fixture.h"
#include "package/cipher.h"
#include "package/prepare.h"
#include "package/unpack.h"

using pkgtest::Pattern;
using pkgtest::ReadAll;

namespace {

// Every file under root by its path relative to root.
QMap<QString, QByteArray> Tree(const QString &root) {
  QMap<QString, QByteArray> files;
  QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString p = it.next();
    files.insert(QDir(root).relativeFilePath(p), ReadAll(p));
  }
  return files;
}

class ZipWritersTest : public pkgtest::TempFolder {
 protected:
  void SetUp() override {
    // A package as the maker builds it: enciphered members, one of them big
    // enough to span many deflate blocks, and an empty file.
    const QMap<QString, QByteArray> plain = {
        {QStringLiteral("rules.json"), R"({"RULES":[{"level":1,"bootloader":155,"file":"fw.bin","blver":160}]})"},
        {QStringLiteral("fw.bin"), Pattern(300000) + QByteArray(50000, '\0') + Pattern(77, 5)},
        {QStringLiteral("dfu-util-static.exe"), Pattern(33, 9)},
    };
    QDir().mkpath(path(QStringLiteral("src")));
    TCodec codec;
    codec.setPassword(kPackagePassword);
    char n = 1;
    for (auto it = plain.begin(); it != plain.end(); ++it, ++n) {
      pkgtest::WriteAll(path(QStringLiteral("plain")), it.value());
      codec.EncryptFile(path(QStringLiteral("src/") + it.key()), path(QStringLiteral("plain")),
                        QByteArray(TCodec::kNonceSize, n));
    }
    QFile::remove(path(QStringLiteral("plain")));
    pkgtest::WriteAll(path(QStringLiteral("src/readme.txt")), {});
    plain_ = plain;
  }

  QMap<QString, QByteArray> plain_;
};

TEST_F(ZipWritersTest, EveryWriterUnpacksAsThePlainArchive) {
  QProcess script;
  script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  script.start(QStringLiteral("python3"),
               {qEnvironmentVariable("TAVELIN_SOURCE_DIR") + QStringLiteral("/tests/package/writers.py"),
                path(QStringLiteral("src")), path(QStringLiteral("zips"))});
  ASSERT_TRUE(script.waitForFinished(120000));
  ASSERT_EQ(script.exitStatus(), QProcess::NormalExit);
  ASSERT_EQ(script.exitCode(), 0) << "the fixture script failed (zip, 7z and python3 come from scripts/deps.sh)";
  const QStringList made = QString::fromUtf8(script.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(made, (QStringList{QStringLiteral("7z.zip"), QStringLiteral("py-deflated.zip"),
                               QStringLiteral("py-stored.zip"), QStringLiteral("py-streamed.zip"),
                               QStringLiteral("py-zip64.zip"), QStringLiteral("zip-descriptors.zip"),
                               QStringLiteral("zip-pipe.zip"), QStringLiteral("zip-plain.zip")}));

  const QMap<QString, QByteArray> source = Tree(path(QStringLiteral("src")));
  ASSERT_EQ(source.size(), 4);
  for (const QString &zip : made) {
    SCOPED_TRACE(zip.toStdString());
    const QString work = path(QStringLiteral("work-") + zip + QLatin1Char('/'));
    try {
      UnpackPackage(path(QStringLiteral("zips/") + zip), work + QStringLiteral("encrypt"));
    } catch (const std::exception &e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_TRUE(Tree(work + QStringLiteral("encrypt")) == source);
    DecipherPackage(work);
    for (auto it = plain_.begin(); it != plain_.end(); ++it)
      EXPECT_TRUE(ReadAll(work + it.key()) == it.value()) << it.key().toStdString();
  }
}

}  // namespace
