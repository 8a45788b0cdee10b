// tavelin-pack as the package builders run it: a real child process on
// packages made here.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "package/cipher.h"
#include "support/testpaths.h"

namespace {

struct Result {
  int exitCode = -1;
  QString out;
  QString err;
};

// The tool is built beside the test program.
QString ToolPath() {
  if (!testpaths::BinDir().isEmpty()) return testpaths::Bin(QStringLiteral("tavelin-pack"));
  return QCoreApplication::applicationDirPath() + QStringLiteral("/tavelin-pack");
}

Result RunTool(const QStringList &args) {
  QProcess p;
  p.start(ToolPath(), args);
  Result r;
  if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit) {
    r.err = QStringLiteral("did not finish: ") + p.errorString();
    return r;
  }
  r.exitCode = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

QByteArray Read(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void Write(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

QByteArray Bytes(int n, int seed) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) b[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return b;
}

// A failure is one line on stderr, naming what it is about.
void ExpectOneLineFailure(const Result &r, const QString &mention) {
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
  EXPECT_TRUE(r.err.endsWith(QLatin1Char('\n'))) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(mention)) << r.err.toStdString() << " lacks " << mention.toStdString();
}

const char kRules[] = R"({"RULES": [
  {"level": 1, "bootloader": 155, "file": "boot_160.bin", "blver": 160, "date": "2023-02-01",
   "info": "Загрузчик"},
  {"level": 2, "bootloader": 160, "firmware": "A.5", "build": 1300, "file": "fw_A6.bin",
   "fwver": "A.6", "fwbuild": 1410, "fwdate": "2023-09-01", "info": "ПО"}
]})";

class PackToolTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  QString path(const QString &name) const { return dir_.filePath(name); }

  // The source folder of a small, complete package.
  void MakeSources() {
    Write(path(QStringLiteral("src/rules.json")), kRules);
    Write(path(QStringLiteral("src/boot_160.bin")), Bytes(3000, 1));
    Write(path(QStringLiteral("src/fw_A6.bin")), Bytes(4097, 2));
    Write(path(QStringLiteral("src/dfu-util-static.exe")), Bytes(33, 3));
    Write(path(QStringLiteral("src/notes.txt")), "packed, never deciphered");
  }
};

TEST_F(PackToolTest, BuildThenExtractGivesTheSourcesBack) {
  MakeSources();
  const Result built = RunTool({QStringLiteral("build"), path(QStringLiteral("src")), path(QStringLiteral("p.zip"))});
  ASSERT_EQ(built.exitCode, 0) << built.err.toStdString();
  EXPECT_TRUE(built.err.isEmpty()) << built.err.toStdString();

  const Result ex = RunTool({QStringLiteral("extract"), path(QStringLiteral("p.zip")), path(QStringLiteral("out"))});
  ASSERT_EQ(ex.exitCode, 0) << ex.err.toStdString();
  for (const char *name : {"rules.json", "boot_160.bin", "fw_A6.bin", "dfu-util-static.exe"}) {
    const QString n = QLatin1String(name);
    EXPECT_EQ(Read(path(QStringLiteral("out/") + n)), Read(path(QStringLiteral("src/") + n))) << name;
    EXPECT_TRUE(ex.out.contains(n)) << ex.out.toStdString();
    // Stored enciphered: nonce, then a body as long as the file.
    EXPECT_EQ(QFileInfo(path(QStringLiteral("out/encrypt/") + n)).size(),
              QFileInfo(path(QStringLiteral("src/") + n)).size() + TCodec::kNonceSize);
  }
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("out/notes.txt"))));
  EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("out/encrypt/notes.txt"))));
  EXPECT_TRUE(QFile::permissions(path(QStringLiteral("out/dfu-util-static.exe"))) & QFile::ExeOwner);
}

TEST_F(PackToolTest, ExtractRejectsBrokenRulesOrMissingImages) {
  const struct Case {
    const char *label;
    const char *removeFile;      // from the sources before building
    const char *rules;           // replaces rules.json when set
    const char *mention;
  } cases[] = {
      {"image missing", "fw_A6.bin", nullptr, "fw_A6.bin"},
      {"rules not JSON", nullptr, "{\"RULES\": [", "rules.json"},
      {"no rules", "rules.json", nullptr, "rules.json not found."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    QDir(path(QStringLiteral("src"))).removeRecursively();
    QDir(path(QStringLiteral("out"))).removeRecursively();
    MakeSources();
    if (c.removeFile) QFile::remove(path(QStringLiteral("src/")) + QLatin1String(c.removeFile));
    if (c.rules) Write(path(QStringLiteral("src/rules.json")), c.rules);
    ASSERT_EQ(RunTool({QStringLiteral("build"), path(QStringLiteral("src")), path(QStringLiteral("p.zip"))}).exitCode, 0);
    ExpectOneLineFailure(
        RunTool({QStringLiteral("extract"), path(QStringLiteral("p.zip")), path(QStringLiteral("out"))}),
        QString::fromUtf8(c.mention));
  }
}

TEST_F(PackToolTest, DecryptUndoesEncrypt) {
  for (int n : {0, 5, 16, 17, 100000}) {
    SCOPED_TRACE(n);
    Write(path(QStringLiteral("x")), Bytes(n, n));
    ASSERT_EQ(RunTool({QStringLiteral("encrypt"), path(QStringLiteral("x")), path(QStringLiteral("x.enc"))}).exitCode, 0);
    EXPECT_EQ(QFileInfo(path(QStringLiteral("x.enc"))).size(), n + TCodec::kNonceSize);
    ASSERT_EQ(RunTool({QStringLiteral("decrypt"), path(QStringLiteral("x.enc")), path(QStringLiteral("y"))}).exitCode, 0);
    EXPECT_EQ(Read(path(QStringLiteral("y"))), Bytes(n, n));
  }
}

TEST_F(PackToolTest, BadArgumentsAndMissingFilesGiveOneLine) {
  Write(path(QStringLiteral("plain.txt")), "not a package");
  const QString missing = path(QStringLiteral("missing.bin"));
  const struct Case {
    QStringList args;
    QString mention;
  } cases[] = {
      {{}, QStringLiteral("--help")},
      {{QStringLiteral("frobnicate")}, QStringLiteral("frobnicate")},
      {{QStringLiteral("encrypt"), path(QStringLiteral("plain.txt"))}, QStringLiteral("PLAIN OUT")},
      {{QStringLiteral("extract"), path(QStringLiteral("a")), path(QStringLiteral("b")), path(QStringLiteral("c"))},
       QStringLiteral("PACKAGE.zip FOLDER")},
      {{QStringLiteral("encrypt"), missing, path(QStringLiteral("o"))}, missing},
      {{QStringLiteral("decrypt"), missing, path(QStringLiteral("o"))}, missing},
      {{QStringLiteral("build"), path(QStringLiteral("nofolder")), path(QStringLiteral("o.zip"))},
       path(QStringLiteral("nofolder"))},
      {{QStringLiteral("extract"), missing, path(QStringLiteral("out"))}, missing},
      {{QStringLiteral("extract"), path(QStringLiteral("plain.txt")), path(QStringLiteral("out"))},
       path(QStringLiteral("plain.txt"))},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
    ExpectOneLineFailure(RunTool(c.args), c.mention);
  }
  // A missing source leaves no half-made target behind.
  EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("o"))));
}

TEST_F(PackToolTest, HelpOnToolAndEachCommand) {
  for (const QStringList &args : {QStringList{QStringLiteral("--help")},
                                  QStringList{QStringLiteral("encrypt"), QStringLiteral("--help")},
                                  QStringList{QStringLiteral("decrypt"), QStringLiteral("-h")},
                                  QStringList{QStringLiteral("build"), QStringLiteral("--help")},
                                  QStringList{QStringLiteral("extract"), QStringLiteral("--help")}}) {
    const Result r = RunTool(args);
    EXPECT_EQ(r.exitCode, 0) << args.join(QLatin1Char(' ')).toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("Usage: tavelin-pack"))) << r.out.toStdString();
  }
}

TEST_F(PackToolTest, FailedBuildLeavesNoHalfPackage) {
  MakeSources();
  Write(path(QStringLiteral("old.zip")), "previous package");
  QDir().mkpath(path(QStringLiteral("empty")));
  QDir().mkpath(path(QStringLiteral("dest/taken.zip")));  // a folder where the package should go
  const struct Case {
    QString folder;
    QString out;
    QString mention;
  } cases[] = {
      {path(QStringLiteral("empty")), path(QStringLiteral("old.zip")), path(QStringLiteral("empty"))},
      {path(QStringLiteral("src")), path(QStringLiteral("dest/taken.zip")), path(QStringLiteral("dest/taken.zip"))},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out.toStdString());
    ExpectOneLineFailure(RunTool({QStringLiteral("build"), c.folder, c.out}), c.mention);
  }
  EXPECT_EQ(Read(path(QStringLiteral("old.zip"))), QByteArray("previous package"));
  EXPECT_EQ(QDir(path(QStringLiteral("dest"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{QStringLiteral("taken.zip")});
  EXPECT_TRUE(QDir(path(QStringLiteral("dest/taken.zip"))).isEmpty());
}

}  // namespace
