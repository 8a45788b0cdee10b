#include "common/apppaths.h"
#include "common/privatefile.h"

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


QString StateDir(QString *error) {
  // A relative XDG_STATE_HOME is ignored, as the XDG base directories require.
  QString home = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
  if (home.isEmpty() || !QDir::isAbsolutePath(home)) home = QDir::homePath() + QStringLiteral("/.local/state");
  home = QDir::cleanPath(home);
  const QString org = home + QStringLiteral("/Korvalis");
  const QString dir = org + QStringLiteral("/Tavelin");
  if (!privatefile::MakeFolder(home, false, error) || !privatefile::MakeFolder(org, true, error) ||
      !privatefile::MakeFolder(dir, true, error))
    return {};
  // Another user's folder, or one others may write to, could hand this
  // program (run as root by a fleet's playbook) links to follow.
  if (!privatefile::IsOwnFolder(org, error) || !privatefile::IsOwnFolder(dir, error)) return {};
  return dir + QLatin1Char('/');
}

}  // namespace apppaths
