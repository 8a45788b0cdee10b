#pragma once
// Where the test finds the built programs and the source tree.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testpaths {

// The folder of the built programs (bin/), beside which the component and tools lie.
inline QString BinDir() { return QString::fromLocal8Bit(qgetenv("TAVELIN_TEST_BIN")); }
inline QString SourceDir() { return QString::fromLocal8Bit(qgetenv("TAVELIN_SOURCE_DIR")); }
inline QString Bin(const QString &name) { return BinDir() + QLatin1Char('/') + name; }

// Runs one of the built tools; returns its exit code, output in *out.
inline int RunTool(const QString &name, const QStringList &args, QString *out = nullptr) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
  p.setProcessEnvironment(env);
  p.start(Bin(name), args);
  p.waitForFinished(-1);
  if (out) *out = QString::fromUtf8(p.readAll());
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace testpaths
