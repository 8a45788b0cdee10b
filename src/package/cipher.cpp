#include "package/cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/codepage.h"
#include "common/error.h"
#include "package/writeall.h"

namespace {

constexpr size_t kBlock = TCodec::kBlockSize;
constexpr size_t kNonce = TCodec::kNonceSize;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }  // cleanses the schedule
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }  // cleanses the hash state
};

[[noreturn]] void CryptoFailure(const char *what) {
  throw Exception(QStringLiteral("Cryptographic library failure: %1").arg(QLatin1StringView(what)));
}

// The raw AES-256 block function, many blocks per call.
CipherCtx MakeBlockCipher(const std::uint8_t *key, bool encrypt) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) CryptoFailure("EVP_CIPHER_CTX_new");
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
    CryptoFailure("EVP_CipherInit_ex");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  return ctx;
}

void Blocks(EVP_CIPHER_CTX *ctx, std::uint8_t *out, const std::uint8_t *in, size_t n) {
  int outl = 0;
  if (EVP_CipherUpdate(ctx, out, &outl, in, static_cast<int>(n)) != 1 ||
      static_cast<size_t>(outl) != n)
    CryptoFailure("EVP_CipherUpdate");
}

inline void Xor16(std::uint8_t *dst, const std::uint8_t *a, const std::uint8_t *b) {
  for (size_t i = 0; i < kBlock; ++i) dst[i] = a[i] ^ b[i];
}

// dst[i] ^= src[i] over n bytes (n a multiple of 16); the buffers never overlap,
// so the compiler may work on whole vectors.
void XorInto(std::uint8_t *__restrict dst, const std::uint8_t *__restrict src, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    std::uint64_t a, b;
    std::memcpy(&a, dst + i, 8);
    std::memcpy(&b, src + i, 8);
    a ^= b;
    std::memcpy(dst + i, &a, 8);
  }
}

// A buffer that is wiped when released, whatever way the file pass ends.
class WipedBuffer {
 public:
  explicit WipedBuffer(size_t size) : data_(new std::uint8_t[size]), size_(size) {}
  ~WipedBuffer() { OPENSSL_cleanse(data_.get(), size_); }
  std::uint8_t *data() { return data_.get(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  size_t size_;
};

// The small state of one pass: chaining value, IV, the blocks of the final step.
struct PassState {
  std::uint8_t iv[kBlock] = {};
  std::uint8_t prev[kBlock] = {};
  std::uint8_t t[kBlock] = {};
  std::uint8_t w[kBlock] = {};
  std::uint8_t last[kBlock] = {};
  ~PassState() { OPENSSL_cleanse(this, sizeof *this); }
};

void OpenTarget(QFile &f) {
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
    throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(f.fileName(), f.errorString()));
}

void OpenSource(QFile &f) {
  if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
    throw Exception(QStringLiteral("Cannot open file \"%1\". %2").arg(f.fileName(), f.errorString()));
}

qint64 ReadSome(QFile &f, std::uint8_t *to, size_t n) {
  qint64 got = f.read(reinterpret_cast<char *>(to), static_cast<qint64>(n));
  if (got < 0)
    throw Exception(QStringLiteral("Cannot read file \"%1\". %2").arg(f.fileName(), f.errorString()));
  return got;
}

void WriteAll(QFile &f, const std::uint8_t *from, size_t n) {
  const QString why = WriteAllReason(f, reinterpret_cast<const char *>(from), static_cast<qint64>(n));
  if (!why.isEmpty())
    throw Exception(QStringLiteral("Cannot write file \"%1\". %2").arg(f.fileName(), why));
}

void CloseTarget(QFile &f) {
  f.close();
  if (f.error() != QFileDevice::NoError)
    throw Exception(QStringLiteral("Cannot write file \"%1\". %2").arg(f.fileName(), f.errorString()));
}

// Opening the target first would destroy a source that is the same file.
void RefuseSameFile(const QString &target, const QString &source) {
  const QString t = QFileInfo(target).canonicalFilePath();
  if (!t.isEmpty() && t == QFileInfo(source).canonicalFilePath())
    throw Exception(QStringLiteral("Cannot write file \"%1\". It is the source file itself.").arg(target));
}

size_t ChunkFor(const QFile &source, int readChunk) {
  const qint64 size = source.size();
  return static_cast<size_t>(std::max<qint64>(1, std::min<qint64>(size, readChunk)));
}

}  // namespace

TCodec::~TCodec() {
  OPENSSL_cleanse(FKey.data(), FKey.size());
  if (!FPassword.isEmpty()) {
    FPassword.detach();
    OPENSSL_cleanse(FPassword.data(), static_cast<size_t>(FPassword.size()) * sizeof(QChar));
  }
}

void TCodec::setPassword(const QString &password) {
  OPENSSL_cleanse(FKey.data(), FKey.size());
  FHasKey = false;
  FPassword = password;

  if (password.size() * 2 == kKeySize) {
    // A 16-character password is the key itself, as UTF-16LE.
    for (int i = 0; i < password.size(); ++i) {
      const char16_t c = password.at(i).unicode();
      FKey[2 * i] = static_cast<std::uint8_t>(c & 0xFF);
      FKey[2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
    }
  } else {
    QByteArray seed = codepage::FromUnicode(password);
    std::uint8_t h[EVP_MAX_MD_SIZE];
    unsigned int hlen = 0;
    {
      std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
      const bool ok = md && EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr) == 1 &&
                      EVP_DigestUpdate(md.get(), seed.constData(), static_cast<size_t>(seed.size())) == 1 &&
                      EVP_DigestFinal_ex(md.get(), h, &hlen) == 1;
      if (!seed.isEmpty()) OPENSSL_cleanse(seed.data(), static_cast<size_t>(seed.size()));
      if (!ok || hlen != 20) {
        OPENSSL_cleanse(h, sizeof h);
        CryptoFailure("SHA-1");
      }
    }
    // H, then H again from its start until 32 bytes are filled.
    for (size_t i = 0; i < FKey.size(); ++i) FKey[i] = h[i % hlen];
    OPENSSL_cleanse(h, sizeof h);
  }
  FHasKey = true;
}

QByteArray TCodec::key() const {
  requireKey();
  return QByteArray(reinterpret_cast<const char *>(FKey.data()), kKeySize);
}

void TCodec::requireKey() const {
  if (!FHasKey) throw Exception(QStringLiteral("No password is set for the cipher."));
}

void TCodec::DecryptFile(const QString &plainTarget, const QString &cipherSource) {
  requireKey();
  RefuseSameFile(plainTarget, cipherSource);
  QFile target(plainTarget);
  OpenTarget(target);
  QFile source(cipherSource);
  OpenSource(source);

  CipherCtx dec = MakeBlockCipher(FKey.data(), false);
  const size_t chunk = ChunkFor(source, FReadChunk);
  // Held block + trailing bytes (< 32) stay at the front between reads.
  WipedBuffer in(chunk + 2 * kBlock);
  WipedBuffer out(chunk + 2 * kBlock);
  PassState s;
  std::uint8_t *buf = in.data();
  size_t have = 0;
  bool ivReady = false;

  for (;;) {
    const qint64 got = ReadSome(source, buf + have, chunk);
    have += static_cast<size_t>(got);
    if (!ivReady && have >= kNonce) {
      std::memcpy(s.iv, buf, kNonce);
      std::memcpy(s.prev, s.iv, kBlock);
      have -= kNonce;
      std::memmove(buf, buf + kNonce, have);
      ivReady = true;
    }
    if (ivReady && have >= 2 * kBlock) {
      // Every complete block but the last one can go; CBC decryption does not
      // chain through the block function, so all of them go in one call.
      const size_t n = (have / kBlock - 1) * kBlock;
      std::uint8_t *o = out.data();
      Blocks(dec.get(), o, buf, n);
      Xor16(o, o, s.prev);
      XorInto(o + kBlock, buf, n - kBlock);
      std::memcpy(s.prev, buf + n - kBlock, kBlock);
      WriteAll(target, o, n);
      have -= n;
      std::memmove(buf, buf + n, have);
    }
    if (static_cast<size_t>(got) < chunk) break;
  }

  if (ivReady) {
    if (have < kBlock) {
      // Short message: CFB-8 from the IV, which runs the block function forwards.
      CipherCtx enc = MakeBlockCipher(FKey.data(), true);
      std::uint8_t *o = out.data();
      std::memcpy(s.w, s.iv, kBlock);
      for (size_t i = 0; i < have; ++i) {
        Blocks(enc.get(), s.t, s.w, kBlock);
        const std::uint8_t c = buf[i];
        o[i] = c ^ s.t[0];
        std::memmove(s.w, s.w + 1, kBlock - 1);
        s.w[kBlock - 1] = c;
      }
      WriteAll(target, o, have);
    } else {
      const size_t m = have - kBlock;
      Blocks(dec.get(), s.t, buf, kBlock);
      Xor16(s.t, s.t, s.prev);
      if (m == 0) {
        WriteAll(target, s.t, kBlock);
      } else {
        // Ciphertext stealing: the tail of T completes the short final block.
        std::memcpy(s.w, buf + kBlock, m);
        std::memcpy(s.w + m, s.t + m, kBlock - m);
        Blocks(dec.get(), s.last, s.w, kBlock);
        Xor16(s.last, s.last, s.prev);
        WriteAll(target, s.last, kBlock);
        WriteAll(target, s.t, m);
      }
    }
  }
  CloseTarget(target);
}

void TCodec::EncryptFile(const QString &cipherTarget, const QString &plainSource) {
  QByteArray nonce(kNonceSize, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), kNonceSize) != 1)
    CryptoFailure("RAND_bytes");
  EncryptFile(cipherTarget, plainSource, nonce);
}

void TCodec::EncryptFile(const QString &cipherTarget, const QString &plainSource,
                         const QByteArray &nonce) {
  requireKey();
  if (nonce.size() != kNonceSize)
    throw Exception(QStringLiteral("The nonce must be %1 bytes.").arg(kNonceSize));
  RefuseSameFile(cipherTarget, plainSource);
  QFile target(cipherTarget);
  OpenTarget(target);
  QFile source(plainSource);
  OpenSource(source);

  CipherCtx enc = MakeBlockCipher(FKey.data(), true);
  const size_t chunk = ChunkFor(source, FReadChunk);
  WipedBuffer in(chunk + 2 * kBlock);
  WipedBuffer out(chunk + 2 * kBlock);
  PassState s;
  std::memcpy(s.iv, nonce.constData(), kNonce);
  std::memcpy(s.prev, s.iv, kBlock);
  WriteAll(target, s.iv, kNonce);

  std::uint8_t *buf = in.data();
  size_t have = 0;
  for (;;) {
    const qint64 got = ReadSome(source, buf + have, chunk);
    have += static_cast<size_t>(got);
    if (have >= 2 * kBlock) {
      // The last complete block waits: it may take part in stealing.
      const size_t n = (have / kBlock - 1) * kBlock;
      std::uint8_t *o = out.data();
      for (size_t i = 0; i < n; i += kBlock) {
        Xor16(s.w, buf + i, s.prev);
        Blocks(enc.get(), o + i, s.w, kBlock);
        std::memcpy(s.prev, o + i, kBlock);
      }
      WriteAll(target, o, n);
      have -= n;
      std::memmove(buf, buf + n, have);
    }
    if (static_cast<size_t>(got) < chunk) break;
  }

  if (have > 0 && have < kBlock) {
    std::uint8_t *o = out.data();
    std::memcpy(s.w, s.iv, kBlock);
    for (size_t i = 0; i < have; ++i) {
      Blocks(enc.get(), s.t, s.w, kBlock);
      const std::uint8_t c = buf[i] ^ s.t[0];
      o[i] = c;
      std::memmove(s.w, s.w + 1, kBlock - 1);
      s.w[kBlock - 1] = c;
    }
    WriteAll(target, o, have);
  } else if (have >= kBlock) {
    const size_t m = have - kBlock;
    Xor16(s.w, buf, s.prev);
    Blocks(enc.get(), s.t, s.w, kBlock);  // Z
    if (m == 0) {
      WriteAll(target, s.t, kBlock);
    } else {
      std::memcpy(s.w, buf + kBlock, m);
      std::memcpy(s.w + m, s.t + m, kBlock - m);
      Xor16(s.w, s.w, s.prev);
      Blocks(enc.get(), s.last, s.w, kBlock);  // Y
      WriteAll(target, s.last, kBlock);
      WriteAll(target, s.t, m);
    }
  }
  CloseTarget(target);
}
