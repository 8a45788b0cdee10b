#include "package/prepare.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "package/cipher.h"

QStringList DecipherPackage(const QString &workFolder) {
  const QDir work(workFolder);
  const QDir encrypt(work.filePath(QStringLiteral("encrypt")));
  TCodec codec;
  QStringList done;
  for (const QString &mask : {QStringLiteral("*.bin"), QStringLiteral("*.exe"), QStringLiteral("*.json")}) {
    // Files of any attributes, in listing order; the mask ignores case as a
    // Windows folder listing does.
    const QStringList names =
        encrypt.entryList({mask}, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
    for (const QString &name : names) {
      if (!QFileInfo(encrypt.filePath(name)).isFile()) continue;  // never block on a pipe
      codec.setPassword(kPackagePassword);
      const QString target = work.filePath(name);
      codec.DecryptFile(target, encrypt.filePath(name));
      if (mask == QStringLiteral("*.exe"))
        QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
      done << name;
    }
  }
  return done;
}
