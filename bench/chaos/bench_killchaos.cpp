// Many seeds of the fleet's chaos: real programs killed outright at drawn
// moments, two registers, the device list saved again between programs.
//   bench_killchaos [--runs N] [--first N] [--seed N]
// --seed replays one seed and prints its steps; otherwise N seeds from
// --first (default: drawn from the clock) and the figures.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <cstdio>

#include "killchaos.h"

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  long runs = 100;
  std::uint64_t first = static_cast<std::uint64_t>(QDateTime::currentMSecsSinceEpoch());
  bool one = false;
  const QStringList args = QCoreApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const QString &a = args[i];
    if (a == QLatin1String("--runs") && i + 1 < args.size()) runs = args[++i].toLong();
    else if (a == QLatin1String("--first") && i + 1 < args.size()) first = args[++i].toULongLong();
    else if (a == QLatin1String("--seed") && i + 1 < args.size()) { first = args[++i].toULongLong(); runs = 1; one = true; }
    else {
      std::fprintf(stderr, "usage: bench_killchaos [--runs N] [--first N] [--seed N]\n");
      return 2;
    }
  }
  const QString bin = QCoreApplication::applicationDirPath();
  const QString package = QDir::cleanPath(bin + QStringLiteral("/../package/arhive.zip"));
  QElapsedTimer timer;
  timer.start();
  long failed = 0, programs = 0, killed = 0, listChanges = 0;
  for (long i = 0; i < runs; ++i) {
    const killchaos::Report r = killchaos::Run(first + static_cast<std::uint64_t>(i), bin, package);
    programs += r.programs;
    killed += r.killed;
    listChanges += r.listChanges;
    if (one || !r.failures.isEmpty()) std::printf("%s\n", r.Describe().toUtf8().constData());
    failed += !r.failures.isEmpty();
    if ((i + 1) % 100 == 0)
      std::printf("… %ld seeds: %ld failed, %ld programs, %ld killed, %.0f s\n", i + 1, failed, programs, killed,
                  timer.elapsed() / 1000.0);
    std::fflush(stdout);
  }
  std::printf("seeds %ld from %llu: %ld failed; %ld programs, %ld killed outright, %ld device-list saves; %.1f s\n", runs,
              static_cast<unsigned long long>(first), failed, programs, killed, listChanges, timer.elapsed() / 1000.0);
  return failed == 0 ? 0 : 1;
}
