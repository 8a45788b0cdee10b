#include "sim/model/ldlist.h"

#include <QFileInfo>
#include <QSet>
#include <QSaveFile>
#include <algorithm>

#include "common/codepage.h"
#include "common/registry.h"
#include "device/XmlDriverParams.h"
#include "sim/model/store.h"

namespace osim {

namespace {

const char kDevicesKey[] = "Software\\Korvalis\\Ostrel\\Logical Devices";

RegistryRoot RootFor(int storageType) {
  return storageType == 0 ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser;
}

QString Q(const std::string &s) { return QString::fromStdString(s); }

int IntOr(TRegistry &reg, const QString &n, int fallback) {
  if (!reg.ValueExists(n)) return fallback;
  try {
    return reg.ReadInteger(n);
  } catch (const std::exception &) {
    return -1;
  }
}

std::string StrOr(TRegistry &reg, const QString &n, const std::string &fallback) {
  return reg.ValueExists(n) ? reg.ReadString(n).toStdString() : fallback;
}

}  // namespace

std::string ConnectionTypeName(int type) {
  static const char *const names[] = {"Локально",       "Сервер ККМ (TCP)", "Сервер ККМ (DCOM)",          "ESCAPE",
                                      "Не используется", "Эмулятор",         "Подключение через TCP-сокет"};
  return type >= 0 && type <= 6 ? names[type] : "тип " + std::to_string(type);
}

std::string BaudRateName(int index) {
  static const char *const names[] = {"2400", "4800", "9600", "19200", "38400", "57600", "115200"};
  return index >= 0 && index <= 6 ? std::string(names[index]) + " бит/с" : "ошибка";
}

LogicalDevice DefaultLogicalDevice(int port) {
  LogicalDevice d;
  d.name = "ККТ " + std::to_string(port);
  d.comNumber = port;
  return d;
}

QString LogicalDevices::ParamsFile() { return DriverParamsFileName(); }

bool LogicalDevices::Configured() { return QFileInfo::exists(ParamsFile()); }

int LogicalDevices::StorageType() { return LoadStorageType(); }

std::vector<LogicalDevice> LogicalDevices::Load() {
  if (!Configured()) return {DefaultLogicalDevice(1)};
  std::vector<LogicalDevice> out;
  TRegistry reg(RootFor(StorageType()));
  // The store is read once: the devices' key, then every value under it.
  if (!reg.OpenKeyReadOnly(QLatin1String(kDevicesKey))) return out;
  const QStringList keys = reg.GetKeyNames();
  const QSet<QString> present(keys.cbegin(), keys.cend());
  // Indexes run from 0 without gaps: device number n is key n - 1.
  for (int i = 0;; ++i) {
    const QString key = QString::number(i);
    if (!present.contains(key)) break;
    auto v = [&key](const char *name) { return key + QLatin1Char('/') + QLatin1String(name); };
    LogicalDevice d;
    d.name = StrOr(reg, v("Name"), "");
    d.connectionType = IntOr(reg, v("ConnectionType"), -1);
    d.comNumber = IntOr(reg, v("ComNumber"), -1);
    d.baudrate = IntOr(reg, v("Baudrate"), -1);
    d.useIPAddress = IntOr(reg, v("UseIPAddress"), -1);
    d.ipAddress = StrOr(reg, v("IPAddress"), "");
    d.computerName = StrOr(reg, v("ComputerName"), "");
    d.tcpPort = IntOr(reg, v("TCPPort"), -1);
    out.push_back(std::move(d));
  }
  return out;
}

void LogicalDevices::Save(const std::vector<LogicalDevice> &devices, std::optional<int> storageType) {
  const int type = storageType.value_or(Configured() ? StorageType() : 1);
  const QString file = ParamsFile();
  if (!Configured() || storageType) {
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n";
    xml += codepage::FromUnicode(QStringLiteral("<!-- Параметры драйвера ККТ (симулятор) -->\r\n"));
    xml += "<Root>\r\n  <StorageType>" + QByteArray::number(type) + "</StorageType>\r\n</Root>\r\n";
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size() || !f.commit())
      throw StateError("не удалось записать " + file.toStdString() + ": " + f.errorString().toStdString());
  }
  TRegistry reg(RootFor(type));
  reg.DeleteKey(QLatin1String(kDevicesKey));
  try {
    for (size_t i = 0; i < devices.size(); ++i) {
      const LogicalDevice &d = devices[i];
      if (!reg.OpenKey(LDKeyName(static_cast<int>(i)), true))
        throw StateError("не удалось записать логическое устройство в " +
                         reg.FileNameOf(LDKeyName(static_cast<int>(i))).toStdString());
      reg.WriteString(QStringLiteral("Name"), Q(d.name));
      reg.WriteInteger(QStringLiteral("ConnectionType"), d.connectionType);
      reg.WriteInteger(QStringLiteral("ComNumber"), d.comNumber);
      reg.WriteInteger(QStringLiteral("Baudrate"), d.baudrate);
      reg.WriteInteger(QStringLiteral("UseIPAddress"), d.useIPAddress);
      reg.WriteString(QStringLiteral("IPAddress"), Q(d.ipAddress));
      reg.WriteString(QStringLiteral("ComputerName"), Q(d.computerName));
      reg.WriteInteger(QStringLiteral("TCPPort"), d.tcpPort);
      reg.CloseKey();
    }
  } catch (const RegistryError &e) {
    throw StateError(e.what());
  }
}

std::optional<int> LogicalDevices::PortOf(int number) {
  const auto list = Load();
  if (number < 1 || number > static_cast<int>(list.size())) return std::nullopt;
  const int port = list[static_cast<size_t>(number - 1)].comNumber;
  if (port < 1) return std::nullopt;
  return port;
}

ojson ToJson(const LogicalDevice &d) {
  return ojson{{"name", d.name},
               {"type", d.connectionType},
               {"typeName", ConnectionTypeName(d.connectionType)},
               {"com", d.comNumber},
               {"baud", d.baudrate},
               {"useIP", d.useIPAddress},
               {"ip", d.ipAddress},
               {"host", d.computerName},
               {"tcpPort", d.tcpPort}};
}

std::string Describe(const LogicalDevice &d) {
  if (d.connectionType == 0) return "COM:" + std::to_string(d.comNumber) + " " + BaudRateName(d.baudrate);
  return (d.useIPAddress == 1 ? d.ipAddress : d.computerName) + ":" + std::to_string(d.tcpPort);
}

}  // namespace osim
