// Start-up preparation of a realistic package (three 4 MiB images, a 1 MiB
// tool, the rules): write out the archive, unpack it, decipher the members.
// BM_PrepareOurs is the program's own path; BM_PrepareTools does the same work
// with cp, unzip and openssl enc through /bin/sh, so the two rates can be
// compared in one run. Wall-clock time: the tools' work happens in children.
//
// Member sizes are multiples of 16 bytes, so plain CBC with -nopad deciphers
// the bodies exactly (ciphertext stealing and CFB-8 only touch short tails).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <zip.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "package/cipher.h"
#include "package/prepare.h"
#include "package/unpack.h"

extern char **environ;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

struct Member {
  QString name;
  QByteArray plain;
  QByteArray nonce;  // first 8 bytes of the enciphered member
};

struct ZipDiscard {
  void operator()(zip_t *z) const { zip_discard(z); }
};

void WriteFile(const QString &path, const QByteArray &data) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
    throw Exception(QStringLiteral("Cannot write \"%1\". %2").arg(path, f.errorString()));
}

QByteArray ReadFile(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Cannot read \"%1\". %2").arg(path, f.errorString()));
  return f.readAll();
}

QByteArray RandomBytes(qint64 size) {
  std::vector<quint32> words(static_cast<size_t>(size / 4));
  QRandomGenerator gen(20240531u);  // fixed seed: the same package every run
  gen.fillRange(words.data(), static_cast<qsizetype>(words.size()));
  return QByteArray(reinterpret_cast<const char *>(words.data()), size);
}

// The rules text, padded with spaces to a whole number of cipher blocks.
QByteArray RulesJson() {
  QByteArray j =
      "[\n"
      "  {\"model\": \"OSTREL-01\", \"kind\": \"loader\", \"file\": \"loader.bin\", \"version\": 3},\n"
      "  {\"model\": \"OSTREL-01\", \"kind\": \"firmware\", \"file\": \"fw_a.bin\", \"version\": 41},\n"
      "  {\"model\": \"OSTREL-02\", \"kind\": \"firmware\", \"file\": \"fw_b.bin\", \"version\": 17}\n"
      "]\n";
  while (j.size() % TCodec::kBlockSize != 0) j.append(' ');
  return j;
}

// The package, made once: plain members kept for checking, enciphered members
// zipped (deflated) into pkg.zip.
class Package {
 public:
  static Package &Get() {
    static Package p;
    return p;
  }

  QString dir() const { return tmp_.path(); }
  QString zipPath() const { return tmp_.filePath(QStringLiteral("pkg.zip")); }
  const QList<Member> &members() const { return members_; }
  const QByteArray &hexKey() const { return hexKey_; }
  qint64 plainBytes() const {
    qint64 n = 0;
    for (const Member &m : members_) n += m.plain.size();
    return n;
  }

 private:
  Package() {
    if (!tmp_.isValid()) throw Exception(QStringLiteral("Cannot make a temporary folder."));
    const QDir d(tmp_.path());
    d.mkpath(QStringLiteral("plain"));
    d.mkpath(QStringLiteral("enc"));
    QByteArray images = RandomBytes(3 * 4 * kMiB + kMiB);
    members_ = {{QStringLiteral("loader.bin"), images.mid(0, 4 * kMiB), {}},
                {QStringLiteral("fw_a.bin"), images.mid(4 * kMiB, 4 * kMiB), {}},
                {QStringLiteral("fw_b.bin"), images.mid(8 * kMiB, 4 * kMiB), {}},
                {QStringLiteral("dfu-util-static.exe"), images.mid(12 * kMiB, kMiB), {}},
                {QStringLiteral("rules.json"), RulesJson(), {}}};

    TCodec codec;
    codec.setPassword(kPackagePassword);
    hexKey_ = codec.key().toHex();

    int code = 0;
    std::unique_ptr<zip_t, ZipDiscard> za(
        zip_open(QFile::encodeName(zipPath()).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code));
    if (!za) throw Exception(QStringLiteral("Cannot create pkg.zip (libzip error %1).").arg(code));
    for (Member &m : members_) {
      const QString plain = d.filePath(QStringLiteral("plain/") + m.name);
      const QString enc = d.filePath(QStringLiteral("enc/") + m.name);
      WriteFile(plain, m.plain);
      codec.EncryptFile(enc, plain);
      m.nonce = ReadFile(enc).left(TCodec::kNonceSize);
      zip_source_t *src = zip_source_file(za.get(), QFile::encodeName(enc).constData(), 0, -1);
      if (!src) throw Exception(QStringLiteral("zip_source_file: %1").arg(QString::fromLocal8Bit(zip_strerror(za.get()))));
      const zip_int64_t idx =
          zip_file_add(za.get(), m.name.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8);
      if (idx < 0) {
        zip_source_free(src);
        throw Exception(QStringLiteral("zip_file_add: %1").arg(QString::fromLocal8Bit(zip_strerror(za.get()))));
      }
      zip_set_file_compression(za.get(), static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 0);
    }
    if (zip_close(za.get()) != 0)
      throw Exception(QStringLiteral("zip_close: %1").arg(QString::fromLocal8Bit(zip_strerror(za.get()))));
    za.release();  // zip_close freed it
  }

  QTemporaryDir tmp_;
  QList<Member> members_;
  QByteArray hexKey_;
};

// A fresh work folder per iteration, removed afterwards.
class WorkFolder {
 public:
  explicit WorkFolder(const Package &p, const char *tag) {
    path_ = QDir(p.dir()).filePath(QStringLiteral("%1-%2").arg(QLatin1StringView(tag)).arg(++counter_));
    if (!QDir().mkpath(path_)) throw Exception(QStringLiteral("Cannot create \"%1\".").arg(path_));
  }
  ~WorkFolder() { QDir(path_).removeRecursively(); }
  WorkFolder(const WorkFolder &) = delete;
  WorkFolder &operator=(const WorkFolder &) = delete;
  const QString &path() const { return path_; }

 private:
  QString path_;
  static inline int counter_ = 0;
};

void PrepareOurs(const Package &p, const QString &work) {
  const QString zip = QDir(work).filePath(QStringLiteral("arhive.zip"));
  if (!QFile::copy(p.zipPath(), zip)) throw Exception(QStringLiteral("Cannot copy the package."));
  UnpackPackage(zip, QDir(work).filePath(QStringLiteral("encrypt")));
  DecipherPackage(work);
}

std::string ShellQuote(const QString &s) {
  std::string out = "'";
  for (char c : QFile::encodeName(s).toStdString()) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// The same preparation as one shell script. The IVs are worked out beforehand,
// which only favours the tools.
std::string ToolsScript(const Package &p, const QString &work) {
  const QString enc = QDir(work).filePath(QStringLiteral("encrypt"));
  const QString zip = QDir(work).filePath(QStringLiteral("arhive.zip"));
  std::string s = "set -e\n";
  s += "cp " + ShellQuote(p.zipPath()) + " " + ShellQuote(zip) + "\n";
  s += "unzip -q -o " + ShellQuote(zip) + " -d " + ShellQuote(enc) + "\n";
  for (const Member &m : p.members()) {
    const QByteArray iv = m.nonce.toHex() + QByteArray(2 * (TCodec::kBlockSize - TCodec::kNonceSize), '0');
    s += "tail -c +" + std::to_string(TCodec::kNonceSize + 1) + " " +
         ShellQuote(QDir(enc).filePath(m.name)) + " | openssl enc -d -aes-256-cbc -nopad -K " +
         p.hexKey().toStdString() + " -iv " + iv.toStdString() + " -out " +
         ShellQuote(QDir(work).filePath(m.name)) + "\n";
  }
  return s;
}

void RunShell(const std::string &script) {
  const char *argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
    throw Exception(QStringLiteral("Cannot start /bin/sh."));
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Exception(QStringLiteral("The tools script failed (status %1).").arg(status));
}

void PrepareTools(const Package &p, const QString &work) { RunShell(ToolsScript(p, work)); }

// Both ways once, compared with each other and with the plain members.
std::optional<QString> CheckSameOutput(const Package &p) {
  WorkFolder ours(p, "check-ours");
  WorkFolder tools(p, "check-tools");
  PrepareOurs(p, ours.path());
  PrepareTools(p, tools.path());
  for (const Member &m : p.members()) {
    const QByteArray a = ReadFile(QDir(ours.path()).filePath(m.name));
    const QByteArray b = ReadFile(QDir(tools.path()).filePath(m.name));
    if (a != m.plain) return QStringLiteral("our preparation garbled %1").arg(m.name);
    if (b != m.plain) return QStringLiteral("the tools garbled %1").arg(m.name);
  }
  return std::nullopt;
}

template <void (*Prepare)(const Package &, const QString &)>
void RunPrepare(benchmark::State &state, const char *tag) {
  try {
    const Package &p = Package::Get();
    static const std::optional<QString> mismatch = CheckSameOutput(p);
    if (mismatch) {
      state.SkipWithError(mismatch->toStdString().c_str());
      return;
    }
    for (auto _ : state) {
      state.PauseTiming();
      auto work = std::make_unique<WorkFolder>(p, tag);
      state.ResumeTiming();
      Prepare(p, work->path());
      state.PauseTiming();
      work.reset();
      state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * p.plainBytes());
  } catch (const std::exception &e) {
    state.SkipWithError(ExceptionMessage(e).toStdString().c_str());
  }
}

void BM_PrepareOurs(benchmark::State &state) { RunPrepare<PrepareOurs>(state, "ours"); }
void BM_PrepareTools(benchmark::State &state) { RunPrepare<PrepareTools>(state, "tools"); }

BENCHMARK(BM_PrepareOurs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PrepareTools)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
