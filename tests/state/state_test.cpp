// What outlives a run: the update history and the kept images, on disk as a
// crash, a full folder or another program may leave them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <functional>

#include "common/error.h"
#include "state/history.h"
#include "state/pending.h"

namespace {

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("state"))));
  }
  void TearDown() override { qunsetenv("XDG_STATE_HOME"); }

  static QJsonObject Event(const char *name) { return {{QStringLiteral("event"), QString::fromLatin1(name)}}; }
  static QStringList Events() {
    QStringList out;
    for (const QJsonObject &r : history::Read()) out << r.value(QStringLiteral("event")).toString();
    return out;
  }
  static mode_t Mode(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : 0;
  }

  QTemporaryDir root;
};

}  // namespace

TEST_F(StateTest, TheHistorySurvivesATornLineAndRotates) {
  history::Append(Event("one"));
  const QString path = history::JournalPath();
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_EQ(Mode(history::StateDir()), 0700u);
  // A crash in the middle of a line: that line is lost, the next one is not.
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("{\"event\":\"to");
  }
  history::Append(Event("two"));
  EXPECT_EQ(Events(), (QStringList{QStringLiteral("one"), QStringLiteral("two")}));
  // Full: the file moves aside, and is still read.
  ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), history::kRotateBytes), 0);
  history::Append(Event("three"));
  EXPECT_TRUE(QFile::exists(path + QStringLiteral(".1")));
  EXPECT_EQ(Events().last(), QStringLiteral("three"));
  EXPECT_EQ(Events().first(), QStringLiteral("one"));
}

TEST_F(StateTest, TheHistoryIsNeverWrittenThroughALink) {
  const QString victim = root.filePath(QStringLiteral("victim"));
  QFile(victim).open(QIODevice::WriteOnly);
  const QString path = history::JournalPath();
  ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(path).constData()), 0);
  history::Append(Event("one"));
  EXPECT_EQ(QFileInfo(victim).size(), 0);
}

// A history file that is there but cannot be read is named, and what can be
// read is still given; a missing one is no error.
TEST_F(StateTest, AHistoryThatCannotBeReadIsNamed) {
  const struct {
    const char *what;
    std::function<void(const QString &)> put;
    const char *reason;
  } cases[] = {
      {"missing", [](const QString &) {}, nullptr},
      {"a pipe", [](const QString &p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0600), 0); },
       "не обычный файл"},
      {"a link", [](const QString &p) { ASSERT_EQ(::symlink("/etc/hostname", QFile::encodeName(p).constData()), 0); },
       "символическая ссылка"},
      {"a folder", [](const QString &p) { ASSERT_TRUE(QDir().mkpath(p)); }, "не обычный файл"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const QString path = history::JournalPath();
    QDir(root.filePath(QStringLiteral("state"))).removeRecursively();
    history::Append(Event("old"));
    ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".1")));
    c.put(path);
    if (c.reason) history::Append(Event("lost"));  // said in the log; never written through what is there
    QString error;
    const QList<QJsonObject> records = history::Read(path, QString(), &error);
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.front().value(QStringLiteral("event")).toString(), QStringLiteral("old"));
    if (c.reason) {
      EXPECT_TRUE(error.contains(path)) << error.toStdString();
      EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << error.toStdString();
    } else {
      EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    }
  }
}

TEST_F(StateTest, WithoutAStateFolderNothingIsWrittenElsewhere) {
  // The state folder would have to be made under a file.
  QFile(root.filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly);
  qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("file/state"))));
  const QString cwd = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(root.path()));
  history::Append(Event("one"));
  EXPECT_TRUE(history::Read().isEmpty());
  EXPECT_FALSE(QFile::exists(root.filePath(QStringLiteral("history.jsonl"))));
  EXPECT_TRUE(pending::PendingRoot().isEmpty());
  TFWRule rule;
  rule.filename = QStringLiteral("boot.bin");
  EXPECT_THROW(pending::Keep(QStringLiteral("0000420150"), QStringLiteral("0150"), {}, rule,
                             root.filePath(QStringLiteral("file"))),
               Exception);
  EXPECT_FALSE(QFile::exists(root.filePath(QStringLiteral("pending"))));
  QDir::setCurrent(cwd);
}

TEST_F(StateTest, AKeptImageIsPrivateWholeAndFoundAgain) {
  const QString image = root.filePath(QStringLiteral("boot.bin"));
  {
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(70000, 'x'));
  }
  TFWRule rule;
  rule.level = 1;
  rule.blver = 160;
  rule.filename = QStringLiteral("boot.bin");
  const pending::TDeviceRef device{1, QStringLiteral("ККТ 1"), 1, QStringLiteral("COM:1 115200 бит/с")};
  pending::TPending p = pending::Keep(QStringLiteral("0000420150"), QStringLiteral("0150"), device, rule, image);
  EXPECT_EQ(Mode(p.image()), 0600u);
  EXPECT_EQ(Mode(p.folder), 0700u);
  EXPECT_TRUE(pending::ImageIntact(p));
  const auto found = pending::FindForDevice(device);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->device.port, 1);
  EXPECT_EQ(found->device.connection, device.connection);
  EXPECT_EQ(found->rule.blver, 160);
  // Damaged on disk: no longer the image that was kept.
  {
    QFile f(p.image());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(100);
    f.write("y");
  }
  EXPECT_FALSE(pending::ImageIntact(p));
  pending::Remove(p);
  EXPECT_FALSE(pending::FindForSerial(QStringLiteral("0000420150")).has_value());
  // Whatever a register reports as its serial names one folder inside, its own.
  const struct {
    const char *serial;
    const char *folder;
  } serials[] = {{"00 0420150", "00%200420150"}, {"../x", "%2E%2E%2Fx"}, {"00%200420150", "00%25200420150"},
                 {"№5", "%E2%84%965"}};
  for (const auto &c : serials) {
    SCOPED_TRACE(c.serial);
    const pending::TPending kept =
        pending::Keep(QString::fromUtf8(c.serial), QStringLiteral("0150"), device, rule, image);
    EXPECT_EQ(kept.folder, pending::PendingRoot() + QLatin1String(c.folder) + QLatin1Char('/'));
    const auto again = pending::FindForSerial(QString::fromUtf8(c.serial));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->serial, QString::fromUtf8(c.serial));
  }
  // A record cut short is named as damaged; a folder whose record is not
  // written yet (another program making it now) is not.
  QDir().mkpath(pending::PendingRoot() + QStringLiteral("0000990150"));
  QDir().mkpath(pending::PendingRoot() + QStringLiteral("0000980150"));
  {
    QFile cut(pending::PendingRoot() + QStringLiteral("0000990150/pending.json"));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write("{\"serial\":\"00009901");
  }
  QStringList unreadable;
  EXPECT_EQ(pending::All(&unreadable).size(), 4);
  EXPECT_EQ(unreadable, QStringList{pending::PendingRoot() + QStringLiteral("0000990150/pending.json")});
  // The register answers and the folder of its serial has no record: a keep
  // cut short, never switched, removed.
  pending::RemoveUnrecorded(QStringLiteral("0000980150"));
  EXPECT_FALSE(QFileInfo::exists(pending::PendingRoot() + QStringLiteral("0000980150")));
  pending::RemoveUnrecorded(QStringLiteral("0000990150"));  // a damaged record stays for a person to see
  EXPECT_TRUE(QFileInfo::exists(pending::PendingRoot() + QStringLiteral("0000990150/pending.json")));
  // No serial at all names no folder.
  EXPECT_THROW(pending::Keep(QString(), QStringLiteral("0150"), device, rule, image), Exception);
}

TEST_F(StateTest, ARecordOfAnEarlierVersionStillNamesItsDevice) {
  // Earlier versions kept the connection's text as "port".
  const pending::TDeviceRef d = pending::TDeviceRef::FromJson(
      QJsonDocument::fromJson(R"({"number":2,"name":"Касса 2","port":"COM:2 115200 бит/с"})").object());
  EXPECT_EQ(d.number, 2);
  EXPECT_EQ(d.port, 0);
  EXPECT_EQ(d.connection, QStringLiteral("COM:2 115200 бит/с"));
  const QJsonObject now = d.ToJson();
  EXPECT_TRUE(now.value(QStringLiteral("port")).isDouble());
  EXPECT_TRUE(now.value(QStringLiteral("connection")).isString());
}

TEST_F(StateTest, WhatOthersPutInTheStateFolderIsNeverFollowed) {
  history::Append(Event("one"));
  const QString path = history::JournalPath();
  // A line no record could be is skipped, and the reader goes on after it.
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write(QByteArray(3 * 1024 * 1024, 'x') + '\n');
  }
  history::Append(Event("two"));
  EXPECT_EQ(Events(), (QStringList{QStringLiteral("one"), QStringLiteral("two")}));
  // A pipe in the journal's place holds nobody.
  ASSERT_TRUE(QFile::remove(path));
  ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
  EXPECT_TRUE(history::Read().isEmpty());
  history::Append(Event("three"));
  ASSERT_TRUE(QFile::remove(path));

  // A kept image's folder that is a link: what it points to is not removed.
  const QString elsewhere = root.filePath(QStringLiteral("elsewhere"));
  QDir().mkpath(elsewhere);
  QFile(elsewhere + QStringLiteral("/precious")).open(QIODevice::WriteOnly);
  QDir().mkpath(pending::PendingRoot());
  ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(),
                      QFile::encodeName(pending::PendingRoot() + QStringLiteral("0000420150")).constData()),
            0);
  pending::TPending p;
  p.serial = QStringLiteral("0000420150");
  p.folder = pending::PendingRoot() + p.serial + QLatin1Char('/');
  pending::Remove(p);
  EXPECT_TRUE(QFile::exists(elsewhere + QStringLiteral("/precious")));
}

TEST_F(StateTest, AStateFolderOfAnotherUserIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  const QString dir = history::StateDir();
  ASSERT_FALSE(dir.isEmpty());
  ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
  ::chmod(QFile::encodeName(dir).constData(), 0777);
  EXPECT_TRUE(history::StateDir().isEmpty());
  history::Append(Event("one"));
  EXPECT_FALSE(QFile::exists(dir + QStringLiteral("history.jsonl")));
  ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), 0, 0), 0);
}
