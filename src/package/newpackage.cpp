#include "package/newpackage.h"

#include <QDebug>
#include <QFile>

#include <zip.h>

#include <exception>
#include <memory>

#include "common/error.h"
#include "common/msgbox.h"
#include "package/inetutils.h"
#include "package/packageverify.h"
#include "package/signature.h"

namespace {

struct ZipCloser {
  void operator()(zip_t *z) const { zip_discard(z); }
};

// Why the file at Path is no usable archive; empty when it is one.
QString ArchiveProblem(const QString &Path) {
  int err = 0;
  std::unique_ptr<zip_t, ZipCloser> zip(
      zip_open(QFile::encodeName(Path).constData(), ZIP_RDONLY, &err));
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, err);
    const QString reason = QString::fromUtf8(zip_error_strerror(&ze));
    zip_error_fini(&ze);
    return reason;
  }
  // libzip opens an empty file as an empty archive; it holds no package.
  if (zip_get_num_entries(zip.get(), 0) <= 0) return QStringLiteral("архив пуст");
  return QString();
}

}  // namespace

void ReportNewPackageFailure(const QString &reason) {
  QString why = reason.trimmed();
  while (why.endsWith(QLatin1Char('.'))) why.chop(1);  // the sentence goes on after it
  const QString text = QStringLiteral("Не удалось получить новый пакет: %1. Будет использован встроенный пакет.")
                           .arg(why);
  qCWarning(lcPackage).noquote() << text;
  msgbox::ShowError(text);
}

bool CheckNewPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress,
                     const DownloadProgress &checking) {
  TDateTime date = 0;
  try {
    date = GetRemoteFileDate(URL, checking);
    if (date == 0) qCInfo(lcPackage).noquote() << "Новый пакет: сервер не назвал дату пакета" << URL;
  } catch (const std::exception &e) {
    // An unreachable server simply means no offer; the operator asked for nothing.
    qCWarning(lcPackage).noquote() << "Новый пакет: сервер недоступен:" << ExceptionMessage(e);
    date = 0;
  }
  // The date request is over: its window may go before the question.
  if (checking) checking(-1, -1);
  // Anything up to 1900-04-09 is no real date from the server.
  if (date <= 100) return false;

  if (!msgbox::AskQuestion(QStringLiteral("Доступнa новая версия кассового ПО. Скачать?"))) return false;

  // The operator's own cancel is no failure to report.
  bool cancelled = false;
  DownloadProgress watched;
  if (progress)
    watched = [&](qint64 received, qint64 total) {
      const bool go = progress(received, total);
      if (!go) cancelled = true;
      return go;
    };
  long status = 0;
  try {
    if (!DownloadFile(URL, ZipPath, watched, kMaxDownloadBytes, &status)) {
      ReportNewPackageFailure(QStringLiteral("сервер ответил кодом %1").arg(status));
      return false;
    }
  } catch (const std::exception &e) {
    if (!cancelled) ReportNewPackageFailure(ExceptionMessage(e));
    return false;
  }

  // Nothing from the server is unpacked before its signature is checked.
  if (!VerifyDownloadedPackage(URL, ZipPath, progress)) return false;

  // A 200 answer may still carry an error page or a body cut short; unpacking
  // that would leave the program without rules, so the built-in package is used.
  const QString problem = ArchiveProblem(ZipPath);
  if (!problem.isEmpty()) {
    ReportNewPackageFailure(QStringLiteral("загруженный файл не является исправным ZIP-архивом (%1)").arg(problem));
    return false;
  }
  return true;
}
