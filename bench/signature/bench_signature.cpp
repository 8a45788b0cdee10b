// Verifying the signature of a 64 MiB package, prehashed and legacy, beside
// `minisign -V` on the same file with the same key (a child process per run,
// so its start-up is in the figure; it is milliseconds against the hash).
// Keys and signatures are made with minisign when the benchmark starts.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <random>

#include "package/signature.h"

namespace {

constexpr qint64 kSize = qint64(64) << 20;

struct Setup {
  QTemporaryDir dir;
  QString minisign, pub, sec, file;
  QList<signature::PublicKey> keys;
  QByteArray prehashed, legacy;
  bool ok = false;

  Setup() {
    minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty() || !dir.isValid()) return;
    pub = dir.filePath(QStringLiteral("k.pub"));
    sec = dir.filePath(QStringLiteral("k.key"));
    file = dir.filePath(QStringLiteral("arhive.zip"));
    if (!Run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), pub, QStringLiteral("-s"), sec})) return;
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly)) return;
    std::mt19937_64 rng(18);
    QByteArray chunk(1 << 20, '\0');
    for (qint64 done = 0; done < kSize; done += chunk.size()) {
      for (qsizetype i = 0; i + 8 <= chunk.size(); i += 8) {
        const quint64 v = rng();
        memcpy(chunk.data() + i, &v, 8);
      }
      f.write(chunk);
    }
    f.close();
    for (bool legacyForm : {false, true}) {
      QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), sec, QStringLiteral("-m"), file};
      if (legacyForm) args << QStringLiteral("-l");
      if (!Run(args)) return;
      QFile s(file + QStringLiteral(".minisig"));
      if (!s.open(QIODevice::ReadOnly)) return;
      (legacyForm ? legacy : prehashed) = s.readAll();
    }
    keys = signature::LoadKeys({pub}).keys;
    ok = keys.size() == 1;
  }

  // minisign -V reads the signature beside the file.
  void PlaceSignature(const QByteArray &sig) const {
    QFile s(file + QStringLiteral(".minisig"));
    if (s.open(QIODevice::WriteOnly)) s.write(sig);
  }

  bool Run(const QStringList &args) const {
    QProcess p;
    p.start(minisign, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
  }
};

Setup &Shared() {
  static Setup s;
  return s;
}

void Ours(benchmark::State &state, bool legacy) {
  Setup &s = Shared();
  if (!s.ok) {
    state.SkipWithError("minisign is needed to make the key and the signatures");
    return;
  }
  const QByteArray &sig = legacy ? s.legacy : s.prehashed;
  for (auto _ : state)
    if (!signature::VerifyFile(s.file, sig, s.keys).ok) state.SkipWithError("signature refused");
  state.SetBytesProcessed(state.iterations() * kSize);
}

void Minisign(benchmark::State &state, bool legacy) {
  Setup &s = Shared();
  if (!s.ok) {
    state.SkipWithError("minisign is needed to make the key and the signatures");
    return;
  }
  const QByteArray &sig = legacy ? s.legacy : s.prehashed;
  const QStringList args{QStringLiteral("-V"), QStringLiteral("-q"), QStringLiteral("-p"), s.pub,
                         QStringLiteral("-m"), s.file};
  s.PlaceSignature(sig);
  for (auto _ : state)
    if (!s.Run(args)) state.SkipWithError("minisign -V refused");
  state.SetBytesProcessed(state.iterations() * kSize);
}

BENCHMARK_CAPTURE(Ours, prehashed, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Minisign, prehashed, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Ours, legacy, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Minisign, legacy, true)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
