#include "common/apppaths.h"

#include <QCoreApplication>
#include <QDir>

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

}  // namespace apppaths
