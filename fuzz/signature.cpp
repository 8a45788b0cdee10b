// The signature and public key parsers on any text, and the verification of
// a fixed file with whatever the input holds as signature and key.
#include "fuzzsupport.h"
#include "common/error.h"
#include "package/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QByteArray text = fuzz::Bytes(data, size);
  try {
    const signature::Signature s = signature::ParseSignature(text);
    if (s.keyId.size() != 8 || s.sig.size() != 64 || s.globalSig.size() != 64) std::abort();
  } catch (const Exception &) {
  }
  QList<signature::PublicKey> keys;
  try {
    keys << signature::ParsePublicKey(text);
    if (keys.first().id.size() != 8 || keys.first().key.size() != 32) std::abort();
  } catch (const Exception &) {
  }
  static const QString file = [] {
    const QString path = fuzz::Scratch() + QStringLiteral("package.zip");
    fuzz::WriteFile(path, "PK\x03\x04 fixed package");
    return path;
  }();
  // A key made from the input itself, under the id the signature names.
  if (keys.isEmpty()) {
    signature::PublicKey k;
    k.id = text.left(8).leftJustified(8, '\0');
    k.key = text.mid(8, 32).leftJustified(32, '\0');
    keys << k;
  }
  try {
    const signature::Signature s = signature::ParseSignature(text);
    keys.first().id = s.keyId;
  } catch (const Exception &) {
  }
  const signature::Verdict v = signature::VerifyFile(file, text, keys);
  if (v.ok == !v.reason.isEmpty()) std::abort();  // a reason exactly when refused
  return 0;
}
