#include "package/signature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <openssl/evp.h>

#include <memory>

#include "common/apppaths.h"
#include "common/error.h"
#include "common/privatefile.h"

Q_LOGGING_CATEGORY(lcPackage, "tavelin.package")

namespace signature {

namespace {

constexpr int kKeyIdBytes = 8;
constexpr int kPublicKeyBytes = 32;
constexpr int kSigBytes = 64;
const QByteArray kUntrusted = QByteArrayLiteral("untrusted comment:");
const QByteArray kTrusted = QByteArrayLiteral("trusted comment: ");

// Lines without their ends; a "\r\n" file reads like a "\n" one.
QList<QByteArray> Lines(const QByteArray &text) {
  QList<QByteArray> lines = text.split('\n');
  for (QByteArray &l : lines)
    if (l.endsWith('\r')) l.chop(1);
  // The final line end leaves one empty entry.
  while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

// damaged: the whole reason, "подпись повреждена" or "открытый ключ поврежден".
QByteArray DecodeBase64(const QByteArray &line, qsizetype expected, const QString &damaged) {
  const auto decoded = QByteArray::fromBase64Encoding(line.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.size() != expected) throw Exception(damaged);
  return decoded.decoded;
}

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

bool Ed25519Verify(const QByteArray &publicKey, const QByteArray &sig, const uchar *msg, size_t len) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const uchar *>(publicKey.constData()),
      static_cast<size_t>(publicKey.size())));
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const uchar *>(sig.constData()),
                          static_cast<size_t>(sig.size()), msg, len) == 1;
}

// The file's bytes, mapped: the legacy form signs the whole file, and the
// hash is fastest fed in one piece. An empty file maps to nothing.
class MappedFile {
 public:
  explicit MappedFile(const QString &path) : file_(path) {
    if (!file_.open(QIODevice::ReadOnly))
      throw Exception(QStringLiteral("файл пакета не читается (%1)").arg(file_.errorString()));
    size_ = file_.size();
    if (size_ > 0) {
      data_ = file_.map(0, size_);
      if (!data_) throw Exception(QStringLiteral("файл пакета не читается (%1)").arg(file_.errorString()));
    }
  }
  const uchar *data() const {
    static const uchar empty = 0;
    return data_ ? data_ : &empty;
  }
  size_t size() const { return static_cast<size_t>(size_); }

 private:
  QFile file_;
  qint64 size_ = 0;
  uchar *data_ = nullptr;
};

QByteArray Blake2b512(const uchar *data, size_t len) {
  QByteArray out(64, '\0');
  unsigned int n = 0;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_blake2b512(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, len) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), reinterpret_cast<uchar *>(out.data()), &n) != 1 || n != 64)
    throw Exception(QStringLiteral("хеш BLAKE2b-512 недоступен"));
  return out;
}

}  // namespace

QString KeyIdText(const QByteArray &id) {
  QByteArray reversed(id);
  std::reverse(reversed.begin(), reversed.end());
  return QString::fromLatin1(reversed.toHex().toUpper());
}

PublicKey ParsePublicKey(const QByteArray &text) {
  const QString what = QStringLiteral("открытый ключ поврежден");
  QList<QByteArray> lines = Lines(text);
  if (!lines.isEmpty() && lines.first().startsWith(kUntrusted)) lines.removeFirst();
  if (lines.size() != 1) throw Exception(QStringLiteral("это не открытый ключ minisign"));
  const QByteArray raw = DecodeBase64(lines.first(), 2 + kKeyIdBytes + kPublicKeyBytes, what);
  if (!raw.startsWith("Ed")) throw Exception(QStringLiteral("неизвестный алгоритм ключа"));
  PublicKey k;
  k.id = raw.mid(2, kKeyIdBytes);
  k.key = raw.mid(2 + kKeyIdBytes);
  return k;
}

Signature ParseSignature(const QByteArray &text) {
  const QString what = QStringLiteral("подпись повреждена");
  if (text.size() > kMaxSignatureBytes) throw Exception(QStringLiteral("подпись повреждена"));
  const QList<QByteArray> lines = Lines(text);
  if (lines.size() != 4 || !lines.at(0).startsWith(kUntrusted) || !lines.at(2).startsWith(kTrusted))
    throw Exception(QStringLiteral("подпись повреждена"));
  const QByteArray raw = DecodeBase64(lines.at(1), 2 + kKeyIdBytes + kSigBytes, what);
  Signature s;
  if (raw.startsWith("ED"))
    s.prehashed = true;
  else if (raw.startsWith("Ed"))
    s.prehashed = false;
  else
    throw Exception(QStringLiteral("неизвестный алгоритм подписи"));
  s.keyId = raw.mid(2, kKeyIdBytes);
  s.sig = raw.mid(2 + kKeyIdBytes);
  s.trustedComment = lines.at(2).mid(kTrusted.size());
  s.globalSig = DecodeBase64(lines.at(3), kSigBytes, what);
  return s;
}

KeyRing LoadKeys(const QStringList &filesAndFolders) {
  KeyRing ring;
  QStringList files;
  for (const QString &entry : filesAndFolders) {
    const QFileInfo info(entry);
    if (info.isDir()) {
      const QDir dir(entry);
      for (const QString &name : dir.entryList({QStringLiteral("*.pub")}, QDir::Files | QDir::Hidden, QDir::Name))
        files << dir.filePath(name);
    } else if (info.exists() || !entry.endsWith(QLatin1Char('/'))) {
      files << entry;
    }
  }
  for (const QString &path : files) {
    ++ring.files;
    QByteArray text;
    QString error;
    if (!privatefile::ReadRegular(path, kMaxSignatureBytes + 1, &text, &error)) {
      ring.errors << QStringLiteral("%1: %2").arg(path, error);
      continue;
    }
    try {
      if (text.size() > kMaxSignatureBytes) throw Exception(QStringLiteral("это не открытый ключ minisign"));
      PublicKey k = ParsePublicKey(text);
      k.source = path;
      ring.keys << k;
    } catch (const Exception &e) {
      ring.errors << QStringLiteral("%1: %2").arg(path, e.message());
    }
  }
  return ring;
}

QStringList MachineConfigDirs() {
  const QString tail = QStringLiteral("share/tavelin/");
  const QString app = apppaths::AppDir();
  QStringList dirs{app + tail, QDir::cleanPath(app + QStringLiteral("../") + tail) + QLatin1Char('/')};
  // The system configuration folder as the build fixed it: never one a user
  // names in the environment, or any user could trust a key of their own in
  // a program an administrator runs.
  dirs << QDir::cleanPath(QStringLiteral(TAVELIN_SYSCONFDIR "/Korvalis/Tavelin")) + QLatin1Char('/');
  dirs.removeDuplicates();
  return dirs;
}

QStringList TrustedKeyDirs() {
  QStringList dirs;
  for (const QString &d : MachineConfigDirs()) dirs << d + QStringLiteral("trusted-keys/");
  return dirs;
}

KeyRing LoadTrustedKeys() { return LoadKeys(TrustedKeyDirs()); }

bool SignedPackagesRequired() {
#ifdef TAVELIN_REQUIRE_SIGNED
  return true;
#else
  return false;
#endif
}

Verdict VerifyFile(const QString &path, const QByteArray &signatureText, const QList<PublicKey> &keys) {
  Verdict v;
  try {
    if (signatureText.trimmed().isEmpty()) throw Exception(QStringLiteral("нет подписи"));
    const Signature s = ParseSignature(signatureText);
    v.keyId = KeyIdText(s.keyId);
    const PublicKey *key = nullptr;
    for (const PublicKey &k : keys)
      if (k.id == s.keyId) {
        key = &k;
        break;
      }
    if (!key) throw Exception(QStringLiteral("неизвестный ключ %1").arg(v.keyId));

    const MappedFile file(path);
    bool good;
    if (s.prehashed) {
      const QByteArray hash = Blake2b512(file.data(), file.size());
      good = Ed25519Verify(key->key, s.sig, reinterpret_cast<const uchar *>(hash.constData()),
                           static_cast<size_t>(hash.size()));
    } else {
      good = Ed25519Verify(key->key, s.sig, file.data(), file.size());
    }
    if (!good) throw Exception(QStringLiteral("подпись не совпадает"));
    const QByteArray global = s.sig + s.trustedComment;
    if (!Ed25519Verify(key->key, s.globalSig, reinterpret_cast<const uchar *>(global.constData()),
                       static_cast<size_t>(global.size())))
      throw Exception(QStringLiteral("доверенный комментарий не совпадает с подписью"));
    v.ok = true;
    v.trustedComment = QString::fromUtf8(s.trustedComment);
  } catch (const std::exception &e) {
    v.ok = false;
    v.reason = ExceptionMessage(e);
  }
  return v;
}

void Log(const QString &line) { qCInfo(lcPackage).noquote() << line; }

}  // namespace signature
