// The program's state folder and its log file: where they are, who may read
// them, how the file turns over, and what never goes into it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "common/applog.h"
#include "common/apppaths.h"
#include "common/msgbox_recorder.h"
#include "common/waits.h"

namespace {

mode_t Mode(const QString &path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

QByteArray Read(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class StateFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    for (const char *var : {"XDG_STATE_HOME", "HOME"}) saved.append(qgetenv(var));
    qputenv("HOME", QFile::encodeName(root.filePath(QStringLiteral("home"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("state"))));
    waits::SetClock(&clock);
  }
  void TearDown() override {
    applog::SetRotateSizeForTests(0);
    waits::SetClock(nullptr);
    const char *vars[] = {"XDG_STATE_HOME", "HOME"};
    for (int i = 0; i < 2; ++i) {
      if (saved[i].isNull())
        qunsetenv(vars[i]);
      else
        qputenv(vars[i], saved[i]);
    }
  }
  QString Path(const char *rel) const { return root.filePath(QString::fromUtf8(rel)); }

  QTemporaryDir root;
  QList<QByteArray> saved;
  // Its clock reads a second past its start.
  waits::VirtualClock clock{QDateTime(QDate(2024, 3, 5), QTime(14, 7, 8, 42))};
};

TEST_F(StateFolder, UnderTheStateHomeForItsOwnerOnly) {
  const struct {
    const char *name;
    const char *stateHome;  // nullptr: unset
    bool absolute;
    const char *want;
  } cases[] = {
      {"XDG_STATE_HOME", "state", true, "state/Korvalis/Tavelin/"},
      {"unset: ~/.local/state", nullptr, false, "home/.local/state/Korvalis/Tavelin/"},
      {"relative: ignored", "state", false, "home/.local/state/Korvalis/Tavelin/"},
  };
  for (const auto &c : cases) {
    QDir(Path("state")).removeRecursively();
    QDir(Path("home")).removeRecursively();
    if (!c.stateHome)
      qunsetenv("XDG_STATE_HOME");
    else
      qputenv("XDG_STATE_HOME", c.absolute ? QFile::encodeName(Path(c.stateHome)) : QByteArray(c.stateHome));
    const QString dir = apppaths::StateDir();
    EXPECT_EQ(dir, Path(c.want)) << c.name;
    // Every folder made on the way is private; so are the program's own.
    const QString tavelin = QDir::cleanPath(dir);
    EXPECT_EQ(Mode(tavelin), 0700u) << c.name;
    EXPECT_EQ(Mode(QFileInfo(tavelin).path()), 0700u) << c.name;
  }

  // Folders of the program left wider are narrowed; a file in the way is an error.
  qputenv("XDG_STATE_HOME", QFile::encodeName(Path("state")));
  ::chmod(QFile::encodeName(Path("state/Korvalis/Tavelin")).constData(), 0755);
  EXPECT_EQ(apppaths::StateDir(), Path("state/Korvalis/Tavelin/"));
  EXPECT_EQ(Mode(Path("state/Korvalis/Tavelin")), 0700u);
  QDir(Path("state/Korvalis/Tavelin")).removeRecursively();
  QFile(Path("state/Korvalis/Tavelin")).open(QIODevice::WriteOnly);
  QString why;
  EXPECT_EQ(apppaths::StateDir(&why), QString());
  EXPECT_FALSE(why.isEmpty());
  // The log has nowhere to go: nothing fails.
  applog::Info(QStringLiteral("никуда"));
  EXPECT_EQ(applog::LogFile(), QString());
}

TEST_F(StateFolder, LogFileLinesInUtf8ForItsOwnerOnly) {
  const QString log = Path("state/Korvalis/Tavelin/tavelin.log");
  EXPECT_EQ(applog::LogFile(), log);
  applog::Info(QStringLiteral("Проверка соединения с ККТ %1"));
  waits::Sleep(1001);
  applog::Debug(QStringLiteral("строка\r\nвторая\n"));
  applog::WriteLine(QStringLiteral("[готовая строка]"));
  const QString sep = applog::TimeSeparator();
  const QString want = QStringLiteral("[2024-03-05 14") + sep + QStringLiteral("07") + sep +
                       QStringLiteral("09.042] [INFO ] Проверка соединения с ККТ %1\n") +
                       QStringLiteral("[2024-03-05 14") + sep + QStringLiteral("07") + sep +
                       QStringLiteral("10.043] [DEBUG] строка\n    вторая\n[готовая строка]\n");
  EXPECT_EQ(QString::fromUtf8(Read(log)), want);
  EXPECT_EQ(Mode(log), 0600u);
  // A message of several lines comes back as one entry.
  const QStringList last = applog::LastEntries(2);
  ASSERT_EQ(last.size(), 2);
  EXPECT_TRUE(last[0].endsWith(QStringLiteral("[DEBUG] строка\r\nвторая"))) << last[0].toStdString();
  EXPECT_EQ(last[1], QStringLiteral("[готовая строка]"));

  // A file someone left readable by others is narrowed at the next line.
  ::chmod(QFile::encodeName(log).constData(), 0644);
  qputenv("XDG_STATE_HOME", QFile::encodeName(Path("elsewhere")));
  applog::Info(QStringLiteral("x"));
  qputenv("XDG_STATE_HOME", QFile::encodeName(Path("state")));
  applog::Info(QStringLiteral("y"));
  EXPECT_EQ(Mode(log), 0600u);

  // A link in place of the file is not followed.
  QFile::remove(log);
  const QString victim = Path("victim");
  QFile(victim).open(QIODevice::WriteOnly);
  ASSERT_TRUE(QFile::link(victim, log));
  qputenv("XDG_STATE_HOME", QFile::encodeName(Path("elsewhere")));
  applog::Info(QStringLiteral("x"));
  qputenv("XDG_STATE_HOME", QFile::encodeName(Path("state")));
  applog::Info(QStringLiteral("через ссылку"));
  EXPECT_EQ(Read(victim), QByteArray());
}

TEST_F(StateFolder, RotatesAtTheSizeKeepingThree) {
  applog::SetRotateSizeForTests(1000);
  const QString log = Path("state/Korvalis/Tavelin/tavelin.log");
  // Entries of 100 bytes: ten fill a file; 45 make four full ones, of which
  // the oldest (0 to 9) is dropped, and five in the current one.
  for (int i = 0; i < 45; ++i) {
    const QString prefix = applog::FormatLine(QStringLiteral("[INFO ]"), QString());
    const int fill = 99 - static_cast<int>(prefix.toUtf8().size()) - 3;
    applog::Info(QStringLiteral("%1 ").arg(i, 2, 10, QLatin1Char('0')) + QString(fill, QLatin1Char('x')));
  }
  EXPECT_EQ(Read(log).count('\n'), 5);
  for (int n = 1; n <= 3; ++n) {
    const QString old = log + QLatin1Char('.') + QString::number(n);
    EXPECT_EQ(Read(old).size(), 1000) << n;
    EXPECT_EQ(Mode(old), 0600u) << n;
  }
  EXPECT_FALSE(QFileInfo::exists(log + QStringLiteral(".4")));
  EXPECT_TRUE(Read(log + QStringLiteral(".3")).startsWith(applog::FormatLine(QStringLiteral("[INFO ]"), QStringLiteral("10 x")).toUtf8()));
  EXPECT_TRUE(Read(log).contains("] 40 x"));

  // The saved copy is the whole log, oldest first, for its owner only.
  const QString copy = Path("home/copy.log");
  QDir().mkpath(Path("home"));
  EXPECT_EQ(applog::SaveCopy(copy), QString());
  const QByteArray saved = Read(copy);
  EXPECT_EQ(saved.size(), 3000 + Read(log).size());
  EXPECT_TRUE(saved.indexOf("] 10 x") < saved.indexOf("] 44 x"));
  EXPECT_FALSE(saved.contains("] 09 x"));
  EXPECT_EQ(Mode(copy), 0600u);
  EXPECT_FALSE(applog::SaveCopy(Path("no/such/folder/copy.log")).isEmpty());
  // The window shows the newest entries, even across files.
  const QStringList last = applog::LastEntries(3);
  ASSERT_EQ(last.size(), 3);
  EXPECT_TRUE(last[2].contains(QStringLiteral("] 44 x")));
}

TEST_F(StateFolder, NoCashierPasswordInTheLog) {
  const QString log = Path("state/Korvalis/Tavelin/tavelin.log");
  msgbox::Recorder boxes;
  const QString verify2 = QStringLiteral(
      "Ошибка при провертке таблицы: Пароли кассиров и администраторов [2]\r\nСтрока: 3 , столбец: 1\r\n"
      "Значение из таблицы: 4711, значение из файла: 8812");
  const QString verify3 = QStringLiteral(
      "Ошибка при провертке таблицы: Таблица перевода [3]\r\nСтрока: 1 , столбец: 1\r\n"
      "Значение из таблицы: 4711, значение из файла: 8812");
  msgbox::ShowError(verify2);
  msgbox::ShowError(verify3);
  applog::Info(QStringLiteral("значение: ") + applog::CellValueForLog(2, QStringLiteral("5523")) +
               QStringLiteral(", ") + applog::CellValueForLog(1, QStringLiteral("7")));
  // The operator still sees the values on screen.
  ASSERT_EQ(boxes.boxes.size(), 2);
  EXPECT_EQ(boxes.boxes[0].text, verify2);
  const QString text = QString::fromUtf8(Read(log));
  EXPECT_FALSE(text.contains(QStringLiteral("8812 ")));
  EXPECT_EQ(text.count(QStringLiteral("4711")), 1) << text.toStdString();  // table 3's
  EXPECT_FALSE(text.contains(QStringLiteral("5523")));
  EXPECT_TRUE(text.contains(QStringLiteral("значение: ***, 7")));
  EXPECT_TRUE(text.contains(QStringLiteral("[2]\n    Строка: 3 , столбец: 1\n    Значение из таблицы: ***")));
}

}  // namespace
