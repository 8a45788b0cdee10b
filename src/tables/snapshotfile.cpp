// The snapshot's file: where it lies, reading it without following links,
// and replacing it whole with the one before kept as ".bak".
#include "tables/tablesutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "common/applog.h"
#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "device/untDriver.h"
#include "tables/tablesinternal.h"
#include "tables/tablesview.h"

using namespace tablesdetail;

namespace tablesdetail {

// The snapshot's folder and the folders it lies in, up to "ecrdata", must be
// folders, not links to somewhere else.
void CheckPlainFolders(const QString &file) {
  QString dir = QFileInfo(file).absolutePath();
  for (int level = 0; level < 2 && !dir.isEmpty(); ++level) {
    struct stat st {};
    const QByteArray d = QFile::encodeName(dir);
    if (::lstat(d.constData(), &st) == 0 && !S_ISDIR(st.st_mode))
      throw Exception(QStringLiteral("Папка таблиц %1 — не обычная папка (символическая ссылка или файл).").arg(dir));
    if (QFileInfo(dir).fileName() == QLatin1String("ecrdata")) break;
    dir = QFileInfo(dir).absolutePath();
  }
}

QString SysError(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// What lies at the path now: 0 nothing, else the lstat mode. A link or
// anything but a regular file is refused by name.
mode_t CheckRegularOrMissing(const QString &path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  if (S_ISLNK(st.st_mode))
    throw Exception(QStringLiteral("Файл таблиц %1 — символическая ссылка, а не файл; такой файл не читается и не "
                                   "перезаписывается.").arg(path));
  if (!S_ISREG(st.st_mode))
    throw Exception(QStringLiteral("Файл таблиц %1 — не обычный файл (папка, канал или устройство).").arg(path));
  return st.st_mode;
}

// How many cells the snapshot file at the path holds; -1 when it is none.
qsizetype CellsInFile(const QString &path) {
  try {
    return ParseSnapshot(ReadSnapshotFile(path), path).fields.size();
  } catch (const std::exception &) {
    return -1;
  }
}

}  // namespace tablesdetail

QByteArray ReadSnapshotFile(const QString &path) {
  CheckPlainFolders(path);
  if (CheckRegularOrMissing(path) == 0) throw Exception(QStringLiteral("Файл %1 не найден!").arg(path));
  // No link is followed and a pipe put in its place since cannot block.
  int err = 0;
  const int fd = privatefile::OpenRegular(path, false, &err);
  if (fd < 0 && err == 0)
    throw Exception(QStringLiteral("Файл таблиц %1 — не обычный файл (папка, канал или устройство).").arg(path));
  if (fd < 0) throw Exception(QStringLiteral("Не удалось открыть файл %1: %2").arg(path, SysError(err)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    throw Exception(QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, SysError(errno)));
  if (st.st_size > kMaxSnapshotBytes)
    throw Exception(QStringLiteral("Файл таблиц %1 слишком велик: %2 байт (снимок таблиц не больше %3 МиБ).")
                        .arg(path)
                        .arg(static_cast<qlonglong>(st.st_size))
                        .arg(kMaxSnapshotBytes / (1024 * 1024)));
  QByteArray out;
  out.reserve(static_cast<qsizetype>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception(QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, SysError(errno)));
    if (n == 0) break;
    if (out.size() + n > kMaxSnapshotBytes)
      throw Exception(QStringLiteral("Файл таблиц %1 слишком велик (снимок таблиц не больше %2 МиБ).")
                          .arg(path)
                          .arg(kMaxSnapshotBytes / (1024 * 1024)));
    out.append(buf, n);
  }
  return out;
}

namespace {

// The snapshot holds the cashiers' passwords: "ecrdata" and the register's
// folder are the user's alone. A link is left as it is (and refused when the
// snapshot is written or read).
bool MakePrivateFolders(const QString &base, const QString &sub) {
  QString path = base;
  for (const QString &part : sub.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    path += part + QLatin1Char('/');
    if (!privatefile::MakeFolder(path)) return false;
  }
  return true;
}

}  // namespace

QString SnapshotFolder(const QString &serial) {
  QString sub = QStringLiteral("ecrdata/");
  if (!serial.isEmpty()) sub += privatefile::FolderName(serial) + QLatin1Char('/');
  const QString primary = apppaths::AppDir() + sub;
  if (!apppaths::Installed() && MakePrivateFolders(apppaths::AppDir(), sub) && QFileInfo(primary).isWritable())
    return primary;
  // An installed program's folder is read-only, or the package manager's:
  // the user's data folder then.
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (data.isEmpty()) return primary;
  const QString alt = data + QLatin1Char('/') + sub;
  MakePrivateFolders(data + QLatin1Char('/'), sub);
  return alt;
}


// The snapshot is replaced, never rewritten in place: the new text goes to a
// temporary file beside it (created anew, never through a link), is flushed
// to disk and renamed over it, and the snapshot it replaces stays as
// "tables.json.bak". A crash or a full disk at any moment leaves at least one
// complete snapshot. The files are the user's alone: they hold the cashiers'
// passwords.
void TECRTables::WriteSnapshot(const QString &text) {
  const QString bakName = FFileName + QStringLiteral(".bak");
  CheckPlainFolders(FFileName);
  CheckRegularOrMissing(FFileName);
  CheckRegularOrMissing(bakName);
  if (const int err = privatefile::Replace(FFileName, text.toLatin1(), bakName); err != 0)
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, SysError(err)));
}

void TECRTables::PutRunCellsIntoSnapshot() {
  if (FRunCells.empty() || CheckRegularOrMissing(FFileName) == 0) return;
  TSnapshot s;
  try {
    s = ParseSnapshot(ReadSnapshotFile(FFileName), FFileName);
  } catch (const Exception &e) {
    // A damaged snapshot was said by the restore that met it; there is
    // nothing here to put the cells into.
    applog::Info(QStringLiteral("Ячейки правила не внесены в снимок таблиц: ") + e.message());
    return;
  }
  if (s.serial != FSerial) return;
  ApplyRunCells(s.fields);
  CheckPlainFolders(FFileName);
  // The same snapshot with the run's values: the copy of the previous one stays.
  if (const int err = privatefile::Replace(FFileName, FieldsDataToJSON(s.serial, s.fields).toLatin1()); err != 0)
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, SysError(err)));
}
