// Faults set in the register's state, as tests of the program will use them.
#include "simfixture.h"

namespace {

// Restarts the register the way a boot-loader download does.
void Restart(osim::Store &store) {
  store.Update(1, [](osim::Register &r) {
    osim::Image i;
    i.level = 1;
    i.bootloader = r.bootloader + 1;
    EXPECT_FALSE(r.Install(i).has_value());
    return true;
  });
}

}  // namespace

TEST_F(SimTest, MethodFaultAnswersOnceNTimesOrAlways) {
  const struct {
    int count;
    std::vector<int> results;  // of five calls
  } cases[] = {
      {1, {-1, 0, 0, 0, 0}},
      {3, {-1, -1, -1, 0, 0}},
      {-1, {-1, -1, -1, -1, -1}},
  };
  for (const auto &c : cases) {
    Change([&](osim::Register &r) { r.faults.methods = {{"GetECRStatus", osim::kNoLink, c.count}}; });
    std::vector<int> got;
    for (int i = 0; i < 5; ++i) got.push_back(drv().GetECRStatus());
    EXPECT_EQ(got, c.results) << "count " << c.count;
    EXPECT_EQ(drv().ReadLoaderVersion(), 0) << "other methods are not touched";
  }
}

TEST_F(SimTest, CellFaultsRefuseOnlyTheirCellAndDirection) {
  Change([](osim::Register &r) {
    r.faults.cells = {{10, 2, 3, true, false, 170}, {10, 3, 3, false, true, osim::kCellFault}};
  });
  drv().setPassword(kSysAdminPassword);
  drv().setTableNumber(10);
  drv().setFieldNumber(3);
  drv().setValueOfFieldInteger(7);
  const struct {
    int row;
    int read, write;
  } cases[] = {{2, 170, 0}, {3, 0, osim::kCellFault}, {4, 0, 0}};
  for (const auto &c : cases) {
    drv().setRowNumber(c.row);
    EXPECT_EQ(drv().ReadTable(), c.read) << c.row;
    drv().setValueOfFieldInteger(7);
    EXPECT_EQ(drv().WriteTable(), c.write) << c.row;
  }
}

TEST_F(SimTest, ResetSettingsAnswers147AsManyTimesAsSet) {
  Change([](osim::Register &r) { r.faults.reset147 = 2; });
  EXPECT_EQ(drv().ResetSettings(), 147);
  EXPECT_EQ(drv().ResetSettings(), 147);
  EXPECT_EQ(drv().ResetSettings(), 0);
}

TEST_F(SimTest, RestartFaultsApplyAtTheNextRestartOnly) {
  for (int code : {116, 120, 121}) {
    Change([&](osim::Register &r) { r.faults.restartCode = code; });
    EXPECT_EQ(drv().ReadSerialNumber(), 0) << "not before the restart";
    Restart(store());
    EXPECT_EQ(drv().ReadSerialNumber(), code);
    SetUpRegister(46000);
    EXPECT_EQ(drv().ReadSerialNumber(), 0);
  }
  Change([](osim::Register &r) { r.faults.restartSerial = "0000420151"; });
  Restart(store());
  ASSERT_EQ(drv().ReadSerialNumber(), 0);
  EXPECT_EQ(drv().SerialNumber(), QStringLiteral("0000420151"));
  EXPECT_TRUE(reg().faults.empty());
}

TEST_F(SimTest, IdentityFaults) {
  Change([](osim::Register &r) {
    r.faults.loaderText = "1.55b";
    r.faults.mode = 2;
    r.faults.dfuRefused = true;
  });
  ASSERT_EQ(drv().ReadLoaderVersion(), 0);
  EXPECT_EQ(drv().LoaderVersion(), QStringLiteral("1.55b"));
  ASSERT_EQ(drv().GetECRStatus(), 0);
  EXPECT_EQ(drv().ECRMode(), 2);
  EXPECT_EQ(drv().ECRModeDescription(), QStringLiteral("Открытая смена, 24 часа не кончились"));
  EXPECT_EQ(drv().SetDFUMode(), osim::kDfuRefused);
  EXPECT_FALSE(reg().dfu);
}

TEST_F(SimTest, FailingDownloadIsRefusedOnceAndLeavesTheRegisterInDfu) {
  Change([](osim::Register &r) {
    r.faults.download = "";
    r.dfu = true;
  });
  const QString image = Image(Firmware());
  const RunResult bad = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), image});
  EXPECT_EQ(bad.exitCode, 74);
  EXPECT_FALSE((bad.out + bad.err).toUpper().contains(QStringLiteral("DONE")));
  EXPECT_TRUE(reg().dfu);
  const RunResult good = RunProgram(QStringLiteral("dfu-util-sim"), {QStringLiteral("-D"), image});
  EXPECT_EQ(good.exitCode, 0) << good.err.toStdString();
  EXPECT_EQ(reg().firmware, "A.5");
}

// A cut download leaves a register that only a complete download brings back;
// an unplugged cable hides it from the listing and the download.
TEST_F(SimTest, CutAndUnplugAsTheToolAndTheDriverSeeThem) {
  const QString image = Image(Firmware());
  const QString sim = QStringLiteral("ostrel-sim");
  const QString dfu = QStringLiteral("dfu-util-sim");
  ASSERT_EQ(RunProgram(sim, {QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("dfu-cut"),
                             QStringLiteral("30")}).exitCode, 0);
  ASSERT_EQ(drv().SetDFUMode(), 0);

  const RunResult cut = RunProgram(dfu, {QStringLiteral("-D"), image});
  EXPECT_NE(cut.exitCode, 0);
  EXPECT_FALSE((cut.out + cut.err).toUpper().contains(QStringLiteral("DONE"))) << cut.out.toStdString();
  EXPECT_TRUE(reg().dfu);
  EXPECT_TRUE(reg().cut);
  const RunResult show = RunProgram(sim, {QStringLiteral("show")});
  EXPECT_TRUE(show.out.contains(QStringLiteral("firmware: —"))) << show.out.toStdString();
  EXPECT_TRUE(show.out.contains(QStringLiteral("dfu: yes")));
  // Nothing answers, not even after the DFU flag is cleared by hand.
  ASSERT_EQ(RunProgram(sim, {QStringLiteral("set"), QStringLiteral("dfu"), QStringLiteral("off")}).exitCode, 0);
  for (auto call : {&TOstrel::GetECRStatus, &TOstrel::ReadSerialNumber, &TOstrel::ReadLoaderVersion})
    EXPECT_EQ((drv().*call)(), -1);
  Change([](osim::Register &r) { r.dfu = true; });

  ASSERT_EQ(RunProgram(sim, {QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("unplug")}).exitCode, 0);
  EXPECT_FALSE(RunProgram(dfu, {QStringLiteral("-l")}).out.contains(QStringLiteral("Found DFU")));
  const RunResult unplugged = RunProgram(dfu, {QStringLiteral("-D"), image});
  EXPECT_NE(unplugged.exitCode, 0);
  EXPECT_TRUE(unplugged.err.contains(QStringLiteral("No DFU capable USB device available")));
  EXPECT_TRUE(reg().cut);

  ASSERT_EQ(RunProgram(sim, {QStringLiteral("fault"), QStringLiteral("clear"), QStringLiteral("unplug")}).exitCode, 0);
  EXPECT_TRUE(RunProgram(dfu, {QStringLiteral("-l")}).out.contains(QStringLiteral("Found DFU")));
  const RunResult good = RunProgram(dfu, {QStringLiteral("-D"), image});
  EXPECT_EQ(good.exitCode, 0) << good.err.toStdString();
  EXPECT_FALSE(reg().cut);
  EXPECT_FALSE(reg().dfu);
  EXPECT_EQ(reg().firmware, "A.5");
}
