// The settings tables around a DFU update and the restore key command, end to
// end on the real main window with the demo package's rules.
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QListWidget>
#include <functional>
#include <utility>

#include "appfixture.h"
#include "runwindows.h"
#include "forms/logformunit.h"
#include "forms/progressformunit.h"
#include "forms/visuallogger.h"
#include "tables/tablesfunc.h"
#include "tables/tablesutils.h"

using apptest::AppFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
const QString kNotUpdated = QStringLiteral("ПО не было обновлено.");

// The lines of the log window as it last showed them (it goes with its
// writer, before the run ends).
class TablesRunTest : public AppFixture {
 protected:
  void Run(QStringList args) {
    QString out;
    ASSERT_EQ(Sim(args, &out), 0) << out.toStdString();
  }
  void SetCell(const QString &t, const QString &r, const QString &f, const QString &v) {
    Run({QStringLiteral("cell"), t, r, f, v});
  }
  QString Cell(const QString &t, const QString &r, const QString &f) {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("cell"), t, r, f}, &out), 0);
    return out.trimmed();
  }

  // Driver calls of the journal as "Method" or, for cell writes, "WriteTable t/r/f".
  QStringList Calls() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("--json")}, &out), 0);
    QStringList calls;
    for (const auto &v : QJsonDocument::fromJson(out.toUtf8()).array()) {
      const QJsonObject e = v.toObject();
      QString m = e.value(QStringLiteral("method")).toString();
      if (m == QStringLiteral("WriteTable")) {
        int t = 0, r = 0, f = 0;
        for (const auto &p : e.value(QStringLiteral("set")).toArray()) {
          const QJsonArray kv = p.toArray();
          if (kv.at(0) == QStringLiteral("TableNumber")) t = kv.at(1).toInt();
          if (kv.at(0) == QStringLiteral("RowNumber")) r = kv.at(1).toInt();
          if (kv.at(0) == QStringLiteral("FieldNumber")) f = kv.at(1).toInt();
        }
        m += QStringLiteral(" %1/%2/%3").arg(t).arg(r).arg(f);
      }
      calls << m;
    }
    return calls;
  }


  QString Identity() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("show"), QStringLiteral("--json")}, &out), 0);
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }

  QString Snapshot() const { return appDir + QStringLiteral("/ecrdata/0000420150/tables.json"); }

  void PressCtrlAltT(TMainForm &f) {
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    QApplication::sendEvent(&f, &release);
  }
};

}  // namespace

TEST_F(TablesRunTest, AnUpdateKeepsTheChangedSettings) {
  TMainForm &f = StartDemo();
  SetCell(QStringLiteral("5"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("ЧЕКОМ"));
  SetCell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300"));
  SetCell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("ИП Петров"));
  SetCell(QStringLiteral("17"), QStringLiteral("1"), QStringLiteral("7"), QStringLiteral("12345"));
  // Longer than the 255 characters of the old short strings: kept whole.
  QString longText;
  for (int i = 0; i < 30; ++i) longText += QStringLiteral("Реквизит%1 ").arg(i);
  longText = longText.trimmed();
  ASSERT_GT(longText.size(), 255);
  SetCell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("11"), longText);
  Run({QStringLiteral("journal"), QStringLiteral("on")});

  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
  EXPECT_EQ(Cell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("11")), longText);
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_EQ(Cell(QStringLiteral("5"), QStringLiteral("1"), QStringLiteral("1")), QStringLiteral("ЧЕКОМ"));
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")), QStringLiteral("300"));
  EXPECT_EQ(Cell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("1")), QStringLiteral("ИП Петров"));
  EXPECT_EQ(Cell(QStringLiteral("17"), QStringLiteral("1"), QStringLiteral("7")), QStringLiteral("12345"));
  // The rule's own cell of the first firmware pass survived the second.
  EXPECT_EQ(Cell(QStringLiteral("13"), QStringLiteral("2"), QStringLiteral("1")), QStringLiteral("Ждём Вас снова!"));

  // Only cells that differ are written, and only after the register came back:
  // the changed ones, the start counters, the rule's own cells.
  const QStringList calls = Calls();
  const QStringList writes = calls.filter(QStringLiteral("WriteTable"));
  EXPECT_EQ(writes, (QStringList{
                        // A.5: the restore, then the rule's cells
                        QStringLiteral("WriteTable 5/1/1"), QStringLiteral("WriteTable 9/1/2"),
                        QStringLiteral("WriteTable 11/1/1"), QStringLiteral("WriteTable 11/1/11"),
                        QStringLiteral("WriteTable 17/1/7"),
                        QStringLiteral("WriteTable 20/1/9"), QStringLiteral("WriteTable 20/1/10"),
                        QStringLiteral("WriteTable 1/1/5"), QStringLiteral("WriteTable 13/2/1"),
                        // A.6: the restore brings back the first pass's rule cells too
                        QStringLiteral("WriteTable 1/1/5"), QStringLiteral("WriteTable 5/1/1"),
                        QStringLiteral("WriteTable 9/1/2"), QStringLiteral("WriteTable 11/1/1"),
                        QStringLiteral("WriteTable 11/1/11"),
                        QStringLiteral("WriteTable 13/2/1"), QStringLiteral("WriteTable 17/1/7"),
                        QStringLiteral("WriteTable 20/1/9"), QStringLiteral("WriteTable 20/1/10")}))
      << writes.join(QStringLiteral(", ")).toStdString();
  // The boot-loader's switch to DFU mode comes without a backup; the first
  // firmware's after a save and a verify (a ReadTable per cell each); the
  // second keeps the run's snapshot and only verifies.
  QList<qsizetype> reads;
  qsizetype n = 0;
  for (const QString &c : calls) {
    if (c == QStringLiteral("ReadTable")) ++n;
    if (c == QStringLiteral("SetDFUMode")) reads << std::exchange(n, 0);
  }
  ASSERT_EQ(reads.size(), 3);
  EXPECT_LT(reads[0], 5);
  EXPECT_GT(reads[1], 2 * 2000);
  // Before the last: the first firmware's restore and the verify, no save
  // (that would be three reads per cell).
  EXPECT_GT(reads[2], 2 * 2000);
  EXPECT_LT(2 * reads[2], 3 * reads[1]);

  // The snapshot is the settings before the run with the rule's own cells
  // put in: no later save replaced it, and a restore afterwards (Ctrl+Alt+T)
  // keeps what the rule set.
  EXPECT_TRUE(apptest::ReadFile(Snapshot()).contains("\\u0416\\u0434\\u0451\\u043c"));
  EXPECT_FALSE(QFileInfo::exists(Snapshot() + QStringLiteral(".bak")));
  const QString ruleFlag = Cell(QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("5"));
  PressCtrlAltT(f);
  EXPECT_EQ(Cell(QStringLiteral("13"), QStringLiteral("2"), QStringLiteral("1")), QStringLiteral("Ждём Вас снова!"));
  EXPECT_EQ(Cell(QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("5")), ruleFlag);
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")), QStringLiteral("300"));
}

// Runs fn when a window of class W shows with the title given.
template <class W>
struct OnShow : QObject {
  QString title;
  std::function<void()> fn;
  int times = 0;
  OnShow(QString t, std::function<void()> f) : title(std::move(t)), fn(std::move(f)) { qApp->installEventFilter(this); }
  ~OnShow() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject *o, QEvent *e) override {
    if (e->type() == QEvent::Show) {
      auto *w = dynamic_cast<W *>(o);
      if (w && w->windowTitle() == title) {
        ++times;
        fn();
      }
    }
    return false;
  }
};

TEST_F(TablesRunTest, AFailedVerificationIsReportedAndTheTransferGoesOn) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  // The setting changes between the save and its verification.
  OnShow<TProgressForm> change(QStringLiteral("Проверка сохранённых данных."), [&] {
    SetCell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("777"));
  });
  f.CheckConnectButton->click();
  EXPECT_EQ(change.times, 1);
  // Said once, in the closing box: the chain did not wait on it.
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("warning: ") + kLatest +
                                  QStringLiteral("\r\nОшибка при провертке таблицы: Параметры обмена [9]\r\n"
                                                 "Строка: 1 , столбец: 2\r\n"
                                                 "Значение из таблицы: 777, значение из файла: 150")}));
  EXPECT_EQ(f.FRunEnd, TRunEnd::Latest);
  EXPECT_EQ(Identity(), QStringLiteral("A.5/1300/155"));
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")), QStringLiteral("150"));
}

TEST_F(TablesRunTest, AVerificationThatRaisesIsShownOnce) {
  // The snapshot is moved aside just as the verification starts (and back
  // at the first wait after it): the verification raises, and the update's
  // backup step adds no second box of the same failure.
  struct MoveSnapshotAtVerify : QObject {
    QString path;
    bool moved = false;
    bool eventFilter(QObject *o, QEvent *e) override {
      if (e->type() == QEvent::Show && !moved) {
        auto *w = dynamic_cast<TProgressForm *>(o);
        if (w && w->windowTitle() == QStringLiteral("Проверка сохранённых данных."))
          moved = QFile::rename(path, path + QStringLiteral(".aside"));
      }
      return false;
    }
  } move;
  move.path = Snapshot();
  qApp->installEventFilter(&move);
  clock.onSleep = [&](std::uint64_t) {
    if (move.moved) QFile::rename(move.path + QStringLiteral(".aside"), move.path);
  };
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  f.CheckConnectButton->click();
  qApp->removeEventFilter(&move);
  EXPECT_TRUE(move.moved);
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("warning: ") + kLatest +
                                  QStringLiteral("\r\nФайл %1 не найден!").arg(Snapshot())}));
  EXPECT_EQ(Identity(), QStringLiteral("A.5/1300/155"));  // the transfer went on
}

TEST_F(TablesRunTest, ARefusedWriteIsLoggedWhileTheRestoreGoesOn) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  // A read-only cell the tool can change: the register refuses to write it back.
  SetCell(QStringLiteral("18"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("2024-01-01"));
  SetCell(QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("500"));
  // A cashier's password the register refuses to take back: its value is
  // never shown.
  SetCell(QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("4321"));
  Run({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("cell"), QStringLiteral("2"), QStringLiteral("3"),
       QStringLiteral("1"), QStringLiteral("write")});
  apptest::LogWatch log;
  f.CheckConnectButton->click();
  // No box holds the run; the closing box names each cell that was not put
  // back (never a cashier's password), and claims no success.
  const QStringList got = Boxes();
  ASSERT_EQ(got.size(), 1) << got.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(got[0].startsWith(QStringLiteral("warning: ") + kLatest +
                                QStringLiteral("\r\nНе восстановлены ячейки настроек (2):\r\n")))
      << got[0].toStdString();
  EXPECT_TRUE(got[0].contains(QStringLiteral("Таблица 18, ряд 1, поле 3 (Заводские параметры / Дата изготовления): (100) ")))
      << got[0].toStdString();
  EXPECT_TRUE(got[0].contains(QStringLiteral("Таблица 2, ряд 3, поле 1 (Пароли кассиров и администраторов / Пароль): ")))
      << got[0].toStdString();
  EXPECT_FALSE(got[0].contains(QStringLiteral("4321")));
  EXPECT_EQ(f.FRunEnd, TRunEnd::Error);
  EXPECT_TRUE(log.text.contains(QStringLiteral(
      "100 Ошибка: Поле доступно только для чтения. Таблица: Заводские параметры. Поле: Дата изготовления.")))
      << log.text.toStdString();
  EXPECT_TRUE(log.text.contains(QStringLiteral(
      "Не восстановлено: Таблица 18, ряд 1, поле 3 (Заводские параметры / Дата изготовления), должно быть: «2024-01-01».")))
      << log.text.toStdString();
  EXPECT_TRUE(log.text.contains(QStringLiteral("Таблица 2, ряд 3, поле 1 (Пароли кассиров и администраторов / Пароль), "
                                               "должно быть: значение скрыто")))
      << log.text.toStdString();
  EXPECT_FALSE(log.text.contains(QStringLiteral("4321")));
  // The window and its lines stay after the run, until the operator closes it.
  auto *kept = dynamic_cast<TVisualLogger *>(KeptTablesLog());
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(kept->Form()->isVisible());
  EXPECT_GE(kept->Form()->LogLB->count(), 4);
  kept->Form()->close();
  EXPECT_FALSE(kept->Form()->isVisible());
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2")), QStringLiteral("500"));
  EXPECT_EQ(Cell(QStringLiteral("18"), QStringLiteral("1"), QStringLiteral("3")), QStringLiteral("2020-11-02"));
}

TEST_F(TablesRunTest, NoAtTheDriverPromptStopsTheRunBeforeDfuMode) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  Run({QStringLiteral("journal"), QStringLiteral("on")});
  Run({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("table"), QStringLiteral("7")});
  boxes.script = {false};
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("warning: Ошибка: (166) Ошибка доступа к ячейке таблицы\r\n"
                                                 "Продолжить выполнение ?"),
                                  QStringLiteral("info: ") + kNotUpdated}));
  EXPECT_EQ(boxes.boxes[0].caption, QStringLiteral("Драйвер ККТ"));
  EXPECT_FALSE(Calls().contains(QStringLiteral("SetDFUMode")));
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
  EXPECT_FALSE(QFileInfo::exists(Snapshot()));

  // Yes leaves the table out and the update goes on; the verify and the
  // restore meet the same table and ask too.
  boxes.boxes.clear();
  f.CheckConnectButton->click();
  const QStringList got = Boxes();
  // The table the save left out is named in the closing box, which claims
  // no success; no other box holds the run.
  ASSERT_EQ(got.size(), 4) << got.join(QStringLiteral(" | ")).toStdString();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(got[i].startsWith(QStringLiteral("warning: Ошибка"))) << got[i].toStdString();
  EXPECT_TRUE(got[3].startsWith(QStringLiteral("warning: ") + kLatest +
                                QStringLiteral("\r\nНе восстановлены ячейки настроек (1):\r\nТаблица 7, ряд 0, поле 0 (")))
      << got[3].toStdString();
  EXPECT_EQ(f.FRunEnd, TRunEnd::Error);
  EXPECT_EQ(Identity(), QStringLiteral("A.5/1300/155"));
  EXPECT_FALSE(apptest::ReadFile(Snapshot()).contains("\"Table\":7,"));
}

TEST_F(TablesRunTest, CtrlAltTRestoresTheSnapshotOnce) {
  TMainForm &f = StartDemo();
  QString data;
  ASSERT_TRUE(SaveTables(data));
  SetCell(QStringLiteral("7"), QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("Бакалея"));
  SetCell(QStringLiteral("8"), QStringLiteral("4"), QStringLiteral("3"), QStringLiteral("15"));
  Run({QStringLiteral("journal"), QStringLiteral("on")});

  // While the restore runs its window lets events through: neither a second
  // restore nor an update run may start inside it.
  struct Meddler : QObject {
    TMainForm *f;
    int tries = 0;
    bool eventFilter(QObject *o, QEvent *e) override {
      if (e->type() == QEvent::Show && dynamic_cast<TProgressForm *>(o) && tries++ == 0) {
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
        QApplication::sendEvent(f, &release);
        f->CheckConnectButton->click();
      }
      return false;
    }
  } meddler;
  meddler.f = &f;
  qApp->installEventFilter(&meddler);
  PressCtrlAltT(f);
  qApp->removeEventFilter(&meddler);

  EXPECT_EQ(meddler.tries, 1);
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: Таблицы восстановлены: записано ячеек: 2.")});
  boxes.boxes.clear();
  EXPECT_TRUE(dialogs.shown.isEmpty());
  const QStringList calls = Calls();
  EXPECT_EQ(calls.filter(QStringLiteral("WriteTable")),
            (QStringList{QStringLiteral("WriteTable 7/2/1"), QStringLiteral("WriteTable 8/4/3")}));
  EXPECT_FALSE(calls.contains(QStringLiteral("GetCountLD")));
  EXPECT_EQ(Cell(QStringLiteral("7"), QStringLiteral("2"), QStringLiteral("1")), QStringLiteral("Отдел 2"));
  EXPECT_EQ(Cell(QStringLiteral("8"), QStringLiteral("4"), QStringLiteral("3")), QStringLiteral("8"));

  // Without a snapshot the key says so.
  QFile::remove(Snapshot());
  PressCtrlAltT(f);
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("error: Файл ") + Snapshot() + QStringLiteral(" не найден!")});
}

// The settings before the run are its snapshot: a set-up the program runs
// after a transfer that saved nothing writes it back.
TEST_F(TablesRunTest, ASetUpAfterATransferWithoutBackupRestoresTheRunsSnapshot) {
  TMainForm &f = StartDemo();
  SetCell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300"));
  SetCell(QStringLiteral("5"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("ЧЕКОМ"));
  // The boot-loader is declined, the firmware taken; the boot-loader then
  // comes without asking, and the register asks to be set up after it.
  dialogs.script = {modal::mrCancel, modal::mrOk};
  OnShow<TProgressForm> arm(QStringLiteral("Восстановление таблиц."), [&] {
    if (Identity().startsWith(QStringLiteral("A.5")))
      Run({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("restart-code"), QStringLiteral("116")});
  });
  f.CheckConnectButton->click();
  EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")), QStringLiteral("300"));
  EXPECT_EQ(Cell(QStringLiteral("5"), QStringLiteral("1"), QStringLiteral("1")), QStringLiteral("ЧЕКОМ"));
  // The snapshot is still the settings before the run.
  for (const auto &v : QJsonDocument::fromJson(apptest::ReadFile(Snapshot())).object().value(QStringLiteral("fields")).toArray()) {
    const QJsonObject o = v.toObject();
    if (o.value(QStringLiteral("Table")).toInt() == 9 && o.value(QStringLiteral("Row")).toInt() == 1 &&
        o.value(QStringLiteral("Number")).toInt() == 2) {
      EXPECT_EQ(o.value(QStringLiteral("IntValue")).toInt(), 300);
    }
  }
}

TEST_F(TablesRunTest, ASetUpWithNoCopyTakenIsSaidInTheClosingBox) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[0]};  // the boot-loader alone: it keeps no settings
  SetCell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300"));
  Run({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("restart-code"), QStringLiteral("116")});
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("warning: ") + kLatest +
                                 QStringLiteral("\r\nНастройки ККТ сброшены при обновлении, копия настроек не снималась.")});
  EXPECT_FALSE(QFileInfo::exists(Snapshot()));
}

// After an update, a snapshot that cannot be used is named, the copy beside
// it is taken, and when neither can be used the run claims no success.
class SnapshotFallbackTest : public TablesRunTest {
 protected:
  QStringList RunWithDamage(bool damageCopy) {
    const QString dir = appDir + QStringLiteral("/ecrdata/0000420150/");
    const QString path = dir + QStringLiteral("tables.json");
    TMainForm &f = StartDemo();
    f.FRules = {f.FRules[1]};
    SetCell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("300"));
    QByteArray saved;
    OnShow<TProgressForm> keep(QStringLiteral("Проверка сохранённых данных."), [&] { saved = apptest::ReadFile(path); });
    // While the register restarts the snapshot is damaged; the copy beside it
    // holds the snapshot as saved, or is damaged as well.
    OnShow<QWidget> damage(QStringLiteral("Перезагрузка"), [&] {
      apptest::WriteFile(path, "{\"ecrSerial\":");
      apptest::WriteFile(path + QStringLiteral(".bak"), damageCopy ? QByteArray("not json") : saved);
    });
    f.CheckConnectButton->click();
    EXPECT_EQ(damage.times, 1);
    return Boxes();
  }
  QString Path() const { return appDir + QStringLiteral("/ecrdata/0000420150/tables.json"); }
};

TEST_F(SnapshotFallbackTest, TheCopyIsTakenAndSaidSo) {
  // Said once, in the closing box: the run did not wait on it.
  const QStringList got = RunWithDamage(false);
  ASSERT_EQ(got.size(), 1) << got.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(got[0].startsWith(QStringLiteral("warning: ") + kLatest + QStringLiteral("\r\nФайл таблиц ") + Path() +
                                QStringLiteral(" повреждён: это не JSON")))
      << got[0].toStdString();
  EXPECT_TRUE(got[0].endsWith(QStringLiteral("\r\nНастройки ККТ восстанавливаются из предыдущей копии ") + Path() +
                              QStringLiteral(".bak.")))
      << got[0].toStdString();
  EXPECT_EQ(form->FRunEnd, TRunEnd::Latest);
  EXPECT_EQ(Cell(QStringLiteral("9"), QStringLiteral("1"), QStringLiteral("2")), QStringLiteral("300"));
}

TEST_F(SnapshotFallbackTest, WithoutAUsableCopyTheRunClaimsNoSuccess) {
  const QStringList got = RunWithDamage(true);
  ASSERT_EQ(got.size(), 1) << got.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(got[0].startsWith(QStringLiteral("warning: ") + kLatest +
                                QStringLiteral("\r\nНастройки ККТ после обновления не восстановлены.\r\nФайл таблиц ") +
                                Path() + QStringLiteral(" повреждён:")))
      << got[0].toStdString();
  EXPECT_TRUE(got[0].contains(QStringLiteral("\r\nФайл таблиц ") + Path() + QStringLiteral(".bak повреждён: это не JSON")))
      << got[0].toStdString();
  EXPECT_EQ(form->FRunEnd, TRunEnd::Error);
}
