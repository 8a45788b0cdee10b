#include "run/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/privatefile.h"
#include "package/prepare.h"
#include "package/unpack.h"
#include "package/writeall.h"
#include "state/workfolders.h"

namespace startup {
namespace {

const char kPackageHost[] = "packages.korvalis.example";
// A URL is one short line: anything past this is not read.
constexpr qsizetype kMaxUrlFileBytes = 4096;

QString &BuiltInPath() {
  static QString path = QStringLiteral(":/ARHIVE");
  return path;
}

// Eight characters; each picks digits, upper-case or lower-case letters with
// equal chance, then a character of that class.
QString RandomName() {
  static const QString classes[] = {QStringLiteral("0123456789"),
                                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                                    QStringLiteral("abcdefghijklmnopqrstuvwxyz")};
  auto *rng = QRandomGenerator::system();
  QString name;
  for (int i = 0; i < 8; ++i) {
    const QString &c = classes[rng->bounded(3)];
    name += c.at(rng->bounded(static_cast<int>(c.size())));
  }
  return name;
}

}  // namespace

QString DefaultPackageUrl() {
  return QStringLiteral("https://") + QString::fromLatin1(kPackageHost) + QStringLiteral("/techno/arhive.zip");
}

QString ConfiguredPackageUrl() {
  const QString path = apppaths::FindConfigFile(QStringLiteral("url.txt"));
  if (path.isEmpty()) return QString();
  // A pipe, a device or a link to one could hold the start for good: only a
  // regular file is read, and only its beginning.
  QByteArray head;
  QString error;
  if (!privatefile::ReadRegular(path, kMaxUrlFileBytes, &head, &error)) throw Exception(error);
  // Notepad's byte-order mark and blanks around the address are no part of it.
  if (head.startsWith("\xEF\xBB\xBF")) head.remove(0, 3);
  head = head.trimmed();
  const QByteArray line = head.left(head.indexOf('\n') < 0 ? head.size() : head.indexOf('\n')).trimmed();
  // A file saved as UTF-8 is read as that; anything else as the register
  // maker's 8-bit code page.
  const QString utf8 = QString::fromUtf8(line);
  if (!utf8.contains(QChar::ReplacementCharacter)) return utf8;
  return codepage::ToUnicode(line);
}

QString BuiltInPackagePath() { return BuiltInPath(); }

void SetBuiltInPackagePath(const QString &path) {
  BuiltInPath() = path.isEmpty() ? QStringLiteral(":/ARHIVE") : path;
}

QString MakeWorkFolder() {
  // A name in a shared temporary folder can be guessed and taken first: the
  // folder is made exclusively, for its owner only, and a taken name is
  // never reused.
  const QString base = QDir::tempPath();
  // A temporary folder that does not exist has no path at all: the working
  // folder would land in the root folder.
  if (base.isEmpty())
    throw Exception(QStringLiteral("Не удалось создать рабочую папку: временная папка %1 не найдена.")
                        .arg(qEnvironmentVariable("TMPDIR")));
  // What a program killed outright left there goes first.
  workfolders::RemoveAbandoned();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const QString dir = base + QLatin1Char('/') + RandomName();
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) == 0) {
      workfolders::Claim(dir);
      return dir + QLatin1Char('/');
    }
    if (errno != EEXIST)
      throw Exception(QStringLiteral("Не удалось создать рабочую папку %1: %2")
                          .arg(dir, QString::fromLocal8Bit(strerror(errno))));
  }
  throw Exception(QStringLiteral("Не удалось создать рабочую папку в %1.").arg(base));
}

void RemoveWorkFolder(const QString &folder) {
  if (folder.isEmpty()) return;
  // remove_all does not follow links out of the folder.
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(folder).toStdString()), ec);
  workfolders::Release(folder);
}

void EmptyFolder(const QString &folder) {
  std::error_code ec;
  for (const auto &entry :
       std::filesystem::directory_iterator(std::filesystem::path(QFile::encodeName(folder).toStdString()), ec))
    std::filesystem::remove_all(entry.path(), ec);
}

void CopyPackage(const QString &from, const QString &folder) {
  const QString target = folder + QStringLiteral("arhive.zip");
  QFile resource(from);
  if (!resource.open(QIODevice::ReadOnly)) {
    if (from.startsWith(QLatin1Char(':'))) throw Exception(QStringLiteral("Встроенный пакет не найден в программе."));
    throw Exception(QStringLiteral("Не удалось открыть файл %1: %2").arg(from, resource.errorString()));
  }
  QFile out(target);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(target, out.errorString()));
  // The resource is stored uncompressed: its bytes are mapped, not copied.
  const qint64 size = resource.size();
  const uchar *data = resource.map(0, size);
  const QByteArray copy = data ? QByteArray() : resource.readAll();
  const QString why = WriteAllReason(out, data ? reinterpret_cast<const char *>(data) : copy.constData(),
                                     data ? size : copy.size());
  if (!why.isEmpty()) throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(target, why));
}

void UnpackAndDecipher(const QString &folder) {
  ::UnpackPackage(folder + QStringLiteral("arhive.zip"), folder + QStringLiteral("encrypt"));
  ::DecipherPackage(folder);
}

QString RulesProblem(const TRulesLoad &load) {
  if (load.noRulesFile) return QStringLiteral("в пакете нет файла rules.json");
  if (!load.problem.isEmpty()) return QStringLiteral("правила пакета отклонены (%1)").arg(load.problem.trimmed());
  return QString();
}

TRulesLoad LoadPackageRules(const QString &folder) {
  TRulesLoad load;
  const QString path = folder + QStringLiteral("rules.json");
  // Without a working folder the path is relative: never look it up.
  if (!folder.isEmpty() && QFileInfo::exists(path)) {
    if (!LoadFWRules(path, load.rules)) load.problem = FWRulesError;
  } else {
    load.noRulesFile = true;
    load.problem = QStringLiteral("File: ") + path + QStringLiteral(" not found.");
  }
  if (load.problem.isEmpty()) load.filesMissing = !FWFilesExist(folder, load.rules);
  return load;
}

}  // namespace startup
