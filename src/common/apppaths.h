#pragma once
// The executable's folder, where "url.txt", the driver component and the
// tables snapshots live. Tests point it elsewhere.
#include <QString>
#include <QStringList>

namespace apppaths {

// With a trailing separator.
QString AppDir();
// Empty restores the executable's own folder.
void SetAppDirForTests(const QString &dir);

// One of the program's own files (the driver component): beside the
// executable, else in the program's library folder ../lib/tavelin, found from
// the executable so any install prefix works. When neither holds it, the path
// beside the executable, for the error that follows.
QString ProgramFile(const QString &name);

// True when the executable sits in an installed layout (bin/ beside
// lib/tavelin/): its folder then belongs to the package manager, even where
// the operator (root) could write to it.
bool Installed();

// The folders a configuration file is looked for in after the executable's
// own: the per-user one, then the system ones (XDG_CONFIG_HOME, XDG_CONFIG_DIRS),
// each with "Korvalis/Tavelin/" appended and a trailing separator.
QStringList ConfigDirs();

// name beside the executable, else in the first of ConfigDirs() that holds
// it; empty when none does. An installed program's folder is not the
// operator's to edit, so its settings may live in the configuration folders.
QString FindConfigFile(const QString &name);

// The program's own state folder, $XDG_STATE_HOME/Korvalis/Tavelin/ (the
// state home defaults to ~/.local/state), with a trailing separator: the log
// and whatever else the program keeps between runs live there. Missing
// folders are made for their owner only (0700), and the program's own two
// are narrowed to that when they are wider. Empty when it cannot be made;
// *error then says why.
QString StateDir(QString *error = nullptr);

}  // namespace apppaths
