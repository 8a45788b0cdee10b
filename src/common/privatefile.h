#pragma once
// The one way this program keeps files of its own that name registers,
// operators or cashiers' passwords: folders for their owner only, files
// 0600, never opened through a link, and written whole or not at all.
#include <QByteArray>
#include <QString>

namespace privatefile {

// Makes dir, and what is missing above it, for its owner only (0700). own:
// the folder is the program's, so a wider mode left on it is narrowed. False
// with the reason in *error when it cannot be made or is no folder.
bool MakeFolder(const QString &dir, bool own = true, QString *error = nullptr);

// dir is a folder (not a link) of this user's that nobody else may write
// to; false with the reason in *error otherwise.
bool IsOwnFolder(const QString &dir, QString *error = nullptr);

// Writes all of the bytes, going on after a signal; false with the system's
// reason in *err (ENOSPC for a write that took nothing).
bool WriteAll(int fd, const char *data, qsizetype size, int *err = nullptr);
inline bool WriteAll(int fd, const QByteArray &bytes, int *err = nullptr) {
  return WriteAll(fd, bytes.constData(), bytes.size(), err);
}

// Opens path to append to it (and to read it): made 0600 when missing, a wider mode narrowed;
// never through a link, and only a regular file. -1 when it cannot be.
int OpenAppend(const QString &path);

// Puts bytes in place of path: written to a new file beside it (made
// exclusively, never through a link), flushed to disk and renamed over it,
// so a crash or a full disk at any moment leaves the old file or the new
// one, whole. backup non-empty: the file replaced stays under that name
// (taken only once the new one is written). Returns 0, or the system's reason
// (errno) when path stays as it was.
int Replace(const QString &path, const QByteArray &bytes, const QString &backup = QString());

// Opens path for reading: only a regular file, and a pipe or device put in
// its place never blocks the open. follow false: never through a link.
// Returns the descriptor (the caller closes it), or -1 with *err set to the
// system's reason, or to 0 when something other than a regular file is there.
int OpenRegular(const QString &path, bool follow = true, int *err = nullptr);

// Reads at most maxBytes from the beginning of path: only a regular file, and
// a pipe or device put in its place never blocks. follow false: never through
// a link. Returns false with the reason in *error (in Russian, naming the
// file); a missing file sets *missing when given.
bool ReadRegular(const QString &path, qsizetype maxBytes, QByteArray *out, QString *error = nullptr,
                 bool follow = true, bool *missing = nullptr);

// A register's serial number as one folder name that leads nowhere else and
// tells every number apart: letters, digits, "-" and "_" stay; every other
// character (a space, a slash, a dot, "%") becomes "%XX" for each of its
// UTF-8 bytes. Empty for an empty name.
QString FolderName(const QString &name);

}  // namespace privatefile
