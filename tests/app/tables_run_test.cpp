// The settings tables around a DFU update and the restore key command, end to
// end on the real main window with the demo package's rules.
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QListWidget>
#include <utility>

#include "appfixture.h"
#include "forms/logformunit.h"
#include "forms/progressformunit.h"
#include "tables/tablesfunc.h"

using apptest::AppFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
const QString kNotUpdated = QStringLiteral("ПО не было обновлено.");

// The lines of the log window as it last showed them (it goes with its
// writer, before the run ends).
class LogCapture : public QObject {
 public:
  LogCapture() { qApp->installEventFilter(this); }
  ~LogCapture() override { qApp->removeEventFilter(this); }
  QString text;

 protected:
  bool eventFilter(QObject *o, QEvent *e) override {
    // Events the window gets once it is built, as it shows each line.
    const auto t = e->type();
    if (t != QEvent::Show && t != QEvent::Paint && t != QEvent::UpdateRequest && t != QEvent::LayoutRequest &&
        t != QEvent::WindowActivate && t != QEvent::Hide)
      return false;
    if (auto *w = dynamic_cast<TLogForm *>(o)) {
      QString t;
      for (int i = 0; i < w->LogLB->count(); ++i) t += w->LogLB->item(i)->text() + QLatin1Char('\n');
      if (!t.isEmpty()) text = t;
    }
    return false;
  }
};

class TablesRunTest : public AppFixture {
 protected:
  TMainForm &StartDemo() {
    TMainForm &f = Start();
    EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.boxes.value(0).text.toStdString();
    EXPECT_EQ(f.FRules.size(), 3);
    boxes.boxes.clear();
    return f;
  }

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

  QStringList Boxes() const {
    static const char *kinds[] = {"error", "info", "question", "plain", "warning"};
    QStringList out;
    // The closing message's second line (what changed) is checked apart.
    for (const auto &b : boxes.boxes)
      out << QString::fromLatin1(kinds[int(b.kind)]) + QStringLiteral(": ") +
                 (b.kind == msgbox::Kind::Information ? b.text.section(QStringLiteral("\r\n"), 0, 0) : b.text);
    return out;
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
  Run({QStringLiteral("journal"), QStringLiteral("on")});

  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
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
                        QStringLiteral("WriteTable 11/1/1"), QStringLiteral("WriteTable 17/1/7"),
                        QStringLiteral("WriteTable 20/1/9"), QStringLiteral("WriteTable 20/1/10"),
                        QStringLiteral("WriteTable 1/1/5"), QStringLiteral("WriteTable 13/2/1"),
                        // A.6: the restore brings back the first pass's rule cells too
                        QStringLiteral("WriteTable 1/1/5"), QStringLiteral("WriteTable 5/1/1"),
                        QStringLiteral("WriteTable 9/1/2"), QStringLiteral("WriteTable 11/1/1"),
                        QStringLiteral("WriteTable 13/2/1"), QStringLiteral("WriteTable 17/1/7"),
                        QStringLiteral("WriteTable 20/1/9"), QStringLiteral("WriteTable 20/1/10")}))
      << writes.join(QStringLiteral(", ")).toStdString();
  // The boot-loader's switch to DFU mode comes without a backup; each
  // firmware's after a save and a verify (a ReadTable per cell each).
  QList<qsizetype> reads;
  qsizetype n = 0;
  for (const QString &c : calls) {
    if (c == QStringLiteral("ReadTable")) ++n;
    if (c == QStringLiteral("SetDFUMode")) reads << std::exchange(n, 0);
  }
  ASSERT_EQ(reads.size(), 3);
  EXPECT_LT(reads[0], 5);
  EXPECT_GT(reads[1], 2 * 2000);
  EXPECT_GT(reads[2], 2 * 2000);

  // The second backup replaced the first, which stays beside it.
  const QByteArray now = apptest::ReadFile(Snapshot());
  const QByteArray before = apptest::ReadFile(Snapshot() + QStringLiteral(".bak"));
  EXPECT_TRUE(now.contains("\"StrValue\":\"\\u0416\\u0434\\u0451\\u043c \\u0412\\u0430\\u0441 \\u0441\\u043d\\u043e\\u0432\\u0430!\""));
  ASSERT_FALSE(before.isEmpty());
  EXPECT_FALSE(before.contains("\\u0416\\u0434\\u0451\\u043c"));
}

TEST_F(TablesRunTest, AFailedVerificationIsReportedAndTheTransferGoesOn) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  // Longer than the snapshot keeps (255): the copy cannot match.
  QString longText;
  for (int i = 0; i < 30; ++i) longText += QStringLiteral("Реквизит%1 ").arg(i);
  ASSERT_GT(longText.size(), 255);
  SetCell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("11"), longText);
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), (QStringList{QStringLiteral("error: Ошибка при провертке таблицы: Реквизиты пользователя [11]\r\n"
                                                 "Строка: 1 , столбец: 11\r\n"
                                                 "Значение из таблицы: ") +
                                      longText + QStringLiteral(", значение из файла: ") + longText.left(255),
                                  QStringLiteral("info: ") + kLatest}));
  EXPECT_EQ(Identity(), QStringLiteral("A.5/1300/155"));
  EXPECT_EQ(Cell(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("11")), longText.left(255).trimmed());
}

TEST_F(TablesRunTest, ARefusedWriteIsLoggedWhileTheRestoreGoesOn) {
  TMainForm &f = StartDemo();
  f.FRules = {f.FRules[1]};
  // A read-only cell the tool can change: the register refuses to write it back.
  SetCell(QStringLiteral("18"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("2024-01-01"));
  SetCell(QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("500"));
  LogCapture log;
  f.CheckConnectButton->click();
  EXPECT_EQ(Boxes(), QStringList{QStringLiteral("info: ") + kLatest});
  EXPECT_TRUE(log.text.contains(QStringLiteral(
      "100 Ошибка: Поле доступно только для чтения. Таблица: Заводские параметры. Поле: Дата изготовления.")))
      << log.text.toStdString();
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
  ASSERT_EQ(got.size(), 4) << got.join(QStringLiteral(" | ")).toStdString();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(got[i].startsWith(QStringLiteral("warning: "))) << got[i].toStdString();
  EXPECT_EQ(got[3], QStringLiteral("info: ") + kLatest);
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
  EXPECT_TRUE(boxes.boxes.isEmpty()) << Boxes().join(QStringLiteral(" | ")).toStdString();
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
