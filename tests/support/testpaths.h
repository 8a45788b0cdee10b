#pragma once
// Where the test finds the built programs and the source tree.
#include <QString>
#include <QByteArray>

namespace testpaths {

// The folder of the built programs (bin/), beside which the component and tools lie.
inline QString BinDir() { return QString::fromLocal8Bit(qgetenv("TAVELIN_TEST_BIN")); }
inline QString SourceDir() { return QString::fromLocal8Bit(qgetenv("TAVELIN_SOURCE_DIR")); }
inline QString Bin(const QString &name) { return BinDir() + QLatin1Char('/') + name; }

}  // namespace testpaths
