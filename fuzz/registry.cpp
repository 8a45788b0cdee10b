// The settings store's INI files ("the registry"): the bytes of the driver's
// logical-device list, read as the device dialog reads it: the keys, then
// each device's values. A value of the wrong kind is a RegistryError;
// nothing else may go wrong.
#include <QDir>
#include <QFile>

#include "common/error.h"
#include "common/registry.h"
#include "device/XmlDriverParams.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // A folder of its own for every input: the settings reader keeps files it
  // has read by path and time stamp, and two inputs may share both.
  static int round = 0;
  const QString &scratch = fuzz::Scratch();
  QDir(scratch + QStringLiteral("cfg%1").arg(round)).removeRecursively();
  ++round;
  const QString user = scratch + QStringLiteral("cfg%1").arg(round);
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(user));
  qputenv("XDG_CONFIG_DIRS", QFile::encodeName(scratch + QStringLiteral("nosystem")));
  QDir().mkpath(user + QStringLiteral("/Korvalis"));
  fuzz::WriteFile(user + QStringLiteral("/Korvalis/Ostrel.conf"), fuzz::Bytes(data, size));

  TRegistry reg(RegistryRoot::CurrentUser);
  const QString list = QStringLiteral("Software\\Korvalis\\Ostrel\\Logical Devices");
  QStringList keys;
  if (reg.OpenKeyReadOnly(list)) keys = reg.GetKeyNames();
  reg.CloseKey();
  int n = 0;
  for (const QString &key : keys) {
    if (++n > 16) break;
    if (reg.OpenKeyReadOnly(list + QLatin1Char('\\') + key)) {
      for (const char *name : {"Name", "ConnectionType", "ComNumber", "BaudRate", "IPAddress", "TCPPort"}) {
        const QString value = QString::fromLatin1(name);
        reg.ValueExists(value);
        reg.ReadString(value);
        try {
          reg.ReadInteger(value);
        } catch (const RegistryError &) {
        }
      }
      reg.CloseKey();
    }
    // The program's own readers, by device number.
    bool isNumber = false;
    const int index = key.toInt(&isNumber);
    if (!isNumber) continue;
    CurrentLDIndex = index;
    try {
      ReadLDName();
      ReadLDConnectionType();
      LDComSettingsText();
      LDTcpSettingsText();
    } catch (const RegistryError &) {
    }
  }
  return 0;
}
