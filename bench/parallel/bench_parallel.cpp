// A bench of registers updated at once, with the registers' real prescribed
// waits (about 85 s a register from A.4/155): one register alone, then N
// (default 8) with --all-local --parallel. Goal: N in at most 1.15 times the
// time of one; the largest process's peak memory at most 60 MB. Also the CPU
// time of all the programs.
//   bench_parallel [N]
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

namespace {

QString g_bin;
QProcessEnvironment g_env;

int Run(const QString &program, const QStringList &args) {
  QProcess p;
  p.setProcessEnvironment(g_env);
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.start(g_bin + program, args);
  p.waitForFinished(-1);
  (void)p.readAllStandardOutput();
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void Registers(const QTemporaryDir &dir, int n) {
  QDir(dir.filePath(QStringLiteral("sim"))).removeRecursively();
  QDir().mkpath(dir.filePath(QStringLiteral("sim")));
  for (int port = 1; port <= n; ++port) {
    Run(QStringLiteral("ostrel-sim"), {QStringLiteral("--port"), QString::number(port), QStringLiteral("init"),
                                       QStringLiteral("--serial"), QStringLiteral("00%1").arg(port * 10000 + 150, 8, 10, QLatin1Char('0'))});
    if (port > 1)
      Run(QStringLiteral("ostrel-sim"), {QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--com"),
                                         QString::number(port)});
  }
}

double Seconds(const QStringList &args) {
  QElapsedTimer t;
  t.start();
  const int code = Run(QStringLiteral("tavelin"), args);
  if (code != 0) std::printf("warning: exit code %d\n", code);
  return t.elapsed() / 1000.0;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
  g_bin = QCoreApplication::applicationDirPath() + QLatin1Char('/');
  const QString package = QDir::cleanPath(g_bin + QStringLiteral("../package/arhive.zip"));
  QTemporaryDir dir;
  g_env = QProcessEnvironment::systemEnvironment();
  for (const char *sub : {"sim", "state", "tmp", "lock", "config", "data"}) QDir().mkpath(dir.filePath(QLatin1String(sub)));
  g_env.insert(QStringLiteral("OSTREL_SIM_DIR"), dir.filePath(QStringLiteral("sim")));
  g_env.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
  g_env.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
  g_env.insert(QStringLiteral("TAVELIN_LOCK_DIR"), dir.filePath(QStringLiteral("lock")));
  g_env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
  g_env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
  g_env.insert(QStringLiteral("OSTREL_DRIVER"), g_bin + QStringLiteral("libostrel-sim.so"));
  g_env.remove(QStringLiteral("TAVELIN_SIM_NO_WAITS"));
  g_env.remove(QStringLiteral("DISPLAY"));

  Registers(dir, 1);
  const double one = Seconds({QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--package"), package});
  Registers(dir, n);
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  const double many = Seconds({QStringLiteral("--update"), QStringLiteral("--yes"), QStringLiteral("--all-local"),
                               QStringLiteral("--parallel"), QString::number(n), QStringLiteral("--package"), package});
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  const auto cpu = [](const rusage &u) {
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  std::printf("one register: %.1f s; %d at once: %.1f s (%.2f x one; goal <= 1.15)\n", one, n, many, many / one);
  std::printf("CPU time of the %d-register bench: %.1f s; largest process peak: %.1f MB (goal <= 60 MB a register)\n", n,
              cpu(after) - cpu(before), after.ru_maxrss / 1024.0);
  return 0;
}
