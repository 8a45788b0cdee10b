// The update run end to end: the real main window, the simulator component
// loaded as the program loads its driver, the DFU stand-in run as a child
// process, a virtual clock, scripted answers and the simulator's journal.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>

#include "forms/rebootformunit.h"
#include "state/pending.h"
#include "appfixture.h"

using apptest::AppFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
// The set-up the register asked for after a transfer that kept no copy of its settings.
const QString kResetNoCopy = QStringLiteral("\r\nНастройки ККТ сброшены при обновлении, копия настроек не снималась.");
const QString kNotUpdated = QStringLiteral("ПО не было обновлено.");

class RunTest : public AppFixture {
 protected:
  QJsonArray Journal() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("--json")}, &out), 0);
    return QJsonDocument::fromJson(out.toUtf8()).array();
  }

  QStringList Methods() {
    QStringList m;
    for (const auto &e : Journal()) m << e.toObject().value(QStringLiteral("method")).toString();
    return m;
  }

  void Fault(const QStringList &args) {
    QString out;
    ASSERT_EQ(Sim(QStringList{QStringLiteral("fault"), QStringLiteral("set")} + args, &out), 0)
        << out.toStdString();
  }

};

}  // namespace

TEST_F(RunTest, WalksTheChainAfterOneQuestion) {
  TMainForm &f = StartDemo();
  bool buttonDisabledDuringRun = false;
  bool settingsDisabledDuringRun = false;
  dialogs.onShow = [&](QDialog *) {
    buttonDisabledDuringRun = !f.CheckConnectButton->isEnabled();
    settingsDisabledDuringRun = !f.DrvSetButton->isEnabled() && !f.cbMethod->isEnabled();
  };
  f.CheckConnectButton->click();

  // One offer: the boot-loader; then the firmware of the same pass and the
  // next pass's firmware without asking.
  EXPECT_EQ(dialogs.classNames(), QStringList{QStringLiteral("TUpdateForm")});
  EXPECT_TRUE(buttonDisabledDuringRun);
  EXPECT_TRUE(settingsDisabledDuringRun);
  EXPECT_TRUE(f.DrvSetButton->isEnabled());
  EXPECT_TRUE(f.cbMethod->isEnabled());
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(f.CheckConnectButton->isEnabled());
  // Flashing waits of 3 s, reboot waits of 15 s (boot-loader) and 30 s (twice).
  EXPECT_EQ(clock.slept(), 3u * 3050 + 15050 + 2 * 30050);
  EXPECT_TRUE(f.windowTitle().startsWith(QStringLiteral("S/N: 0000420150, Firmware version: A.6, Build: 1410, Date: ")))
      << f.windowTitle().toStdString();
  EXPECT_TRUE(f.windowTitle().endsWith(QStringLiteral(" , Loader: 160")));
}

TEST_F(RunTest, DecliningTheBootLoaderStillOffersTheFirmware) {
  TMainForm &f = StartDemo();
  dialogs.script = {modal::mrCancel, modal::mrOk};
  f.CheckConnectButton->click();
  // Declined boot-loader, accepted firmware; the next passes go on without
  // asking, and the run still closes with "not updated".
  EXPECT_EQ(dialogs.shown.size(), 2);
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kNotUpdated});
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
}

TEST_F(RunTest, FailedBootLoaderConfirmationStillTransfersTheFirmware) {
  TMainForm &f = StartDemo();
  f.FRules[0].blver = 999;  // the image installs 160: the confirmation fails
  f.FRules.removeLast();
  f.CheckConnectButton->click();
  EXPECT_EQ(dialogs.shown.size(), 1);
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kNotUpdated});
  EXPECT_EQ(Identity(), QStringLiteral("A.5/1300/160"));
}

TEST_F(RunTest, NeverAppliesARuleTwiceToTheSameRegister) {
  TMainForm &f = StartDemo();
  // A boot-loader rule that installs the version it applies to.
  ASSERT_EQ(apptest::RunTool(QStringLiteral("ostrel-sim"),
                             {QStringLiteral("image"), f.FTempPath + QStringLiteral("boot_155.bin"),
                              QStringLiteral("--level"), QStringLiteral("1"), QStringLiteral("--bootloader"),
                              QStringLiteral("155")}),
            0);
  TFWRule rule = f.FRules[0];
  rule.filename = QStringLiteral("boot_155.bin");
  rule.blver = 155;
  f.FRules = {rule};
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kNotUpdated});
  EXPECT_EQ(Methods().count(QStringLiteral("SetDFUMode")), 0);  // journal off: nothing recorded
  EXPECT_EQ(clock.slept(), 3050u + 15050);                       // one transfer only
}

TEST_F(RunTest, TheWaitWindowsSayThePassAndTheSecondsLeft) {
  TMainForm &f = StartDemo();
  QStringList seen;  // "caption | detail", each once
  clock.onSleep = [&](std::uint64_t) {
    if (!RebootForm->isVisible()) return;
    const QString line = RebootForm->windowTitle() + QStringLiteral(" | ") + RebootForm->Detail->text();
    if (seen.isEmpty() || seen.last() != line) seen << line;
  };
  f.CheckConnectButton->click();
  clock.onSleep = nullptr;
  // The described captions stay; inside, the pass of the three and the time left.
  for (const QString &line : {QStringLiteral("Прошивка | Шаг 1 из 3: Загрузчик 160 — осталось 3 с"),
                              QStringLiteral("Перезагрузка | Шаг 1 из 3: Загрузчик 160 — осталось 15 с"),
                              QStringLiteral("Перезагрузка | Шаг 2 из 3: Функциональное ПО A.5 — осталось 30 с"),
                              QStringLiteral("Перезагрузка | Шаг 3 из 3: Функциональное ПО A.6 — осталось 1 с")})
    EXPECT_TRUE(seen.contains(line)) << line.toStdString() << "\n" << seen.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(RebootForm->size(), QSize(852, 69));
}

TEST_F(RunTest, EmptyRulesMeanNothingToDo) {
  TMainForm &f = StartDemo();
  f.FRules.clear();
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(RunTest, WaysOut) {
  const struct {
    const char *name;
    QList<QStringList> faults;
    QStringList boxes;        // "kind: text" prefixes, in order
    QString identity;         // after the run
    bool notice = false;      // the unsupported-model notice
  } cases[] = {
      {"no link", {{QStringLiteral("ecrstatus")}},
       {QStringLiteral("error: Не удалось соединиться с ККТ"), QStringLiteral("info: ") + kNotUpdated},
       QStringLiteral("A.4/1234/155")},
      {"unsupported model", {},
       {}, QStringLiteral("A.4/1234/155"), true},
      {"mode other than 4", {{QStringLiteral("mode"), QStringLiteral("2")}},
       {QStringLiteral("error: ККТ на связи. Однако в данном режиме перепрошивка невозможна.\r\nРежим: ")},
       QStringLiteral("A.4/1234/155")},
      {"unreadable boot-loader", {{QStringLiteral("method"), QStringLiteral("ReadLoaderVersion"),
                                   QStringLiteral("1"), QStringLiteral("--always")}},
       {QStringLiteral("error: ККТ на связи. Однако не удалось прочитать версию загрузчика, прошивка невозможна.")},
       QStringLiteral("A.4/1234/155")},
      {"boot-loader version not a number", {{QStringLiteral("loader-text"), QStringLiteral("1x5")}},
       {QStringLiteral("error: '1x5' is not a valid integer value")}, QStringLiteral("A.4/1234/155")},
      {"DFU refused", {{QStringLiteral("dfu-refused")}},
       {QStringLiteral("plain: Can not set DFU mode."), QStringLiteral("info: ") + kNotUpdated},
       QStringLiteral("A.4/1234/155")},
      // The register stays in its boot-loader: the download is offered again.
      {"download without DONE", {{QStringLiteral("download")}},
       {QStringLiteral("plain: Не удалось загрузить прошивку в ККТ.\r\n"),
        QStringLiteral("question: Повторить загрузку прошивки?"), QStringLiteral("info: ") + kLatest},
       QStringLiteral("A.6/1410/160")},
      {"another serial after the restart", {{QStringLiteral("restart-serial"), QStringLiteral("0000990150")}},
       {QStringLiteral("info: ") + kNotUpdated}, QStringLiteral("A.4/1234/160")},
      // The boot-loader's transfer keeps no settings: the set-up after it is said.
      {"set-up asked with 120", {{QStringLiteral("restart-code"), QStringLiteral("120")}},
       {QStringLiteral("warning: ") + kLatest + kResetNoCopy}, QStringLiteral("A.6/1410/160")},
      {"ResetSettings answering 147 once", {{QStringLiteral("restart-code"), QStringLiteral("120")},
                                            {QStringLiteral("reset147"), QStringLiteral("1")}},
       {QStringLiteral("warning: ") + kLatest + kResetNoCopy}, QStringLiteral("A.6/1410/160")},
      // A set-up that fails is said in the closing box, and is no success.
      {"ResetSettings answering 147 twice", {{QStringLiteral("restart-code"), QStringLiteral("120")},
                                             {QStringLiteral("reset147"), QStringLiteral("2")}},
       {QStringLiteral("warning: ") + kNotUpdated + QStringLiteral("\r\nНе удалось настроить ККТ после загрузки прошивки (код 147)")},
       QStringLiteral("A.4/1234/160")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    // A register made anew: what an earlier case left unfinished is not its.
    QDir(pending::PendingRoot()).removeRecursively();
    if (c.notice) {
      ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("serial"), QStringLiteral("0001509999")}), 0);
    }
    for (const QStringList &fault : c.faults) Fault(fault);
    boxes.boxes.clear();
    dialogs.shown.clear();
    if (!form) StartDemo();
    form->CheckConnectButton->click();
    const QStringList got = Boxes();
    ASSERT_EQ(got.size(), c.boxes.size()) << got.join(QStringLiteral(" | ")).toStdString();
    for (int i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i].startsWith(c.boxes[i])) << got[i].toStdString();
    }
    EXPECT_EQ(dialogs.classNames().contains(QStringLiteral("TMsgForm")), c.notice);
    EXPECT_EQ(Identity(), c.identity);
    EXPECT_TRUE(form->CheckConnectButton->isEnabled());
  }
}

TEST_F(RunTest, MissingImageOrToolInTheWorkingFolder) {
  // Found before the backup and the switch to DFU mode: the register is never
  // left there by a check that could come first.
  const QString snapshot = appDir + QStringLiteral("/ecrdata/0000420150/tables.json");
  for (const QString &name : {QStringLiteral("boot_160.bin"), QStringLiteral("fw_A5_1300.bin"),
                              QStringLiteral("dfu-util-static.exe")}) {
    SCOPED_TRACE(name.toStdString());
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    QFile::remove(snapshot);
    form.reset();
    boxes.boxes.clear();
    TMainForm &f = StartDemo();
    ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
    QFile::remove(f.FTempPath + name);
    if (name.startsWith(QStringLiteral("fw_"))) f.FRules.removeFirst();  // the firmware rule (with a backup) first
    f.CheckConnectButton->click();
    EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("plain: File: ") + f.FTempPath + name + QStringLiteral(" not found."),
                                    QStringLiteral("info: ") + kNotUpdated}));
    EXPECT_FALSE(Methods().contains(QStringLiteral("SetDFUMode")));
    EXPECT_FALSE(Show().value(QStringLiteral("dfu")).toBool());
    EXPECT_FALSE(QFileInfo::exists(snapshot));  // no backup for a transfer that cannot happen
    EXPECT_EQ(clock.slept(), 0u);
  }
}

TEST_F(RunTest, RulesFromAnotherFolderNameTheImagesTheWorkingFolderLacks) {
  TMainForm &f = StartDemo();
  const QString other = root.filePath(QStringLiteral("other"));
  apptest::WriteFile(other + QStringLiteral("/rules.json"),
                     R"({"RULES":[{"level":2,"bootloader":150,"file":"fw_A7_1500.bin","fwver":"A.7","fwbuild":1500,
                         "savesetting":true},
                        {"level":1,"bootloader":155,"file":"boot_160.bin","blver":160}]})");
  apptest::WriteFile(other + QStringLiteral("/fw_A7_1500.bin"), "image beside the rules");
  filedialog::SetAnswerer([&](const QString &) { return other + QStringLiteral("/rules.json"); });
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  QApplication::sendEvent(&f, &release);
  // Beside the file is not where the transfer looks: the box names what the
  // working folder lacks.
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("error: Недостаточно файлов для перепрошивки.\r\nfw_A7_1500.bin")});
  ASSERT_EQ(f.FRules.size(), 2);

  boxes.boxes.clear();
  dialogs.script = {modal::mrCancel, modal::mrOk};  // the boot-loader declined, the firmware taken
  ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("plain: File: ") + f.FTempPath + QStringLiteral("fw_A7_1500.bin not found."),
                                  QStringLiteral("info: ") + kNotUpdated}));
  EXPECT_FALSE(Methods().contains(QStringLiteral("SetDFUMode")));
  EXPECT_FALSE(Show().value(QStringLiteral("dfu")).toBool());
  // The register still answers.
  boxes.boxes.clear();
  dialogs.script = {modal::mrCancel, modal::mrCancel};
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kNotUpdated});
}

TEST_F(RunTest, AFailedLoadByHandKeepsTheRulesInForce) {
  TMainForm &f = StartDemo();
  const QString broken = root.filePath(QStringLiteral("broken/rules.json"));
  apptest::WriteFile(broken, "{broken");
  filedialog::SetAnswerer([&](const QString &) { return broken; });
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  QApplication::sendEvent(&f, &release);
  const QStringList got = Boxes();
  ASSERT_EQ(got.size(), 1);
  EXPECT_TRUE(got[0].startsWith(QStringLiteral("error: "))) << got[0].toStdString();
  EXPECT_TRUE(got[0].endsWith(QStringLiteral("\r\nПравила не заменены, действуют прежние."))) << got[0].toStdString();
  EXPECT_EQ(f.FRules.size(), 3);

  // The next connect still finds the update, not "the latest version".
  boxes.boxes.clear();
  f.CheckConnectButton->click();
  EXPECT_EQ(dialogs.classNames(), QStringList{QStringLiteral("TUpdateForm")});
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
}

TEST_F(RunTest, NoRulesLoadedIsSaidNotTakenForTheLatestVersion) {
  const struct {
    const char *name;
    QList<QPair<QString, QByteArray>> package;
    QString problem;  // "%1": the working folder
  } cases[] = {
      {"no rules file", {{QStringLiteral("boot.bin"), "b"}}, QStringLiteral("File: %1rules.json not found.")},
      {"rules rejected",
       {{QStringLiteral("rules.json"), R"({"RULES":[{"bootloader":1,"file":"x"}]})"}},
       QStringLiteral("Ошибка. Отсутствует поле \"level\". Элемент: 0.")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    form.reset();
    TMainForm::SetBuiltInPackageForTests(MakePackage(c.package));
    TMainForm &f = Start();
    const QString problem = c.problem.contains(QStringLiteral("%1")) ? c.problem.arg(f.FTempPath) : c.problem;
    boxes.boxes.clear();
    ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
    f.CheckConnectButton->click();
    EXPECT_EQ(Boxes(), QStringList{QStringLiteral("error: Правила перепрошивки не загружены, обновление невозможно.\r\n") +
                                   problem});
    EXPECT_TRUE(f.CheckConnectButton->isEnabled());
    EXPECT_TRUE(Methods().isEmpty()) << Methods().join(QStringLiteral(" ")).toStdString();
    ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("off")}), 0);
  }

  // A valid set, even an empty one, loaded by hand: the run goes as described.
  const QString empty = root.filePath(QStringLiteral("empty/rules.json"));
  apptest::WriteFile(empty, R"({"RULES":[]})");
  filedialog::SetAnswerer([&](const QString &) { return empty; });
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  QApplication::sendEvent(form.get(), &release);
  boxes.boxes.clear();
  form->CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
}

TEST_F(RunTest, ARuleNamingAFileOutsideTheFolderSendsNothing) {
  // "../outside.bin" exists beside the working folder; a rule that names it
  // must not hand it to the register by either method.
  for (int method : {0, 1}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    form.reset();
    boxes.boxes.clear();
    TMainForm &f = StartDemo();
    const QString before = Identity();
    ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
    apptest::WriteFile(f.FTempPath + QStringLiteral("../outside.bin"), "not an image of the package");
    for (TFWRule &rule : f.FRules) rule.filename = QStringLiteral("../outside.bin");
    f.cbMethod->setCurrentIndex(method);
    f.CheckConnectButton->click();
    const QStringList got = Boxes();
    ASSERT_FALSE(got.isEmpty());
    EXPECT_EQ(got[0], QStringLiteral("plain: File: ") + f.FTempPath + QStringLiteral("../outside.bin not found."));
    EXPECT_EQ(Identity(), before);
    EXPECT_FALSE(Methods().contains(QStringLiteral("UpdateFirmware")));
  }
}

TEST_F(RunTest, SetUpAndCellWritesAreAskedInOrder) {
  TMainForm &f = StartDemo();
  ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
  // Only the firmware rule, with three cells to write.
  TFWRule rule = f.FRules[1];
  rule.savesetting = false;  // the tables backup around it has tests of its own
  rule.updatetables.append({15, 1, 11, 1, 0, QStringLiteral("kassa-1")});
  f.FRules = {rule};
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("warning: ") + kLatest + kResetNoCopy});

  QStringList calls;  // method(set properties) for everything after the download
  bool afterDfu = false;
  for (const auto &v : Journal()) {
    const QJsonObject e = v.toObject();
    const QString m = e.value(QStringLiteral("method")).toString();
    if (m == QStringLiteral("SetDFUMode")) afterDfu = true;
    if (!afterDfu) continue;
    QStringList set;
    for (const auto &p : e.value(QStringLiteral("set")).toArray()) {
      const QJsonArray kv = p.toArray();
      const QString name = kv.at(0).toString();
      set << (name == QStringLiteral("Date") || name == QStringLiteral("Time") ? name
                                                                               : name + QLatin1Char('=') + kv.at(1).toVariant().toString());
    }
    calls << m + QLatin1Char('(') + set.join(QLatin1Char(',')) + QLatin1Char(')');
  }
  const QStringList expected = {
      QStringLiteral("SetDFUMode()"),
      QStringLiteral("ReadSerialNumber()"),
      QStringLiteral("ResetSettings()"),
      // The reset put the maker's administrator password back: the driver
      // is told before its next call.
      QStringLiteral("SetDate(Password=30,Date)"),
      QStringLiteral("ConfirmDate(Date)"),
      QStringLiteral("SetTime(Time)"),
      QStringLiteral("ReadSerialNumber()"),
      QStringLiteral("WriteTable(Password=30,TableNumber=1,RowNumber=1,FieldNumber=5,ValueOfFieldInteger=1)"),
      QStringLiteral("WriteTable(Password=30,TableNumber=13,RowNumber=2,FieldNumber=1,ValueOfFieldString=Ждём Вас снова!)"),
      QStringLiteral("WriteTable(Password=30,TableNumber=15,RowNumber=1,FieldNumber=11,ValueOfFieldString=kassa-1)"),
  };
  ASSERT_GE(calls.size(), expected.size()) << calls.join(QStringLiteral("\n")).toStdString();
  EXPECT_EQ(calls.mid(0, expected.size()), expected) << calls.join(QStringLiteral("\n")).toStdString();
}

TEST_F(RunTest, FailedCellWritesAreReported) {
  TMainForm &f = StartDemo();
  Fault({QStringLiteral("cell"), QStringLiteral("13"), QStringLiteral("2"), QStringLiteral("1"),
         QStringLiteral("write")});
  f.FRules.removeFirst();
  f.FRules.removeLast();
  f.CheckConnectButton->click();
  const QStringList got = Boxes();
  // The update itself went through; the cells are said at its end, the run
  // did not wait on a box for them.
  ASSERT_EQ(got.size(), 1) << got.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(got[0].startsWith(QStringLiteral("warning: ") + kLatest +
                                QStringLiteral("\r\nНе удалось записать ячейки таблиц:\r\nТаблица 13, ряд 2, поле 1: ")))
      << got[0].toStdString();
  EXPECT_EQ(f.FRunEnd, TRunEnd::Latest);
}

TEST_F(RunTest, XModemTransfersWhileTheCaptionFollowsTheStatus) {
  TMainForm &f = StartDemo();
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("xmodem-speed"), QStringLiteral("65536")}), 0);
  // A setting of the owner's: a new firmware resets the tables whichever way
  // it arrives.
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"),
                 QStringLiteral("300")}),
            0);
  f.cbMethod->setCurrentIndex(1);
  QStringList captions;
  QObject::connect(&f, &QWidget::windowTitleChanged, [&](const QString &t) { captions << t; });
  bool lockedDuringTransfer = false;
  clock.onSleep = [&](std::uint64_t) {
    if (f.Timer->isActive()) lockedDuringTransfer = !f.cbMethod->isEnabled() && !f.DrvSetButton->isEnabled();
  };
  f.CheckConnectButton->click();
  EXPECT_TRUE(lockedDuringTransfer);
  EXPECT_TRUE(f.cbMethod->isEnabled());
  EXPECT_TRUE(f.DrvSetButton->isEnabled());
  EXPECT_FALSE(f.Timer->isActive());
  EXPECT_TRUE(captions.filter(QStringLiteral("%")).size() >= 1) << captions.join(QStringLiteral(" | ")).toStdString();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest}) << captions.join(QStringLiteral(" | ")).toStdString();
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  // Set up after the transfer, and the settings put back.
  QString out;
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")}, &out), 0);
  EXPECT_EQ(out.trimmed(), QStringLiteral("300"));
  ASSERT_EQ(Sim({QStringLiteral("show"), QStringLiteral("--json")}, &out), 0);
  EXPECT_EQ(QJsonDocument::fromJson(out.toUtf8()).object().value(QStringLiteral("setupCode")).toInt(), 0);
}

TEST_F(RunTest, XModemFailure) {
  TMainForm &f = StartDemo();
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("xmodem-speed"), QStringLiteral("1000000")}), 0);
  Fault({QStringLiteral("download"), QStringLiteral("Ошибка передачи")});
  f.cbMethod->setCurrentIndex(1);
  f.CheckConnectButton->click();
  // The boot-loader transfer fails and is not confirmed; the firmware of the
  // same pass still goes, and the later passes bring the boot-loader too.
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kNotUpdated});
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(f.cbMethod->isEnabled());
}

TEST_F(RunTest, KeyCommandsWaitWhileARunIsInProgress) {
  TMainForm &f = StartDemo();
  int opened = 0;
  filedialog::SetAnswerer([&](const QString &) {
    ++opened;
    return QString();
  });
  dialogs.onShow = [&](QDialog *) {
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
    QApplication::sendEvent(&f, &release);
  };
  f.CheckConnectButton->click();
  EXPECT_EQ(opened, 0);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  QApplication::sendEvent(&f, &release);
  EXPECT_EQ(opened, 1);
}

TEST(SupportedModels, CodeAtCharactersSevenToTen) {
  const struct {
    const char *serial;
    bool supported;
  } cases[] = {
      {"0000420150", true},      // a code of the list at 7..10
      {"0000420220", true},      // the list's last code
      {"000042022099", true},    // longer serials: still 7..10
      {"0000402209", false},     // the last code at 6..9 only
      {"000042015", false},      // too short for a whole code
      {"", false},               // unreadable serial
      {"0000429999", false},
  };
  EXPECT_EQ(SupportedModelCodes.size(), 12);
  for (const auto &c : cases) EXPECT_EQ(IsSupportedModel(QString::fromLatin1(c.serial)), c.supported) << c.serial;
}
