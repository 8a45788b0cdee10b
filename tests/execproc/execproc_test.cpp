// The child process runner against small shell scripts and the real dfu-util.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "common/error.h"
#include "package/execproc.h"
#include "support/testpaths.h"

// Readable failure messages for texts.
void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

const QString kShell = QStringLiteral("/bin/sh");

QString Sh(const char *script, QString &out) {
  ExecuteAndCapture(kShell, QStringList{QStringLiteral("-c"), QString::fromUtf8(script)}, out);
  return out;
}

// Writes an executable shell script and returns its path.
QString WriteScript(const QString &path, const QByteArray &body) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("#!/bin/sh\n" + body);
  f.close();
  f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  return path;
}

// Prints the working folder and then each argument in brackets, one a line.
const QByteArray kShowArgs = "pwd -P\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n";

}  // namespace

TEST(ExecuteAndCapture, OutputArrivesWholeAndInOrder) {
  struct Case {
    const char *name;
    const char *script;
    QString expected;
  };
  QString longText;
  for (int i = 1; i <= 300; ++i) longText += QString::number(i) + QLatin1Char('\n');
  const Case cases[] = {
      {"stderr only", "echo 'to stderr' >&2", QStringLiteral("to stderr\n")},
      {"both streams in arrival order", "echo one; sleep 0.2; echo two >&2; sleep 0.2; echo three",
       QStringLiteral("one\ntwo\nthree\n")},
      {"longer than one read", "seq 1 300", longText},
      // The two bytes of one Cyrillic letter written apart, with a pause between.
      {"character split across writes", "printf '\\320'; sleep 0.3; printf '\\226\\n'",
       QString::fromUtf8("Ж\n")},
      // One write whose 255-byte read boundary falls inside a letter.
      {"character split at the read size", "printf '%254s\\320\\226' ''",
       QString(254, QLatin1Char(' ')) + QString::fromUtf8("Ж")},
      {"nothing written", "true", QString()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QString out = QStringLiteral("stale");
    EXPECT_EQ(Sh(c.script, out), c.expected);
  }
}

TEST(ExecuteAndCapture, ReturnsTheExitCode) {
  for (int code : {0, 3, 66}) {
    QString out;
    EXPECT_EQ(ExecuteAndCapture(kShell, QStringList{QStringLiteral("-c"), QStringLiteral("exit %1").arg(code)}, out),
              code);
  }
}

TEST(ExecuteAndCapture, PathAndArgumentsWithBlanksArriveIntact) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const QString folder = QFileInfo(tmp.path()).canonicalFilePath() + QStringLiteral("/a b");
  const QString script = WriteScript(folder + QStringLiteral("/show args.sh"), kShowArgs);
  const QString image = QStringLiteral("/tmp/x y/image.bin");
  const QString expected = folder + QStringLiteral("\n[-D]\n[") + image + QStringLiteral("]\n");

  QString out;
  EXPECT_EQ(ExecuteAndCapture(script, QStringList{QStringLiteral("-D"), image}, out), 0);
  EXPECT_EQ(out, expected);

  // The text form keeps a quoted argument whole; a leading blank does no harm.
  EXPECT_EQ(ExecuteAndCapture(script, QStringLiteral(" -D \"") + image + QStringLiteral("\""), out), 0);
  EXPECT_EQ(out, expected);
}

TEST(ExecuteAndCapture, WorksInTheProgramsFolderEvenForARelativePath) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const QString folder = QFileInfo(tmp.path()).canonicalFilePath() + QStringLiteral("/tools");
  WriteScript(folder + QStringLiteral("/where.sh"), kShowArgs);
  const QString saved = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QFileInfo(tmp.path()).canonicalFilePath()));
  QString out;
  const int code = ExecuteAndCapture(QStringLiteral("tools/where.sh"), QString(), out);
  QDir::setCurrent(saved);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, folder + QLatin1Char('\n'));
}

TEST(ExecuteAndCapture, AProgramThatCannotStartRaisesWithEmptyOutput) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const QString notExecutable = tmp.filePath(QStringLiteral("plain.txt"));
  {
    QFile f(notExecutable);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("echo never\n");
  }
  for (const QString &program : {tmp.filePath(QStringLiteral("missing/dfu-util-static.exe")), notExecutable}) {
    SCOPED_TRACE(program.toStdString());
    QString out = QStringLiteral("stale");
    try {
      ExecuteAndCapture(program, QStringLiteral("-l"), out);
      ADD_FAILURE() << "no error raised";
    } catch (const Exception &e) {
      EXPECT_FALSE(e.message().isEmpty());
    }
    EXPECT_TRUE(out.isEmpty());
  }
}

// The real dfu-util, as the transfer runs it. Its texts are kept as fixtures
// for the transfer's output checks; TAVELIN_RECORD_DFU_FIXTURES=1 rewrites them.
TEST(DfuUtilOutput, MarkersOnRecordedAndLiveOutput) {
  struct Case {
    const char *file;
    QStringList args;
    const char *absent;  // the marker that must not be there without a device
  };
  const Case cases[] = {
      {"list.txt", {QStringLiteral("-l")}, "FOUND DFU"},
      {"download-nodevice.txt", {QStringLiteral("-D"), QStringLiteral("/nonexistent")}, "DONE"},
      {"version.txt", {QStringLiteral("-V")}, "FOUND DFU"},
  };
  const QString fixtures = testpaths::SourceDir().isEmpty()
                               ? QStringLiteral(TAVELIN_DFU_FIXTURES)
                               : testpaths::SourceDir() + QStringLiteral("/tests/fixtures/dfu-util/");
  const QString tool = QStringLiteral("/usr/bin/dfu-util");
  const bool live = QFileInfo(tool).isExecutable();
  const bool record = qgetenv("TAVELIN_RECORD_DFU_FIXTURES") == "1";

  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    QFile f(fixtures + QString::fromLatin1(c.file));
    if (live) {
      QString out;
      ExecuteAndCapture(tool, c.args, out);
      EXPECT_TRUE(out.contains(QStringLiteral("dfu-util")));
      EXPECT_FALSE(out.toUpper().contains(QString::fromLatin1(c.absent)));
      if (record) {
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(out.toUtf8());
        f.close();
      }
    }
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << f.fileName().toStdString();
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("dfu-util")));
    EXPECT_FALSE(text.toUpper().contains(QString::fromLatin1(c.absent)));
  }
  // The download's own complaint comes through the merged error stream.
  QFile nodevice(fixtures + QStringLiteral("download-nodevice.txt"));
  ASSERT_TRUE(nodevice.open(QIODevice::ReadOnly));
  EXPECT_TRUE(nodevice.readAll().contains("/nonexistent"));
}
