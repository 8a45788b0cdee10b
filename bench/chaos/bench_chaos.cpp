// Many randomized fault-injected update runs:
//   bench_chaos [--runs N] [--seed N] [--first N] [--verbose]
// --seed replays one run and prints what happened in it; otherwise runs N
// seeds from --first (default 1) and prints runs, faults, failures and time.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <map>

#include "chaos.h"

int main(int argc, char **argv) {
  // The offscreen platform's notices would bury the report.
  if (!qEnvironmentVariableIsSet("CHAOS_QT_MESSAGES"))
    qInstallMessageHandler([](QtMsgType t, const QMessageLogContext &, const QString &m) {
      if (t == QtCriticalMsg || t == QtFatalMsg) std::fprintf(stderr, "%s\n", m.toLocal8Bit().constData());
    });
  if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vozadozevari"));
  long runs = 1000;
  std::uint64_t first = 1;
  bool one = false, verbose = false;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const QString &a = args[i];
    if (a == QLatin1String("--runs") && i + 1 < args.size()) runs = args[++i].toLong();
    else if (a == QLatin1String("--first") && i + 1 < args.size()) first = args[++i].toULongLong();
    else if (a == QLatin1String("--seed") && i + 1 < args.size()) { first = args[++i].toULongLong(); runs = 1; one = true; }
    else if (a == QLatin1String("--verbose")) verbose = true;
    else {
      std::fprintf(stderr, "usage: bench_chaos [--runs N] [--first N] [--seed N] [--verbose]\n");
      return 2;
    }
  }
  chaos::Runner runner(QApplication::applicationDirPath());
  QElapsedTimer timer;
  timer.start();
  long failed = 0, faults = 0, claimed = 0, restored = 0, prompted = 0, promptedCells = 0;
  long killed = 0, recoveries = 0, stranded = 0, lost = 0;
  std::map<QString, long> kinds;
  for (long i = 0; i < runs; ++i) {
    const chaos::Report r = runner.Run(first + static_cast<std::uint64_t>(i));
    faults += r.faults.size();
    for (const QString &f : r.faults) ++kinds[f.section(QLatin1Char(' '), 0, 0)];
    claimed += r.claimedSuccess;
    restored += r.restored;
    prompted += !r.afterPrompt.isEmpty();
    promptedCells += r.afterPrompt.size();
    killed += r.killed;
    recoveries += r.recoveryRun;
    stranded += r.stranded;
    lost += r.silentLosses;
    if (!r.failures.isEmpty()) ++failed;
    if (one || verbose || !r.failures.isEmpty()) std::printf("%s", r.Describe().toLocal8Bit().constData());
    std::fflush(stdout);
  }
  const double s = static_cast<double>(timer.elapsed()) / 1000.0;
  std::printf("runs: %ld\nfaults injected: %ld (", runs, faults);
  bool firstKind = true;
  for (const auto &[k, n] : kinds) {
    std::printf("%s%s %ld", firstKind ? "" : ", ", k.toLocal8Bit().constData(), n);
    firstKind = false;
  }
  std::printf(")\nprograms killed: %ld\nsecond programs finishing an update: %ld\n"
              "registers left in DFU mode or half set up: %ld\nsettings lost silently: %ld",
              killed, recoveries, stranded, lost);
  std::printf("\nruns claiming success: %ld\nCtrl+Alt+T restores: %ld\nruns losing cells after an accepted driver prompt: %ld (%ld cells)\nfailures: %ld\nwall time: %.1f s (%.2f s per run)\n",
              claimed, restored, prompted, promptedCells, failed, s, runs ? s / static_cast<double>(runs) : 0.0);
  return failed ? 1 : 0;
}
