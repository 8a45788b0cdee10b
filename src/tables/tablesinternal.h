#pragma once
// What the tables units share among themselves: the snapshot's JSON flavour,
// text conversions and the checks on the snapshot's file and folders.
#include <QByteArray>
#include <QString>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>

struct TSnapshot;

namespace tablesdetail {

using ojson = nlohmann::ordered_json;

inline constexpr char kSnapshotName[] = "tables.json";

inline std::string U8(const QString &s) { return s.toStdString(); }
inline QString Q(const std::string &s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The snapshot file's bytes as text (the 8-bit code page; a BOM is refused).
QString SnapshotText(const QByteArray &bytes, const QString &path);
// Parses and checks the snapshot's text; throws naming what is wrong.
TSnapshot ParseSnapshotText(const QString &unicode, const QString &path);
// The same for text already in UTF-8.
TSnapshot ParseSnapshotUtf8(const QByteArray &text, const QString &path);

// The system's text for an error number.
QString SysError(int err);
// The snapshot's folder and the folders it lies in, up to "ecrdata", must be
// plain folders; throws naming the one that is not.
void CheckPlainFolders(const QString &file);
// 0 when nothing is at path; its mode when a regular file is; anything else
// is refused by name.
mode_t CheckRegularOrMissing(const QString &path);
// How many cells the snapshot file at the path holds; -1 when it is none.
qsizetype CellsInFile(const QString &path);

}  // namespace tablesdetail
