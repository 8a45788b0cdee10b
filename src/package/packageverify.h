#pragma once
// The authenticity check of a package from outside the program, between its
// arrival (download, or a file given) and its unpacking. One policy for the
// window and the command line:
// - trusted keys installed: a valid signature by one of them is required, and
//   a package from a URL must not be older than the newest this user has
//   already accepted from that URL (a replayed old package is a rollback);
// - no keys: an unsigned package is taken over https or from a file, and
//   refused over plain http unless the machine's administrator allows it
//   ("allow-unsigned-http" in tavelin.conf of the program's own or the
//   system configuration folder);
// - key files that are all broken, or a build that requires signatures:
//   refused.
#include <QDateTime>
#include <QString>

#include "package/inetutils.h"

namespace packagecheck {

struct TSource {
  QString name;         // the URL or the file, for the messages and the memory of dates
  QString signatureAt;  // the signature's URL (remote) or file
  bool remote = false;
};

struct TVerdict {
  bool ok = false;
  QString reason;  // why it was refused, in Russian: "нет подписи", ...
  QString log;     // the line the log got on success
  QDateTime date;  // the package's date from the signature, when it names one
};

// Checks the file at path (a copy of the program's own, in its private
// working folder: what is checked is what is unpacked). A remote signature
// is fetched into path + ".minisig". Never raises; the verdict is logged.
TVerdict Check(const QString &path, const TSource &source, const DownloadProgress &progress = {});

// "Пакет обновлений не прошёл проверку подлинности: <reason>."
QString RefusalText(const QString &reason);

// The date a signature's trusted comment names: "date:<ISO 8601>" as
// tavelin-pack writes it, else minisign's own "timestamp:<seconds>". Invalid
// when it names none.
QDateTime CommentDate(const QString &trustedComment);

// True when the machine's configuration lets an unsigned package over plain
// http through (read from the program's own folders and the system one only).
bool UnsignedHttpAllowed();

}  // namespace packagecheck

// The window's check of a downloaded package: with the refusal shown as an
// error box ("... Будет использован встроенный пакет.") and the downloaded
// files removed. True: the package may be unpacked.
bool VerifyDownloadedPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress = {});
