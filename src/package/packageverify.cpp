#include "package/packageverify.h"

#include <QFile>

#include <exception>

#include "common/error.h"
#include "common/msgbox.h"
#include "package/signature.h"

namespace {

void Refuse(const QString &reason, const QString &ZipPath, const QString &SigPath) {
  signature::Log(QStringLiteral("Загруженный пакет отклонён: %1.").arg(reason));
  QFile::remove(ZipPath);
  QFile::remove(SigPath);
  msgbox::ShowError(QStringLiteral("Пакет обновлений не прошёл проверку подлинности: %1. "
                                   "Будет использован встроенный пакет.")
                        .arg(reason));
}

}  // namespace

bool VerifyDownloadedPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress) {
  const QString SigPath = ZipPath + QStringLiteral(".minisig");
  const signature::KeyRing ring = signature::LoadTrustedKeys();
  for (const QString &e : ring.errors) signature::Log(QStringLiteral("Файл ключа пропущен: %1").arg(e));

  if (ring.keys.isEmpty()) {
    // Key files that are all broken mean the machine meant to check: refuse
    // rather than let the package through unchecked.
    if (!ring.errors.isEmpty()) {
      Refuse(QStringLiteral("ошибка файла ключа %1").arg(ring.errors.first()), ZipPath, SigPath);
      return false;
    }
    if (signature::SignedPackagesRequired()) {
      Refuse(QStringLiteral("нет доверенных ключей"), ZipPath, SigPath);
      return false;
    }
    signature::Log(QStringLiteral("Подпись загруженного пакета не проверялась: доверенных ключей нет."));
    return true;
  }

  QByteArray text;
  try {
    if (!DownloadFile(URL + QStringLiteral(".minisig"), SigPath, progress, signature::kMaxSignatureBytes)) {
      Refuse(QStringLiteral("нет подписи"), ZipPath, SigPath);
      return false;
    }
    QFile f(SigPath);
    if (!f.open(QIODevice::ReadOnly)) throw Exception(f.errorString());
    text = f.readAll();
  } catch (const std::exception &e) {
    Refuse(QStringLiteral("нет подписи (%1)").arg(ExceptionMessage(e)), ZipPath, SigPath);
    return false;
  }

  const signature::Verdict v = signature::VerifyFile(ZipPath, text, ring.keys);
  if (!v.ok) {
    Refuse(v.reason, ZipPath, SigPath);
    return false;
  }
  QFile::remove(SigPath);
  signature::Log(QStringLiteral("Подпись загруженного пакета верна: ключ %1, доверенный комментарий: %2")
                     .arg(v.keyId, v.trustedComment));
  return true;
}
