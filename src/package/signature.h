#pragma once
// Detached package signatures in minisign's formats: Ed25519 over the
// BLAKE2b-512 hash of the file ("ED", what minisign makes by default) or over
// the file itself ("Ed", minisign -l), with a trusted comment covered by a
// second, global signature. Publishers sign with the minisign tool; the
// program only verifies, with OpenSSL.
#include <QByteArray>
#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

namespace signature {

// A signature file is a few short lines; anything larger is no signature.
constexpr qint64 kMaxSignatureBytes = 64 * 1024;

// The 8-byte key id as minisign prints it (little-endian, upper-case hex).
QString KeyIdText(const QByteArray &id);

struct PublicKey {
  QByteArray id;    // 8 bytes
  QByteArray key;   // 32 bytes, Ed25519
  QString source;   // the file it came from, for the log
  QString idText() const { return KeyIdText(id); }
};

struct Signature {
  bool prehashed = true;     // "ED": the file's BLAKE2b-512 was signed
  QByteArray keyId;          // 8 bytes
  QByteArray sig;            // 64 bytes
  QByteArray trustedComment; // the text after "trusted comment: "
  QByteArray globalSig;      // 64 bytes, over sig + trustedComment
};

// The text of a ".pub" file (or the bare base64 line). Raises Exception
// with the reason in Russian when it is no minisign public key.
PublicKey ParsePublicKey(const QByteArray &text);
// The text of a ".minisig" file. Raises Exception with the reason.
Signature ParseSignature(const QByteArray &text);

struct KeyRing {
  QList<PublicKey> keys;
  QStringList errors;  // one "file: reason" for every key file that did not parse
  int files = 0;       // key files looked at
};

// Every "*.pub" of the given files and folders (a folder that does not
// exist adds nothing). Unreadable or malformed files land in errors.
KeyRing LoadKeys(const QStringList &filesAndFolders);

// The folders of the machine's own configuration, each with a trailing
// separator: share/tavelin/ relative to the executable (beside it and in
// ../share for an installed layout), then the system configuration folder
// fixed at build time + Korvalis/Tavelin/. Never the user's own configuration
// nor XDG_CONFIG_DIRS: what counts here is the machine's decision.
QStringList MachineConfigDirs();
// Each of those + "trusted-keys/".
QStringList TrustedKeyDirs();
KeyRing LoadTrustedKeys();

// True when this build refuses unsigned packages even with no key installed.
bool SignedPackagesRequired();

struct Verdict {
  bool ok = false;
  QString reason;          // in Russian, for the operator: "подпись не совпадает", ...
  QString keyId;           // the key that signed (or the unknown one)
  QString trustedComment;  // on success
};

// Checks the file at path against the signature text and the keys. Never raises.
Verdict VerifyFile(const QString &path, const QByteArray &signatureText, const QList<PublicKey> &keys);

// The package's messages in the program's log: category "tavelin.package".
void Log(const QString &line);

}  // namespace signature

Q_DECLARE_LOGGING_CATEGORY(lcPackage)
