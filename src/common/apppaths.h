#pragma once
// The executable's folder, where "url.txt", the driver component and the
// tables snapshots live. Tests point it elsewhere.
#include <QString>

namespace apppaths {

// With a trailing separator.
QString AppDir();
// Empty restores the executable's own folder.
void SetAppDirForTests(const QString &dir);

}  // namespace apppaths
