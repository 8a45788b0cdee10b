#include "killchaos.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <map>
#include <random>

namespace killchaos {
namespace {

const char kLatest[] = "A.6/1410/160";
const char kRuleText[] = "Ждём Вас снова!";

struct Cell {
  int table, row, field;
  QString value;
};

struct Register {
  int port;
  QString serial;
  QString start;            // firmware/build/boot-loader at the start
  std::vector<Cell> owner;  // the owner's settings
  bool ruleCells = false;   // the A.5 rule's cells are due (it started below A.5)
};

class Sandbox {
 public:
  Sandbox(const QString &binDir, const QString &package) : bin_(binDir + QLatin1Char('/')), package_(package) {
    env_ = QProcessEnvironment::systemEnvironment();
    for (const char *v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TAVELIN_LOCK_DIR"})
      env_.remove(QString::fromLatin1(v));
    const auto set = [&](const char *name, const char *sub) {
      QDir().mkpath(dir_.filePath(QLatin1String(sub)));
      env_.insert(QString::fromLatin1(name), dir_.filePath(QLatin1String(sub)));
    };
    set("OSTREL_SIM_DIR", "sim");
    set("XDG_CONFIG_HOME", "config");
    set("XDG_CONFIG_DIRS", "xdg");
    set("XDG_STATE_HOME", "state");
    set("XDG_DATA_HOME", "data");
    set("TMPDIR", "tmp");
    set("TAVELIN_LOCK_DIR", "lock");
    env_.insert(QStringLiteral("OSTREL_DRIVER"), bin_ + QStringLiteral("libostrel-sim.so"));
    // The program keeps its settings snapshots beside itself: each sandbox
    // runs its own link of it, so that runs side by side (two benches, the
    // tests) never share a register's snapshot.
    QDir().mkpath(dir_.filePath(QStringLiteral("app")));
    program_ = dir_.filePath(QStringLiteral("app/tavelin"));
    if (::link(QFile::encodeName(bin_ + QStringLiteral("tavelin")).constData(), QFile::encodeName(program_).constData()) != 0 &&
        !QFile::copy(bin_ + QStringLiteral("tavelin"), program_))
      program_ = bin_ + QStringLiteral("tavelin");
    env_.insert(QStringLiteral("TAVELIN_SIM_NO_WAITS"), QStringLiteral("1"));
    env_.insert(QStringLiteral("OSTREL_SIM_FAST"), QStringLiteral("1"));
    env_.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    env_.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    // To read a failed seed's files afterwards.
    if (qEnvironmentVariableIsSet("KILLCHAOS_KEEP")) {
      dir_.setAutoRemove(false);
      std::fprintf(stderr, "sandbox: %s\n", qPrintable(dir_.path()));
    }
  }

  struct Out {
    int code = -1;
    bool killed = false;
    QString out, err;
  };

  Out Sim(const QStringList &args, int port = 1) {
    return Start(QStringLiteral("ostrel-sim"), QStringList{QStringLiteral("--port"), QString::number(port)} + args, -1, 0);
  }

  // tavelin --update --yes --json ARGS; killAfter >= 0: SIGKILL once that
  // many records have come, delayMs later.
  Out Update(const QStringList &args, int killAfter, int delayMs) {
    return Start(QStringLiteral("tavelin"),
                 QStringList{QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--json"),
                             QStringLiteral("--package"), package_} +
                     args,
                 killAfter, delayMs);
  }

  QJsonObject Show(int port) {
    return QJsonDocument::fromJson(Sim({QStringLiteral("show"), QStringLiteral("--json")}, port).out.toUtf8()).object();
  }
  QString Identity(int port) {
    const QJsonObject o = Show(port);
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }
  QString CellValue(int port, int t, int r, int f) {
    return Sim({QStringLiteral("cell"), QString::number(t), QString::number(r), QString::number(f)}, port).out.trimmed();
  }
  QString StatePath(const QString &sub) const { return dir_.filePath(QStringLiteral("state/Korvalis/Tavelin/") + sub); }

 private:
  Out Start(const QString &program, const QStringList &args, int killAfter, int delayMs) {
    QProcess p;
    p.setProcessEnvironment(env_);
    p.start(program == QLatin1String("tavelin") ? program_ : bin_ + program, args);
    Out o;
    if (!p.waitForStarted(30000)) return o;
    if (killAfter >= 0) {
      QString seen;
      while (p.state() == QProcess::Running && seen.count(QLatin1Char('\n')) < killAfter) {
        p.waitForReadyRead(20);
        seen += QString::fromUtf8(p.readAllStandardOutput());
      }
      if (p.state() == QProcess::Running) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < delayMs && p.state() == QProcess::Running) p.waitForFinished(1);
        if (p.state() == QProcess::Running) {
          ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
          o.killed = true;
        }
      }
      o.out = seen;
    }
    p.waitForFinished(300000);
    o.out += QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    if (!o.killed) o.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return o;
  }

  QTemporaryDir dir_;
  QString bin_, package_, program_;
  QProcessEnvironment env_;
};

// What a user would compare after a program that says all is done.
void Check(Sandbox &box, const std::vector<Register> &regs, const QString &when, QStringList &failures) {
  for (const Register &r : regs) {
    const QString id = box.Identity(r.port);
    if (id != QLatin1String(kLatest))
      failures << QStringLiteral("%1: register %2 is on %3, not %4").arg(when, r.serial, id, QLatin1String(kLatest));
    const QJsonObject shown = box.Show(r.port);
    if (shown.value(QStringLiteral("dfu")).toBool())
      failures << QStringLiteral("%1: register %2 is left in its boot-loader").arg(when, r.serial);
    if (shown.value(QStringLiteral("setupCode")).toInt() != 0)
      failures << QStringLiteral("%1: register %2 still asks for set-up").arg(when, r.serial);
    for (const Cell &c : r.owner) {
      const QString now = box.CellValue(r.port, c.table, c.row, c.field);
      if (now != c.value)
        failures << QStringLiteral("%1: register %2 cell %3/%4/%5 is \"%6\", the owner set \"%7\"")
                        .arg(when, r.serial)
                        .arg(c.table)
                        .arg(c.row)
                        .arg(c.field)
                        .arg(now, c.value);
    }
    if (r.ruleCells) {
      if (box.CellValue(r.port, 1, 1, 5) != QLatin1String("1"))
        failures << QStringLiteral("%1: register %2 lost the rule's cell 1/1/5").arg(when, r.serial);
      if (box.CellValue(r.port, 13, 2, 1) != QString::fromUtf8(kRuleText))
        failures << QStringLiteral("%1: register %2 lost the rule's cell 13/2/1").arg(when, r.serial);
    }
  }
}

}  // namespace

QString Report::Describe() const {
  return QStringLiteral("seed %1: %2 programs, %3 killed, %4 list changes\n  %5%6")
      .arg(seed)
      .arg(programs)
      .arg(killed)
      .arg(listChanges)
      .arg(steps.join(QStringLiteral("\n  ")),
           failures.isEmpty() ? QString() : QStringLiteral("\n  FAILED:\n    ") + failures.join(QStringLiteral("\n    ")));
}

Report Run(std::uint64_t seed, const QString &binDir, const QString &package) {
  Report rep;
  rep.seed = seed;
  std::mt19937_64 rng(seed);
  const auto draw = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Sandbox box(binDir, package);

  // Two registers on one bus: the first always out of date, the second from
  // a drawn start.
  static const struct {
    const char *firmware;
    int build, bootloader;
  } starts[] = {{"A.4", 1234, 155}, {"A.5", 1300, 160}, {"A.6", 1410, 160}};
  std::vector<Register> regs{{1, QStringLiteral("0000420150"), QString(), {}, true},
                             {2, QStringLiteral("0000430150"), QString(), {}, false}};
  for (Register &r : regs) {
    const auto &s = starts[r.port == 1 ? 0 : draw(0, 2)];
    r.ruleCells = QLatin1String(s.firmware) == QLatin1String("A.4");
    r.start = QStringLiteral("%1/%2/%3").arg(QLatin1String(s.firmware)).arg(s.build).arg(s.bootloader);
    box.Sim({QStringLiteral("init"), QStringLiteral("--serial"), r.serial, QStringLiteral("--firmware"),
             QLatin1String(s.firmware), QStringLiteral("--build"), QString::number(s.build), QStringLiteral("--bootloader"),
             QString::number(s.bootloader)},
            r.port);
    // The owner's settings: a number and two texts, drawn.
    r.owner = {{9, 1, 2, QString::number(draw(100, 999))},
               {11, 1, 1, QStringLiteral("ИП №%1").arg(draw(1, 99))},
               {5, 1, 1, draw(0, 1) ? QStringLiteral("ЧЕКОМ") : QStringLiteral("ВЫРУЧКА")}};
    for (const Cell &c : r.owner)
      box.Sim({QStringLiteral("cell"), QString::number(c.table), QString::number(c.row), QString::number(c.field),
               c.value},
              r.port);
    rep.steps << QStringLiteral("register %1 on port %2 from %3").arg(r.serial).arg(r.port).arg(r.start);
  }
  box.Sim({QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Касса 2"),
           QStringLiteral("--com"), QStringLiteral("2")});

  const auto saveListAgain = [&] {
    // The driver's dialog saves the list: same registers, names drawn anew.
    const int which = draw(1, 2);
    const QString name = draw(0, 1) ? QStringLiteral("ККТ %1").arg(which) : QStringLiteral("Касса №%1").arg(draw(1, 9));
    box.Sim({QStringLiteral("device"), QStringLiteral("set"), QString::number(which), QStringLiteral("name"), name});
    ++rep.listChanges;
    rep.steps << QStringLiteral("device %1 renamed \"%2\"").arg(which).arg(name);
  };
  const auto target = [&]() -> QStringList {
    switch (draw(0, 2)) {
      case 0: return {QStringLiteral("--all-local")};
      case 1: return {QStringLiteral("--device"), QStringLiteral("1")};
      default: return {QStringLiteral("--device"), QStringLiteral("2")};
    }
  };

  // Programs killed at drawn moments: after a drawn number of the JSON
  // stream's records (each a step: pass, transfer, set-up, tables,
  // recovery), and a drawn few milliseconds into the next step.
  const int kills = draw(1, 4);
  for (int k = 0; k < kills; ++k) {
    if (draw(0, 9) < 3) saveListAgain();
    const QStringList args = target();
    const int after = draw(1, 18), delay = draw(0, 40);
    const Sandbox::Out o = box.Update(args, after, delay);
    ++rep.programs;
    if (o.killed) ++rep.killed;
    rep.steps << QStringLiteral("%1: %2").arg(args.join(QLatin1Char(' ')),
                                              o.killed ? QStringLiteral("killed after %1 records + %2 ms").arg(after).arg(delay)
                                                       : QStringLiteral("exit %1").arg(o.code));
    if (!o.killed && o.code == 0 && args.first() == QLatin1String("--all-local"))
      Check(box, regs, QStringLiteral("after a program that exited 0"), rep.failures);
  }
  if (draw(0, 1)) saveListAgain();

  // Then the fleet's own command until it says all is done.
  bool done = false;
  for (int i = 0; i < 3 && !done; ++i) {
    const Sandbox::Out o = box.Update({QStringLiteral("--all-local")}, -1, 0);
    ++rep.programs;
    rep.steps << QStringLiteral("--all-local: exit %1").arg(o.code);
    done = o.code == 0;
    if (!done && i == 2)
      rep.failures << QStringLiteral("three runs to the end did not finish (last exit %1): %2")
                          .arg(o.code)
                          .arg(o.err.right(600));
  }
  Check(box, regs, QStringLiteral("at the end"), rep.failures);

  // Nothing kept, and every run in the history has its end.
  if (!QDir(box.StatePath(QStringLiteral("pending"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty())
    rep.failures << QStringLiteral("a kept transfer is left in the state folder");
  QFile history(box.StatePath(QStringLiteral("history.jsonl")));
  int starts2 = 0, ends = 0;
  if (history.open(QIODevice::ReadOnly)) {
    for (const QByteArray &line : history.readAll().split('\n')) {
      const QString ev = QJsonDocument::fromJson(line).object().value(QStringLiteral("event")).toString();
      starts2 += ev == QLatin1String("run-start");
      ends += ev == QLatin1String("run-end");
    }
  }
  if (starts2 != ends)
    rep.failures << QStringLiteral("the history has %1 run starts and %2 run ends").arg(starts2).arg(ends);
  return rep;
}

}  // namespace killchaos
