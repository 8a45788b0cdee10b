#include "common/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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

}  // namespace apppaths
