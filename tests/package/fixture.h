#pragma once
// Temporary folders and whole-file helpers for the package tests.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace pkgtest {

inline QByteArray ReadAll(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QByteArray("<missing>");
  return f.readAll();
}

inline void WriteAll(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  ASSERT_EQ(f.write(data), data.size());
}

// Bytes that differ from one position to the next and from zero.
inline QByteArray Pattern(qsizetype n, int seed = 3) {
  QByteArray b(n, Qt::Uninitialized);
  for (qsizetype i = 0; i < n; ++i) b[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return b;
}

class TempFolder : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  QString path(const QString &name) const { return dir_.filePath(name); }
};

}  // namespace pkgtest
