// ostrel-sim and a damaged state file: init and reset are the way out, every
// other command refuses the file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "support/testpaths.h"

namespace {

int Sim(const QString &dir, const QStringList &args, QString *out = nullptr) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
  p.setProcessEnvironment(env);
  p.start(testpaths::Bin(QStringLiteral("ostrel-sim")), QStringList{QStringLiteral("--dir"), dir} + args);
  p.waitForFinished(-1);
  if (out) *out = QString::fromUtf8(p.readAll());
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QByteArray Read(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(SimState, InitAndResetReplaceADamagedFileAndKeepIt) {
  const QByteArray damaged = "{\"serial\": \"00004201";  // cut short
  for (const char *command : {"init", "reset"}) {
    SCOPED_TRACE(command);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("port1.json"));
    {
      QFile f(state);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(damaged);
    }
    QString out;
    // Every other command refuses the file and leaves it as it is.
    for (const QStringList &other : {QStringList{QStringLiteral("show")},
                                     QStringList{QStringLiteral("set"), QStringLiteral("mode"), QStringLiteral("2")}}) {
      EXPECT_NE(Sim(dir.path(), other, &out), 0) << out.toStdString();
      EXPECT_TRUE(out.contains(QStringLiteral("повреждён"))) << out.toStdString();
      EXPECT_EQ(Read(state), damaged);
    }

    ASSERT_EQ(Sim(dir.path(), {QString::fromLatin1(command)}, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("port1.json.damaged"))) << out.toStdString();
    EXPECT_EQ(Read(state + QStringLiteral(".damaged")), damaged);
    ASSERT_EQ(Sim(dir.path(), {QStringLiteral("show")}, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("0000420150"))) << out.toStdString();

    // A sound file is simply replaced: nothing is kept.
    QFile::remove(state + QStringLiteral(".damaged"));
    ASSERT_EQ(Sim(dir.path(), {QString::fromLatin1(command)}, &out), 0) << out.toStdString();
    EXPECT_FALSE(QFile::exists(state + QStringLiteral(".damaged")));
  }
}
