// ostrel-sim and a damaged state file: init and reset are the way out, every
// other command refuses the file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <vector>

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

// Registers updated at once by several programs: writers on the same and on
// other ports never lose each other's writes, with and without the fast mode
// that skips the flush to disk.
TEST(SimState, ConcurrentWritersLoseNothing) {
  for (const bool fast : {false, true}) {
    SCOPED_TRACE(fast ? "OSTREL_SIM_FAST" : "flushed");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char *port : {"1", "2"})
      ASSERT_EQ(Sim(dir.path(), {QStringLiteral("--port"), QLatin1String(port), QStringLiteral("init")}), 0);
    // Four writers at once: two cells on each of two ports, 15 writes each.
    const struct {
      const char *port, *table, *row, *field;
    } writers[] = {{"1", "9", "1", "2"}, {"1", "9", "2", "2"}, {"2", "9", "1", "2"}, {"2", "9", "2", "2"}};
    std::vector<std::unique_ptr<QProcess>> running;
    for (const auto &w : writers) {
      auto p = std::make_unique<QProcess>();
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
      if (fast) env.insert(QStringLiteral("OSTREL_SIM_FAST"), QStringLiteral("1"));
      p->setProcessEnvironment(env);
      p->start(QStringLiteral("/bin/sh"),
               {QStringLiteral("-c"),
                QStringLiteral("for v in 101 102 103 104 105 106 107 108 109 110 111 112 113 114 115; do "
                               "\"$0\" --dir \"$1\" --port %1 cell %2 %3 %4 $v || exit 1; done")
                    .arg(QLatin1String(w.port), QLatin1String(w.table), QLatin1String(w.row), QLatin1String(w.field)),
                testpaths::Bin(QStringLiteral("ostrel-sim")), dir.path()});
      running.push_back(std::move(p));
    }
    for (auto &p : running) {
      ASSERT_TRUE(p->waitForFinished(120000));
      EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    for (const auto &w : writers) {
      QString out;
      ASSERT_EQ(Sim(dir.path(), {QStringLiteral("--port"), QLatin1String(w.port), QStringLiteral("cell"),
                                 QLatin1String(w.table), QLatin1String(w.row), QLatin1String(w.field)},
                    &out),
                0);
      EXPECT_EQ(out.trimmed(), QStringLiteral("115")) << w.port << " " << w.row;
    }
  }
}
