// Where the program looks for its own files and for "url.txt": beside the
// executable first, so a build folder or an unpacked copy works, then where
// an installed program keeps them.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "common/apppaths.h"

namespace {

class AppPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    for (const char *var : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"}) saved.append(qgetenv(var));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path("home")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(Path("sys1") + QLatin1Char(':') + Path("sys2")));
    apppaths::SetAppDirForTests(Path("usr/bin"));
  }
  void TearDown() override {
    apppaths::SetAppDirForTests(QString());
    const char *vars[] = {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"};
    for (int i = 0; i < 2; ++i) {
      if (saved[i].isNull())
        qunsetenv(vars[i]);
      else
        qputenv(vars[i], saved[i]);
    }
  }

  QString Path(const char *rel) const { return root.filePath(QString::fromUtf8(rel)); }
  void Touch(const char *rel) {
    QDir().mkpath(QFileInfo(Path(rel)).absolutePath());
    QFile f(Path(rel));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }

  QTemporaryDir root;
  QList<QByteArray> saved;
};

TEST_F(AppPaths, ProgramFileBesideTheExecutableThenInTheLibraryFolder) {
  const struct {
    const char *name;
    std::vector<const char *> present;
    const char *want;
  } cases[] = {
      {"none: the path beside, for the error", {}, "usr/bin/lib.so"},
      {"installed", {"usr/lib/tavelin/lib.so"}, "usr/lib/tavelin/lib.so"},
      {"beside wins", {"usr/bin/lib.so", "usr/lib/tavelin/lib.so"}, "usr/bin/lib.so"},
      {"other library folders are not looked at", {"usr/lib/lib.so", "lib/tavelin/lib.so"}, "usr/bin/lib.so"},
  };
  for (const auto &c : cases) {
    QDir(Path("usr")).removeRecursively();
    QDir(Path("lib")).removeRecursively();
    for (const char *p : c.present) Touch(p);
    EXPECT_EQ(apppaths::ProgramFile(QStringLiteral("lib.so")), Path(c.want)) << c.name;
  }
}

TEST_F(AppPaths, ConfigFileBesideTheExecutableThenUserThenSystem) {
  EXPECT_EQ(apppaths::ConfigDirs(),
            QStringList({Path("home/Korvalis/Tavelin/"), Path("sys1/Korvalis/Tavelin/"),
                         Path("sys2/Korvalis/Tavelin/")}));
  const struct {
    const char *name;
    std::vector<const char *> present;
    const char *want;  // empty: none found
  } cases[] = {
      {"none", {}, ""},
      {"wrong folder", {"home/url.txt", "sys1/Tavelin/url.txt"}, ""},
      {"second system folder", {"sys2/Korvalis/Tavelin/url.txt"}, "sys2/Korvalis/Tavelin/url.txt"},
      {"first system folder",
       {"sys1/Korvalis/Tavelin/url.txt", "sys2/Korvalis/Tavelin/url.txt"},
       "sys1/Korvalis/Tavelin/url.txt"},
      {"user before system",
       {"home/Korvalis/Tavelin/url.txt", "sys1/Korvalis/Tavelin/url.txt"},
       "home/Korvalis/Tavelin/url.txt"},
      {"beside the executable first",
       {"usr/bin/url.txt", "home/Korvalis/Tavelin/url.txt"},
       "usr/bin/url.txt"},
  };
  for (const auto &c : cases) {
    for (const char *d : {"usr", "home", "sys1", "sys2"}) QDir(Path(d)).removeRecursively();
    for (const char *p : c.present) Touch(p);
    const QString got = apppaths::FindConfigFile(QStringLiteral("url.txt"));
    EXPECT_EQ(got, *c.want ? Path(c.want) : QString()) << c.name;
  }
}

}  // namespace
