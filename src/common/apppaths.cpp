#include "common/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace apppaths {
namespace {
QString g_override;
}

QString AppDir() {
  QString dir = g_override.isEmpty() ? QCoreApplication::applicationDirPath() : g_override;
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir;
}

void SetAppDirForTests(const QString &dir) { g_override = dir; }

QString ProgramFile(const QString &name) {
  const QString beside = AppDir() + name;
  if (QFileInfo::exists(beside)) return beside;
  const QString installed = QDir::cleanPath(AppDir() + QStringLiteral("../lib/tavelin/") + name);
  if (QFileInfo::exists(installed)) return installed;
  return beside;
}

bool Installed() {
  return QFileInfo(AppDir() + QStringLiteral("../lib/tavelin")).isDir();
}

QStringList ConfigDirs() {
  QStringList dirs;
  for (QString d : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
    if (!d.endsWith(QLatin1Char('/'))) d += QLatin1Char('/');
    dirs << d + QStringLiteral("Korvalis/Tavelin/");
  }
  return dirs;
}

QString FindConfigFile(const QString &name) {
  if (QFileInfo::exists(AppDir() + name)) return AppDir() + name;
  for (const QString &d : ConfigDirs())
    if (QFileInfo::exists(d + name)) return d + name;
  return {};
}

namespace {

// Makes dir (and what is missing above it) for its owner only. own: the
// folder is the program's, so a wider mode left by someone is narrowed.
bool MakePrivateDir(const QString &dir, bool own, QString *error) {
  const QByteArray path = QFile::encodeName(dir);
  struct stat st {};
  if (::stat(path.constData(), &st) != 0) {
    const QString parent = QFileInfo(dir).path();
    if (parent != dir && !QFileInfo(parent).isDir() && !MakePrivateDir(parent, false, error)) return false;
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
      if (error) *error = QStringLiteral("%1: %2").arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
      return false;
    }
    if (::stat(path.constData(), &st) != 0) {
      if (error) *error = QStringLiteral("%1: %2").arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
      return false;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error) *error = QStringLiteral("%1: not a folder").arg(dir);
    return false;
  }
  if (own && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::chmod(path.constData(), 0700);
  return true;
}

}  // namespace

QString StateDir(QString *error) {
  // A relative XDG_STATE_HOME is ignored, as the XDG base directories require.
  QString home = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
  if (home.isEmpty() || !QDir::isAbsolutePath(home)) home = QDir::homePath() + QStringLiteral("/.local/state");
  home = QDir::cleanPath(home);
  const QString org = home + QStringLiteral("/Korvalis");
  const QString dir = org + QStringLiteral("/Tavelin");
  if (!MakePrivateDir(home, false, error) || !MakePrivateDir(org, true, error) || !MakePrivateDir(dir, true, error))
    return {};
  return dir + QLatin1Char('/');
}

}  // namespace apppaths
