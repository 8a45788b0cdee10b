#pragma once
// The package cipher: AES-256 in CBC with ciphertext stealing (CFB-8 for
// messages shorter than a block). An enciphered member is an 8-byte nonce
// followed by a body as long as the plain file; there is no framing and no
// integrity check.
#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// The password every package member is enciphered with.
inline const QString kPackagePassword = QStringLiteral("Tq7mWcP3xNv8KbLr2ZhYd5GsF");

class TCodec {
 public:
  static constexpr int kNonceSize = 8;
  static constexpr int kBlockSize = 16;
  static constexpr int kKeySize = 32;

  TCodec() = default;
  ~TCodec();
  TCodec(const TCodec &) = delete;
  TCodec &operator=(const TCodec &) = delete;

  // Discards any previous key and derives the new one at once.
  void setPassword(const QString &password);
  bool hasKey() const { return FHasKey; }

  // Deciphers cipherSource into plainTarget. The target is created (or
  // truncated) before the source is opened, so a missing source leaves it
  // empty. Raises Exception on a file error.
  void DecryptFile(const QString &plainTarget, const QString &cipherSource);

  // Enciphers plainSource into cipherTarget under a random nonce.
  void EncryptFile(const QString &cipherTarget, const QString &plainSource);
  // The same under a given 8-byte nonce (reproducible output).
  void EncryptFile(const QString &cipherTarget, const QString &plainSource,
                   const QByteArray &nonce);

  // Bytes read from the source per call; any size gives the same target.
  void setReadChunk(int bytes) { FReadChunk = bytes > 0 ? bytes : 1; }
  int readChunk() const { return FReadChunk; }

  // The key as derived from the password (for checking the derivation).
  QByteArray key() const;

 private:
  void requireKey() const;

  QString FPassword;
  std::array<std::uint8_t, kKeySize> FKey{};
  bool FHasKey = false;
  int FReadChunk = 64 * 1024;
};
