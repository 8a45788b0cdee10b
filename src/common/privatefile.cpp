#include "common/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace privatefile {

bool MakeFolder(const QString &dir, bool own, QString *error) {
  const QByteArray path = QFile::encodeName(dir);
  auto fail = [&](const QString &why) {
    if (error) *error = QStringLiteral("%1: %2").arg(dir, why);
    return false;
  };
  struct stat st {};
  if (::stat(path.constData(), &st) != 0) {
    const QString parent = QFileInfo(QDir::cleanPath(dir)).path();
    if (parent != QDir::cleanPath(dir) && !QFileInfo(parent).isDir() && !MakeFolder(parent, false, error))
      return false;
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (::stat(path.constData(), &st) != 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
  }
  if (!S_ISDIR(st.st_mode)) return fail(QStringLiteral("not a folder"));
  // A link is left as it is: what it points to is not the program's to narrow.
  struct stat own_st {};
  if (own && ::lstat(path.constData(), &own_st) == 0 && S_ISDIR(own_st.st_mode) && own_st.st_uid == ::geteuid() &&
      (own_st.st_mode & 077) != 0)
    ::chmod(path.constData(), 0700);
  return true;
}

bool IsOwnFolder(const QString &dir, QString *error) {
  struct stat st {};
  QString why;
  if (::lstat(QFile::encodeName(dir).constData(), &st) != 0) why = QString::fromLocal8Bit(std::strerror(errno));
  else if (!S_ISDIR(st.st_mode)) why = QStringLiteral("not a folder");
  else if (st.st_uid != ::geteuid()) why = QStringLiteral("belongs to another user (uid %1)").arg(st.st_uid);
  else if ((st.st_mode & 022) != 0) why = QStringLiteral("others may write to it");
  if (why.isEmpty()) return true;
  if (error) *error = QStringLiteral("%1: %2").arg(dir, why);
  return false;
}

bool WriteAll(int fd, const char *data, qsizetype size, int *err) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (err) *err = n < 0 ? errno : ENOSPC;
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

int OpenAppend(const QString &path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  // A file left wider by someone else is narrowed.
  if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);
  return fd;
}

namespace {

void SyncFolderOf(const QString &path) {
  const int dfd =
      ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  ::fsync(dfd);
  ::close(dfd);
}

// A second name for the file at target, made beside and renamed into place,
// so the old backup goes only when the new one is whole.
void KeepBackup(const QByteArray &target, const QByteArray &backup) {
  const QByteArray tmp = backup + ".tmp";
  ::unlink(tmp.constData());
  bool made = ::link(target.constData(), tmp.constData()) == 0;
  if (!made) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy_file(fs::path(target.toStdString()), fs::path(tmp.toStdString()), fs::copy_options::overwrite_existing,
                  ec);
    made = !ec;
  }
  if (!made) return;
  ::chmod(tmp.constData(), 0600);
  if (::rename(tmp.constData(), backup.constData()) != 0) ::unlink(tmp.constData());
}

}  // namespace

int Replace(const QString &path, const QByteArray &bytes, const QString &backup) {
  const QByteArray target = QFile::encodeName(path);
  const QByteArray tmp = target + ".tmp";
  // Left by an earlier write that did not finish: unlink removes a link, not
  // what it points to.
  ::unlink(tmp.constData());
  const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  ::fchmod(fd, 0600);
  int err = 0;
  bool ok = WriteAll(fd, bytes, &err);
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.constData());
    return err;
  }
  struct stat st {};
  if (!backup.isEmpty() && ::lstat(target.constData(), &st) == 0 && S_ISREG(st.st_mode))
    KeepBackup(target, QFile::encodeName(backup));
  if (::rename(tmp.constData(), target.constData()) != 0) {
    err = errno;
    ::unlink(tmp.constData());
    return err;
  }
  SyncFolderOf(path);
  return 0;
}

int OpenRegular(const QString &path, bool follow, int *err) {
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (err) *err = errno;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    if (err) *err = e;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    if (err) *err = 0;
    return -1;
  }
  return fd;
}

bool ReadRegular(const QString &path, qsizetype maxBytes, QByteArray *out, QString *error, bool follow,
                 bool *missing) {
  if (missing) *missing = false;
  const auto fail = [&](const QString &why) {
    if (error) *error = why;
    return false;
  };
  int err = 0;
  const int fd = OpenRegular(path, follow, &err);
  if (fd < 0) {
    if (err == 0) return fail(QStringLiteral("Файл %1 — не обычный файл.").arg(path));
    if (err == ENOENT && missing) *missing = true;
    return fail(QStringLiteral("Не удалось открыть файл %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  QByteArray bytes;
  char buf[16384];
  while (bytes.size() < maxBytes) {
    const ssize_t n = ::read(fd, buf, static_cast<size_t>(qMin<qsizetype>(sizeof buf, maxBytes - bytes.size())));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return fail(QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (n == 0) break;
    bytes.append(buf, n);
  }
  *out = bytes;
  return true;
}

QString FolderName(const QString &name) {
  QString out;
  for (const QChar c : name) {
    if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')) {
      out += c;
      continue;
    }
    for (const char b : QString(c).toUtf8())
      out += QStringLiteral("%%1").arg(static_cast<uchar>(b), 2, 16, QLatin1Char('0')).toUpper();
  }
  return out;
}

}  // namespace privatefile
