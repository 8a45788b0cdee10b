// The program's own files: private, whole, and never reached through a link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/privatefile.h"

namespace {

QByteArray Read(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

mode_t Mode(const QString &path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class PrivateFileTest : public ::testing::Test {
 protected:
  QString Path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
  QTemporaryDir dir;
};

}  // namespace

TEST_F(PrivateFileTest, AReplaceIsWholeKeepsTheOldAsBackupAndNeverFollowsALink) {
  const QString file = Path("data.json"), bak = Path("data.json.bak");
  ASSERT_EQ(privatefile::Replace(file, "one"), 0);
  EXPECT_EQ(Read(file), "one");
  EXPECT_EQ(Mode(file), 0600u);
  ASSERT_EQ(privatefile::Replace(file, "two", bak), 0);
  EXPECT_EQ(Read(file), "two");
  EXPECT_EQ(Read(bak), "one");
  EXPECT_EQ(Mode(bak), 0600u);
  // A link planted where the temporary file goes is removed, not written through.
  const QString victim = Path("victim");
  QFile(victim).open(QIODevice::WriteOnly);
  ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(file + QStringLiteral(".tmp")).constData()), 0);
  ASSERT_EQ(privatefile::Replace(file, "three"), 0);
  EXPECT_EQ(Read(file), "three");
  EXPECT_EQ(Read(victim), "");
  // A folder that cannot be written leaves the file as it was.
  const QString locked = Path("locked");
  QDir().mkpath(locked);
  ASSERT_EQ(privatefile::Replace(locked + QStringLiteral("/f"), "old"), 0);
  ::chmod(QFile::encodeName(locked).constData(), 0500);
  if (::geteuid() != 0) {  // root writes anywhere
    EXPECT_NE(privatefile::Replace(locked + QStringLiteral("/f"), "new"), 0);
    EXPECT_EQ(Read(locked + QStringLiteral("/f")), "old");
  }
  ::chmod(QFile::encodeName(locked).constData(), 0700);
}

TEST_F(PrivateFileTest, AnAppendIsToAPrivateRegularFileOnly) {
  const QString log = Path("log");
  int fd = privatefile::OpenAppend(log);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(privatefile::WriteAll(fd, QByteArray("a\n")));
  ::close(fd);
  ::chmod(QFile::encodeName(log).constData(), 0644);
  fd = privatefile::OpenAppend(log);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(Mode(log), 0600u);  // narrowed
  // Through a link, or onto a folder: refused.
  const QString link = Path("link");
  ASSERT_EQ(::symlink(QFile::encodeName(log).constData(), QFile::encodeName(link).constData()), 0);
  EXPECT_LT(privatefile::OpenAppend(link), 0);
  QDir().mkpath(Path("folder"));
  EXPECT_LT(privatefile::OpenAppend(Path("folder")), 0);
  EXPECT_EQ(Read(log), "a\n");
}

TEST_F(PrivateFileTest, FoldersAreTheOwnersAndALinkedFolderIsLeftAlone) {
  const QString deep = Path("a/b/c");
  ASSERT_TRUE(privatefile::MakeFolder(deep));
  for (const char *d : {"a", "a/b", "a/b/c"}) EXPECT_EQ(Mode(Path(d)), 0700u) << d;
  ::chmod(QFile::encodeName(deep).constData(), 0755);
  ASSERT_TRUE(privatefile::MakeFolder(deep));
  EXPECT_EQ(Mode(deep), 0700u);
  // A link to someone's folder: its target keeps its mode.
  const QString shared = Path("shared");
  QDir().mkpath(shared);
  ::chmod(QFile::encodeName(shared).constData(), 0755);
  ASSERT_EQ(::symlink(QFile::encodeName(shared).constData(), QFile::encodeName(Path("linked")).constData()), 0);
  EXPECT_TRUE(privatefile::MakeFolder(Path("linked")));
  EXPECT_EQ(Mode(shared), 0755u);
  // A file where a folder should be.
  QFile(Path("file")).open(QIODevice::WriteOnly);
  QString why;
  EXPECT_FALSE(privatefile::MakeFolder(Path("file"), true, &why));
  EXPECT_TRUE(why.contains(QStringLiteral("not a folder"))) << why.toStdString();
}
