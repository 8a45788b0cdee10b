// Deciphering a package member from file to file, beside OpenSSL's own
// AES-256-CBC decryption of the same bytes with the same reads and writes, so
// the throughput ratio shows. Peak RSS is reported per member size: it should
// not grow with the member.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>

#include "package/cipher.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr int kChunk = 64 * 1024;

long PeakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Members are written in pieces, so making them costs no memory either. They
// live in memory-backed storage where there is some, so disk write-back does
// not drown the difference between the two deciphering loops.
QString BenchFolder() {
  const QByteArray env = qgetenv("BENCH_CIPHER_DIR");
  if (!env.isEmpty()) return QString::fromLocal8Bit(env);
  if (QFileInfo(QStringLiteral("/dev/shm")).isWritable()) return QStringLiteral("/dev/shm");
  return QDir::tempPath();
}

class Members {
 public:
  static Members &Get() {
    static Members m;
    return m;
  }
  QString source(qint64 bodySize) {
    auto it = files_.find(bodySize);
    if (it != files_.end()) return it->second;
    const QString path = dir_.filePath(QStringLiteral("member_%1.bin").arg(bodySize));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write the member");
    std::mt19937_64 rng(bodySize);
    QByteArray piece(kMiB, Qt::Uninitialized);
    f.write("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    for (qint64 left = bodySize; left > 0; left -= piece.size()) {
      for (qsizetype i = 0; i + 8 <= piece.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(piece.data() + i, &v, 8);
      }
      f.write(piece.constData(), std::min<qint64>(left, piece.size()));
    }
    files_[bodySize] = path;
    return path;
  }
  QString target() const { return dir_.filePath(QStringLiteral("plain.bin")); }

 private:
  QTemporaryDir dir_{BenchFolder() + QStringLiteral("/bench_cipher-XXXXXX")};
  std::map<qint64, QString> files_;
};

void Report(benchmark::State &state, qint64 body, long rssBefore) {
  state.SetBytesProcessed(state.iterations() * body);
  state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024.0;
  state.counters["rss_growth_KiB"] = static_cast<double>(PeakRssKiB() - rssBefore);
}

void Ours(TCodec &codec, const QString &source, const QString &target) {
  codec.setPassword(kPackagePassword);
  codec.DecryptFile(target, source);
}

struct CtxFree {
  void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

// The reference: the library's CBC over the same file, same chunk size.
void Reference(const QByteArray &key, const QString &source, const QString &target) {
  QByteArray in(kChunk, Qt::Uninitialized), out(kChunk + 16, Qt::Uninitialized);
  {
    QFile src(source), dst(target);
    src.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    dst.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    unsigned char iv[16] = {};
    src.read(reinterpret_cast<char *>(iv), 8);
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char *>(key.constData()), iv);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (;;) {
      const qint64 got = src.read(in.data(), kChunk);
      if (got <= 0) break;
      int outl = 0;
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &outl,
                        reinterpret_cast<const unsigned char *>(in.constData()), static_cast<int>(got));
      dst.write(out.constData(), outl);
    }
    int outl = 0;
    EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &outl);
  }
}

QByteArray PackageKey() {
  TCodec codec;
  codec.setPassword(kPackagePassword);
  return codec.key();
}

void BM_DecryptFile(benchmark::State &state) {
  const qint64 body = state.range(0) * kMiB;
  const QString source = Members::Get().source(body);
  const long rssBefore = PeakRssKiB();
  TCodec codec;
  for (auto _ : state) Ours(codec, source, Members::Get().target());
  Report(state, body, rssBefore);
}

void BM_OpenSslCbcFile(benchmark::State &state) {
  const qint64 body = state.range(0) * kMiB;
  const QString source = Members::Get().source(body);
  const QByteArray key = PackageKey();
  const long rssBefore = PeakRssKiB();
  for (auto _ : state) Reference(key, source, Members::Get().target());
  Report(state, body, rssBefore);
}

// Both loops in turn within every iteration, so load from other processes
// falls on both alike; the ratio is ours / OpenSSL's throughput.
void BM_Ratio(benchmark::State &state) {
  using Clock = std::chrono::steady_clock;
  const qint64 body = state.range(0) * kMiB;
  const QString source = Members::Get().source(body);
  const QByteArray key = PackageKey();
  TCodec codec;
  Clock::duration ours{}, reference{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    Ours(codec, source, Members::Get().target());
    auto t1 = Clock::now();
    Reference(key, source, Members::Get().target());
    auto t2 = Clock::now();
    ours += t1 - t0;
    reference += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations()) * static_cast<double>(body);
  const double oursBps = n / std::chrono::duration<double>(ours).count();
  const double refBps = n / std::chrono::duration<double>(reference).count();
  state.counters["ours_MiB_per_s"] = oursBps / kMiB;
  state.counters["openssl_MiB_per_s"] = refBps / kMiB;
  state.counters["ratio"] = oursBps / refBps;
}

}  // namespace

BENCHMARK(BM_DecryptFile)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenSslCbcFile)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ratio)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Made before any timing starts.
  Members::Get().source(16 * kMiB);
  Members::Get().source(64 * kMiB);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
