// The update journal and the finishing of interrupted transfers: the real
// main window, the simulator component, the DFU stand-in, a virtual clock.
#include <sys/stat.h>

#include <QAction>
#include <QJsonArray>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTableWidget>

#include "common/datetime.h"
#include "device/untDriver.h"
#include "state/history.h"
#include "app/historyform.h"
#include "state/pending.h"
#include "appfixture.h"

using apptest::AppFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
const QString kNotUpdated = QStringLiteral("ПО не было обновлено.");
const QString kSerial = QStringLiteral("0000420150");

// Thrown from the clock: the program stops there, as under SIGKILL, with
// nothing of its own run after that point but the unwinding of the stack.
struct Killed {};

class RecoveryTest : public AppFixture {
 protected:
  // A new program on the same register: the old one's window goes.
  TMainForm &Restart() {
    form.reset();
    boxes.boxes.clear();
    boxes.script.clear();
    dialogs.shown.clear();
    return StartDemo();
  }
  void Fault(const QStringList &args) {
    QString out;
    ASSERT_EQ(Sim(QStringList{QStringLiteral("fault"), QStringLiteral("set")} + args, &out), 0) << out.toStdString();
  }
  QStringList Boxes() const {
    static const char *kinds[] = {"error", "info", "question", "plain", "warning"};
    QStringList out;
    for (const auto &b : boxes.boxes)
      out << QString::fromLatin1(kinds[int(b.kind)]) + QStringLiteral(": ") +
                 (b.caption.isEmpty() ? QString() : b.caption + QStringLiteral(" | ")) + b.text.section(QStringLiteral("\r\n"), 0, 0);
    return out;
  }
  QStringList Events() const {
    QStringList e;
    for (const QJsonObject &o : history::Read()) e << o.value(QStringLiteral("event")).toString();
    return e;
  }
  QStringList PendingSerials() const {
    return QDir(pending::PendingRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  }
  // Arms a kill at the n-th sleep of the window titled caption.
  void KillIn(const QString &caption, int nth, int occurrence = 0) {
    auto seen = std::make_shared<int>(0);
    auto shown = std::make_shared<int>(-1);
    auto wasShown = std::make_shared<bool>(false);
    clock.onSleep = [=, this](std::uint64_t) {
      const bool now = RebootForm->isVisible() && RebootForm->windowTitle() == caption;
      if (now && !*wasShown) ++*shown;
      *wasShown = now;
      if (now && *shown == occurrence && ++*seen >= nth) {
        clock.onSleep = nullptr;
        throw Killed{};
      }
    };
  }
};

}  // namespace

TEST_F(RecoveryTest, ARunIsOnRecordAndItsBoxSaysWhatChanged) {
  TMainForm &f = StartDemo();
  f.CheckConnectButton->click();
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].text,
            kLatest + QStringLiteral("\r\nЗагрузчик 155 → 160, ПО A.4 → A.6"));
  EXPECT_TRUE(PendingSerials().isEmpty());

  const QList<QJsonObject> recs = history::Read();
  ASSERT_FALSE(recs.isEmpty());
  EXPECT_EQ(Events().first(), QStringLiteral("run-start"));
  EXPECT_EQ(Events().last(), QStringLiteral("run-end"));
  EXPECT_EQ(Events().count(QStringLiteral("pass")), 3);
  EXPECT_EQ(Events().count(QStringLiteral("transfer-start")), 3);
  EXPECT_EQ(Events().count(QStringLiteral("transfer-end")), 3);
  EXPECT_GE(Events().count(QStringLiteral("setup")), 3);
  for (const QJsonObject &o : recs) {
    EXPECT_EQ(o.value(QStringLiteral("serial")).toString(), kSerial);
    EXPECT_EQ(o.value(QStringLiteral("model")).toString(), QStringLiteral("0150"));
    // ISO-8601 with its zone.
    EXPECT_TRUE(QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).isValid());
    EXPECT_TRUE(o.value(QStringLiteral("time")).toString().contains(QRegularExpression(QStringLiteral("(Z|[+-]\\d\\d:\\d\\d)$"))));
  }
  EXPECT_EQ(recs.first().value(QStringLiteral("identity")).toObject().value(QStringLiteral("bootloader")).toInt(), 155);
  EXPECT_EQ(recs.last().value(QStringLiteral("identity")).toObject().value(QStringLiteral("firmware")).toString(),
            QStringLiteral("A.6"));
  EXPECT_EQ(recs.last().value(QStringLiteral("message")).toString(), kLatest);
  for (const QJsonObject &o : recs) {
    if (o.value(QStringLiteral("event")) == QStringLiteral("pass")) {
      EXPECT_EQ(o.value(QStringLiteral("sha256")).toString().size(), 64);
    }
  }

  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(history::JournalPath()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The same, newest first, in the window the context menu opens.
  QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(5, 5), f.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&f, &request);
  auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  QAction *entry = menu->actions().value(menu->actions().size() - 1);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->text(), QStringLiteral("История обновлений"));
  menu->close();
  entry->trigger();
  auto *w = f.findChild<THistoryForm *>();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), QStringLiteral("История обновлений"));
  ASSERT_EQ(w->Grid->rowCount(), recs.size());
  // Read by people: the events in Russian, the time local.
  EXPECT_EQ(w->Grid->item(0, 3)->text(), QStringLiteral("итог"));
  EXPECT_EQ(w->Grid->item(w->Grid->rowCount() - 1, 3)->text(), QStringLiteral("начало"));
  EXPECT_EQ(w->Grid->item(0, 0)->text(),
            QDateTime::fromString(recs.last().value(QStringLiteral("time")).toString(), Qt::ISODateWithMs)
                .toLocalTime()
                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
  EXPECT_EQ(w->Grid->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(w->Error->isVisible());

  // A pipe put in the history's place: the rows the old file holds, and the pipe named above them.
  const QString path = history::JournalPath();
  ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".1")));
  ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
  w->Reload();
  EXPECT_EQ(w->Grid->rowCount(), recs.size());
  EXPECT_TRUE(w->Error->isVisible());
  EXPECT_TRUE(w->Error->text().contains(path)) << w->Error->text().toStdString();
}

TEST_F(RecoveryTest, NothingChangedKeepsTheClosingMessageAlone) {
  TMainForm &f = StartDemo();
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("bootloader"), QStringLiteral("160")}), 0);
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("firmware"), QStringLiteral("A.6")}), 0);
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("build"), QStringLiteral("1410")}), 0);
  f.CheckConnectButton->click();
  EXPECT_EQ(boxes.texts(msgbox::Kind::Information), QStringList{kLatest});
  EXPECT_EQ(Events(), (QStringList{QStringLiteral("run-start"), QStringLiteral("run-end")}));
}

// A cut download, declined again, leaves a register in its boot-loader with
// no firmware; the next program finds the kept image and finishes the job.
TEST_F(RecoveryTest, ACutDownloadIsFinishedOnTheNextConnect) {
  TMainForm &f = StartDemo();
  Fault({QStringLiteral("dfu-cut"), QStringLiteral("30")});
  boxes.script = {true, false};  // OK to the error, No to "Повторить загрузку прошивки?"
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("plain: Не удалось загрузить прошивку в ККТ."),
                                  QStringLiteral("question: Повторить загрузку прошивки?"),
                                  QStringLiteral("info: ") + kNotUpdated}));
  EXPECT_EQ(Show().value(QStringLiteral("firmware")).toString(), QStringLiteral("—"));
  EXPECT_TRUE(Show().value(QStringLiteral("dfu")).toBool());
  EXPECT_EQ(PendingSerials(), QStringList{kSerial});

  // Declined: the run ends as it always did.
  TMainForm &g = Restart();
  boxes.script = {false};
  g.CheckConnectButton->click();
  EXPECT_EQ(Boxes(),
            (QStringList{QStringLiteral("question: Прерванное обновление | ККТ 0000420150 осталась в режиме загрузки "
                                        "после прерванного обновления (") +
                             pending::FindForSerial(kSerial)->rule.info.section(QLatin1Char('\n'), 0, 0) + QStringLiteral("). Загрузить прошивку повторно?"),
                         QStringLiteral("error: Не удалось соединиться с ККТ"), QStringLiteral("info: ") + kNotUpdated}));

  TMainForm &h = Restart();
  h.CheckConnectButton->click();
  EXPECT_EQ(boxes.boxes.value(0).caption, QStringLiteral("Прерванное обновление"));
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_FALSE(Show().value(QStringLiteral("dfu")).toBool());
  EXPECT_EQ(Show().value(QStringLiteral("setupCode")).toInt(), 0);
  EXPECT_TRUE(PendingSerials().isEmpty());
  EXPECT_TRUE(boxes.boxes.last().text.startsWith(kLatest)) << boxes.boxes.last().text.toStdString();
  EXPECT_TRUE(Events().contains(QStringLiteral("recovery")));
}

TEST_F(RecoveryTest, ADamagedKeptImageIsNotSentUnlessThePackageHoldsTheSameOne) {
  TMainForm &f = StartDemo();
  Fault({QStringLiteral("dfu-cut")});
  boxes.script = {true, false};
  f.CheckConnectButton->click();
  const auto p = pending::FindForSerial(kSerial);
  ASSERT_TRUE(p.has_value());
  apptest::WriteFile(p->image(), "not the image");

  // The package at hand holds another image under that name: nothing is sent.
  TMainForm &g = Restart();
  apptest::WriteFile(g.FTempPath + p->rule.filename, "another image");
  boxes.script = {true};
  g.CheckConnectButton->click();
  ASSERT_GE(boxes.boxes.size(), 2);
  EXPECT_TRUE(boxes.boxes[1].text.startsWith(QStringLiteral("Сохранённый образ прошивки повреждён")));
  EXPECT_EQ(Show().value(QStringLiteral("firmware")).toString(), QStringLiteral("—"));
  EXPECT_TRUE(boxes.boxes.last().text.startsWith(kNotUpdated)) << boxes.boxes.last().text.toStdString();

  // The package's copy is the very image kept (same SHA-256): it brings the
  // register back, and the closing box says which was sent.
  boxes.boxes.clear();
  TMainForm &h = Restart();
  h.CheckConnectButton->click();
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(PendingSerials().isEmpty());
  EXPECT_TRUE(boxes.boxes.last().text.contains(QStringLiteral("загружена такая же копия из пакета")))
      << boxes.boxes.last().text.toStdString();
}

TEST_F(RecoveryTest, ACutDownloadIsTriedAgainWithinTheRun) {
  TMainForm &f = StartDemo();
  Fault({QStringLiteral("dfu-cut"), QStringLiteral("50")});
  f.CheckConnectButton->click();  // Yes to everything
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("plain: Не удалось загрузить прошивку в ККТ."),
                                  QStringLiteral("question: Повторить загрузку прошивки?"),
                                  QStringLiteral("info: ") + kLatest}));
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(PendingSerials().isEmpty());
}

TEST_F(RecoveryTest, AnUnpluggedRegisterIsNotAskedAgain) {
  TMainForm &f = StartDemo();
  Fault({QStringLiteral("unplug")});
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("plain: Не удалось загрузить прошивку в ККТ."),
                                  QStringLiteral("info: ") + kNotUpdated}));
  // Plugged in again: the kept image goes in.
  ASSERT_EQ(Sim({QStringLiteral("fault"), QStringLiteral("clear"), QStringLiteral("unplug")}), 0);
  TMainForm &g = Restart();
  g.CheckConnectButton->click();
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(PendingSerials().isEmpty());
}

// Killed while the register reboots into its new firmware: it comes back
// asking for set-up with default settings; the next program sets it up and
// puts the settings back.
TEST_F(RecoveryTest, KilledInTheRebootWaitIsFinishedOnTheNextConnect) {
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("12"), QStringLiteral("3"), QStringLiteral("1"),
                 QStringLiteral("ЖДЁМ ВАС СНОВА")}),
            0);
  TMainForm &f = StartDemo();
  KillIn(QStringLiteral("Перезагрузка"), 100, 1);  // the firmware's reboot
  EXPECT_THROW(f.CheckConnectButtonClick(), Killed);
  EXPECT_EQ(Show().value(QStringLiteral("setupCode")).toInt(), 120);
  ASSERT_EQ(PendingSerials(), QStringList{kSerial});

  TMainForm &g = Restart();
  g.CheckConnectButton->click();
  ASSERT_FALSE(boxes.boxes.isEmpty());
  EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("Завершить прерванное обновление ККТ 0000420150?"));
  EXPECT_EQ(Show().value(QStringLiteral("setupCode")).toInt(), 0);
  QString cell;
  Sim({QStringLiteral("cell"), QStringLiteral("12"), QStringLiteral("3"), QStringLiteral("1")}, &cell);
  EXPECT_EQ(cell.trimmed(), QStringLiteral("ЖДЁМ ВАС СНОВА"));
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(PendingSerials().isEmpty());
}

// Finished days later, after someone set the register up by hand and
// entered settings of their own: the snapshot from before is not written
// over them without a question that says how much would change.
TEST_F(RecoveryTest, SettingsEnteredSinceAreNotOverwrittenWithoutAsking) {
  TMainForm &f = StartDemo();
  KillIn(QStringLiteral("Перезагрузка"), 100, 1);  // the firmware's reboot
  EXPECT_THROW(f.CheckConnectButtonClick(), Killed);
  ASSERT_EQ(PendingSerials(), QStringList{kSerial});
  // The set-up by hand, then a setting of the owner's.
  TDriver *drv = Driver();
  ASSERT_EQ(drv->ResetSettings(), 0);
  drv->setDate(datetime::FromDate(QDate::currentDate()));
  ASSERT_EQ(drv->SetDate(), 0);
  ASSERT_EQ(drv->ConfirmDate(), 0);
  drv->setTime(datetime::TimeOfDay(QTime::currentTime()));
  ASSERT_EQ(drv->SetTime(), 0);
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"),
                 QStringLiteral("555")}),
            0);

  TMainForm &g = Restart();
  boxes.script = {true, false};  // finish it; keep the settings as they are
  g.CheckConnectButton->click();
  ASSERT_GE(boxes.boxes.size(), 2);
  EXPECT_TRUE(boxes.boxes[1].text.startsWith(QStringLiteral("Настройки ККТ 0000420150 изменились после прерванного "
                                                            "обновления. Снимок настроек, снятый до него, перезапишет "
                                                            "ячеек: ")))
      << boxes.boxes[1].text.toStdString();
  QString cell;
  Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")}, &cell);
  EXPECT_EQ(cell.trimmed(), QStringLiteral("555"));
  EXPECT_TRUE(PendingSerials().isEmpty());
  EXPECT_TRUE(boxes.boxes.last().text.contains(QStringLiteral("оставлены как есть"))) << boxes.boxes.last().text.toStdString();
}

// Killed before the register was switched: there is nothing to finish.
TEST_F(RecoveryTest, ATransferThatNeverStartedIsForgotten) {
  TMainForm &f = StartDemo();
  ASSERT_EQ(Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("dfu-refused")}), 0);
  f.CheckConnectButton->click();
  EXPECT_TRUE(PendingSerials().isEmpty());
  EXPECT_FALSE(Events().contains(QStringLiteral("recovery")));
}

TEST(HistoryJournal, TornLinesAreSkippedAndTheFileRotates) {
  QTemporaryDir dir;
  qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path()));
  history::Append({{QStringLiteral("event"), QStringLiteral("run-start")}, {QStringLiteral("serial"), QStringLiteral("1")}});
  {
    QFile f(history::JournalPath());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("{\"event\":\"pass\",\"ser");  // a crash in the middle of a line
  }
  history::Append({{QStringLiteral("event"), QStringLiteral("run-end")}, {QStringLiteral("serial"), QStringLiteral("2")}});
  QStringList got;
  for (const QJsonObject &o : history::Read()) got << o.value(QStringLiteral("event")).toString();
  EXPECT_EQ(got, (QStringList{QStringLiteral("run-start"), QStringLiteral("run-end")}));
  EXPECT_EQ(history::Read(history::JournalPath(), QStringLiteral("2")).size(), 1);

  // At 10 MiB the file moves aside; one old file is kept.
  for (int round = 0; round < 2; ++round) {
    QFile f(history::JournalPath());
    ASSERT_TRUE(f.open(QIODevice::Append));
    ASSERT_TRUE(f.resize(history::kRotateBytes));
    f.close();
    history::Append({{QStringLiteral("event"), QStringLiteral("run-start")}, {QStringLiteral("round"), round}});
  }
  EXPECT_LT(QFileInfo(history::JournalPath()).size(), 1000);
  EXPECT_TRUE(QFileInfo::exists(history::JournalPath() + QStringLiteral(".1")));
  EXPECT_FALSE(QFileInfo::exists(history::JournalPath() + QStringLiteral(".2")));

  // Sinks see every record as it is written.
  struct Seen : history::Sink {
    QList<QJsonObject> got;
    void Record(const QJsonObject &r) override { got << r; }
  } sink;
  history::AddSink(&sink);
  history::Append({{QStringLiteral("event"), QStringLiteral("recovery")}});
  history::RemoveSink(&sink);
  ASSERT_EQ(sink.got.size(), 1);
  EXPECT_TRUE(sink.got[0].contains(QStringLiteral("time")));
  qunsetenv("XDG_STATE_HOME");
}

// `tavelin --history` needs no display.
TEST_F(RecoveryTest, HistoryPrintsWithoutADisplay) {
  history::Append({{QStringLiteral("event"), QStringLiteral("run-start")},
                   {QStringLiteral("serial"), kSerial},
                   {QStringLiteral("identity"), QJsonObject{{QStringLiteral("firmware"), QStringLiteral("A.4")}}}});
  history::Append({{QStringLiteral("event"), QStringLiteral("run-start")}, {QStringLiteral("serial"), QStringLiteral("0000990150")}});
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.remove(QStringLiteral("QT_QPA_PLATFORM"));
  env.insert(QStringLiteral("XDG_STATE_HOME"), stateDir);
  env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
  p.setProcessEnvironment(env);
  const struct {
    QStringList args;
    int lines;
    QString has;
  } cases[] = {
      {{QStringLiteral("--history")}, 3, QStringLiteral("ПО A.4")},
      {{QStringLiteral("--history"), QStringLiteral("--json")}, 2, QStringLiteral("\"event\":\"run-start\"")},
      {{QStringLiteral("--history"), QStringLiteral("--json"), QStringLiteral("--serial"), kSerial}, 1, kSerial},
  };
  for (const auto &c : cases) {
    p.start(testpaths::Bin(QStringLiteral("tavelin")), c.args);
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size(), c.lines) << out.toStdString();
    EXPECT_TRUE(out.contains(c.has)) << out.toStdString();
  }
  // A pipe in the history's place neither holds the command nor passes for
  // an empty history: what the old file holds is printed, the pipe named.
  const QString path = history::JournalPath();
  ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".1")));
  ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
  p.start(testpaths::Bin(QStringLiteral("tavelin")), {QStringLiteral("--history")});
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).contains(QStringLiteral("ПО A.4")));
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_TRUE(err.contains(path) && err.contains(QStringLiteral("не обычный файл"))) << err.toStdString();
}
