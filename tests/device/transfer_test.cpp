// Transfers: the DFU cycle through the stand-in as a child process, XModem in
// the background, and the register restarting into the image.
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "simfixture.h"

namespace {

bool SaysDone(const RunResult &r) { return (r.out + r.err).toUpper().contains(QStringLiteral("DONE")); }

}  // namespace

TEST_F(SimTest, DfuFirmwareCycleThroughTheStandIn) {
  // A changed setting and the counters that move on a restart.
  drv().setPassword(kSysAdminPassword);
  drv().setTableNumber(7);
  drv().setRowNumber(1);
  drv().setFieldNumber(1);
  drv().setValueOfFieldString(QStringLiteral("Изменено"));
  ASSERT_EQ(drv().WriteTable(), 0);
  const auto before = reg().tables[19];

  const RunResult none = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-l")});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_TRUE(none.out.startsWith(QStringLiteral("dfu-util 0.11\n")));
  EXPECT_FALSE(none.out.contains(QStringLiteral("Found DFU")));

  ASSERT_EQ(drv().SetDFUMode(), 0);
  const RunResult list = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-l")});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_TRUE(list.out.contains(QStringLiteral("Found DFU: [0483:df11] ver=2200, devnum=5, cfg=1, intf=0, path=\"1-1\", alt=0, name=\""))) << list.out.toStdString();
  EXPECT_TRUE(list.out.contains(QStringLiteral("serial=\"0000420150\"")));

  const RunResult dl = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), Image(Firmware())});
  EXPECT_EQ(dl.exitCode, 0) << dl.err.toStdString();
  EXPECT_TRUE(dl.out.contains(QStringLiteral("Download done.")));
  EXPECT_TRUE(dl.out.contains(QStringLiteral("] 100%        65536 bytes")));

  // Back on the link, asking to be set up before it gives its serial number.
  ASSERT_EQ(drv().GetECRStatus(), 0);
  EXPECT_EQ(drv().ECRSoftVersion(), QStringLiteral("A.5"));
  EXPECT_EQ(drv().ECRBuild(), 1300);
  EXPECT_EQ(drv().ReadSerialNumber(), 120);
  drv().setTableNumber(7);
  ASSERT_EQ(drv().ReadTable(), 0);
  EXPECT_EQ(drv().ValueOfFieldString(), QStringLiteral("Отдел 1"));  // settings back to defaults
  const auto after = reg().tables[19];
  EXPECT_NE(after.at(1, 9).i, before.at(1, 9).i);
  EXPECT_NE(after.at(1, 10).i, before.at(1, 10).i);

  ASSERT_EQ(drv().ResetSettings(), 0);
  EXPECT_EQ(drv().ReadSerialNumber(), 120) << "one step is not the whole set-up";
  SetUpRegister(*osim::DayNumber("2026-12-10"));
  ASSERT_EQ(drv().ReadSerialNumber(), 0);
  EXPECT_EQ(drv().SerialNumber(), QStringLiteral("0000420150"));
}

TEST_F(SimTest, DfuBootLoaderImageKeepsTheSettings) {
  drv().setPassword(kSysAdminPassword);
  drv().setTableNumber(7);
  drv().setRowNumber(1);
  drv().setFieldNumber(1);
  drv().setValueOfFieldString(QStringLiteral("Сохранится"));
  ASSERT_EQ(drv().WriteTable(), 0);
  ASSERT_EQ(drv().SetDFUMode(), 0);
  const RunResult dl = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), Image(Loader(156))});
  ASSERT_EQ(dl.exitCode, 0) << dl.err.toStdString();
  ASSERT_EQ(drv().ReadLoaderVersion(), 0);
  EXPECT_EQ(drv().LoaderVersion(), QStringLiteral("156"));
  EXPECT_EQ(drv().ReadSerialNumber(), 0);
  ASSERT_EQ(drv().ReadTable(), 0);
  EXPECT_EQ(drv().ValueOfFieldString(), QStringLiteral("Сохранится"));
}

TEST_F(SimTest, StandInRefusesWhatItCannotInstall) {
  const QString garbage = dir_.filePath(QStringLiteral("garbage.bin"));
  {
    QFile f(garbage);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
  }
  const QString cut = Image(Firmware());
  QFile::resize(cut, 30000);
  const struct {
    const char *name;
    bool dfu;
    QString file;
    QString message;
  } cases[] = {
      {"no register in DFU mode", false, Image(Firmware()), QStringLiteral("dfu-util: No DFU capable USB device available")},
      {"not an image", true, garbage, QStringLiteral("dfu-util: Error during download")},
      {"a cut image", true, cut, QStringLiteral("dfu-util: Error during download")},
      {"a missing file", true, dir_.filePath(QStringLiteral("none.bin")), QStringLiteral("dfu-util: Cannot open file")},
  };
  for (const auto &c : cases) {
    Change([&](osim::Register &r) { r.dfu = c.dfu; });
    const RunResult r = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), c.file});
    EXPECT_NE(r.exitCode, 0) << c.name;
    EXPECT_TRUE(r.err.contains(c.message)) << c.name << ": " << r.err.toStdString();
    EXPECT_FALSE(SaysDone(r)) << c.name;
    EXPECT_EQ(reg().firmware, "A.4") << c.name;
    EXPECT_EQ(reg().dfu, c.dfu) << c.name << ": a refused image leaves the register waiting";
  }
  Change([](osim::Register &r) { r.dfu = false; });
  EXPECT_EQ(RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), Image(Firmware())}).exitCode, 74);
}

TEST_F(SimTest, XModemRunsInTheBackgroundThenInstalls) {
  Change([](osim::Register &r) { r.xmodemSpeed = 65536 * 4; });  // a 64 KiB image in 250 ms
  drv().setUpdateFirmwareMethod(1);
  drv().setFileName(Image(Firmware("A.6", 1400, "2023-05-01")));
  ASSERT_EQ(drv().UpdateFirmware(), 0);
  EXPECT_EQ(drv().UpdateFirmwareStatus(), 1);
  EXPECT_TRUE(drv().UpdateFirmwareStatusMessage().contains(QLatin1Char('%')));
  EXPECT_EQ(drv().GetECRStatus(), osim::kBusy);
  QElapsedTimer t;
  t.start();
  while (drv().UpdateFirmwareStatus() == 1 && t.elapsed() < 10000) QThread::msleep(20);
  ASSERT_EQ(drv().UpdateFirmwareStatus(), 0);
  EXPECT_EQ(drv().UpdateFirmwareStatusMessage(), QStringLiteral("Обновление ПО завершено успешно"));
  ASSERT_EQ(drv().GetECRStatus(), 0);
  EXPECT_EQ(drv().ECRSoftVersion(), QStringLiteral("A.6"));
  EXPECT_EQ(drv().ECRBuild(), 1400);
}

TEST_F(SimTest, XModemWithARefusedImageEndsWithAnError) {
  const QString garbage = dir_.filePath(QStringLiteral("garbage.bin"));
  {
    QFile f(garbage);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, 'x'));
  }
  drv().setUpdateFirmwareMethod(1);
  drv().setFileName(garbage);
  ASSERT_EQ(drv().UpdateFirmware(), 0);
  QElapsedTimer t;
  t.start();
  while (drv().UpdateFirmwareStatus() == 1 && t.elapsed() < 10000) QThread::msleep(20);
  ASSERT_EQ(drv().UpdateFirmwareStatus(), 0);
  EXPECT_TRUE(drv().UpdateFirmwareStatusMessage().startsWith(QStringLiteral("Ошибка обновления ПО"))) << drv().UpdateFirmwareStatusMessage().toStdString();
  ASSERT_EQ(drv().GetECRStatus(), 0);
  EXPECT_EQ(drv().ECRSoftVersion(), QStringLiteral("A.4"));
}

TEST_F(SimTest, ComponentAndStandInChangeOneRegisterWithoutLosingEither) {
  // Every call of the component uses up one answer of a counted fault, a
  // change to the register, while the stand-in installs an image into it.
  const int kAnswers = 100000;
  Change([](osim::Register &r) {
    r.journalOn = true;
    r.dfu = true;
    r.faults.methods = {{"GetCountLD", 5, kAnswers}};
  });
  QProcess p;
  p.start(BinPath(QStringLiteral("dfu-util-sim")), {QStringLiteral("-D"), Image(Firmware())});
  ASSERT_TRUE(p.waitForStarted());
  int calls = 0;
  while (p.state() != QProcess::NotRunning || calls < 50) {
    EXPECT_EQ(drv().GetCountLD(), 5);
    ++calls;
    p.waitForFinished(0);
  }
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  const osim::Register r = reg();
  EXPECT_EQ(r.firmware, "A.5");
  ASSERT_EQ(r.faults.methods.size(), 1u);
  EXPECT_EQ(r.faults.methods[0].count, kAnswers - calls);
  EXPECT_EQ(store().ReadJournal(1).size(), static_cast<size_t>(calls));
  EXPECT_FALSE(r.dfu);
}
