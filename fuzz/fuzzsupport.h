#pragma once
// What every fuzz target shares: message boxes answered silently (the readers
// show one for every value they cannot read), and a private scratch folder
// for the targets whose parser takes a file.
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/msgbox.h"

namespace fuzz {

class SilentBoxes : public msgbox::Answerer {
 public:
  bool answer(const msgbox::Box &) override { return false; }
};

// Installs the silent answerer once; returns the scratch folder (with a
// trailing separator), made once per process and removed at its end.
inline const QString &Scratch() {
  static SilentBoxes boxes;
  static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tavelin-fuzz-XXXXXX"));
  static const QString path = [] {
    msgbox::SetAnswerer(&boxes);
    if (!dir.isValid()) std::abort();
    return dir.path() + QLatin1Char('/');
  }();
  return path;
}

// The targets whose parser needs an application object (no windows).
inline void CoreApp() {
  static int argc = 1;
  static char name[] = "fuzz";
  static char *argv[] = {name, nullptr};
  static QCoreApplication *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

inline QByteArray Bytes(const std::uint8_t *data, std::size_t size) {
  return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// Writes bytes to path, replacing it; aborts when the scratch folder fails,
// since every later input would then test nothing.
inline void WriteFile(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) std::abort();
}

inline QByteArray ReadFile(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

}  // namespace fuzz
