// The tables snapshot and the save, verify and restore on the simulated
// register, through the simulator component as the program loads its driver.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextEdit>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <cstring>

#include "forms/tableswindows.h"
#include "common/apppaths.h"
#include "common/msgbox_recorder.h"
#include "device/untDriver.h"
#include "sim/model/store.h"
#include "support/testpaths.h"
#include "tables/tablesfunc.h"
#include "tables/tablesutils.h"

// Readable failures for Russian texts.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

using ojson = nlohmann::ordered_json;

QByteArray ReadFile(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFile(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

// Every text shown in the program's top-level windows: the log window's lines.
QString ShownText() {
  QString out;
  for (QWidget *w : QApplication::topLevelWidgets()) {
    if (!w->isVisible()) continue;
    for (auto *e : w->findChildren<QPlainTextEdit *>()) out += e->toPlainText() + QLatin1Char('\n');
    for (auto *e : w->findChildren<QTextEdit *>()) out += e->toPlainText() + QLatin1Char('\n');
    for (auto *l : w->findChildren<QListWidget *>())
      for (int i = 0; i < l->count(); ++i) out += l->item(i)->text() + QLatin1Char('\n');
  }
  return out;
}

class TablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    // The operations show their progress and log windows, as in the program.
    tablesview::InstallTablesWindows();
    simDir = root.filePath(QStringLiteral("sim"));
    appDir = root.filePath(QStringLiteral("app"));
    QDir().mkpath(simDir);
    QDir().mkpath(appDir);
    qputenv("OSTREL_SIM_DIR", QFile::encodeName(simDir));
    qputenv("OSTREL_DRIVER", QFile::encodeName(testpaths::Bin(QStringLiteral("libostrel-sim.so"))));
    qputenv("OSTREL_SIM_NO_DIALOG", "1");
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("data"))));
    apppaths::SetAppDirForTests(appDir + QLatin1Char('/'));
    store = std::make_unique<osim::Store>(simDir);
    Change([](osim::Register &r) { r.journalOn = true; });
    drv = std::make_unique<TDriver>();
  }
  void TearDown() override { apppaths::SetAppDirForTests(QString()); }

  void Change(const std::function<void(osim::Register &)> &fn) {
    store->Update(1, [&](osim::Register &r) {
      fn(r);
      return true;
    });
  }
  osim::Register Reg() { return store->Read(1); }

  std::unique_ptr<TECRTables> Tables() { return std::make_unique<TECRTables>(drv.get()); }
  QString Snapshot() const { return appDir + QStringLiteral("/ecrdata/0000420150/tables.json"); }

  // A save of the register as it is now.
  QString Save() {
    auto t = Tables();
    return t->TablesData();
  }

  // Cells written since the journal was last cleared, as "table/row/field".
  QStringList Writes() {
    QStringList out;
    for (const auto &e : store->ReadJournal(1)) {
      if (e.at("method") != "WriteTable") continue;
      int t = 0, r = 0, f = 0;
      for (const auto &s : e.at("set")) {
        if (s[0] == "TableNumber") t = s[1].get<int>();
        if (s[0] == "RowNumber") r = s[1].get<int>();
        if (s[0] == "FieldNumber") f = s[1].get<int>();
      }
      out << QStringLiteral("%1/%2/%3").arg(t).arg(r).arg(f);
    }
    return out;
  }

  QTemporaryDir root;
  QString simDir, appDir;
  std::unique_ptr<osim::Store> store;
  std::unique_ptr<TDriver> drv;
  msgbox::Recorder boxes;
};

// ---------------------------------------------------------------------------
// The file's exact form

TEST(SnapshotText, MatchesTheHandWrittenFixture) {
  TFieldsData data(2);
  data[0] = TFieldRec{17, 1, 7, QStringLiteral("Резерв"), 4, 0, 4294967295LL, 4294967295LL, QStringLiteral("-5"), -5};
  // A text field: "IntValue" is not written even when the record holds one.
  data[1] = TFieldRec{11, 2, 1, QStringLiteral("Имя"), 64, 1, 0, 2147483648LL,
                      QStringLiteral("ООО \"Ромашка\"\t\\/") + QChar(1), 77};
  const QByteArray want =
      ReadFile(testpaths::SourceDir() + QStringLiteral("/tests/tables/fixtures/snapshot.json"));
  ASSERT_FALSE(want.isEmpty());
  EXPECT_EQ(TECRTables::FieldsDataToJSON(QStringLiteral("0000420150"), data).toLatin1(), want);
  EXPECT_EQ(TECRTables::FieldsDataToJSON(QString(), {}), QStringLiteral("{\"ecrSerial\":\"\",\"fields\":[]}"));
}

TEST_F(TablesTest, SaveWritesEveryCellAsOneAsciiLine) {
  // Longer than a short string holds: kept whole.
  const std::string longText = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s += i % 2 ? "Ж" : "z";
    return s;
  }();
  Change([&](osim::Register &r) { r.tables[10].at(1, 11).s = longText; });

  auto t = Tables();
  QStringList shows, progress;
  int hides = 0;
  t->OnShowProgress = [&](QObject *s, const QString &p) {
    EXPECT_EQ(s, t.get());
    shows << p;
  };
  t->OnProgress = [&](QObject *, const QString &p) { progress << p; };
  t->OnHideProgress = [&](QObject *, const QString &p) {
    EXPECT_TRUE(p.isEmpty());
    ++hides;
  };
  const QString text = t->TablesData();
  const QByteArray file = ReadFile(Snapshot());
  EXPECT_EQ(file, text.toLatin1());
  EXPECT_FALSE(file.contains('\n'));
  EXPECT_FALSE(file.contains("\": ") || file.contains(", \""));  // compact
  for (char c : file) ASSERT_LT(static_cast<unsigned char>(c), 128u);

  size_t cells = 0;
  for (const auto &tb : Reg().tables) cells += tb.cells.size();
  EXPECT_EQ(t->TablesCount(), 20);
  EXPECT_EQ(t->DataCount(), static_cast<int>(cells));
  EXPECT_EQ(t->LoadedDataCount(), static_cast<int>(cells));

  // The show message, exactly; its counts gather the structure first.
  ASSERT_EQ(shows.size(), 1);
  EXPECT_EQ(shows[0],
            QStringLiteral("{\"func\":{\"type\":\"notify\",\"name\":\"showprogress\"},\"form\":{\"caption\":"
                           "\"Сохранение таблиц.\",\"left\":3,\"top\":3,\"width\":-2,\"height\":-9,\"controls\":{"
                           "\"progress\":[{\"left\":25,\"top\":25,\"width\":-1,\"height\":17,\"min\":1,\"max\":20,"
                           "\"pos\":1,\"name\":\"progress1\"},{\"left\":25,\"top\":65,\"width\":-1,\"height\":17,"
                           "\"min\":1,\"max\":%1,\"pos\":1,\"name\":\"progress2\"}],\"label\":[{\"left\":25,\"top\":3,"
                           "\"width\":-1,\"height\":17,\"caption\":\"Таблица: %s\",\"name\":\"label1\"},{\"left\":25,"
                           "\"top\":45,\"width\":-1,\"height\":17,\"caption\":\"Поле %s\",\"pos\":1,\"name\":\"label2\"}]}}}")
                .arg(cells));
  ASSERT_EQ(progress.size(), static_cast<qsizetype>(cells));
  EXPECT_EQ(progress.first(), QStringLiteral("{\"progress\":{\"progress1\":1,\"progress2\":1,\"label1\":"
                                             "\"Режим работы ККТ\",\"label2\":\"Параметр 1\"}}"));
  EXPECT_TRUE(progress.last().startsWith(QStringLiteral("{\"progress\":{\"progress1\":20,\"progress2\":%1,").arg(cells)));
  EXPECT_EQ(hides, 1);

  const ojson j = ojson::parse(file.toStdString());
  EXPECT_EQ(j.begin().key(), "ecrSerial");
  EXPECT_EQ(j["ecrSerial"], "0000420150");
  const ojson &f = j["fields"];
  ASSERT_EQ(f.size(), cells);
  auto find = [&](int table, int row, int field) -> const ojson & {
    for (const auto &r : f)
      if (r["Table"] == table && r["Row"] == row && r["Number"] == field) return r;
    static const ojson none;
    return none;
  };
  // Limits of -1 are stored as unsigned 32-bit.
  const ojson &reserve = find(17, 1, 7);
  EXPECT_EQ(reserve.dump(), "{\"Table\":17,\"Row\":1,\"Number\":7,\"Name\":\"Резерв\",\"Size\":4,\"FieldType\":0,"
                            "\"MinValue\":4294967295,\"MaxValue\":4294967295,\"IntValue\":0}");
  const ojson &name = find(11, 1, 11);
  ASSERT_TRUE(name.contains("StrValue"));
  EXPECT_FALSE(name.contains("IntValue"));
  EXPECT_EQ(QString::fromStdString(name["StrValue"].get<std::string>()),
            QString::fromStdString(longText));
  // Within a table the cells go field by field, each field's rows in order.
  EXPECT_EQ(f[40].dump().substr(0, 31), "{\"Table\":2,\"Row\":1,\"Number\":1,\"");
  EXPECT_EQ(f[41].dump().substr(0, 31), "{\"Table\":2,\"Row\":2,\"Number\":1,\"");
}

TEST_F(TablesTest, ASecondSaveKeepsThePreviousSnapshotAsBak) {
  Save();
  const QByteArray first = ReadFile(Snapshot());
  Change([](osim::Register &r) { r.tables[8].at(1, 2).i = 999; });
  Save();
  EXPECT_EQ(ReadFile(Snapshot() + QStringLiteral(".bak")), first);
  EXPECT_NE(ReadFile(Snapshot()), first);
  // Nothing else is left beside them.
  EXPECT_EQ(QDir(QFileInfo(Snapshot()).absolutePath()).entryList(QDir::Files),
            (QStringList{QStringLiteral("tables.json"), QStringLiteral("tables.json.bak")}));
}

TEST_F(TablesTest, AnExecutableFolderThatCannotHoldTheSnapshotGivesTheUserDataFolder) {
  const QString installedBin = root.filePath(QStringLiteral("usr/bin"));
  const struct {
    const char *name;
    std::function<void()> arrange;
  } cases[] = {
      {"ecrdata is a file", [&] { WriteFile(appDir + QStringLiteral("/ecrdata"), "not a folder"); }},
      // Root may write to /usr/bin, but an installed program leaves it to the package manager.
      {"installed layout",
       [&] {
         QDir().mkpath(installedBin);
         QDir().mkpath(root.filePath(QStringLiteral("usr/lib/tavelin")));
         apppaths::SetAppDirForTests(installedBin + QLatin1Char('/'));
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    auto t = Tables();
    EXPECT_TRUE(t->FileName().startsWith(root.filePath(QStringLiteral("data"))));
    EXPECT_TRUE(t->FileName().endsWith(QStringLiteral("/ecrdata/0000420150/tables.json")));
    t->TablesData();
    EXPECT_TRUE(QFileInfo::exists(t->FileName()));
  }
  EXPECT_FALSE(QFileInfo::exists(installedBin + QStringLiteral("/ecrdata")));
}

TEST_F(TablesTest, ASerialThatIsNoFolderNameStaysInsideEcrdata) {
  Change([](osim::Register &r) { r.setSerial("../../x"); });
  auto t = Tables();
  EXPECT_EQ(t->FileName(), appDir + QStringLiteral("/ecrdata/%2E%2E%2F%2E%2E%2Fx/tables.json"));
}

// ---------------------------------------------------------------------------
// Reading back

TEST_F(TablesTest, ReadingBackChecksTheSnapshotBeforeTouchingTheRegister) {
  // One cell that differs from the register (table 9, row 1, field 2 holds 150).
  const std::string cell =
      R"({"Table":9,"Row":1,"Number":2,"Name":"x","Size":2,"FieldType":0,"MinValue":0,"MaxValue":65535,"IntValue":7})";
  const std::string good = R"({"ecrSerial":"0000420150","fields":[)" + cell + "]}";
  struct Case {
    const char *name;
    QByteArray file;
    bool verified;
    int writes;  // by the restore from the file
  };
  const Case cases[] = {
      {"valid", QByteArray::fromStdString(good), false, 1},
      // The whole file is read: a snapshot put on several lines by hand as well.
      {"several lines", QByteArray::fromStdString(ojson::parse(good).dump(1)), false, 1},
      {"empty fields", R"({"ecrSerial":"0000420150","fields":[]})", true, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Snapshot(), c.file);
    LastVerifyError = TVerifyError{};
    store->ClearJournal(1);
    EXPECT_EQ(Tables()->Verify(), c.verified);
    QString report;
    GetVerifyError(report);
    if (!c.verified) {
      EXPECT_TRUE(report.endsWith(QStringLiteral("Значение из таблицы: 150, значение из файла: 7"))) << report.toStdString();
    }
    EXPECT_TRUE(Writes().isEmpty());
    Tables()->setTablesData(QString());
    EXPECT_EQ(Writes().size(), c.writes);
    Change([](osim::Register &r) { r.tables[8].at(1, 2).i = 150; });
  }
  EXPECT_TRUE(boxes.boxes.isEmpty());
}

// Snapshots that must not be used: each is refused whole with a reason that
// names it, before any cell is written, by the verify, by the restore and by
// the key command's restore (an error box).
TEST_F(TablesTest, HostileSnapshotsAreRefusedWithTheirReasonAndWriteNothing) {
  const QString dir = testpaths::SourceDir() + QStringLiteral("/tests/tables/fixtures/hostile/");
  auto fixture = [&](const char *name) {
    return [this, path = dir + QString::fromLatin1(name)] { WriteFile(Snapshot(), ReadFile(path)); };
  };
  const QString outside = root.filePath(QStringLiteral("outside.json"));
  struct Case {
    const char *name;
    std::function<void()> arrange;
    const char *reason;  // part of every message
  };
  const Case cases[] = {
      {"not JSON", fixture("not-json.json"), "не JSON"},
      {"truncated", fixture("truncated.json"), "не JSON"},
      {"another register", fixture("other-serial.json"), "другой ККТ (S/N 0000420999)"},
      {"byte order mark", fixture("bom.json"), "BOM"},
      {"null", fixture("null.json"), "не объект JSON"},
      {"an array", fixture("array.json"), "не объект JSON"},
      {"empty file", fixture("empty.json"), "файл пуст"},
      {"no serial", fixture("no-serial.json"), "ecrSerial"},
      {"no fields", fixture("no-fields.json"), "\"fields\""},
      {"a record without its field number", fixture("no-number.json"), "нет ключа \"Number\""},
      // Numbers that do not fit their 32-bit fields are not cut to fit.
      {"a value past 32 bits", fixture("int-wraps.json"), "\"IntValue\": 4294967303"},
      {"a table number past 32 bits", fixture("table-wraps.json"), "\"Table\": 4294967297"},
      {"table 0", fixture("table-zero.json"), "\"Table\": 0"},
      // A bad record after a good one: the good one is not written either.
      {"text for a number", fixture("int-text-after-good.json"), "записи 2"},
      {"a fraction", fixture("int-float-after-good.json"), "не целое число"},
      {"an unknown field type", fixture("fieldtype-7-after-good.json"), "\"FieldType\": 7"},
      {"nested data in a record", fixture("nested-in-record.json"), "вложенность"},
      {"empty records", fixture("empty-records.json"), "в записи 1 нет ключа \"Table\""},
      // Cells the register does not have are never sent to it; a file most of
      // whose cells it lacks is another register's, or none.
      {"mostly cells the register lacks", fixture("absent-cells.json"), "не подходит к этой ККТ: ячеек, которых в ККТ нет: 2 из 3"},
      {"a cell twice", fixture("cell-twice.json"), "(таблица 9, ряд 1, поле 2) записана в нём дважды"},
      {"100,000 levels deep inside a record",
       [&] {
         const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
         WriteFile(Snapshot(), R"({"ecrSerial":"0000420150","fields":[{"Table":9,"Row":1,"Number":2,"Name":)" + deep +
                                   R"(,"FieldType":0,"IntValue":7}]})");
       },
       "вложенность"},
      {"a link", [&] {
         WriteFile(outside, ReadFile(dir + QStringLiteral("../snapshot.json")));
         QFile::remove(Snapshot());
         ASSERT_TRUE(QFile::link(outside, Snapshot()));
       }, "символическая ссылка"},
      {"a link to an endless device", [&] {
         QFile::remove(Snapshot());
         ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), Snapshot()));
       }, "символическая ссылка"},
      {"a pipe", [&] {
         QFile::remove(Snapshot());
         ASSERT_EQ(::mkfifo(QFile::encodeName(Snapshot()).constData(), 0600), 0);
       }, "не обычный файл"},
      {"a folder", [&] {
         QFile::remove(Snapshot());
         QDir().mkpath(Snapshot());
       }, "не обычный файл"},
      {"larger than any register's tables", [&] {
         QFile::remove(Snapshot());
         QFile f(Snapshot());
         ASSERT_TRUE(f.open(QIODevice::WriteOnly));
         ASSERT_TRUE(f.resize(kMaxSnapshotBytes + 1));  // sparse: no disk space taken
       }, "слишком велик"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QDir(Snapshot()).removeRecursively();
    QFile::remove(Snapshot());
    c.arrange();
    const QString reason = QString::fromUtf8(c.reason);
    store->ClearJournal(1);
    boxes.boxes.clear();
    LastVerifyError = TVerifyError{};

    // Verify: false, and the report says why.
    bool verified = true;
    try {
      verified = Tables()->Verify();
      QString report;
      GetVerifyError(report);
      EXPECT_TRUE(report.contains(reason)) << report.toStdString();
    } catch (const std::exception &e) {
      verified = false;
      EXPECT_TRUE(QString::fromUtf8(e.what()).contains(reason)) << e.what();
    }
    EXPECT_FALSE(verified);
    // The restore raises the reason.
    try {
      Tables()->setTablesData(QString());
      ADD_FAILURE() << "no error";
    } catch (const std::exception &e) {
      EXPECT_TRUE(QString::fromUtf8(e.what()).contains(reason)) << e.what();
    }
    // The key command's restore shows it.
    RestoreTables();
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, msgbox::Kind::Error);
    EXPECT_TRUE(boxes.boxes[0].text.contains(reason)) << boxes.boxes[0].text.toStdString();
    EXPECT_TRUE(Writes().isEmpty()) << Writes().join(QLatin1Char(' ')).toStdString();
  }
  EXPECT_EQ(Reg().tables[8].at(1, 2).i, 150);
}

// The save never writes through a link or into something that is not a plain
// file, and the snapshot and its folders are the user's alone.
TEST_F(TablesTest, TheSaveWritesOnlyPlainPrivateFiles) {
  const QString folder = QFileInfo(Snapshot()).absolutePath();
  const QString outside = root.filePath(QStringLiteral("outside.txt"));
  auto mode = [](const QString &p) {
    struct stat st {};
    return ::lstat(QFile::encodeName(p).constData(), &st) == 0 ? (st.st_mode & 07777) : 0u;
  };
  struct Case {
    const char *name;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"the snapshot is a link", [&] { ASSERT_TRUE(QFile::link(outside, Snapshot())); }},
      {"the copy is a link", [&] {
         Save();
         ASSERT_TRUE(QFile::link(outside, Snapshot() + QStringLiteral(".bak")));
       }},
      {"the register's folder is a link", [&] {
         QDir(folder).removeRecursively();
         QDir().mkpath(root.filePath(QStringLiteral("elsewhere")));
         ASSERT_TRUE(QFile::link(root.filePath(QStringLiteral("elsewhere")), folder));
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(folder);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    WriteFile(outside, "not to be overwritten");
    c.arrange();
    try {
      Save();
      ADD_FAILURE() << "no error";
    } catch (const std::exception &e) {
      EXPECT_TRUE(QString::fromUtf8(e.what()).contains(QStringLiteral("ссылка"))) << e.what();
    }
    EXPECT_EQ(ReadFile(outside), QByteArray("not to be overwritten"));
    EXPECT_TRUE(QDir(root.filePath(QStringLiteral("elsewhere"))).isEmpty());
  }

  // Plain again: files 0600, folders 0700, a stray temporary copy cleaned.
  QFile::remove(folder);
  QDir(folder).removeRecursively();
  QDir().mkpath(folder);
  ::chmod(QFile::encodeName(folder).constData(), 0755);
  WriteFile(Snapshot() + QStringLiteral(".bak.tmp"), "left by a save that was cut short");
  Save();
  Save();
  EXPECT_EQ(mode(Snapshot()), 0600u);
  EXPECT_EQ(mode(Snapshot() + QStringLiteral(".bak")), 0600u);
  EXPECT_EQ(mode(folder), 0700u);
  EXPECT_EQ(mode(appDir + QStringLiteral("/ecrdata")), 0700u);
  EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
            (QStringList{QStringLiteral("tables.json"), QStringLiteral("tables.json.bak")}));
}

TEST_F(TablesTest, AFullDiskGivesTheSystemsReasonAndKeepsTheSnapshot) {
  Save();
  const QByteArray before = ReadFile(Snapshot());
  Change([](osim::Register &r) {
    r.tables[8].at(1, 2).i = 999;
    r.journalOn = false;
  });
  // A file size limit stands in for a full disk: the write fails part-way.
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  QString message;
  try {
    Save();
  } catch (const std::exception &e) {
    message = QString::fromUtf8(e.what());
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(message.contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << message.toStdString();
  EXPECT_EQ(ReadFile(Snapshot()), before);
}

TEST_F(TablesTest, ASaveWithoutCellsNeverReplacesASnapshotWithCells) {
  Save();
  const QByteArray before = ReadFile(Snapshot());
  Change([](osim::Register &r) { r.faults.methods.push_back({"GetECRStatus", -1, -1}); });
  auto t = Tables();
  t->TablesData();
  EXPECT_EQ(ReadFile(Snapshot()), before);
  EXPECT_TRUE(ShownText().contains(QStringLiteral("оставлен как был"))) << ShownText().toStdString();
}

TEST_F(TablesTest, TextLongerThan255KeepsItsWholeLength) {
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += i % 2 ? "Ж" : "z";
  Change([&](osim::Register &r) { r.tables[10].at(1, 11).s = longText; });
  Save();
  std::string changed = longText;
  changed.replace(changed.size() - 2, 2, "q");  // the 300th character
  Change([&](osim::Register &r) { r.tables[10].at(1, 11).s = changed; });
  // Compared whole: a difference past the 255th character counts.
  EXPECT_FALSE(Tables()->Verify());
  Tables()->setTablesData(QString());
  EXPECT_EQ(Reg().tables[10].at(1, 11).s, longText);
  EXPECT_TRUE(Tables()->Verify());
}

TEST_F(TablesTest, RestoreWithoutASnapshotFileSaysSoAndTouchesNothing) {
  auto t = Tables();
  try {
    t->setTablesData(QString());
    FAIL() << "no error";
  } catch (const std::exception &e) {
    EXPECT_EQ(QString::fromUtf8(e.what()), QStringLiteral("Файл %1 не найден!").arg(Snapshot()));
  }
  EXPECT_TRUE(Writes().isEmpty());
}

TEST_F(TablesTest, ARecordWithoutANeededKeyEndsTheOperationWithAnError) {
  WriteFile(Snapshot(), R"({"ecrSerial":"0000420150","fields":[{"Table":9,"Row":1,"Name":"x","FieldType":0,"IntValue":1}]})");
  EXPECT_FALSE(VerifyTables());
  QString report;
  GetVerifyError(report);
  EXPECT_TRUE(report.contains(QStringLiteral("\"Number\""))) << report.toStdString();
}

// ---------------------------------------------------------------------------
// Verify

TEST_F(TablesTest, VerifyStopsAtTheFirstDifferenceAndSkipsTheStartCounters) {
  Save();
  InitBypassValues();
  ASSERT_EQ(BypassValues.size(), 2u);
  // The start counters change on every start: not a difference.
  Change([](osim::Register &r) {
    r.tables[19].at(1, 9).i += 1;
    r.tables[19].at(1, 10).i += 7;
  });
  EXPECT_TRUE(Tables()->Verify());

  Change([](osim::Register &r) {
    r.tables[8].at(2, 2).i = 200;                // table 9, row 2, field 2
    r.tables[11].at(3, 1).s = "Новая строка";    // table 12, later
  });
  EXPECT_FALSE(Tables()->Verify());
  QString report;
  GetVerifyError(report);
  EXPECT_EQ(report, QStringLiteral("Ошибка при провертке таблицы: Параметры обмена [9]\r\n"
                                   "Строка: 2 , столбец: 2\r\n"
                                   "Значение из таблицы: 200, значение из файла: 150"));

  // Strings compare exactly: a trailing blank is a difference.
  Change([](osim::Register &r) { r.tables[8].at(2, 2).i = 150; r.tables[11].at(1, 1).s += " "; });
  EXPECT_FALSE(Tables()->Verify());
  GetVerifyError(report);
  EXPECT_EQ(report, QStringLiteral("Ошибка при провертке таблицы: Клише [12]\r\n"
                                   "Строка: 1 , столбец: 1\r\n"
                                   "Значение из таблицы: ДОБРО ПОЖАЛОВАТЬ! , значение из файла: ДОБРО ПОЖАЛОВАТЬ!"));
}

TEST_F(TablesTest, ACellThatCannotBeReadFailsVerifyWithTheDriverError) {
  Save();
  Change([](osim::Register &r) { r.faults.cells.push_back({7, 3, 1, true, false, osim::kCellFault}); });
  EXPECT_FALSE(Tables()->Verify());
  QString report;
  GetVerifyError(report);
  EXPECT_EQ(report, QStringLiteral("Ошибка при провертке таблицы: Наименования отделов [7]\r\n"
                                   "Строка: 3 , столбец: 1\r\n"
                                   "Значение из таблицы: ошибка чтения (166) Ошибка доступа к ячейке таблицы, "
                                   "значение из файла: Отдел 3"));
}

// ---------------------------------------------------------------------------
// Restore

TEST_F(TablesTest, RestoreWritesOnlyTheCellsThatDifferAndLogsRefusedWrites) {
  Save();
  store->ClearJournal(1);
  // Nothing changed: nothing written.
  Tables()->setTablesData(QString());
  EXPECT_TRUE(Writes().isEmpty());

  Change([](osim::Register &r) {
    r.tables[4].at(1, 1).s = "ЧЕКОМ";        // 5/1/1
    r.tables[8].at(1, 2).i = 300;            // 9/1/2
    r.tables[17].at(1, 3).s = "2024-01-01";  // 18/1/3, read-only: the write is refused
    r.tables[19].at(1, 9).i += 1;            // the restore does not skip the start counters
    r.faults.cells.push_back({9, 2, 2, false, true, 170});   // refused with another code
    r.tables[8].at(2, 2).i = 5;
    r.faults.cells.push_back({7, 3, 1, true, false, osim::kCellFault});  // unreadable: written anyway
  });
  // A cell the register does not have (a row past its table's end) is
  // listed as refused and never sent to it.
  QByteArray text = ReadFile(Snapshot());
  text.replace(R"("fields":[)", R"("fields":[{"Table":9,"Row":999,"Number":1,"Name":"z","FieldType":0,"IntValue":1},)");
  WriteFile(Snapshot(), text);
  auto t = Tables();
  QStringList shows;
  int hides = 0;
  t->OnShowProgress = [&](QObject *, const QString &p) { shows << p; };
  t->OnHideProgress = [&](QObject *, const QString &) { ++hides; };
  t->setTablesData(QString());
  EXPECT_EQ(Writes(), (QStringList{QStringLiteral("5/1/1"), QStringLiteral("7/3/1"), QStringLiteral("9/1/2"),
                                   QStringLiteral("9/2/2"), QStringLiteral("18/1/3"), QStringLiteral("20/1/9")}));
  const QString log = ShownText();
  EXPECT_TRUE(log.contains(QStringLiteral(
      "100 Ошибка: Поле доступно только для чтения. Таблица: Заводские параметры. Поле: Дата изготовления.")))
      << log.toStdString();
  EXPECT_TRUE(log.contains(QStringLiteral(
      "170 Ошибка: Ошибка ККТ (код 170). Таблица: Параметры обмена. Поле: Тайм-аут, мс.")))
      << log.toStdString();
  ASSERT_EQ(t->RefusedWrites().size(), 3u);
  EXPECT_EQ(t->RefusedWrites()[0].rec.Row, 999);
  EXPECT_EQ(t->RefusedWrites()[0].description, QStringLiteral("в ККТ нет такой ячейки"));
  t.reset();
  const osim::Register r = Reg();
  EXPECT_EQ(r.tables[4].at(1, 1).s, "НАЛИЧНЫМИ");
  EXPECT_EQ(r.tables[8].at(1, 2).i, 150);
  EXPECT_EQ(r.tables[17].at(1, 3).s, "2024-01-01");
  ASSERT_EQ(shows.size(), 1);
  EXPECT_TRUE(shows[0].contains(QStringLiteral("\"caption\":\"Восстановление таблиц.\"")));
  EXPECT_EQ(hides, 1);
  EXPECT_TRUE(boxes.boxes.isEmpty());
}

// ---------------------------------------------------------------------------
// The driver error prompt

TEST_F(TablesTest, TheDriverErrorPromptDuringTheSave) {
  const QString kStatus = QStringLiteral("Ошибка: (-1) Нет связи с ККТ\r\nПродолжить выполнение ?");
  struct Case {
    const char *name;
    std::function<void(osim::Register &)> fault;
    bool backup;
    std::deque<bool> answers;
    int prompts;
    bool fileWritten;
    int tables;      // in the snapshot
    bool stopped;
    int hides;       // only a save that reaches its end hides its window
  };
  auto status = [](osim::Register &r) { r.faults.methods.push_back({"GetECRStatus", -1, -1}); };
  auto table5 = [](osim::Register &r) { r.faults.tables.push_back({5, 170}); };
  auto cell = [](osim::Register &r) { r.faults.cells.push_back({3, 2, 1, true, false, osim::kCellFault}); };
  const Case cases[] = {
      // Outside the backup a register that does not answer gives an empty snapshot.
      {"status, not a backup", status, false, {}, 0, true, 0, false, 1},
      {"status, backup, Yes", status, true, {true}, 1, true, 0, false, 1},
      {"status, backup, No", status, true, {false}, 1, false, 0, true, 0},
      {"one table, Yes", table5, true, {true}, 1, true, 19, false, 1},
      {"one table, No, not a backup", table5, false, {false}, 1, true, 4, true, 1},
      {"one table, No, backup", table5, true, {false}, 1, false, 0, true, 0},
      {"one cell, Yes", cell, true, {true}, 1, true, 20, false, 1},
      {"one cell, No, not a backup", cell, false, {false}, 1, true, 3, true, 0},
      {"one cell, No, backup", cell, true, {false}, 1, false, 3, true, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(Snapshot());
    Change([&](osim::Register &r) {
      r.faults = osim::Faults();
      c.fault(r);
    });
    boxes.boxes.clear();
    boxes.script = c.answers;
    auto t = Tables();
    t->setBackup(c.backup);
    int hides = 0;
    t->OnHideProgress = [&](QObject *, const QString &) { ++hides; };
    const QString text = t->TablesData();
    ASSERT_EQ(boxes.boxes.size(), c.prompts);
    for (const auto &b : boxes.boxes) {
      EXPECT_EQ(b.kind, msgbox::Kind::Warning);
      EXPECT_EQ(b.caption, QStringLiteral("Драйвер ККТ"));
      EXPECT_TRUE(b.text.endsWith(QStringLiteral("\r\nПродолжить выполнение ?"))) << b.text.toStdString();
    }
    if (c.prompts && QString::fromUtf8(c.name).startsWith(QStringLiteral("status"))) {
      EXPECT_EQ(boxes.boxes[0].text, kStatus);
    }
    EXPECT_EQ(t->Stopped(), c.stopped);
    EXPECT_EQ(QFileInfo::exists(Snapshot()), c.fileWritten);
    EXPECT_EQ(hides, c.hides);
    const ojson j = ojson::parse(text.toStdString());
    std::set<int> tables;
    for (const auto &r : j["fields"]) tables.insert(r["Table"].get<int>());
    EXPECT_EQ(static_cast<int>(tables.size()), c.tables);
    if (c.tables == 19) {
      EXPECT_FALSE(tables.count(5));
    }
  }
}

}  // namespace
