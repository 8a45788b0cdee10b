// Where the driver's parameters file and logical devices are read from, and
// how a device is described.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <cctype>
#include <functional>
#include <optional>

#include "common/codepage.h"
#include "common/registry.h"
#include "device/XmlDriverParams.h"
#include "support/ldfixture.h"

using ldtest::ConfigFixture;
using ldtest::Values;

namespace {

QByteArray Xml(const QByteArray &body) {
  // As the driver writes it: windows-1251, with text in that code page.
  return "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n" +
         codepage::FromUnicode(QStringLiteral("<!-- Параметры драйвера -->\r\n")) + body;
}

const Values kUserDevice = {{QStringLiteral("Name"), QStringLiteral("Касса пользователя")},
                            {QStringLiteral("ConnectionType"), 0},
                            {QStringLiteral("ComNumber"), 3},
                            {QStringLiteral("Baudrate"), 6}};
const Values kMachineDevice = {{QStringLiteral("Name"), QStringLiteral("Касса для всех")},
                               {QStringLiteral("ConnectionType"), 6},
                               {QStringLiteral("UseIPAddress"), 1},
                               {QStringLiteral("IPAddress"), QStringLiteral("10.0.0.7")},
                               {QStringLiteral("ComputerName"), QStringLiteral("kassa")},
                               {QStringLiteral("TCPPort"), 7778}};

struct Case {
  const char *what;
  QByteArray commonXml, userXml;  // empty: no file there
  Values user = kUserDevice, machine = kMachineDevice;
  int storage;
  QString name;
  std::optional<int> type;  // empty: reading it raises the registry error
  QString com, tcp;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.what; }

class DriverParams : public ConfigFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(DriverParams, ReadsTheDeviceFromTheStoreTheFileSelects) {
  const Case &c = GetParam();
  if (!c.commonXml.isEmpty()) ldtest::WriteFile(CommonXml(), c.commonXml);
  // An entity naming a file beside the parameters file, holding "0".
  const QString folder = userRoot + QStringLiteral("/Korvalis/Ostrel");
  ldtest::WriteFile(folder + QStringLiteral("/zero.txt"), "0");
  if (!c.userXml.isEmpty()) ldtest::WriteFile(UserXml(), QByteArray(c.userXml).replace("@DIR@", QFile::encodeName(folder)));
  ldtest::WriteDevice(RegistryRoot::CurrentUser, 0, c.user);
  ldtest::WriteDevice(RegistryRoot::LocalMachine, 0, c.machine);

  EXPECT_EQ(LoadStorageType(), c.storage);
  EXPECT_EQ(GetStorageType(), c.storage);
  EXPECT_EQ(ReadLDName(), c.name);
  if (c.type) {
    EXPECT_EQ(ReadLDConnectionType(), *c.type);
    EXPECT_EQ(LDComSettingsText(), c.com);
    EXPECT_EQ(LDTcpSettingsText(), c.tcp);
  } else {
    EXPECT_THROW(ReadLDConnectionType(), RegistryError);
  }
  // Both driver folders exist once a path was computed, file or not.
  EXPECT_TRUE(QFileInfo(commonRoot + QStringLiteral("/Korvalis/Ostrel")).isDir());
  EXPECT_TRUE(QFileInfo(userRoot + QStringLiteral("/Korvalis/Ostrel")).isDir());
}

const QString kUserName = QStringLiteral("Касса пользователя");
const QString kMachineName = QStringLiteral("Касса для всех");
const QString kUserCom = QStringLiteral("COM:3 115200 бит/с");
const QString kMachineTcp = QStringLiteral("10.0.0.7:7778");
const QString kNoCom = QStringLiteral("COM:-1 ошибка");

Values With(Values v, const QString &name, const QVariant &value) {
  for (auto &p : v)
    if (p.first == name) {
      p.second = value;
      return v;
    }
  v.append({name, value});
  return v;
}

Values Without(Values v, const QString &name) {
  v.removeIf([&](const auto &p) { return p.first == name; });
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverParams,
    ::testing::Values(
        Case{"no file in either folder: per user", {}, {}, kUserDevice, kMachineDevice, 1, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"storage type 0: machine-wide", {}, Xml("<Root><StorageType>0</StorageType></Root>"), kUserDevice, kMachineDevice,
             0, kMachineName, 6, kNoCom, kMachineTcp},
        Case{"storage type 2: per user", {}, Xml("<Root>\r\n  <StorageType>2</StorageType>\r\n</Root>"), kUserDevice,
             kMachineDevice, 2, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"storage type abc: per user", {}, Xml("<Root><StorageType>abc</StorageType></Root>"), kUserDevice,
             kMachineDevice, 1, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"the common file before the user's", Xml("<Root><StorageType>0</StorageType></Root>"),
             Xml("<Root><StorageType>1</StorageType></Root>"), kUserDevice, kMachineDevice, 0, kMachineName, 6, kNoCom,
             kMachineTcp},
        Case{"no Root", {}, Xml("<Params><StorageType>0</StorageType></Params>"), kUserDevice, kMachineDevice, 1,
             kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"no StorageType", {}, Xml("<Root><Storage>0</Storage></Root>"), kUserDevice, kMachineDevice, 1, kUserName, 0,
             kUserCom, QStringLiteral(":-1")},
        // A parameters file of megabytes is not read: as an unreadable one.
        Case{"larger than 1 MiB", {}, Xml("<Root><StorageType>0</StorageType></Root>") + QByteArray(1 << 20, ' '),
             kUserDevice, kMachineDevice, 1, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"not XML", {}, "StorageType=0\n", kUserDevice, kMachineDevice, 1, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"an external entity is not fetched", {},
             Xml("<!DOCTYPE Root [<!ENTITY st SYSTEM \"file://@DIR@/zero.txt\">]><Root><StorageType>&st;</StorageType></Root>"),
             kUserDevice, kMachineDevice, 1, kUserName, 0, kUserCom, QStringLiteral(":-1")},
        Case{"no values at all", {}, {}, {{QStringLiteral("Name"), QStringLiteral("Пустое")}}, kMachineDevice, 1,
             QStringLiteral("Пустое"), -1, kNoCom, QStringLiteral(":-1")},
        Case{"Baudrate 7", {}, {}, With(kUserDevice, QStringLiteral("Baudrate"), 7), kMachineDevice, 1, kUserName, 0,
             QStringLiteral("COM:3 ошибка"), QStringLiteral(":-1")},
        Case{"Baudrate 3 on port 5", {}, {}, With(With(kUserDevice, QStringLiteral("Baudrate"), 3), QStringLiteral("ComNumber"), 5),
             kMachineDevice, 1, kUserName, 0, QStringLiteral("COM:5 19200 бит/с"), QStringLiteral(":-1")},
        Case{"UseIPAddress missing: the computer name", {}, Xml("<Root><StorageType>0</StorageType></Root>"), kUserDevice,
             Without(kMachineDevice, QStringLiteral("UseIPAddress")), 0, kMachineName, 6, kNoCom, QStringLiteral("kassa:7778")},
        Case{"UseIPAddress 0: the computer name", {}, Xml("<Root><StorageType>0</StorageType></Root>"), kUserDevice,
             With(kMachineDevice, QStringLiteral("UseIPAddress"), 0), 0, kMachineName, 6, kNoCom, QStringLiteral("kassa:7778")},
        Case{"no TCPPort", {}, Xml("<Root><StorageType>0</StorageType></Root>"), kUserDevice,
             Without(kMachineDevice, QStringLiteral("TCPPort")), 0, kMachineName, 6, kNoCom, QStringLiteral("10.0.0.7:-1")},
        Case{"an integer value holding text", {}, {}, With(kUserDevice, QStringLiteral("ConnectionType"), QStringLiteral("abc")),
             kMachineDevice, 1, kUserName, std::nullopt, {}, {}}),
    [](const auto &info) {
      std::string n;
      for (const char *p = info.param.what; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return n;
    });

TEST_F(ConfigFixture, StorageTypeIsReadOncePerProcess) {
  ldtest::WriteFile(UserXml(), Xml("<Root><StorageType>0</StorageType></Root>"));
  EXPECT_EQ(GetStorageType(), 0);
  ldtest::WriteFile(UserXml(), Xml("<Root><StorageType>1</StorageType></Root>"));
  EXPECT_EQ(GetStorageType(), 0);
  EXPECT_EQ(LoadStorageType(), 1);
}

TEST_F(ConfigFixture, MissingKeyReadsAsEmptyAndMinusOne) {
  ldtest::WriteDevice(RegistryRoot::CurrentUser, 0, kUserDevice);
  CurrentLDIndex = 4;
  EXPECT_EQ(ReadLDName(), QString());
  EXPECT_EQ(ReadLDConnectionType(), -1);
}

TEST(BaudRateText, Table) {
  const char *const want[] = {"2400 бит/с", "4800 бит/с", "9600 бит/с", "19200 бит/с", "38400 бит/с", "57600 бит/с", "115200 бит/с"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(BaudRateText(i), QString::fromUtf8(want[i])) << i;
  EXPECT_EQ(BaudRateText(7), QStringLiteral("ошибка"));
  EXPECT_EQ(BaudRateText(-1), QStringLiteral("ошибка"));
}

}  // namespace
