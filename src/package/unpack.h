#pragma once
// Unpacking the package archive (stored or deflated members).
#include <QString>

// Extracts every member of the ZIP archive zipPath into targetFolder (made when
// missing), keeping the stored paths. Member names are all checked before
// anything is written: an absolute name, a ".." step, a name that would land
// outside the folder or a symbolic-link member fails the whole unpack, and so
// does a ZIP bomb: a member declared to inflate more than 1000 times its stored
// size, or members declared to inflate past 1 GiB in all. A member that
// inflates past its declared size, or fails its CRC, is removed and fails it.
// Raises Exception naming the archive and, where it applies, the member.
void UnpackPackage(const QString &zipPath, const QString &targetFolder);
