#pragma once
// The update run in a sandbox of its own, driven by a scripted view: the
// simulator's state, the temporary, state and lock folders, the demo package
// unpacked into a working folder, and a virtual clock.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <map>

#include "common/apppaths.h"
#include "common/waits.h"
#include "run/startup.h"
#include "run/updaterun.h"
#include "state/history.h"
#include "support/testpaths.h"

namespace runtest {

// Records what the run shows and answers from a script: the offer and each
// question by which question it is (Yes when not scripted).
class ScriptedView : public run::TView {
 public:
  bool offer = true;
  std::map<run::TQuestion, bool> answers;
  QStringList shown;  // "offer: …", "question: …", "error: …", "information: …"…
  std::function<void(const QString &caption)> onWaitEnd;

  bool ChooseDevice() override { return true; }
  bool Offer(const TFWRule &rule) override {
    shown << QStringLiteral("offer: ") + OfferTitle(rule);
    return offer;
  }
  void Unsupported() override { shown << QStringLiteral("notice: unsupported"); }
  bool Ask(run::TQuestion q, const QString &, const QString &text) override {
    shown << QStringLiteral("question: ") + text;
    const auto it = answers.find(q);
    return it == answers.end() || it->second;
  }
  void Notice(run::TNotice kind, const QString &, const QString &text) override {
    static const char *names[] = {"error", "information", "plain", "warning"};
    shown << QString::fromLatin1(names[int(kind)]) + QStringLiteral(": ") + text.section(QStringLiteral("\r\n"), 0, 0);
  }
  void Status(const QString &) override {}
  void WaitBegin(const QString &caption, int) override { wait = caption; }
  void WaitStep(int) override {}
  void WaitEnd() override {
    if (onWaitEnd && !wait.isEmpty()) onWaitEnd(wait);
    wait.clear();
  }
  void StepBegin(const QString &) override {}
  void StepEnd() override {}
  void TransferLocked(bool) override {}

 private:
  QString wait;
};

class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    // The driver instance lives as long as the process: one state folder per
    // process, and a fresh default register for every test.
    static QTemporaryDir simRoot;
    simDir = simRoot.path();
    for (const char *d : {"tmp", "state", "lock", "config", "xdg", "data"})
      QDir().mkpath(root.filePath(QString::fromLatin1(d)));
    qputenv("TMPDIR", QFile::encodeName(root.filePath(QStringLiteral("tmp"))));
    qputenv("OSTREL_SIM_DIR", QFile::encodeName(simDir));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.filePath(QStringLiteral("xdg"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("state"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("data"))));
    qputenv("TAVELIN_LOCK_DIR", QFile::encodeName(root.filePath(QStringLiteral("lock"))));
    qputenv("OSTREL_DRIVER", QFile::encodeName(testpaths::Bin(QStringLiteral("libostrel-sim.so"))));
    // The tables snapshots go beside the executable: a folder of this test's.
    QDir().mkpath(root.filePath(QStringLiteral("app")));
    apppaths::SetAppDirForTests(root.filePath(QStringLiteral("app")));
    waits::SetClock(&clock);
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    run.FTempPath = startup::MakeWorkFolder();
    startup::CopyPackage(QDir::cleanPath(testpaths::BinDir() + QStringLiteral("/../package/arhive.zip")),
                         run.FTempPath);
    startup::UnpackAndDecipher(run.FTempPath);
    const startup::TRulesLoad load = startup::LoadPackageRules(run.FTempPath);
    ASSERT_TRUE(load.problem.isEmpty()) << load.problem.toStdString();
    run.FRules = load.rules;
  }

  void TearDown() override {
    startup::RemoveWorkFolder(run.FTempPath);
    waits::SetClock(nullptr);
    apppaths::SetAppDirForTests(QString());
  }

  int Sim(QStringList args, QString *out = nullptr) {
    args = QStringList{QStringLiteral("--dir"), simDir} + args;
    return testpaths::RunTool(QStringLiteral("ostrel-sim"), args, out);
  }
  void Fault(const QStringList &args) {
    QString out;
    ASSERT_EQ(Sim(QStringList{QStringLiteral("fault"), QStringLiteral("set")} + args, &out), 0) << out.toStdString();
  }
  // firmware/build/boot-loader as the register reports them.
  QString Identity() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("show"), QStringLiteral("--json")}, &out), 0);
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }
  static QString Text(const TECRFwInfo &id) {
    return QStringLiteral("%1/%2/%3").arg(id.firmware).arg(id.build).arg(id.bootloader);
  }
  // The history's records of one event.
  QList<QJsonObject> Records(const QString &event) {
    QList<QJsonObject> out;
    for (const QJsonObject &r : history::Read())
      if (r.value(QStringLiteral("event")).toString() == event) out << r;
    return out;
  }

  QTemporaryDir root;
  QString simDir;
  waits::VirtualClock clock;
  TUpdateRun run;
  ScriptedView view;
};

}  // namespace runtest
