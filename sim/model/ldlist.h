#pragma once
// The driver's logical devices: named connection settings, each bound to one
// simulated register (the register on its serial port). The list lives where
// the driver's "Ostrel.xml" says (machine-wide or per user); a set-up without
// that file has one device on port 1.
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "sim/model/register.h"

namespace osim {

struct LogicalDevice {
  std::string name;
  int connectionType = 0;  // 0 local (serial line) ... 6 TCP socket
  int comNumber = 1;       // serial port: also the simulated register it reaches
  int baudrate = 6;        // speed index, 6 = 115200
  int useIPAddress = 1;
  std::string ipAddress = "127.0.0.1";
  std::string computerName = "localhost";
  int tcpPort = 7778;
};

// Connection types 0 to 6 by name, as the driver's own dialog shows them.
std::string ConnectionTypeName(int type);
std::string BaudRateName(int index);

LogicalDevice DefaultLogicalDevice(int port);

class LogicalDevices {
 public:
  // Whether the driver has its parameters file: until then the one device on port 1.
  static bool Configured();
  // The storage type of the parameters file: 0 machine-wide, otherwise per user.
  static int StorageType();
  static QString ParamsFile();
  static std::vector<LogicalDevice> Load();
  // Writes the parameters file (keeping its storage type unless one is given)
  // and the entries. Throws StateError when either cannot be written.
  static void Save(const std::vector<LogicalDevice> &devices, std::optional<int> storageType = {});
  // The register port of logical device number n (from 1); empty when there
  // is no such device or it names no port.
  static std::optional<int> PortOf(int number);
};

ojson ToJson(const LogicalDevice &d);
// "COM:1 115200 бит/с" or "host:port", by type.
std::string Describe(const LogicalDevice &d);

}  // namespace osim
