#include "package/packageverify.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <exception>

#include "common/apppaths.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "package/signature.h"

namespace packagecheck {
namespace {

const char kDatesFile[] = "package-dates.json";
constexpr qsizetype kMaxDatesBytes = 1024 * 1024;
const char kSettingsFile[] = "tavelin.conf";
constexpr qsizetype kMaxSettingsBytes = 64 * 1024;

// The newest package date accepted from each URL, by this user: a replayed
// older package from the same place is a rollback.
QJsonObject ReadDates() {
  const QString dir = apppaths::StateDir();
  if (dir.isEmpty()) return {};
  QByteArray bytes;
  if (!privatefile::ReadRegular(dir + QLatin1String(kDatesFile), kMaxDatesBytes, &bytes, nullptr, false)) return {};
  return QJsonDocument::fromJson(bytes).object();
}

void RememberDate(const QString &url, const QDateTime &date) {
  const QString dir = apppaths::StateDir();
  if (dir.isEmpty()) return;
  QJsonObject dates = ReadDates();
  dates.insert(url, date.toUTC().toString(Qt::ISODate));
  if (privatefile::Replace(dir + QLatin1String(kDatesFile), QJsonDocument(dates).toJson()) != 0)
    signature::Log(QStringLiteral("Дата принятого пакета не сохранена: %1").arg(dir + QLatin1String(kDatesFile)));
}

QString DateText(const QDateTime &d) { return d.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")); }

bool IsPlainHttp(const TSource &source) {
  return source.remote && QUrl(source.name).scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0;
}

TVerdict Refused(const QString &reason) {
  signature::Log(QStringLiteral("Пакет отклонён: %1.").arg(reason));
  TVerdict v;
  v.reason = reason;
  return v;
}

TVerdict Accepted(const QString &line) {
  signature::Log(line);
  TVerdict v;
  v.ok = true;
  v.log = line;
  return v;
}

}  // namespace

QString RefusalText(const QString &reason) {
  return QStringLiteral("Пакет обновлений не прошёл проверку подлинности: %1.").arg(reason);
}

QDateTime CommentDate(const QString &trustedComment) {
  static const QRegularExpression word(QStringLiteral("(?:^|\\s)(date|timestamp):(\\S+)"));
  QDateTime found;
  auto it = word.globalMatch(trustedComment);
  while (it.hasNext()) {
    const QRegularExpressionMatch m = it.next();
    if (m.captured(1) == QLatin1String("date")) {
      const QDateTime d = QDateTime::fromString(m.captured(2), Qt::ISODate);
      if (d.isValid()) return d.toUTC();
    } else if (!found.isValid()) {
      bool ok = false;
      const qint64 secs = m.captured(2).toLongLong(&ok);
      if (ok && secs > 0) found = QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
    }
  }
  return found;
}

bool UnsignedHttpAllowed() {
  for (const QString &dir : signature::MachineConfigDirs()) {
    QByteArray text;
    if (!privatefile::ReadRegular(dir + QLatin1String(kSettingsFile), kMaxSettingsBytes, &text)) continue;
    for (QByteArray line : text.split('\n')) {
      line = line.trimmed();
      if (line.isEmpty() || line.startsWith('#') || line.startsWith(';')) continue;
      const qsizetype eq = line.indexOf('=');
      if (eq < 0 || line.left(eq).trimmed() != "allow-unsigned-http") continue;
      const QByteArray value = line.mid(eq + 1).trimmed().toLower();
      if (value == "yes" || value == "true" || value == "1") return true;
    }
  }
  return false;
}

TVerdict Check(const QString &path, const TSource &source, const DownloadProgress &progress) {
  const signature::KeyRing ring = signature::LoadTrustedKeys();
  for (const QString &e : ring.errors) signature::Log(QStringLiteral("Файл ключа пропущен: %1").arg(e));

  if (ring.keys.isEmpty()) {
    // Key files that are all broken mean the machine meant to check: refuse
    // rather than let the package through unchecked.
    if (!ring.errors.isEmpty()) return Refused(QStringLiteral("ошибка файла ключа %1").arg(ring.errors.first()));
    if (signature::SignedPackagesRequired()) return Refused(QStringLiteral("нет доверенных ключей"));
    // Over plain http anyone on the way can hand over a package of their
    // own, and its tools run with the operator's rights.
    if (IsPlainHttp(source)) {
      if (!UnsignedHttpAllowed())
        return Refused(QStringLiteral("нет подписи, а соединение не защищено (http)"));
      return Accepted(QStringLiteral("Подпись пакета %1 не проверялась: доверенных ключей нет; пакет без подписи по "
                                     "http разрешён настройкой allow-unsigned-http.")
                          .arg(source.name));
    }
    return Accepted(QStringLiteral("Подпись пакета %1 не проверялась: доверенных ключей нет%2.")
                        .arg(source.name, source.remote ? QStringLiteral(" (получен по https, сервер проверен)")
                                                        : QString()));
  }

  QByteArray text;
  if (source.remote) {
    const QString sigPath = path + QStringLiteral(".minisig");
    // Nothing of the signature's download stays behind, whatever came of it.
    struct Remover {
      QString path;
      ~Remover() { QFile::remove(path); }
    } remover{sigPath};
    try {
      if (!DownloadFile(source.signatureAt, sigPath, progress, signature::kMaxSignatureBytes))
        return Refused(QStringLiteral("нет подписи"));
    } catch (const std::exception &e) {
      return Refused(QStringLiteral("нет подписи (%1)").arg(ExceptionMessage(e)));
    }
    privatefile::ReadRegular(sigPath, signature::kMaxSignatureBytes + 1, &text, nullptr, false);
  } else {
    // Read once; the package itself was already copied.
    if (!privatefile::ReadRegular(source.signatureAt, signature::kMaxSignatureBytes + 1, &text))
      return Refused(QStringLiteral("нет подписи"));
  }

  const signature::Verdict v = signature::VerifyFile(path, text, ring.keys);
  if (!v.ok) return Refused(v.reason);

  const QDateTime date = CommentDate(v.trustedComment);
  if (source.remote && date.isValid()) {
    const QDateTime newest =
        QDateTime::fromString(ReadDates().value(source.name).toString(), Qt::ISODate);
    if (newest.isValid() && date < newest)
      return Refused(QStringLiteral("пакет старше уже установленного (подписан %1, а с этого адреса уже принят "
                                    "пакет от %2)")
                         .arg(DateText(date), DateText(newest)));
    if (!newest.isValid() || date > newest) RememberDate(source.name, date);
  }
  TVerdict ok = Accepted(QStringLiteral("Подпись пакета %1 верна: ключ %2, доверенный комментарий: %3")
                             .arg(source.name, v.keyId, v.trustedComment));
  ok.date = date;
  return ok;
}

}  // namespace packagecheck

bool VerifyDownloadedPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress) {
  const packagecheck::TVerdict v =
      packagecheck::Check(ZipPath, {URL, URL + QStringLiteral(".minisig"), true}, progress);
  if (v.ok) return true;
  QFile::remove(ZipPath);
  msgbox::ShowError(packagecheck::RefusalText(v.reason).chopped(1) +
                    QStringLiteral(". Будет использован встроенный пакет."));
  return false;
}
