// The driver's parameters file "Ostrel.xml": its bytes as the program reads
// the storage type from them. A file that does not read is an Exception (the
// storage type then falls back to 1); nothing else may go wrong, and no
// entity may reach outside the file.
#include <QFile>

#include "common/error.h"
#include "device/XmlDriverParams.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const QString file = [] {
    const QString &dir = fuzz::Scratch();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + QStringLiteral("user")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(dir + QStringLiteral("system")));
    return DriverParamsFileName();
  }();
  fuzz::WriteFile(file, fuzz::Bytes(data, size));
  TXmlDriverParams params;
  try {
    params.Load();
  } catch (const Exception &) {
  }
  const int t = LoadStorageType();
  (void)t;
  return 0;
}
