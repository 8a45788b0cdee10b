// The simulated register against the driver's contract: what is set before a
// method, the method's result, and what the caller relies on after it.
#include "sim/model/register.h"
#include "simfixture.h"

namespace {

struct ContractCase {
  const char *name;
  std::function<void(TOstrel &)> before;
  const char *method;
  int result;
  std::function<void(TOstrel &)> after;
};

void Cell(TOstrel &d, int t, int r, int f) {
  d.setTableNumber(t);
  d.setRowNumber(r);
  d.setFieldNumber(f);
}

double Day(const char *iso) { return *osim::DayNumber(iso); }

const ContractCase kCases[] = {
    {"count of logical devices", nullptr, "GetCountLD", 0, [](TOstrel &d) { EXPECT_EQ(d.LDCount(), 1); }},
    {"activate device 1", [](TOstrel &d) { d.setLDNumber(1); }, "SetActiveLD", 0, nullptr},
    {"activate a device that is not there", [](TOstrel &d) { d.setLDNumber(2); }, "SetActiveLD", osim::kBadLogicalDevice, nullptr},
    {"status and identity", nullptr, "GetECRStatus", 0,
     [](TOstrel &d) {
       EXPECT_EQ(d.ECRMode(), 4);
       EXPECT_EQ(d.ECRModeDescription(), QStringLiteral("Закрытая смена"));
       EXPECT_EQ(d.ECRSoftVersion(), QStringLiteral("A.4"));
       EXPECT_EQ(d.ECRBuild(), 1234);
       EXPECT_EQ(d.ECRSoftDate(), Day("2021-03-15"));
       EXPECT_EQ(d.SerialNumber(), QStringLiteral("0000420150"));
     }},
    {"boot-loader version as decimal text", nullptr, "ReadLoaderVersion", 0,
     [](TOstrel &d) { EXPECT_EQ(d.LoaderVersion(), QStringLiteral("155")); }},
    {"serial number", nullptr, "ReadSerialNumber", 0, [](TOstrel &d) { EXPECT_EQ(d.SerialNumber(), QStringLiteral("0000420150")); }},
    {"first table", [](TOstrel &d) { d.setTableNumber(1); }, "GetTableStruct", 0,
     [](TOstrel &d) {
       EXPECT_EQ(d.TableName(), QStringLiteral("Режим работы ККТ"));
       EXPECT_EQ(d.RowNumber(), 1);
       EXPECT_EQ(d.FieldNumber(), 40);
     }},
    {"last table", [](TOstrel &d) { d.setTableNumber(20); }, "GetTableStruct", 0,
     [](TOstrel &d) { EXPECT_GE(d.FieldNumber(), 10); }},
    {"past the last table", [](TOstrel &d) { d.setTableNumber(21); }, "GetTableStruct", osim::kBadTable, nullptr},
    {"table 0", [](TOstrel &d) { d.setTableNumber(0); }, "GetTableStruct", osim::kBadTable, nullptr},
    {"text cell without a password", [](TOstrel &d) { Cell(d, 18, 1, 1); }, "ReadTable", 0,
     [](TOstrel &d) {
       EXPECT_TRUE(d.FieldType());
       EXPECT_EQ(d.FieldName(), QStringLiteral("Заводской номер ККТ"));
       EXPECT_EQ(d.FieldSize(), 20);
       EXPECT_EQ(d.ValueOfFieldString(), QStringLiteral("0000420150"));
     }},
    {"integer cell with the administrator's password",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 10, 1, 3); }, "ReadTable", 0,
     [](TOstrel &d) {
       EXPECT_FALSE(d.FieldType());
       EXPECT_EQ(d.MINValueOfField(), 0);
       EXPECT_EQ(d.MAXValueOfField(), 99999999);
       EXPECT_EQ(d.ValueOfFieldInteger(), 2027);
       EXPECT_EQ(d.ValueOfFieldString(), QStringLiteral("2027"));
     }},
    {"Cyrillic text cell", [](TOstrel &d) { Cell(d, 2, 30, 2); }, "ReadTable", 0,
     [](TOstrel &d) { EXPECT_EQ(d.ValueOfFieldString(), QStringLiteral("Системный администратор")); }},
    {"read with an unknown password", [](TOstrel &d) { d.setPassword(4321); Cell(d, 1, 1, 1); }, "ReadTable", osim::kBadPassword, nullptr},
    {"read past the last row", [](TOstrel &d) { Cell(d, 1, 2, 1); }, "ReadTable", osim::kBadRow, nullptr},
    {"read past the last field", [](TOstrel &d) { Cell(d, 1, 1, 41); }, "ReadTable", osim::kBadField, nullptr},
    {"read table 0", [](TOstrel &d) { Cell(d, 0, 1, 1); }, "ReadTable", osim::kBadTable, nullptr},
    {"write without a password", [](TOstrel &d) { Cell(d, 10, 1, 3); d.setValueOfFieldInteger(5); }, "WriteTable", osim::kBadPassword, nullptr},
    {"write with a cashier's password",
     [](TOstrel &d) { d.setPassword(1); Cell(d, 10, 1, 3); d.setValueOfFieldInteger(5); }, "WriteTable", osim::kBadPassword, nullptr},
    {"write an integer in range",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 10, 1, 3); d.setValueOfFieldInteger(99999999); }, "WriteTable", 0,
     [](TOstrel &d) { ASSERT_EQ(d.ReadTable(), 0); EXPECT_EQ(d.ValueOfFieldInteger(), 99999999); }},
    {"write an integer above the maximum",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 10, 1, 3); d.setValueOfFieldInteger(100000000); }, "WriteTable", osim::kOutOfRange, nullptr},
    {"write an integer below the minimum",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 3, 1, 1); d.setValueOfFieldInteger(0); }, "WriteTable", osim::kOutOfRange, nullptr},
    {"write Cyrillic text up to the field's size",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 7, 2, 1); d.setValueOfFieldString(QString(32, QChar(0x0416))); }, "WriteTable", 0,
     [](TOstrel &d) { ASSERT_EQ(d.ReadTable(), 0); EXPECT_EQ(d.ValueOfFieldString(), QString(32, QChar(0x0416))); }},
    {"write text longer than the field",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 7, 2, 1); d.setValueOfFieldString(QString(33, QLatin1Char('x'))); }, "WriteTable", osim::kTooLong, nullptr},
    {"write text the 8-bit code page cannot hold",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 7, 3, 1); d.setValueOfFieldString(QStringLiteral("Отдел ☃")); }, "WriteTable", 0,
     [](TOstrel &d) { ASSERT_EQ(d.ReadTable(), 0); EXPECT_EQ(d.ValueOfFieldString(), QStringLiteral("Отдел ?")); }},
    {"write the serial number",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 18, 1, 1); d.setValueOfFieldString(QStringLiteral("1")); }, "WriteTable", osim::kReadOnly, nullptr},
    {"write past the last row",
     [](TOstrel &d) { d.setPassword(kSysAdminPassword); Cell(d, 7, 17, 1); d.setValueOfFieldString(QStringLiteral("x")); }, "WriteTable", osim::kBadRow, nullptr},
    {"DFU mode takes the register off the link", nullptr, "SetDFUMode", 0,
     [](TOstrel &d) {
       EXPECT_EQ(d.GetECRStatus(), osim::kNoLink);
       EXPECT_EQ(d.ResultCode(), osim::kNoLink);
       EXPECT_EQ(d.ResultCodeDescription(), QStringLiteral("Нет связи с ККТ"));
       EXPECT_EQ(d.GetCountLD(), 0);  // the driver itself still answers
     }},
    {"XModem needs method 1", [](TOstrel &d) { d.setUpdateFirmwareMethod(2); d.setFileName(QStringLiteral("/etc/hostname")); }, "UpdateFirmware", osim::kUnsupportedMethod, nullptr},
    {"XModem needs a file", [](TOstrel &d) { d.setUpdateFirmwareMethod(1); d.setFileName(QStringLiteral("/nonexistent/fw.bin")); }, "UpdateFirmware", osim::kNoFile, nullptr},
    {"reset settings", nullptr, "ResetSettings", 0, nullptr},
    {"set the date", [](TOstrel &d) { d.setDate(Day("2026-12-10")); }, "SetDate", 0,
     [](TOstrel &d) { EXPECT_EQ(d.ConfirmDate(), 0); }},
    {"confirm a date never set", [](TOstrel &d) { d.setDate(Day("2026-12-10")); }, "ConfirmDate", osim::kDateNotConfirmed, nullptr},
    {"confirm another date than the one set",
     [](TOstrel &d) { d.setDate(Day("2026-12-10")); ASSERT_EQ(d.SetDate(), 0); d.setDate(Day("2026-12-11")); }, "ConfirmDate", osim::kDateNotConfirmed, nullptr},
    {"set the time", [](TOstrel &d) { d.setTime(0.75); }, "SetTime", 0, nullptr},
};

// Keeps the test names stable for ctest.
void PrintTo(const ContractCase &c, std::ostream *os) { *os << c.name; }

class Contract : public SimTest, public ::testing::WithParamInterface<ContractCase> {};

}  // namespace

TEST_P(Contract, Case) {
  const ContractCase &c = GetParam();
  if (c.before) c.before(drv());
  EXPECT_EQ(drv().Invoke(c.method), c.result) << c.name;
  EXPECT_EQ(drv().ResultCode(), c.result);
  EXPECT_FALSE(drv().ResultCodeDescription().isEmpty());
  if (c.after) c.after(drv());
}

INSTANTIATE_TEST_SUITE_P(Register, Contract, ::testing::ValuesIn(kCases), [](const auto &info) {
  std::string n;
  for (const char *p = info.param.name; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

TEST_F(SimTest, DefaultRegisterHasTheAgreedShape) {
  const osim::Register r = reg();
  ASSERT_EQ(r.tables.size(), 20u);
  size_t cells = 0;
  for (const auto &t : r.tables) cells += t.cells.size();
  EXPECT_GE(cells, 2000u);
  EXPECT_LE(cells, 4000u);
  EXPECT_EQ(r.model(), "0150");
  // Every table can be walked the way the tables save does it.
  for (int t = 1;; ++t) {
    drv().setTableNumber(t);
    const int rc = drv().GetTableStruct();
    if (rc == osim::kBadTable) break;
    ASSERT_EQ(rc, 0);
    const int rows = drv().RowNumber(), fields = drv().FieldNumber();
    drv().setRowNumber(rows);
    drv().setFieldNumber(fields);
    EXPECT_EQ(drv().ReadTable(), 0) << t;
  }
}

TEST_F(SimTest, StateSurvivesTheFileWithEverythingSet) {
  osim::Register r = osim::DefaultRegister(1);
  r.setSerial("0000420199");
  r.tables[6].at(2, 1).s = "Кавычки \" и \\ и\nперевод строки";
  r.tables[9].at(300, 4).i = 9999999;
  r.faults.methods = {{"ReadTable", 170, 3}};
  r.faults.cells = {{10, 1, 2, false, true, 166}};
  r.faults.download = "сбой";
  r.faults.loaderText = "x";
  r.pendingDate = 46000;
  r.xmodem.running = true;
  r.xmodem.image = Firmware();
  r.journalOn = true;
  store().Write(1, r);
  const osim::Register back = osim::Store(dir_.path()).Read(1);
  EXPECT_EQ(back.ToText(), r.ToText());
  EXPECT_EQ(back.tables[6].at(2, 1).s, r.tables[6].at(2, 1).s);
  EXPECT_EQ(back.serial(), "0000420199");
}

TEST_F(SimTest, StateFileChangedByAnotherWriterIsSeenOnTheNextCall) {
  ASSERT_EQ(drv().GetECRStatus(), 0);
  osim::Store other(dir_.path());
  other.Update(1, [](osim::Register &r) { r.firmware = "B.1"; return true; });
  ASSERT_EQ(drv().GetECRStatus(), 0);
  EXPECT_EQ(drv().ECRSoftVersion(), QStringLiteral("B.1"));
}

TEST_F(SimTest, DamagedStateFileIsReportedNotReplaced) {
  ASSERT_EQ(drv().GetECRStatus(), 0);
  QFile f(store().StatePath(1));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("{\"firmware\":");
  f.close();
  EXPECT_EQ(drv().GetECRStatus(), osim::kNoLink);
  EXPECT_TRUE(drv().ResultCodeDescription().contains(QStringLiteral("повреждён")));
  QFile again(store().StatePath(1));
  ASSERT_TRUE(again.open(QIODevice::ReadOnly));
  EXPECT_EQ(again.readAll(), QByteArray("{\"firmware\":"));  // left for the user to look at
}

TEST_F(SimTest, JournalRecordsEachCallWithThePropertiesSetBeforeIt) {
  Change([](osim::Register &r) { r.journalOn = true; });
  drv().setTableNumber(18);
  drv().setRowNumber(1);
  drv().setFieldNumber(1);
  ASSERT_EQ(drv().ReadTable(), 0);
  drv().setPassword(kSysAdminPassword);
  drv().setValueOfFieldString(QStringLiteral("Ж"));
  drv().WriteTable();
  drv().GetECRStatus();
  const osim::ojson j = store().ReadJournal(1);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[0]["method"], "ReadTable");
  EXPECT_EQ(j[0]["set"].dump(), R"([["TableNumber",18],["RowNumber",1],["FieldNumber",1]])");
  EXPECT_EQ(j[0]["result"], 0);
  EXPECT_EQ(j[1]["set"].dump(), R"([["Password",30],["ValueOfFieldString","Ж"]])");
  EXPECT_EQ(j[1]["result"], osim::kReadOnly);
  EXPECT_EQ(j[2]["set"].dump(), "[]");
}
