// The simulator's logical devices: ostrel-sim device, the driver's switching
// between registers, and what the program reads of them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "device/untDriver.h"
#include "support/ldfixture.h"

using ldtest::SimConfigFixture;

namespace {

class SimDevices : public SimConfigFixture {
 protected:
  QJsonObject List() {
    QString out;
    EXPECT_EQ(Tool({QStringLiteral("device"), QStringLiteral("list"), QStringLiteral("--json")}, &out), 0) << out.toStdString();
    return QJsonDocument::fromJson(out.toUtf8()).object();
  }
  int Device(const QStringList &args, QString *out = nullptr) { return Tool(QStringList{QStringLiteral("device")} + args, out); }
};

TEST_F(SimDevices, FreshSetUpHasOneDeviceOnPortOne) {
  const QJsonObject o = List();
  EXPECT_FALSE(o.value(QStringLiteral("configured")).toBool());
  const QJsonArray devices = o.value(QStringLiteral("devices")).toArray();
  ASSERT_EQ(devices.size(), 1);
  EXPECT_EQ(devices[0].toObject().value(QStringLiteral("com")).toInt(), 1);
  EXPECT_FALSE(QFileInfo::exists(UserXml()));
}

TEST_F(SimDevices, AddSetStorageAndRemoveAsTheProgramReadsThem) {
  QString out;
  ASSERT_EQ(Device({QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Касса 2")}, &out), 0) << out.toStdString();
  EXPECT_TRUE(QFileInfo::exists(store->StatePath(2))) << "the new device's register";
  // The parameters file as the driver writes it.
  QFile xml(UserXml());
  ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
  EXPECT_TRUE(xml.readAll().startsWith("<?xml version=\"1.0\" encoding=\"windows-1251\"?>"));
  EXPECT_EQ(LoadStorageType(), 1);
  CurrentLDIndex = 0;
  EXPECT_EQ(ReadLDName(), QStringLiteral("ККТ 1"));
  CurrentLDIndex = 1;
  EXPECT_EQ(ReadLDName(), QStringLiteral("Касса 2"));
  EXPECT_EQ(LDComSettingsText(), QStringLiteral("COM:2 115200 бит/с"));

  ASSERT_EQ(Device({QStringLiteral("set"), QStringLiteral("2"), QStringLiteral("type"), QStringLiteral("6")}), 0);
  ASSERT_EQ(Device({QStringLiteral("set"), QStringLiteral("2"), QStringLiteral("ip"), QStringLiteral("10.1.1.1")}), 0);
  EXPECT_EQ(ReadLDConnectionType(), 6);
  EXPECT_EQ(LDTcpSettingsText(), QStringLiteral("10.1.1.1:7778"));

  // Machine-wide storage: the file says so and the entries are written there.
  ASSERT_EQ(Device({QStringLiteral("storage"), QStringLiteral("0")}), 0);
  EXPECT_EQ(LoadStorageType(), 0);
  ResetStorageTypeForTests();
  EXPECT_EQ(ReadLDName(), QStringLiteral("Касса 2"));
  EXPECT_TRUE(QFileInfo::exists(commonRoot + QStringLiteral("/Korvalis/Ostrel.conf")));

  ASSERT_EQ(Device({QStringLiteral("remove"), QStringLiteral("1")}), 0);
  const QJsonArray devices = List().value(QStringLiteral("devices")).toArray();
  ASSERT_EQ(devices.size(), 1);
  EXPECT_EQ(devices[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Касса 2"));
  CurrentLDIndex = 0;
  EXPECT_EQ(ReadLDName(), QStringLiteral("Касса 2"));
  CurrentLDIndex = 1;
  EXPECT_EQ(ReadLDName(), QString());
}

TEST_F(SimDevices, EachNewRegisterHasItsOwnSerialNumber) {
  // The program keeps one snapshot folder per serial number: two registers
  // sharing one would overwrite each other's settings.
  for (int port = 2; port <= 9; ++port) QFile::remove(store->StatePath(port));
  MakeRegister(4, "0000440150");  // the number port 3 would get
  const std::string first = store->Read(1).serial();
  auto Carrying = [](const std::vector<osim::Table> &tables, const std::string &serial) {
    int n = 0;
    for (const auto &t : tables)
      for (const auto &cell : t.cells) n += cell.s == serial;
    return n;
  };
  const struct {
    QStringList args;
    int port;
    const char *serial;
  } cases[] = {
      {{QStringLiteral("add")}, 2, "0000430150"},
      {{QStringLiteral("add")}, 3, "0000450150"},
      {{QStringLiteral("add"), QStringLiteral("--com"), QStringLiteral("4")}, 4, "0000440150"},  // kept
      {{QStringLiteral("add"), QStringLiteral("--com"), QStringLiteral("9")}, 9, "0000500150"},
  };
  for (const auto &c : cases) {
    QString out;
    ASSERT_EQ(Device(c.args, &out), 0) << out.toStdString();
    const osim::Register r = store->Read(c.port);
    EXPECT_EQ(r.serial(), c.serial) << c.port;
    // The tables that carry the serial number agree with it.
    EXPECT_EQ(Carrying(r.tables, c.serial), Carrying(osim::DefaultTables(osim::kDefaultSerial), osim::kDefaultSerial))
        << c.port;
    EXPECT_TRUE(out.contains(QString::fromLatin1(c.serial))) << out.toStdString();
  }
  // A device moved to a port with no register gets a new one there, as well.
  ASSERT_EQ(Device({QStringLiteral("set"), QStringLiteral("2"), QStringLiteral("com"), QStringLiteral("5")}), 0);
  EXPECT_EQ(store->Read(5).serial(), "0000460150");
  EXPECT_EQ(store->Read(1).serial(), first);
}

TEST_F(SimDevices, RefusesWhatIsNotThere) {
  struct {
    QStringList args;
  } cases[] = {
      {{QStringLiteral("remove"), QStringLiteral("2")}},
      {{QStringLiteral("set"), QStringLiteral("1"), QStringLiteral("type"), QStringLiteral("7")}},
      {{QStringLiteral("set"), QStringLiteral("1"), QStringLiteral("colour"), QStringLiteral("red")}},
      {{QStringLiteral("add"), QStringLiteral("--baud"), QStringLiteral("9")}},
      {{QStringLiteral("storage"), QStringLiteral("2")}},
      {{QStringLiteral("rename")}},
  };
  for (const auto &c : cases) {
    QString out;
    EXPECT_EQ(Device(c.args, &out), 2) << c.args.join(QLatin1Char(' ')).toStdString() << ": " << out.toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(UserXml())) << "nothing was written";
}

TEST_F(SimDevices, ActivationSwitchesTheRegister) {
  MakeRegister(1, "0000100150");
  MakeRegister(2, "0000200150");
  osim::LogicalDevices::Save({osim::DefaultLogicalDevice(1), osim::DefaultLogicalDevice(2)});
  TDriver *drv = Driver();
  ASSERT_EQ(drv->GetCountLD(), 0);
  EXPECT_EQ(drv->LDCount(), 2);
  auto serial = [&] {
    EXPECT_EQ(drv->GetECRStatus(), 0);
    return drv->SerialNumber();
  };
  drv->setLDNumber(2);
  ASSERT_EQ(drv->SetActiveLD(), 0);
  EXPECT_EQ(serial(), QStringLiteral("0000200150"));
  drv->setLDNumber(3);
  EXPECT_EQ(drv->SetActiveLD(), osim::kBadLogicalDevice);
  EXPECT_EQ(serial(), QStringLiteral("0000200150")) << "a refused activation changes nothing";
  drv->setLDNumber(1);
  ASSERT_EQ(drv->SetActiveLD(), 0);
  EXPECT_EQ(serial(), QStringLiteral("0000100150"));
}

}  // namespace
