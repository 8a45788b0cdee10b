// The command-line update of one register against the window's run on the
// same simulated register: the program's own time beyond the prescribed waits
// (3 s before the DFU listing, 15 s or 30 s for the restart).
//   bench_cli [--runs N]
// Each run takes the default register (A.4/1234, boot-loader 155) through the
// demo package's whole chain: three transfers, 84 s of prescribed waits.
// In process, both runs use a virtual clock: the waits cost nothing and are
// counted, so the wall time is the program's own. The command line is also
// timed as a child process (start-up and package preparation included), with
// the waits skipped by TAVELIN_SIM_NO_WAITS.
// Goal: own time per register at most 1 s.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/mainformunit.h"
#include "app/program/cli.h"
#include "common/msgbox_recorder.h"
#include "common/waits.h"
#include "forms/modal_recorder.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"

namespace {

QString g_bin;

int Tool(const QString &name, const QStringList &args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(g_bin + QLatin1Char('/') + name, args);
  p.waitForFinished(-1);
  if (p.exitCode() != 0) std::fprintf(stderr, "%s: %s\n", qPrintable(name), p.readAll().constData());
  return p.exitCode();
}

void FreshRegister() { Tool(QStringLiteral("ostrel-sim"), {QStringLiteral("init")}); }

QString Identity() {
  QProcess p;
  p.start(g_bin + QStringLiteral("/ostrel-sim"), {QStringLiteral("show")});
  p.waitForFinished(-1);
  return QString::fromUtf8(p.readAll()).section(QLatin1Char('\n'), 0, 8).simplified();
}

struct Sample {
  double ownMs;
  double waitsMs;
  bool ok;
};

Sample CommandLineInProcess(const QString &package) {
  FreshRegister();
  waits::VirtualClock clock;
  waits::SetClock(&clock);
  TUpdateOptions opt;
  opt.update = opt.yes = true;
  opt.package = package;
  QString outText, errText;
  QTextStream out(&outText), err(&errText);
  QElapsedTimer t;
  t.start();
  const int code = RunUpdateCommand(opt, out, err);
  const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
  waits::SetClock(nullptr);
  if (code != 0) std::fprintf(stderr, "command line: exit %d\n%s\n", code, qPrintable(errText));
  return {ms, static_cast<double>(clock.slept()), code == 0};
}

Sample WindowInProcess(const QString &package) {
  FreshRegister();
  waits::VirtualClock clock;
  waits::SetClock(&clock);
  msgbox::Recorder boxes;   // Yes to everything: the operator accepts the offer
  modal::Recorder dialogs;  // OK
  TMainForm::SetBuiltInPackageForTests(package);
  QElapsedTimer t;
  t.start();
  bool ok = false;
  {
    TMainForm form;
    UpdateForm = new TUpdateForm(&form);
    RebootForm = new TRebootForm(&form);
    ProrgessTForm = new TProrgessTForm(&form);
    MsgForm = new TMsgForm(&form);
    SelectLDForm = new TSelectLDForm(&form);
    form.show();
    form.CheckConnectButtonClick();
    ok = form.FRunEnd == TRunEnd::Latest && form.FInstalled == 3;
    UpdateForm = nullptr, RebootForm = nullptr, ProrgessTForm = nullptr, MsgForm = nullptr, SelectLDForm = nullptr;
  }
  const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
  waits::SetClock(nullptr);
  TMainForm::SetBuiltInPackageForTests(QString());
  if (!ok) std::fprintf(stderr, "window: the run did not install the chain (%s)\n", qPrintable(Identity()));
  return {ms, static_cast<double>(clock.slept()), ok};
}

Sample CommandLineProcess(const QString &package) {
  FreshRegister();
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("TAVELIN_SIM_NO_WAITS"), QStringLiteral("1"));
  p.setProcessEnvironment(env);
  QElapsedTimer t;
  t.start();
  p.start(g_bin + QStringLiteral("/tavelin"),
          {QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"), package});
  p.waitForFinished(-1);
  const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
  if (p.exitCode() != 0) std::fprintf(stderr, "process: exit %d\n%s\n", p.exitCode(), p.readAllStandardError().constData());
  return {ms, 84000.0, p.exitCode() == 0};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  qInstallMessageHandler([](QtMsgType t, const QMessageLogContext &, const QString &m) {
    if (t == QtCriticalMsg || t == QtFatalMsg) std::fprintf(stderr, "%s\n", m.toLocal8Bit().constData());
  });
  if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir root;
  for (const char *d : {"sim", "config", "xdg", "state", "data", "tmp", "lock"}) QDir().mkpath(root.filePath(QString::fromLatin1(d)));
  qputenv("OSTREL_SIM_DIR", QFile::encodeName(root.filePath(QStringLiteral("sim"))));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
  qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.filePath(QStringLiteral("xdg"))));
  qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("state"))));
  qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("data"))));
  qputenv("TMPDIR", QFile::encodeName(root.filePath(QStringLiteral("tmp"))));
  qputenv("TAVELIN_LOCK_DIR", QFile::encodeName(root.filePath(QStringLiteral("lock"))));
  // The register's own simulated delays are not the program's time.
  qputenv("OSTREL_SIM_FAST", "1");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vozadozevari"));
  g_bin = QApplication::applicationDirPath();
  qputenv("OSTREL_DRIVER", QFile::encodeName(g_bin + QStringLiteral("/libostrel-sim.so")));
  int runs = 5;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--runs") && i + 1 < args.size()) runs = std::max(1, args[++i].toInt());
    else {
      std::fprintf(stderr, "usage: bench_cli [--runs N]\n");
      return 2;
    }
  }
  const QString package = QDir::cleanPath(g_bin + QStringLiteral("/../package/arhive.zip"));

  struct Kind {
    const char *name;
    Sample (*run)(const QString &);
  };
  const Kind kinds[] = {{"window run (in process)", WindowInProcess},
                        {"command line (in process)", CommandLineInProcess},
                        {"command line (own process, start-up included)", CommandLineProcess}};
  bool allOk = true;
  double cliOwn = 0;
  std::printf("one register, demo package chain (3 transfers), %d runs each, median:\n", runs);
  for (const Kind &k : kinds) {
    std::vector<double> own;
    double waited = 0;
    for (int i = 0; i < runs; ++i) {
      const Sample s = k.run(package);
      allOk = allOk && s.ok;
      own.push_back(s.ownMs);
      waited = s.waitsMs;
    }
    const double m = Median(own);
    if (k.run == CommandLineProcess) cliOwn = m;
    std::printf("  %-48s own time %7.0f ms over %5.0f s of prescribed waits\n", k.name, m, waited / 1000.0);
  }
  std::printf("goal: command line own time <= 1000 ms: %s\n", cliOwn <= 1000.0 ? "met" : "NOT met");
  return allOk ? 0 : 1;
}
