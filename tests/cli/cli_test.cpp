// `tavelin --update` run as the operator (or Ansible) runs it: the program as a
// child process without a display, the simulator component as its driver, the
// DFU stand-in as its flashing tool; and the port lock shared with the window.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "app/appfixture.h"
#include "device/portlock.h"
#include "support/testpaths.h"
#include "support/webserver.h"

namespace {

const char kDemoLatest[] = "A.6/1410/160";

struct Result {
  int code = -1;
  QString out, err;
  // The --json records of stdout.
  QList<QJsonObject> records() const {
    QList<QJsonObject> list;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
      list << QJsonDocument::fromJson(line.toUtf8()).object();
    return list;
  }
  QList<QJsonObject> records(const QString &event) const {
    QList<QJsonObject> list;
    for (const QJsonObject &r : records())
      if (r.value(QStringLiteral("event")).toString() == event) list << r;
    return list;
  }
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    env = QProcessEnvironment::systemEnvironment();
    // No display at all: the program must not need one.
    for (const char *v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(v));
    auto set = [&](const char *name, const QString &sub) {
      QDir().mkpath(root.filePath(sub));
      env.insert(QString::fromLatin1(name), root.filePath(sub));
    };
    set("OSTREL_SIM_DIR", QStringLiteral("sim"));
    set("XDG_CONFIG_HOME", QStringLiteral("config"));
    set("XDG_CONFIG_DIRS", QStringLiteral("xdg"));
    set("XDG_STATE_HOME", QStringLiteral("state"));
    set("XDG_DATA_HOME", QStringLiteral("data"));
    set("TMPDIR", QStringLiteral("tmp"));
    set("TAVELIN_LOCK_DIR", QStringLiteral("lock"));
    env.insert(QStringLiteral("OSTREL_DRIVER"), testpaths::Bin(QStringLiteral("libostrel-sim.so")));
    env.insert(QStringLiteral("TAVELIN_SIM_NO_WAITS"), QStringLiteral("1"));
    env.insert(QStringLiteral("OSTREL_SIM_FAST"), QStringLiteral("1"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    package = QDir::cleanPath(testpaths::BinDir() + QStringLiteral("/../package/arhive.zip"));
    ASSERT_TRUE(QFileInfo::exists(package)) << package.toStdString();
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    // The program keeps files beside itself (the settings snapshots, url.txt,
    // share/tavelin/): each test runs its own link of it, so that tests
    // running side by side never share them.
    const QString programs = QDir::cleanPath(testpaths::BinDir() + QStringLiteral("/../cli-programs"));
    QDir().mkpath(programs);
    appDir = std::make_unique<QTemporaryDir>(programs + QStringLiteral("/XXXXXX"));
    ASSERT_TRUE(appDir->isValid());
    const QString self = testpaths::Bin(QStringLiteral("tavelin"));
    if (::link(QFile::encodeName(self).constData(), QFile::encodeName(appDir->filePath(QStringLiteral("tavelin"))).constData()) != 0)
      ASSERT_TRUE(QFile::copy(self, appDir->filePath(QStringLiteral("tavelin"))));
  }

  // The program under test from the test's own folder; the tools from the build.
  QString Program(const QString &name) const {
    return name == QLatin1String("tavelin") ? appDir->filePath(name) : testpaths::Bin(name);
  }

  int Sim(QStringList args, int port = 1, QString *out = nullptr) {
    args = QStringList{QStringLiteral("--port"), QString::number(port)} + args;
    const Result r = Run(QStringLiteral("ostrel-sim"), args);
    if (out) *out = r.out;
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    return r.code;
  }

  Result Run(const QString &program, const QStringList &args) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(Program(program), args);
    EXPECT_TRUE(p.waitForFinished(120000)) << program.toStdString();
    Result r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
  }

  // tavelin --update ... with the demo package.
  Result Update(QStringList args) {
    args.prepend(QStringLiteral("--update"));
    args << QStringLiteral("--package") << package;
    return Run(QStringLiteral("tavelin"), args);
  }

  QString Identity(int port = 1) {
    QString out;
    Sim({QStringLiteral("show"), QStringLiteral("--json")}, port, &out);
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }

  QString Cell(int table, int row, int field, int port = 1) {
    QString out;
    Sim({QStringLiteral("cell"), QString::number(table), QString::number(row), QString::number(field)}, port, &out);
    return out.trimmed();
  }

  // tavelin --update --yes on that device, with the register's real waits,
  // killed outright (SIGKILL) once the register on port is in its boot-loader
  // (the flashing wait that follows lasts seconds): nothing of the program's
  // own runs after that.
  void KillInBootLoader(int device = 0, int port = 1) {
    QProcessEnvironment slow = env;
    slow.remove(QStringLiteral("TAVELIN_SIM_NO_WAITS"));
    QProcess p;
    p.setProcessEnvironment(slow);
    QStringList args{QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--json"),
                     QStringLiteral("--package"), package};
    if (device > 0) args << QStringLiteral("--device") << QString::number(device);
    p.start(Program(QStringLiteral("tavelin")), args);
    ASSERT_TRUE(p.waitForStarted());
    bool inBootLoader = false;
    for (int i = 0; i < 2400 && !inBootLoader && p.state() == QProcess::Running; ++i) {
      p.waitForFinished(25);
      inBootLoader = Shown(port).value(QStringLiteral("dfu")).toBool();
    }
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    ASSERT_TRUE(p.waitForFinished(10000));
    ASSERT_TRUE(inBootLoader) << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();
  }

  QJsonObject Shown(int port = 1) {
    QString out;
    Sim({QStringLiteral("show"), QStringLiteral("--json")}, port, &out);
    return QJsonDocument::fromJson(out.toUtf8()).object();
  }

  // A second register on port 2 with a logical device of its own.
  void SecondRegister(const QStringList &identity) {
    Sim(QStringList{QStringLiteral("init"), QStringLiteral("--serial"), QStringLiteral("0000430150")} + identity, 2);
    Sim({QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Касса 2"),
         QStringLiteral("--com"), QStringLiteral("2")});
  }

  QTemporaryDir root;
  // Beside the build's own programs (one file system: a hard link will do).
  std::unique_ptr<QTemporaryDir> appDir;
  QProcessEnvironment env;
  QString package;
};

}  // namespace

TEST_F(CliTest, WithoutYesPrintsThePlanAndChangesNothing) {
  // No Qt platform is loaded at all: one that does not exist changes nothing.
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
  const Result r = Update({});
  EXPECT_EQ(r.code, 2) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("boot-loader 160 (boot_160.bin)"))) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("firmware A.5/1300 (fw_A5_1300.bin)")));
  EXPECT_TRUE(r.out.contains(QStringLiteral("firmware A.6/1410 (fw_A6_1410.bin)")));
  // The offers were seen and declined, and said so on the error stream.
  EXPECT_TRUE(r.err.contains(QStringLiteral("offer: Загрузчик. Версия: 160 [no]"))) << r.err.toStdString();
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
}

TEST_F(CliTest, YesWalksTheWholeChainKeepsTheSettingsAndPrintsJsonRecords) {
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300")});
  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--json")});
  ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Cell(9, 1, 2), QStringLiteral("300"));

  // Nothing but the records in --json: no line for the waits.
  EXPECT_FALSE(r.out.contains(QStringLiteral("осталось"))) << r.out.toStdString();
  // Every line of stdout is one JSON object.
  for (const QString &line : r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
    EXPECT_TRUE(QJsonDocument::fromJson(line.toUtf8()).isObject()) << line.toStdString();
  // The update history's records, as the run writes them.
  QStringList transferred;
  for (const QJsonObject &t : r.records(QStringLiteral("transfer-start")))
    transferred << t.value(QStringLiteral("file")).toString();
  EXPECT_EQ(transferred, (QStringList{QStringLiteral("boot_160.bin"), QStringLiteral("fw_A5_1300.bin"),
                                      QStringLiteral("fw_A6_1410.bin")}));
  for (const QJsonObject &t : r.records(QStringLiteral("transfer-end")))
    EXPECT_EQ(t.value(QStringLiteral("result")).toString(), QStringLiteral("done"));
  const auto runEnd = r.records(QStringLiteral("run-end"));
  ASSERT_EQ(runEnd.size(), 1);
  EXPECT_EQ(runEnd[0].value(QStringLiteral("result")).toString(), QStringLiteral("latest"));
  EXPECT_EQ(runEnd[0][QStringLiteral("identity")][QStringLiteral("firmware")].toString(), QStringLiteral("A.6"));
  // The same records are in the history file.
  QFile journal(root.filePath(QStringLiteral("state/Korvalis/Tavelin/history.jsonl")));
  ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
  EXPECT_EQ(journal.readAll().count('\n'), r.out.count(QLatin1Char('\n')) - 1);  // all but the summary
  const auto end = r.records(QStringLiteral("unattended-end"));
  ASSERT_EQ(end.size(), 1);
  EXPECT_EQ(end[0].value(QStringLiteral("code")).toInt(), 0);
  EXPECT_EQ(end[0][QStringLiteral("device")][QStringLiteral("number")].toInt(), 1);
  EXPECT_EQ(end[0][QStringLiteral("device")][QStringLiteral("port")].toInt(), 1);
  EXPECT_EQ(end[0].value(QStringLiteral("serial")).toString(), QStringLiteral("0000420150"));
  const auto summary = r.records(QStringLiteral("summary"));
  ASSERT_EQ(summary.size(), 1);
  EXPECT_EQ(summary[0].value(QStringLiteral("installed")).toInt(), 3);

  // Run again: already on the newest, nothing installed.
  const Result again = Update({QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(again.code, 0) << again.err.toStdString();
  EXPECT_EQ(again.records(QStringLiteral("summary")).value(0).value(QStringLiteral("installed")).toInt(), 0);
  EXPECT_TRUE(again.err.contains(QStringLiteral("Установлена последняя версия ПО.")));
}

TEST_F(CliTest, ExitCodes) {
  struct Case {
    const char *name;
    QStringList simFault;     // ostrel-sim fault set ...
    QStringList simSet;       // ostrel-sim set KEY VALUE
    QStringList args;
    int code;
    const char *errText;      // expected on stderr
  };
  const QString yes = QStringLiteral("--yes");
  const QList<Case> cases = {
      {"wrong mode", {QStringLiteral("mode"), QStringLiteral("2")}, {}, {yes}, 3, "в данном режиме перепрошивка невозможна"},
      {"unsupported model", {}, {QStringLiteral("serial"), QStringLiteral("0000429990")}, {yes}, 3, "notice:"},
      {"no link", {QStringLiteral("ecrstatus")}, {}, {yes}, 1, "the register does not answer"},
      {"refused DFU mode", {QStringLiteral("dfu-refused")}, {}, {yes}, 1, "Can not set DFU mode."},
      {"no such device", {}, {}, {yes, QStringLiteral("--device"), QStringLiteral("7")}, 4, "no logical device 7"},
      {"unknown word", {}, {}, {QStringLiteral("--yess")}, 4, "unknown argument '--yess'"},
      {"both device words", {}, {}, {QStringLiteral("--all-local"), QStringLiteral("--device"), QStringLiteral("1")}, 4,
       "exclude each other"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Sim({QStringLiteral("init")});
    Sim({QStringLiteral("fault"), QStringLiteral("clear"), QStringLiteral("all")});
    if (!c.simFault.isEmpty()) Sim(QStringList{QStringLiteral("fault"), QStringLiteral("set")} + c.simFault);
    if (!c.simSet.isEmpty()) Sim(QStringList{QStringLiteral("set")} + c.simSet);
    const Result r = Update(c.args);
    EXPECT_EQ(r.code, c.code) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.errText))) << r.err.toStdString();
  }
  // A package that cannot be read is a configuration error, not a silent
  // fall-back to the built-in one.
  const Result r = Run(QStringLiteral("tavelin"), {QStringLiteral("--update"), QStringLiteral("--package"),
                                                   root.filePath(QStringLiteral("missing.zip"))});
  EXPECT_EQ(r.code, 4);
  EXPECT_TRUE(r.err.contains(QStringLiteral("missing.zip"))) << r.err.toStdString();
}

TEST_F(CliTest, AWrongWordGetsTheUsageAndExitCode4WithOrWithoutADisplay) {
  const struct {
    const char *name;
    QStringList args;
    const char *said;
  } cases[] = {
      {"unknown option", {QStringLiteral("--bogus")}, "unknown argument '--bogus'"},
      {"--yes alone", {QStringLiteral("--yes")}, "--update is not given"},
      {"--json alone", {QStringLiteral("--json")}, "--update is not given"},
      {"--all-local alone", {QStringLiteral("--all-local")}, "--update is not given"},
      {"--device without its number", {QStringLiteral("--update"), QStringLiteral("--device")}, "--device needs a value"},
      {"history with an unknown option", {QStringLiteral("--history"), QStringLiteral("--bogus")}, "unknown argument --bogus"},
      {"history --serial without its value", {QStringLiteral("--history"), QStringLiteral("--serial")},
       "--serial needs a value"},
  };
  for (const bool display : {false, true}) {
    // A display that does not exist: nothing may try to open it.
    if (display) env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":97"));
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (display ? ", with a display" : ""));
      const Result r = Run(QStringLiteral("tavelin"), c.args);
      EXPECT_EQ(r.code, 4) << r.err.toStdString();
      EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.said))) << r.err.toStdString();
    }
  }
}

TEST_F(CliTest, HelpNamesTheExitCodes) {
  const Result r = Run(QStringLiteral("tavelin"), {QStringLiteral("--help")});
  EXPECT_EQ(r.code, 0);
  for (const char *line : {"0  the register is on the newest firmware", "1  the update failed", "2  nothing done",
                           "3  refused", "4  usage or configuration error", "5  the register is busy"})
    EXPECT_TRUE(r.out.contains(QString::fromLatin1(line))) << line;
  // Every option, the order of the worst code, the files and the environment.
  for (const char *word : {"--history", "--serial", "--version", "--package", "1, 4, 3, 5, 2, 0", "tavelin.log",
                           "history.jsonl", "pending/", "trusted-keys", "tavelin-port<N>.lock", "SSL_CERT_FILE",
                           "CURL_CA_BUNDLE", "https_proxy", "TAVELIN_LOCK_DIR"})
    EXPECT_TRUE(r.out.contains(QString::fromLatin1(word))) << word;
}

TEST_F(CliTest, SeveralDevicesNeedAChoiceAndAllLocalGoesOnAfterAFailure) {
  SecondRegister({QStringLiteral("--firmware"), QStringLiteral("A.5"), QStringLiteral("--build"),
                  QStringLiteral("1300"), QStringLiteral("--bootloader"), QStringLiteral("160")});
  // A third device that is not local is never taken.
  Sim({QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Зал"),
       QStringLiteral("--type"), QStringLiteral("6"), QStringLiteral("--ip"), QStringLiteral("10.0.0.7"),
       QStringLiteral("--com"), QStringLiteral("3")});

  Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 4);
  EXPECT_TRUE(r.err.contains(QStringLiteral("--device N"))) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("2  local, port 2  Касса 2"))) << r.err.toStdString();
  r = Update({QStringLiteral("--yes"), QStringLiteral("--device"), QStringLiteral("3")});
  EXPECT_EQ(r.code, 4);
  EXPECT_TRUE(r.err.contains(QStringLiteral("not attached locally"))) << r.err.toStdString();

  // Register 1 does not answer; register 2 is updated all the same.
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("ecrstatus")});
  r = Update({QStringLiteral("--yes"), QStringLiteral("--all-local"), QStringLiteral("--json")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  const auto ends = r.records(QStringLiteral("unattended-end"));
  ASSERT_EQ(ends.size(), 2) << r.out.toStdString();
  EXPECT_EQ(ends[0].value(QStringLiteral("code")).toInt(), 1);
  EXPECT_EQ(ends[0].value(QStringLiteral("message")).toString(), QStringLiteral("ПО не было обновлено."));
  EXPECT_EQ(ends[1].value(QStringLiteral("code")).toInt(), 0);
  EXPECT_EQ(ends[1][QStringLiteral("device")][QStringLiteral("port")].toInt(), 2);
  EXPECT_EQ(ends[1][QStringLiteral("device")][QStringLiteral("name")].toString(), QStringLiteral("Касса 2"));
  EXPECT_EQ(Identity(2), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Identity(1), QStringLiteral("A.4/1234/155"));

  // --device 2 alone takes register 2 only.
  Sim({QStringLiteral("fault"), QStringLiteral("clear"), QStringLiteral("all")});
  r = Update({QStringLiteral("--device"), QStringLiteral("2"), QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(r.records(QStringLiteral("unattended-end")).value(0)[QStringLiteral("device")][QStringLiteral("port")].toInt(), 2);
}

TEST_F(CliTest, ASecondCopyOnTheSameRegisterIsTurnedAwayAndADeadHolderBlocksNothing) {
  // A slow register keeps the first copy inside its run.
  Sim({QStringLiteral("set"), QStringLiteral("latency"), QStringLiteral("300")});
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(Program(QStringLiteral("tavelin")),
              {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"), package});
  ASSERT_TRUE(first.waitForStarted());
  // It holds the lock once it has read the register's identity.
  QString firstOut;
  for (int i = 0; i < 600 && !firstOut.contains(QStringLiteral("начало:")); ++i) {
    first.waitForReadyRead(100);
    firstOut += QString::fromUtf8(first.readAllStandardOutput());
  }
  ASSERT_TRUE(firstOut.contains(QStringLiteral("начало:"))) << firstOut.toStdString();
  ASSERT_EQ(first.state(), QProcess::Running);
  qputenv("TAVELIN_LOCK_DIR", QFile::encodeName(env.value(QStringLiteral("TAVELIN_LOCK_DIR"))));
  TPortLock probe;
  EXPECT_FALSE(probe.TryLock(1));

  const Result second = Update({QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(second.code, 5) << second.err.toStdString();
  EXPECT_TRUE(second.err.contains(QStringLiteral("ККТ на порту 1 уже обновляется другой программой.")))
      << second.err.toStdString();

  // Killed in the middle, it leaves a lock file but no lock.
  ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
  first.waitForFinished();
  EXPECT_TRUE(QFileInfo::exists(TPortLock::LockFileName(1)));
  EXPECT_TRUE(probe.TryLock(1));
  probe.Release();
  qunsetenv("TAVELIN_LOCK_DIR");
}

// The window takes the same lock: a run on a register another copy holds
// ends with the information box and nothing sent to the register.
class WindowLockTest : public apptest::AppFixture {};

TEST_F(WindowLockTest, TheWindowTellsWhoHoldsTheRegister) {
  TMainForm &f = Start();
  boxes.boxes.clear();
  {
    TPortLock other;
    ASSERT_TRUE(other.TryLock(1));
    f.CheckConnectButtonClick();
    EXPECT_EQ(boxes.texts(msgbox::Kind::Information),
              QList<QString>{QStringLiteral("ККТ на порту 1 уже обновляется другой программой.")});
    EXPECT_TRUE(dialogs.shown.isEmpty());
    EXPECT_EQ(f.FRunEnd, TRunEnd::Busy);
    EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
  }
  // Once the other copy is done, the run goes on as always.
  boxes.boxes.clear();
  dialogs.script = {modal::mrCancel, modal::mrCancel};
  f.CheckConnectButtonClick();
  EXPECT_EQ(dialogs.classNames().value(0), QStringLiteral("TUpdateForm"));
  EXPECT_EQ(boxes.texts(msgbox::Kind::Information), QList<QString>{QStringLiteral("ПО не было обновлено.")});
}

TEST_F(CliTest, APackageThatCannotBeHadIsAnErrorNeverTheBuiltInOne) {
  // url.txt names a server that is down: nothing to install from, said so.
  const QString config = root.filePath(QStringLiteral("config/Korvalis/Tavelin"));
  QDir().mkpath(config);
  QFile url(config + QStringLiteral("/url.txt"));
  ASSERT_TRUE(url.open(QIODevice::WriteOnly));
  url.write("http://127.0.0.1:9/techno/arhive.zip\r\n");
  url.close();
  Result r = Run(QStringLiteral("tavelin"), {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(r.code, 4) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("http://127.0.0.1:9/techno/arhive.zip could not be downloaded")))
      << r.err.toStdString();
  EXPECT_EQ(r.records(QStringLiteral("unattended-end")).value(0).value(QStringLiteral("code")).toInt(), 4);
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));

  // The built-in package only when asked for by name.
  r = Run(QStringLiteral("tavelin"), {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"),
                                      QStringLiteral("builtin")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
}

TEST_F(CliTest, ACellNotPutBackIsNamedAndFailsTheRun) {
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("500")});
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"),
       QStringLiteral("2"), QStringLiteral("write"), QStringLiteral("--code"), QStringLiteral("170")});
  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_TRUE(r.err.contains(QStringLiteral("tavelin: not restored: table 9, row 3, field 2 ("))) << r.err.toStdString();
  const QJsonObject end = r.records(QStringLiteral("unattended-end")).value(0);
  EXPECT_FALSE(end.value(QStringLiteral("restored")).toBool());
  const QJsonArray cells = end.value(QStringLiteral("not_restored")).toArray();
  ASSERT_FALSE(cells.isEmpty());
  EXPECT_EQ(cells[0][QStringLiteral("table")].toInt(), 9);
  EXPECT_EQ(cells[0][QStringLiteral("row")].toInt(), 3);
  EXPECT_EQ(cells[0][QStringLiteral("field")].toInt(), 2);
  EXPECT_TRUE(cells[0][QStringLiteral("answer")].toString().startsWith(QStringLiteral("(170)")));
  EXPECT_EQ(end[QStringLiteral("after")][QStringLiteral("firmware")].toString(), QStringLiteral("A.6"));
  // The history's tables records say the same.
  bool listed = false;
  for (const QJsonObject &t : r.records(QStringLiteral("tables")))
    if (!t.value(QStringLiteral("not_restored")).toArray().isEmpty()) {
      listed = true;
      EXPECT_FALSE(t.value(QStringLiteral("restored")).toBool());
    }
  EXPECT_TRUE(listed);
}

TEST_F(CliTest, ThePlanForARegisterLeftInItsBootLoaderIsItsRecovery) {
  // A download cut short, and no more tries: the register stays in DFU mode
  // with its image kept.
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("dfu-cut"), QStringLiteral("40")});
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("unplug")});
  Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  Sim({QStringLiteral("fault"), QStringLiteral("clear"), QStringLiteral("unplug")});
  QString shown;
  Sim({QStringLiteral("show"), QStringLiteral("--json")}, 1, &shown);
  ASSERT_TRUE(QJsonDocument::fromJson(shown.toUtf8()).object().value(QStringLiteral("dfu")).toBool()) << shown.toStdString();

  r = Update({QStringLiteral("--json")});
  EXPECT_EQ(r.code, 2) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("осталась в режиме загрузки"))) << r.err.toStdString();
  const QJsonObject plan = r.records(QStringLiteral("plan")).value(0);
  EXPECT_EQ(plan[QStringLiteral("recovery")][QStringLiteral("kind")].toString(), QStringLiteral("dfu"));
  EXPECT_EQ(plan[QStringLiteral("recovery")][QStringLiteral("target")].toString(), QStringLiteral("160"));

  // With --yes the recovery is done, and the chain goes on.
  r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
}

TEST_F(CliTest, ASignalMidChainEndsWithTheIdentityTheRegisterNowHas) {
  // Slow enough to be caught between passes; a signal that lands in the next
  // pass's tables save still lets that save (about 2,300 cells) finish.
  Sim({QStringLiteral("set"), QStringLiteral("latency"), QStringLiteral("20")});
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(Program(QStringLiteral("tavelin")),
          {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--json"), QStringLiteral("--package"),
           package});
  ASSERT_TRUE(p.waitForStarted());
  QString out;
  // The boot-loader is in: stop before the firmware.
  for (int i = 0; i < 1200 && !out.contains(QStringLiteral("\"transfer-end\"")); ++i) {
    p.waitForReadyRead(100);
    out += QString::fromUtf8(p.readAllStandardOutput());
  }
  ASSERT_TRUE(out.contains(QStringLiteral("\"transfer-end\""))) << out.toStdString();
  ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
  ASSERT_TRUE(p.waitForFinished(180000));
  out += QString::fromUtf8(p.readAllStandardOutput());
  Result r;
  r.out = out;
  EXPECT_EQ(p.exitCode(), 1);
  const QJsonObject end = r.records(QStringLiteral("unattended-end")).value(0);
  EXPECT_EQ(end.value(QStringLiteral("result")).toString(), QStringLiteral("stopped"));
  EXPECT_EQ(end[QStringLiteral("before")][QStringLiteral("bootloader")].toInt(), 155);
  // Whatever the step under way finished, the end says what the register has.
  const QJsonObject after = end.value(QStringLiteral("after")).toObject();
  EXPECT_EQ(QStringLiteral("%1/%2/%3")
                .arg(after.value(QStringLiteral("firmware")).toString())
                .arg(after.value(QStringLiteral("build")).toInt())
                .arg(after.value(QStringLiteral("bootloader")).toInt()),
            Identity());
  EXPECT_EQ(after.value(QStringLiteral("bootloader")).toInt(), 160);
  EXPECT_EQ(r.records(QStringLiteral("run-end")).value(0)[QStringLiteral("identity")][QStringLiteral("bootloader")].toInt(),
            160);
  EXPECT_NE(Identity(), QString::fromLatin1(kDemoLatest));
}

namespace {

// The README's lists of --json records: event (or object) → field → type.
std::map<QString, std::map<QString, QString>> DocumentedRecords() {
  QFile f(testpaths::SourceDir() + QStringLiteral("/README.md"));
  EXPECT_TRUE(f.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(f.readAll());
  const QString section = text.section(QStringLiteral("## The command line: `tavelin --update`"), 1)
                              .section(QStringLiteral("### One register, one copy"), 0, 0);
  std::map<QString, std::map<QString, QString>> out;
  static const QRegularExpression row(QStringLiteral("^\\| ([^|]+) \\| (.+) \\|$"));
  static const QRegularExpression field(QStringLiteral("`([a-z_0-9]+)` \\((string|number|boolean|object|array)"));
  for (const QString &line : section.split(QLatin1Char('\n'))) {
    const QRegularExpressionMatch m = row.match(line.trimmed());
    if (!m.hasMatch()) continue;
    QStringList names;
    for (const QString &n : m.captured(1).split(QLatin1Char(','))) names << n.trimmed().remove(QLatin1Char('`'));
    for (auto it = field.globalMatch(m.captured(2)); it.hasNext();) {
      const QRegularExpressionMatch fm = it.next();
      for (const QString &n : names) out[n][fm.captured(1)] = fm.captured(2);
    }
  }
  return out;
}

QString JsonType(const QJsonValue &v) {
  switch (v.type()) {
    case QJsonValue::String: return QStringLiteral("string");
    case QJsonValue::Double: return QStringLiteral("number");
    case QJsonValue::Bool: return QStringLiteral("boolean");
    case QJsonValue::Object: return QStringLiteral("object");
    case QJsonValue::Array: return QStringLiteral("array");
    default: return QStringLiteral("null");
  }
}

}  // namespace

TEST_F(CliTest, TheJsonRecordsAreThoseTheReadmeDocuments) {
  const auto documented = DocumentedRecords();
  ASSERT_TRUE(documented.count(QStringLiteral("(every run record)")));
  // A plan, a whole chain with a cell not put back, and a failure.
  QList<QJsonObject> records = Update({QStringLiteral("--json")}).records();
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"),
       QStringLiteral("2"), QStringLiteral("write")});
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("500")});
  records += Update({QStringLiteral("--json"), QStringLiteral("--yes")}).records();
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("ecrstatus")});
  records += Update({QStringLiteral("--json"), QStringLiteral("--yes")}).records();

  std::set<QString> seen;
  const auto &common = documented.at(QStringLiteral("(every run record)"));
  for (const QJsonObject &r : records) {
    const QString event = r.value(QStringLiteral("event")).toString();
    SCOPED_TRACE(event.toStdString());
    ASSERT_TRUE(documented.count(event)) << "undocumented event";
    seen.insert(event);
    const auto &fields = documented.at(event);
    const bool runRecord = !fields.count(QStringLiteral("event"));
    for (auto it = r.begin(); it != r.end(); ++it) {
      const auto own = fields.find(it.key());
      QString type;
      if (own != fields.end()) type = own->second;
      else if (runRecord && common.count(it.key())) type = common.at(it.key());
      EXPECT_EQ(type, JsonType(it.value())) << it.key().toStdString();
      // The objects inside, by their own list.
      if (it.value().isObject()) {
        const QString kind = it.key() == QStringLiteral("device") ? QStringLiteral("device") : it.key();
        const QString object = documented.count(kind) ? kind : QStringLiteral("identity");
        const QJsonObject inner = it.value().toObject();
        for (auto f = inner.begin(); f != inner.end(); ++f)
          EXPECT_EQ(documented.at(object).count(f.key()) ? documented.at(object).at(f.key()) : QString(),
                    JsonType(f.value()))
              << kind.toStdString() << "." << f.key().toStdString();
      }
    }
  }
  for (const char *e : {"run-start", "pass", "transfer-start", "transfer-end", "setup", "tables", "run-end",
                        "unattended-start", "unattended-end", "plan", "state", "summary"})
    EXPECT_TRUE(seen.count(QString::fromLatin1(e))) << e;
}

TEST_F(CliTest, WhatALocalUserPutsInItsWayHangsNothing) {
  // A pipe as url.txt, and a pipe as the register's lock file: each is said
  // at once, never waited on.
  const QString config = root.filePath(QStringLiteral("config/Korvalis/Tavelin"));
  QDir().mkpath(config);
  ASSERT_EQ(::mkfifo(QFile::encodeName(config + QStringLiteral("/url.txt")).constData(), 0600), 0);
  Result r = Run(QStringLiteral("tavelin"), {QStringLiteral("--update"), QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 4) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("url.txt — не обычный файл"))) << r.err.toStdString();
  QFile::remove(config + QStringLiteral("/url.txt"));

  const QString lock = root.filePath(QStringLiteral("lock/tavelin-port1.lock"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(lock).constData(), 0666), 0);
  r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 5) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("Файл блокировки %1 (владелец ").arg(lock))) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("— не обычный файл"))) << r.err.toStdString();
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
}

TEST_F(CliTest, AReaderThatStopsEarlyNeverCutsTheRun) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral("/bin/sh"),
          {QStringLiteral("-c"), QStringLiteral("\"$0\" --update --yes --package \"$1\" | head -1"),
           Program(QStringLiteral("tavelin")), package});
  ASSERT_TRUE(p.waitForFinished(120000));
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_TRUE(QDir(root.filePath(QStringLiteral("state/Korvalis/Tavelin/pending")))
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                  .isEmpty());
}

TEST_F(CliTest, EveryDownloadIsAimedAtItsOwnRegister) {
  // Another register waits in its boot-loader on port 2.
  SecondRegister({QStringLiteral("--firmware"), QStringLiteral("A.5"), QStringLiteral("--build"), QStringLiteral("1300"),
                  QStringLiteral("--bootloader"), QStringLiteral("155")});
  Sim({QStringLiteral("set"), QStringLiteral("dfu"), QStringLiteral("on")}, 2);
  const QString second = Identity(2);
  Result r = Update({QStringLiteral("--yes"), QStringLiteral("--device"), QStringLiteral("1")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Identity(2), second);

  // A kept image of register 1, which has left the bus: never written into
  // register 2, the one in DFU mode that is listed.
  Sim({QStringLiteral("init")});
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("dfu-cut"), QStringLiteral("40")});
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("unplug")});
  r = Update({QStringLiteral("--yes"), QStringLiteral("--device"), QStringLiteral("1")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  r = Update({QStringLiteral("--yes"), QStringLiteral("--device"), QStringLiteral("1")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  EXPECT_FALSE(r.err.contains(QStringLiteral("Загрузить прошивку повторно?"))) << r.err.toStdString();
  EXPECT_EQ(Identity(2), second);
  QString shown;
  Sim({QStringLiteral("show"), QStringLiteral("--json")}, 2, &shown);
  EXPECT_TRUE(QJsonDocument::fromJson(shown.toUtf8()).object().value(QStringLiteral("dfu")).toBool());
}

TEST_F(CliTest, APackageFromWhereItCannotBeTrustedIsRefusedAndASignalEndsAStalledOne) {
  // A server that takes the connection and never answers: the system
  // completes the connection on a listening socket nobody accepts from.
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  webtest::Nginx server;
  server.start();
  QFile::copy(package, server.www() + QStringLiteral("/arhive.zip"));
  const struct {
    const char *name;
    QString source;
    QString said;
  } cases[] = {
      {"ftp", QStringLiteral("ftp://127.0.0.1/arhive.zip"), QStringLiteral("only http and https")},
      {"unsigned over plain http", server.url(server.http, QStringLiteral("/arhive.zip")),
       QStringLiteral("Пакет обновлений не прошёл проверку подлинности: нет подписи, а соединение не защищено (http).")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = Run(QStringLiteral("tavelin"),
                         {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"), c.source});
    EXPECT_EQ(r.code, 4) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(c.said)) << r.err.toStdString();
    EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
  }

  // Ctrl+C while the server keeps the download waiting: the program ends
  // then, not when the transfer's stall limit runs out.
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(Program(QStringLiteral("tavelin")),
          {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"),
           QStringLiteral("http://127.0.0.1:%1/arhive.zip").arg(ntohs(addr.sin_port))});
  ASSERT_TRUE(p.waitForStarted());
  // Until the connection has reached the server.
  pollfd pending{silent, POLLIN, 0};
  ASSERT_EQ(::poll(&pending, 1, 20000), 1);
  ::kill(static_cast<pid_t>(p.processId()), SIGINT);
  ASSERT_TRUE(p.waitForFinished(20000)) << "the signal did not end the download";
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("stopped by a signal")));
  ::close(silent);
}

TEST_F(CliTest, AKilledUpdateIsFinishedByTheRegistersSerialWhateverTheDeviceListSaysNow) {
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300")});
  // Killed while the boot-loader's image is on its way: the register waits
  // in its boot-loader.
  KillInBootLoader();
  ASSERT_TRUE(Shown().value(QStringLiteral("dfu")).toBool());
  // Meanwhile the device list is saved again and a second register joins it.
  Sim({QStringLiteral("device"), QStringLiteral("set"), QStringLiteral("1"), QStringLiteral("name"),
       QStringLiteral("ККТ 1")});
  SecondRegister({});

  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--json"), QStringLiteral("--device"),
                           QStringLiteral("1")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Cell(9, 1, 2), QStringLiteral("300"));
  const QJsonObject recovery = r.records(QStringLiteral("recovery")).value(0);
  EXPECT_EQ(recovery.value(QStringLiteral("result")).toString(), QStringLiteral("done")) << r.out.toStdString();
  // The recovery's transfer counts as one installed.
  EXPECT_EQ(r.records(QStringLiteral("unattended-end")).value(0).value(QStringLiteral("installed")).toInt(), 3)
      << r.out.toStdString();
  // The killed run is closed in the history as interrupted.
  const Result h = Run(QStringLiteral("tavelin"), {QStringLiteral("--history"), QStringLiteral("--json")});
  int interrupted = 0, starts = 0, ends = 0;
  for (const QJsonObject &o : h.records()) {
    const QString ev = o.value(QStringLiteral("event")).toString();
    starts += ev == QLatin1String("run-start");
    ends += ev == QLatin1String("run-end");
    interrupted += o.value(QStringLiteral("result")).toString() == QLatin1String("interrupted");
  }
  EXPECT_EQ(interrupted, 1) << h.out.toStdString();
  EXPECT_EQ(starts, ends) << h.out.toStdString();
  // Read by people: every event in words, the command line's own records too.
  const Result text = Run(QStringLiteral("tavelin"), {QStringLiteral("--history")});
  EXPECT_EQ(text.code, 0) << text.err.toStdString();
  EXPECT_FALSE(text.out.contains(QRegularExpression(QStringLiteral("\\b[a-z]+-(start|end)\\b")))) << text.out.toStdString();
  EXPECT_TRUE(text.out.contains(QRegularExpression(QStringLiteral("командная строка: итог +код выхода 0"))))
      << text.out.toStdString();
}

TEST_F(CliTest, TwoRegistersLeftInTheirBootLoadersAreEachBroughtBack) {
  SecondRegister({});
  KillInBootLoader(1, 1);
  KillInBootLoader(2, 2);
  ASSERT_TRUE(Shown(1).value(QStringLiteral("dfu")).toBool());
  ASSERT_TRUE(Shown(2).value(QStringLiteral("dfu")).toBool());
  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--all-local")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
  EXPECT_EQ(Identity(1), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Identity(2), QString::fromLatin1(kDemoLatest));
  EXPECT_TRUE(QDir(root.filePath(QStringLiteral("state/Korvalis/Tavelin/pending")))
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                  .isEmpty());
}

TEST_F(CliTest, ARecoveryWhoseSetUpFailsIsNoSuccessAndTheNextRunFinishesIt) {
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300")});
  // Killed in the firmware's transfer: its image is kept, the tables saved.
  Sim({QStringLiteral("set"), QStringLiteral("bootloader"), QStringLiteral("160")});
  KillInBootLoader();
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("method"), QStringLiteral("ResetSettings"),
       QStringLiteral("-1")});
  Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("Не удалось настроить ККТ после загрузки прошивки"))) << r.err.toStdString();
  EXPECT_FALSE(r.out.contains(QStringLiteral("Установлена последняя версия ПО."))) << r.out.toStdString();

  r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Cell(9, 1, 2), QStringLiteral("300"));
  EXPECT_EQ(Shown().value(QStringLiteral("setupCode")).toInt(), 0);
}

// A recovery ended outright once its image was in, on a record that had not
// yet said the register was switched: the register is out of its boot-loader
// and asks for its set-up, with its tables reset.
class CliCutRecoveryTest : public CliTest {
 protected:
  // identity: what the register is on before, e.g. {"firmware", "A.5", "build", "1300"}.
  void CutRecoveryAfterItsTransfer(const QStringList &identity = {}) {
    Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("213")});
    for (qsizetype i = 0; i + 1 < identity.size(); i += 2)
      Sim({QStringLiteral("set"), identity[i], identity[i + 1]});
    // Killed in the firmware's transfer: its image is kept, the tables saved.
    Sim({QStringLiteral("set"), QStringLiteral("bootloader"), QStringLiteral("160")});
    KillInBootLoader();
    // Killed between the switch and the record's word of it.
    const QString record = root.filePath(QStringLiteral("state/Korvalis/Tavelin/pending/0000420150/pending.json"));
    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray text = f.readAll();
    f.close();
    ASSERT_TRUE(text.contains("\"switched\"")) << text.toStdString();
    text.replace("\"switched\"", "\"prepared\"");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();

    QProcessEnvironment slow = env;
    slow.remove(QStringLiteral("TAVELIN_SIM_NO_WAITS"));
    QProcess p;
    p.setProcessEnvironment(slow);
    p.start(Program(QStringLiteral("tavelin")), {QStringLiteral("--update"), QStringLiteral("--yes"),
                                                 QStringLiteral("--json"), QStringLiteral("--package"), package});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    bool sent = false;
    for (int i = 0; i < 2400 && !sent && p.state() == QProcess::Running; ++i) {
      p.waitForReadyRead(25);
      out += p.readAllStandardOutput();
      sent = out.contains("\"event\":\"transfer-end\"");
    }
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);  // in the reboot's wait
    ASSERT_TRUE(p.waitForFinished(10000));
    ASSERT_TRUE(sent) << out.toStdString();
    ASSERT_FALSE(Shown().value(QStringLiteral("dfu")).toBool());
    ASSERT_NE(Shown().value(QStringLiteral("setupCode")).toInt(), 0);
  }
};

TEST_F(CliCutRecoveryTest, TheNextRunSetsTheRegisterUpAndPutsItsSettingsBack) {
  CutRecoveryAfterItsTransfer();
  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--json")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
  const QJsonObject recovery = r.records(QStringLiteral("recovery")).value(0);
  EXPECT_EQ(recovery.value(QStringLiteral("kind")).toString(), QStringLiteral("finish")) << r.out.toStdString();
  EXPECT_EQ(recovery.value(QStringLiteral("result")).toString(), QStringLiteral("done")) << r.out.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Shown().value(QStringLiteral("setupCode")).toInt(), 0);
  EXPECT_EQ(Cell(9, 1, 2), QStringLiteral("213"));
  EXPECT_EQ(Cell(1, 1, 5), QStringLiteral("1"));  // the newest rule's own cell
}

// The same register with its record gone (another account, another
// computer): nothing here can put its settings back, and no run says it is fine.
TEST_F(CliCutRecoveryTest, WithoutItsRecordTheRunClaimsNoSuccess) {
  // The newest firmware is the one cut: no transfer is left to set it up.
  CutRecoveryAfterItsTransfer({QStringLiteral("firmware"), QStringLiteral("A.5"), QStringLiteral("build"),
                               QStringLiteral("1300")});
  ASSERT_TRUE(QDir(root.filePath(QStringLiteral("state/Korvalis/Tavelin/pending"))).removeRecursively());
  const Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString() << r.out.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("ККТ 0000420150 ожидает настройки"))) << r.err.toStdString();
}

TEST_F(CliTest, AnotherAdministratorPasswordIsPutBackLast) {
  Sim({QStringLiteral("cell"), QStringLiteral("2"), QStringLiteral("30"), QStringLiteral("1"), QStringLiteral("74115999")});
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300")});
  const Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Cell(2, 30, 1), QStringLiteral("74115999"));
  EXPECT_EQ(Cell(9, 1, 2), QStringLiteral("300"));
}

TEST_F(CliTest, TheLogHoldsWhatTheOperatorWasToldWithLevelsThatMeanSomething) {
  env.remove(QStringLiteral("QT_LOGGING_RULES"));
  env.remove(QStringLiteral("XDG_RUNTIME_DIR"));  // Qt's own notice about it is not for the log
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("method"), QStringLiteral("ReadLoaderVersion"),
       QStringLiteral("5")});
  const Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 3) << r.err.toStdString();
  QFile log(root.filePath(QStringLiteral("state/Korvalis/Tavelin/tavelin.log")));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(log.readAll());
  const struct {
    const char *what;
    const char *line;  // a part of the one line expected
  } cases[] = {
      {"the signature's verdict", "[INFO ] Подпись пакета "},
      {"a refused driver call", "[WARN ] Драйвер: ReadLoaderVersion: код 5"},
      {"what the operator was told", "[ERROR] Ошибка: ККТ на связи. Однако не удалось прочитать версию загрузчика"},
  };
  for (const auto &c : cases) EXPECT_TRUE(text.contains(QString::fromUtf8(c.line))) << c.what << "\n" << text.toStdString();
  EXPECT_FALSE(text.contains(QStringLiteral("XDG_RUNTIME_DIR"))) << text.toStdString();
  EXPECT_FALSE(text.contains(QStringLiteral("код 93")) && !text.contains(QStringLiteral("[DEBUG] Драйвер: GetTableStruct: код 93")))
      << text.toStdString();
}

TEST_F(CliTest, TheWaitsAreSaidAsPlainLinesWhenTheOutputIsNoTerminal) {
  const Result r = Update({QStringLiteral("--yes")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  for (const char *line : {"  Прошивка: Шаг 1 из 3: Загрузчик 160 (3 с)\n",
                           "  Перезагрузка: Шаг 2 из 3: Функциональное ПО A.5 (30 с)\n"})
    EXPECT_TRUE(r.out.contains(QString::fromUtf8(line))) << line << r.out.toStdString();
  EXPECT_FALSE(r.out.contains(QLatin1Char('\r')) || r.out.contains(QLatin1Char('\033'))) << r.out.toStdString();
}

TEST_F(CliTest, ABenchOfRegistersIsUpdatedAtOnceAndAFaultyOneFailsAlone) {
  // One out of date, one current, one whose switch to DFU mode is refused.
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("301")});
  SecondRegister({QStringLiteral("--firmware"), QStringLiteral("A.6"), QStringLiteral("--build"), QStringLiteral("1410"),
                  QStringLiteral("--bootloader"), QStringLiteral("160")});
  Sim({QStringLiteral("init"), QStringLiteral("--serial"), QStringLiteral("0000440150")}, 3);
  Sim({QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Касса 3"),
       QStringLiteral("--com"), QStringLiteral("3")});
  Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("dfu-refused")}, 3);

  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--all-local"), QStringLiteral("--parallel"),
                           QStringLiteral("--json")});
  EXPECT_EQ(r.code, 1) << r.err.toStdString();
  EXPECT_EQ(Identity(1), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Cell(9, 1, 2, 1), QStringLiteral("301"));
  EXPECT_EQ(Identity(2), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Identity(3), QStringLiteral("A.4/1234/155"));
  // Each register's end, with its device, and the summary of the bench.
  std::map<int, int> codes;
  for (const QJsonObject &e : r.records(QStringLiteral("unattended-end")))
    codes[e[QStringLiteral("device")][QStringLiteral("number")].toInt()] = e.value(QStringLiteral("code")).toInt();
  EXPECT_EQ(codes, (std::map<int, int>{{1, 0}, {2, 0}, {3, 1}})) << r.out.toStdString();
  const QJsonObject summary = r.records(QStringLiteral("summary")).value(0);
  EXPECT_EQ(summary.value(QStringLiteral("code")).toInt(), 1);
  EXPECT_EQ(summary.value(QStringLiteral("devices")).toInt(), 3);
  EXPECT_EQ(summary.value(QStringLiteral("installed")).toInt(), 3);
  // The history has each.
  const Result h = Run(QStringLiteral("tavelin"), {QStringLiteral("--history"), QStringLiteral("--json")});
  QSet<QString> ended;
  for (const QJsonObject &o : h.records())
    if (o.value(QStringLiteral("event")).toString() == QLatin1String("run-end")) ended << o.value(QStringLiteral("serial")).toString();
  EXPECT_EQ(ended, (QSet<QString>{QStringLiteral("0000420150"), QStringLiteral("0000430150"), QStringLiteral("0000440150")}));

  // Without --json: one line a register at the end.
  const Result again = Update({QStringLiteral("--yes"), QStringLiteral("--all-local"), QStringLiteral("--parallel"),
                               QStringLiteral("2")});
  EXPECT_EQ(again.code, 1) << again.err.toStdString();
  EXPECT_TRUE(again.out.contains(QStringLiteral("0000430150  A.6/1410/160 → A.6/1410/160     kept      latest (exit 0)")))
      << again.out.toStdString();
}

TEST_F(CliTest, TwoRegistersInTheirBootLoadersAtOnceAreEachBroughtBackByTheirOwnProcess) {
  SecondRegister({});
  KillInBootLoader(1, 1);
  KillInBootLoader(2, 2);
  const Result r = Update({QStringLiteral("--yes"), QStringLiteral("--all-local"), QStringLiteral("--parallel"),
                           QStringLiteral("--json")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Identity(1), QString::fromLatin1(kDemoLatest));
  EXPECT_EQ(Identity(2), QString::fromLatin1(kDemoLatest));
  int recovered = 0;
  for (const QJsonObject &o : r.records(QStringLiteral("recovery")))
    recovered += o.value(QStringLiteral("result")).toString() == QLatin1String("done");
  EXPECT_EQ(recovered, 2) << r.out.toStdString();
}

