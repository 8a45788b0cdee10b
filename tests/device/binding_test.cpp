// The binding to the component and the one driver instance.
#include <QFile>

#include "device/untDriver.h"
#include "simfixture.h"

TEST_F(SimTest, DriverCreationFailsWithTheCauseThenRetriesAndKeepsOneInstance) {
  // Driver() is process-wide, so the whole story lives in one test.
  qputenv("OSTREL_DRIVER", dir_.filePath(QStringLiteral("missing.so")).toLocal8Bit());
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      Driver();
      FAIL() << "a missing component must not give a driver";
    } catch (const OstrelError &e) {
      EXPECT_TRUE(e.message().startsWith(QStringLiteral("Ошибка создания объекта драйвера: "))) << e.message().toStdString();
      EXPECT_TRUE(e.message().contains(QStringLiteral("missing.so"))) << e.message().toStdString();
    }
  }
  qputenv("OSTREL_DRIVER", BinPath(QStringLiteral("libostrel-sim.so")).toLocal8Bit());
  TDriver *first = Driver();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Driver(), first);
  EXPECT_EQ(first->GetECRStatus(), 0);
}

TEST_F(SimTest, ComponentRefusingToStartGivesItsOwnMessage) {
  // A state "folder" that is a file: the component cannot keep its register.
  const QString file = dir_.filePath(QStringLiteral("not-a-folder"));
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  qputenv("OSTREL_SIM_DIR", file.toLocal8Bit());
  try {
    TOstrel drv;
    FAIL();
  } catch (const OstrelError &e) {
    EXPECT_TRUE(e.message().contains(QStringLiteral("Симулятор ККТ не запустился"))) << e.message().toStdString();
  }
}

TEST_F(SimTest, LibraryWithoutEntryPointIsRefused) {
  // Any shared library that is not a component.
  qputenv("OSTREL_DRIVER", "libz.so.1");
  EXPECT_THROW(TOstrel drv, OstrelError);
}

TEST_F(SimTest, UnknownMemberRaisesNamingTheMember) {
  const struct {
    std::function<void(TOstrel &)> call;
    const char *name;
  } cases[] = {
      {[](TOstrel &d) { d.Invoke("PrintReceipt"); }, "PrintReceipt"},
      {[](TOstrel &d) { d.GetInt("NoSuchProperty"); }, "NoSuchProperty"},
      {[](TOstrel &d) { d.SetInt("ResultCode", 1); }, "ResultCode"},  // read-only
      {[](TOstrel &d) { d.GetStr("ECRBuild"); }, "ECRBuild"},         // another type
  };
  for (const auto &c : cases) {
    try {
      c.call(drv());
      ADD_FAILURE() << c.name;
    } catch (const OstrelError &e) {
      EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.name))) << e.message().toStdString();
    }
  }
}

TEST_F(SimTest, TwoInstancesShareOneRegister) {
  TOstrel other;
  drv().setPassword(kSysAdminPassword);
  drv().setTableNumber(7);
  drv().setRowNumber(1);
  drv().setFieldNumber(1);
  drv().setValueOfFieldString(QStringLiteral("Бакалея"));
  ASSERT_EQ(drv().WriteTable(), 0);
  other.setTableNumber(7);
  other.setRowNumber(1);
  other.setFieldNumber(1);
  ASSERT_EQ(other.ReadTable(), 0);
  EXPECT_EQ(other.ValueOfFieldString(), QStringLiteral("Бакалея"));
}

TEST_F(SimTest, ReadECRSerialReadsTable18AndIsEmptyWhenRefused) {
  TDriver d;
  EXPECT_EQ(ReadECRSerial(&d), QStringLiteral("0000420150"));
  Change([](osim::Register &r) { r.faults.cells.push_back({18, 1, 1, true, false, osim::kCellFault}); });
  EXPECT_EQ(ReadECRSerial(&d), QString());
  EXPECT_EQ(d.ResultCode(), osim::kCellFault);
}
