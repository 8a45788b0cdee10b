#include "state/workfolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <filesystem>

#include "common/applog.h"
#include "common/apppaths.h"
#include "common/privatefile.h"

namespace workfolders {
namespace {

QMutex g_mutex;
struct TMark {
  QString path;
  int fd;
};
QHash<QString, TMark> g_claims;  // folder → its mark, open and locked

QString Clean(const QString &folder) {
  QString f = folder;
  while (f.size() > 1 && f.endsWith(QLatin1Char('/'))) f.chop(1);
  return f;
}

QString MarksDir() {
  const QString state = apppaths::StateDir();
  if (state.isEmpty()) return QString();
  const QString dir = state + QStringLiteral("work");
  if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST) return QString();
  return dir + QLatin1Char('/');
}

}  // namespace

void Claim(const QString &folder) {
  const QString path = Clean(folder);
  const QString marks = MarksDir();
  if (marks.isEmpty() || path.isEmpty()) return;
  const QString name = marks + QFileInfo(path).fileName() + QStringLiteral(".lock");
  // Made and locked under another name, then renamed: a program cleaning up
  // at the same moment never finds this mark unlocked.
  const QByteArray tmp = QFile::encodeName(name + QStringLiteral(".new"));
  const int fd = ::open(tmp.constData(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const QByteArray text = QFile::encodeName(path) + '\n';
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::write(fd, text.constData(), text.size()) != text.size() ||
      ::rename(tmp.constData(), QFile::encodeName(name).constData()) != 0) {
    ::unlink(tmp.constData());
    ::close(fd);
    return;
  }
  QMutexLocker lock(&g_mutex);
  g_claims.insert(path, {name, fd});
}

void Release(const QString &folder) {
  TMark mark;
  {
    QMutexLocker lock(&g_mutex);
    const auto it = g_claims.constFind(Clean(folder));
    if (it == g_claims.constEnd()) return;  // not claimed
    mark = *it;
    g_claims.erase(it);
  }
  // Unlinked while still locked: nobody finds it unlocked in between.
  ::unlink(QFile::encodeName(mark.path).constData());
  ::close(mark.fd);
}

int RemoveAbandoned() {
  const QString marks = MarksDir();
  if (marks.isEmpty()) return 0;
  int removed = 0;
  const QStringList names = QDir(marks).entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden);
  for (const QString &name : names) {
    const QByteArray markPath = QFile::encodeName(marks + name);
    const int fd = privatefile::OpenRegular(marks + name, false);
    if (fd < 0) continue;
    // Held: its program still runs.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    char buf[4097];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    QString folder = n > 0 ? QFile::decodeName(QByteArray(buf, static_cast<int>(n))).trimmed() : QString();
    // Only what the mark's program made: an absolute path to a real folder
    // (not a link) of this user's, with the mark's own name.
    struct stat st {};
    const bool ours = !folder.isEmpty() && QDir::isAbsolutePath(folder) &&
                      QFileInfo(folder).fileName() + QStringLiteral(".lock") == name &&
                      ::lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                      st.st_uid == ::getuid();
    if (ours) {
      std::error_code ec;
      std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(folder).toStdString()), ec);
      if (ec) {
        // Tried again by the next program.
        applog::Info(QStringLiteral("Не удалось удалить рабочую папку %1: %2")
                         .arg(folder, QString::fromLocal8Bit(ec.message().c_str())));
        ::close(fd);
        continue;
      }
      ++removed;
      applog::Info(QStringLiteral("Удалена рабочая папка программы, завершённой без уборки: %1").arg(folder));
    }
    ::unlink(markPath.constData());
    ::close(fd);
  }
  return removed;
}

}  // namespace workfolders
