#include "package/newpackage.h"

#include <QFile>

#include <zip.h>

#include <exception>
#include <memory>

#include "common/msgbox.h"
#include "package/inetutils.h"
#include "package/packageverify.h"

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

bool CheckNewPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress,
                     const DownloadProgress &checking) {
  TDateTime date = 0;
  try {
    date = GetRemoteFileDate(URL, checking);
  } catch (const std::exception &) {
    date = 0;  // an unreachable server simply means no offer
  }
  // The date request is over: its window may go before the question.
  if (checking) checking(-1, -1);
  // Anything up to 1900-04-09 is no real date from the server.
  if (date <= 100) return false;

  if (!msgbox::AskQuestion(QStringLiteral("Доступнa новая версия кассового ПО. Скачать?"))) return false;

  try {
    if (!DownloadFile(URL, ZipPath, progress)) return false;
  } catch (const std::exception &) {
    return false;
  }

  // Nothing from the server is unpacked before its signature is checked.
  if (!VerifyDownloadedPackage(URL, ZipPath, progress)) return false;

  // A 200 answer may still carry an error page or a body cut short; unpacking
  // that would leave the program without rules, so the built-in package is used.
  const QString problem = ArchiveProblem(ZipPath);
  if (!problem.isEmpty()) {
    msgbox::ShowError(QStringLiteral("Загруженный пакет не является исправным ZIP-архивом (%1).\r\n"
                                     "Будет использован встроенный пакет.")
                          .arg(problem));
    return false;
  }
  return true;
}
