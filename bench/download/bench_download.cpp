// Downloading a large package from a loopback server: DownloadFile beside
// the curl command-line tool fetching the same file in the same run, and the
// peak memory growth of DownloadFile (it must stream, never hold the body).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "package/inetutils.h"

namespace {

constexpr size_t kPackageSize = 256u << 20;
constexpr size_t kChunk = 1u << 20;

// Serves kPackageSize bytes at /pkg from one reused chunk, so the server holds
// no more than that chunk either.
class PackageServer {
 public:
  PackageServer() : chunk_(kChunk, 'p') {
    server_.Get("/pkg", [this](const httplib::Request &, httplib::Response &res) {
      res.set_content_provider(kPackageSize, "application/zip",
                               [this](size_t offset, size_t length, httplib::DataSink &sink) {
                                 const size_t n = std::min({length, kChunk, kPackageSize - offset});
                                 return sink.write(chunk_.data(), n);
                               });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~PackageServer() {
    server_.stop();
    thread_.join();
  }
  QString url() const { return QStringLiteral("http://127.0.0.1:%1/pkg").arg(port_); }

 private:
  std::string chunk_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

PackageServer &Server() {
  static PackageServer server;
  return server;
}

QString Target() { return QDir::temp().filePath(QStringLiteral("tavelin-bench-arhive.zip")); }

long StatusKiB(const char *key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

// Resets the peak resident size to the current one.
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

void BM_DownloadFile(benchmark::State &state) {
  const QString url = Server().url();
  long growthKiB = 0;
  for (auto _ : state) {
    ResetPeakRss();
    const long before = StatusKiB("VmRSS");
    if (!DownloadFile(url, Target())) state.SkipWithError("the download failed");
    growthKiB = std::max(growthKiB, StatusKiB("VmHWM") - before);
  }
  if (QFile(Target()).size() != static_cast<qint64>(kPackageSize)) state.SkipWithError("wrong size");
  QFile::remove(Target());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackageSize));
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(growthKiB);
}

void BM_CurlTool(benchmark::State &state) {
  const QString url = Server().url();
  for (auto _ : state) {
    const int rc = QProcess::execute(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), Target(), url});
    if (rc != 0) state.SkipWithError("curl failed");
  }
  if (QFile(Target()).size() != static_cast<qint64>(kPackageSize)) state.SkipWithError("wrong size");
  QFile::remove(Target());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackageSize));
}

}  // namespace

// Alternating order over the repetitions evens out the page cache and the
// disk's write-back between the two.
BENCHMARK(BM_CurlTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DownloadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CurlTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DownloadFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
