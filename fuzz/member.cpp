// One enciphered member: deciphering any bytes gives a file as long as the
// body, and enciphering that again under the member's own nonce gives back
// exactly the bytes fed in (the two directions are each other's inverse).
#include "fuzzsupport.h"
#include "package/cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QString &dir = fuzz::Scratch();
  const QString member = dir + QStringLiteral("member.bin");
  const QString plain = dir + QStringLiteral("plain.bin");
  const QString again = dir + QStringLiteral("again.bin");
  const QByteArray bytes = fuzz::Bytes(data, size);
  fuzz::WriteFile(member, bytes);

  TCodec codec;
  codec.setPassword(kPackagePassword);
  // The first byte also picks the read chunk: the result must not depend on it.
  codec.setReadChunk(size > 0 ? 1 + data[0] % 40 : 1024);
  codec.DecryptFile(plain, member);
  const QByteArray out = fuzz::ReadFile(plain);
  const qsizetype body = bytes.size() > TCodec::kNonceSize ? bytes.size() - TCodec::kNonceSize : 0;
  if (out.size() != body) std::abort();

  if (bytes.size() >= TCodec::kNonceSize) {
    codec.EncryptFile(again, plain, bytes.left(TCodec::kNonceSize));
    if (fuzz::ReadFile(again) != bytes) std::abort();
  }
  return 0;
}
