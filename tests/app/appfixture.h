#pragma once
// A main window in a sandbox of its own: its executable folder (for
// "url.txt"), its temporary folder, the simulator's state folder, recorded
// message boxes and dialogs, and a virtual clock.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <optional>

#include "app/mainformunit.h"
#include "common/apppaths.h"
#include "forms/filedialog.h"
#include "common/msgbox_recorder.h"
#include "common/waits.h"
#include "forms/modal_recorder.h"
#include "runwindows.h"
#include "support/testpaths.h"

namespace apptest {

// Writes data to path, creating folders.
inline void WriteFile(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  f.write(data);
}

inline QByteArray ReadFile(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

using testpaths::RunTool;

class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    appDir = root.filePath(QStringLiteral("app"));
    tmpDir = root.filePath(QStringLiteral("tmp"));
    // The driver instance lives as long as the process: one state folder per
    // process, and a fresh default register for every test.
    static QTemporaryDir simRoot;
    simDir = simRoot.path();
    for (const QString &d : {appDir, tmpDir}) QDir().mkpath(d);
    qputenv("TMPDIR", QFile::encodeName(tmpDir));
    qputenv("OSTREL_SIM_DIR", QFile::encodeName(simDir));
    // "url.txt" is also looked for in the configuration folders: none here.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.filePath(QStringLiteral("xdg"))));
    // The update journal and the kept images: never the user's own.
    stateDir = root.filePath(QStringLiteral("state"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(stateDir));
    qputenv("OSTREL_DRIVER", QFile::encodeName(testpaths::Bin(QStringLiteral("libostrel-sim.so"))));
    // The port locks of this sandbox's registers: tests running side by side
    // each have a register on port 1.
    QDir().mkpath(root.filePath(QStringLiteral("lock")));
    qputenv("TAVELIN_LOCK_DIR", QFile::encodeName(root.filePath(QStringLiteral("lock"))));
    apppaths::SetAppDirForTests(appDir);
    // No package server: a closed port refuses at once.
    WriteFile(appDir + QStringLiteral("/url.txt"), "http://127.0.0.1:9/techno/arhive.zip\r\n");
    waits::SetClock(&clock);
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    windows.emplace();
  }

  void TearDown() override {
    form.reset();
    windows.reset();
    waits::SetClock(nullptr);
    filedialog::SetAnswerer({});
    apppaths::SetAppDirForTests(QString());
    TMainForm::SetBuiltInPackageForTests(QString());
  }

  // Creates and shows the main window as the program does.
  TMainForm &Start() {
    form = std::make_unique<TMainForm>();
    form->show();
    return *form;
  }

  // The program with the built-in demo package (three rules), started
  // without a word.
  TMainForm &StartDemo() {
    TMainForm &f = Start();
    EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.boxes.value(0).text.toStdString();
    EXPECT_EQ(f.FRules.size(), 3);
    boxes.boxes.clear();
    return f;
  }

  // A package built by tavelin-pack from the given files.
  QString MakePackage(const QList<QPair<QString, QByteArray>> &files) {
    const QString stage = root.filePath(QStringLiteral("stage%1").arg(++packages));
    QDir().mkpath(stage);
    for (const auto &f : files) WriteFile(stage + QLatin1Char('/') + f.first, f.second);
    const QString zip = stage + QStringLiteral(".zip");
    QString out;
    EXPECT_EQ(RunTool(QStringLiteral("tavelin-pack"), {QStringLiteral("build"), stage, zip}, &out), 0)
        << out.toStdString();
    return zip;
  }

  // ostrel-sim on this test's register.
  int Sim(QStringList args, QString *out = nullptr) {
    args.prepend(simDir);
    args.prepend(QStringLiteral("--dir"));
    return RunTool(QStringLiteral("ostrel-sim"), args, out);
  }

  // The register as `ostrel-sim show` reports it.
  QJsonObject Show() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("show"), QStringLiteral("--json")}, &out), 0) << out.toStdString();
    return QJsonDocument::fromJson(out.toUtf8()).object();
  }

  // The register's identity: firmware/build/boot-loader.
  QString Identity() {
    const QJsonObject o = Show();
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }

  // Working folders present in the temporary folder.
  QStringList WorkFolders() const {
    return QDir(tmpDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  }

  QTemporaryDir root;
  QString appDir, tmpDir, simDir, stateDir;
  // Every box of the run as "kind: text". The closing message's line of what
  // changed ("Загрузчик 155 → 160, …") is checked apart.
  QStringList Boxes() const {
    static const char *kinds[] = {"error", "info", "question", "plain", "warning"};
    QStringList out;
    for (const auto &b : boxes.boxes) {
      QString text = b.text;
      if (b.kind == msgbox::Kind::Information) {
        text = text.section(QStringLiteral("\r\n"), 0, 0);
      } else if (b.kind == msgbox::Kind::Warning) {
        QStringList lines = text.split(QStringLiteral("\r\n"));
        lines.removeIf([](const QString &l) { return l.contains(QStringLiteral(" → ")); });
        text = lines.join(QStringLiteral("\r\n"));
      }
      out << QString::fromLatin1(kinds[int(b.kind)]) + QStringLiteral(": ") + text;
    }
    return out;
  }
  msgbox::Recorder boxes;
  modal::Recorder dialogs;
  waits::VirtualClock clock;
  std::optional<RunWindows> windows;
  std::unique_ptr<TMainForm> form;
  int packages = 0;
};

}  // namespace apptest
