// Start-up: the working folder, the package, the rules, the key commands and
// the removal of the folder on close.
#include <zip.h>

#include <QKeyEvent>
#include <QProcess>
#include <QTest>

#include "appfixture.h"

using apptest::AppFixture;
using apptest::ReadFile;
using apptest::WriteFile;

namespace {

const QByteArray kRules = R"({"RULES":[
  {"level":1,"bootloader":155,"file":"boot.bin","blver":160},
  {"level":2,"bootloader":150,"file":"fw.bin","fwver":"A.5","fwbuild":1300}]})";

QList<QPair<QString, QByteArray>> GoodPackage() {
  return {{QStringLiteral("rules.json"), kRules},
          {QStringLiteral("boot.bin"), QByteArray(100, 'b')},
          {QStringLiteral("fw.bin"), QByteArray(5000, 'f')},
          {QStringLiteral("dfu-util-static.exe"), QByteArray("#!/bin/sh\necho ok\n")}};
}

// A ZIP written member by member, names exactly as given.
void WriteZip(const QString &path, const QList<QPair<QString, QByteArray>> &members) {
  int err = 0;
  zip_t *z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  for (const auto &m : members) {
    zip_source_t *src = zip_source_buffer(z, m.second.constData(), m.second.size(), 0);
    ASSERT_GE(zip_file_add(z, m.first.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8), 0);
  }
  ASSERT_EQ(zip_close(z), 0);
}

void PressKeys(QWidget *w, Qt::Key key, Qt::KeyboardModifiers mods) {
  QKeyEvent press(QEvent::KeyPress, key, mods);
  QKeyEvent release(QEvent::KeyRelease, key, mods);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

}  // namespace

TEST_F(AppFixture, PreparesTheWorkingFolderAndRemovesItOnClose) {
  TMainForm::SetBuiltInPackageForTests(MakePackage(GoodPackage()));
  TMainForm &f = Start();
  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.boxes.value(0).text.toStdString();
  ASSERT_EQ(WorkFolders().size(), 1);
  const QString work = f.FTempPath;
  EXPECT_TRUE(work.startsWith(tmpDir + QLatin1Char('/')));
  EXPECT_TRUE(work.endsWith(QLatin1Char('/')));
  EXPECT_EQ(QDir(work).dirName().size(), 8);
  EXPECT_EQ(QFile::permissions(work) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther),
            QFile::Permissions());
  EXPECT_TRUE(QFileInfo::exists(work + QStringLiteral("arhive.zip")));
  EXPECT_EQ(ReadFile(work + QStringLiteral("rules.json")), kRules);
  EXPECT_EQ(ReadFile(work + QStringLiteral("fw.bin")), QByteArray(5000, 'f'));
  EXPECT_NE(ReadFile(work + QStringLiteral("encrypt/fw.bin")), QByteArray(5000, 'f'));
  EXPECT_TRUE(QFileInfo(work + QStringLiteral("dfu-util-static.exe")).isExecutable());
  EXPECT_EQ(f.FRules.size(), 2);
  EXPECT_EQ(f.windowTitle(), QStringLiteral("Vozadozevari ver. 1.0.0.1"));

  // Files written during the run go too; a link out of the folder is not followed.
  WriteFile(work + QStringLiteral("extra/run.log"), "x");
  const QString outside = root.filePath(QStringLiteral("keep.txt"));
  WriteFile(outside, "keep");
  QFile::link(root.path(), work + QStringLiteral("link"));
  f.close();
  EXPECT_FALSE(QFileInfo::exists(work));
  EXPECT_EQ(ReadFile(outside), QByteArray("keep"));
}

TEST_F(AppFixture, TwoInstancesUseTwoFolders) {
  TMainForm::SetBuiltInPackageForTests(MakePackage(GoodPackage()));
  TMainForm a;
  TMainForm b;
  EXPECT_NE(a.FTempPath, b.FTempPath);
  EXPECT_EQ(WorkFolders().size(), 2);
}

// A program killed outright cannot remove its working folder: the next one
// does, and leaves alone what a live program holds and what a mark does not
// truly name.
TEST_F(AppFixture, AKilledProgramsFolderIsRemovedByTheNextStart) {
  TMainForm::SetBuiltInPackageForTests(MakePackage(GoodPackage()));
  const QString marks = stateDir + QStringLiteral("/Korvalis/Tavelin/work/");
  auto markCount = [&] { return QDir(marks).entryList({QStringLiteral("*.lock")}, QDir::Files).size(); };

  // A real program, killed once its folder is made.
  QProcess killed;
  killed.start(testpaths::Bin(QStringLiteral("tavelin")), QStringList{});
  ASSERT_TRUE(killed.waitForStarted(10000));
  for (int i = 0; i < 600 && markCount() < 1; ++i) QTest::qWait(50);
  ASSERT_EQ(markCount(), 1);
  const QString mark = QDir(marks).entryList({QStringLiteral("*.lock")}, QDir::Files).first();
  const QString left = tmpDir + QLatin1Char('/') + mark.chopped(5);
  EXPECT_EQ(ReadFile(marks + mark), (left + QLatin1Char('\n')).toUtf8());
  for (int i = 0; i < 200 && !QFileInfo::exists(left + QStringLiteral("/rules.json")); ++i) QTest::qWait(50);
  killed.kill();
  killed.waitForFinished(10000);
  ASSERT_TRUE(QFileInfo::exists(left));

  // Marks a careless or hostile hand left: a link to a folder elsewhere, a
  // folder with another name than its mark's.
  const QString elsewhere = root.filePath(QStringLiteral("elsewhere"));
  WriteFile(elsewhere + QStringLiteral("/keep.txt"), "keep");
  QFile::link(elsewhere, tmpDir + QStringLiteral("/Lnk00000"));
  WriteFile(marks + QStringLiteral("Lnk00000.lock"), (tmpDir + QStringLiteral("/Lnk00000\n")).toUtf8());
  WriteFile(marks + QStringLiteral("Other000.lock"), (elsewhere + QStringLiteral("\n")).toUtf8());

  // The live program's folder stays while it runs.
  TMainForm live;
  const QString liveFolder = live.FTempPath;
  TMainForm &next = Start();
  EXPECT_FALSE(QFileInfo::exists(left));
  EXPECT_TRUE(QFileInfo::exists(liveFolder + QStringLiteral("rules.json")));
  EXPECT_TRUE(QFileInfo::exists(next.FTempPath + QStringLiteral("rules.json")));
  EXPECT_EQ(ReadFile(elsewhere + QStringLiteral("/keep.txt")), QByteArray("keep"));
  EXPECT_TRUE(QFileInfo(tmpDir + QStringLiteral("/Lnk00000")).isSymLink());
  EXPECT_EQ(markCount(), 2);  // the two live programs'
  next.close();
  EXPECT_EQ(markCount(), 1);
}

TEST_F(AppFixture, PackageUrlComesFromTheFirstLineOfUrlTxt) {
  TMainForm::SetBuiltInPackageForTests(MakePackage(GoodPackage()));
  const struct {
    const char *name;
    QByteArray content;  // empty: no url.txt
    QString url;
  } cases[] = {
      {"none", QByteArray(), TMainForm::DefaultPackageUrl()},
      {"one line", "http://127.0.0.1:9/a.zip", QStringLiteral("http://127.0.0.1:9/a.zip")},
      {"two lines", "http://127.0.0.1:9/a.zip\nhttp://other/b.zip\n",
       QStringLiteral("http://127.0.0.1:9/a.zip")},
      {"CR LF", "http://127.0.0.1:9/c.zip\r\nsecond\r\n", QStringLiteral("http://127.0.0.1:9/c.zip")},
      {"blanks around", " \t http://127.0.0.1:9/d.zip \r\n", QStringLiteral("http://127.0.0.1:9/d.zip")},
      {"blank first line", "\n\nhttp://127.0.0.1:9/e.zip\n", QStringLiteral("http://127.0.0.1:9/e.zip")},
      {"byte-order mark", "\xEF\xBB\xBFhttp://127.0.0.1:9/f.zip\r\n", QStringLiteral("http://127.0.0.1:9/f.zip")},
      {"UTF-8", "http://127.0.0.1:9/\xD0\xBF.zip", QStringLiteral("http://127.0.0.1:9/п.zip")},
      {"8-bit", "http://127.0.0.1:9/\xEF\xE0\xEA\xE5\xF2.zip",
       QStringLiteral("http://127.0.0.1:9/пакет.zip")},
  };
  EXPECT_TRUE(TMainForm::DefaultPackageUrl().startsWith(QStringLiteral("https://")));
  EXPECT_TRUE(TMainForm::DefaultPackageUrl().endsWith(QStringLiteral("/techno/arhive.zip")));
  for (const auto &c : cases) {
    QFile::remove(appDir + QStringLiteral("/url.txt"));
    if (!c.content.isEmpty()) WriteFile(appDir + QStringLiteral("/url.txt"), c.content);
    TMainForm f;
    EXPECT_EQ(f.FPackageUrl, c.url) << c.name;
  }
}

TEST_F(AppFixture, ReportsWhatThePackageLacks) {
  const QString subfolderRules = root.filePath(QStringLiteral("sub.zip"));
  // A member in a sub-folder of the archive stays enciphered and unused.
  WriteZip(subfolderRules, {{QStringLiteral("sub/rules.json"), kRules}});
  const struct {
    const char *name;
    QString package;
    QString expected;  // "%1": the working folder
  } cases[] = {
      {"rules in a sub-folder", subfolderRules, QStringLiteral("File: %1rules.json not found.")},
      {"image missing",
       MakePackage({{QStringLiteral("rules.json"), kRules}, {QStringLiteral("boot.bin"), "b"}}),
       QStringLiteral("Недостаточно файлов для работы.")},
      {"rules rejected",
       MakePackage({{QStringLiteral("rules.json"), R"({"RULES":[{"bootloader":1,"file":"x"}]})"}}),
       QStringLiteral("Ошибка. Отсутствует поле \"level\". Элемент: 0.")},
  };
  for (const auto &c : cases) {
    boxes.boxes.clear();
    TMainForm::SetBuiltInPackageForTests(c.package);
    TMainForm f;
    f.show();
    const QString expected =
        c.expected.contains(QStringLiteral("%1")) ? c.expected.arg(f.FTempPath) : c.expected;
    ASSERT_EQ(boxes.texts(msgbox::Kind::Error), QStringList{expected}) << c.name;
    EXPECT_TRUE(f.isVisible());
  }
}

TEST_F(AppFixture, HostileArchiveIsRefusedAndTheWindowOpens) {
  const QString zip = root.filePath(QStringLiteral("hostile.zip"));
  WriteZip(zip, {{QStringLiteral("rules.json"), kRules},
                 {QStringLiteral("../../escaped.bin"), "evil"}});
  TMainForm::SetBuiltInPackageForTests(zip);
  TMainForm &f = Start();
  const QStringList errors = boxes.texts(msgbox::Kind::Error);
  ASSERT_EQ(errors.size(), 2);  // the refusal, then the missing rules
  EXPECT_TRUE(errors[0].contains(QStringLiteral("escaped.bin"))) << errors[0].toStdString();
  EXPECT_EQ(errors[1], QStringLiteral("File: %1rules.json not found.").arg(f.FTempPath));
  EXPECT_FALSE(QFileInfo::exists(root.filePath(QStringLiteral("escaped.bin"))));
  EXPECT_FALSE(QFileInfo::exists(tmpDir + QStringLiteral("/escaped.bin")));
  EXPECT_TRUE(f.isVisible());
}

TEST_F(AppFixture, BrokenArchiveIsReported) {
  const QString zip = root.filePath(QStringLiteral("broken.zip"));
  WriteFile(zip, "this is not a zip archive");
  TMainForm::SetBuiltInPackageForTests(zip);
  Start();
  ASSERT_EQ(boxes.texts(msgbox::Kind::Error).size(), 2);
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error)[0].contains(QStringLiteral("arhive.zip")))
      << boxes.texts(msgbox::Kind::Error)[0].toStdString();
}

TEST_F(AppFixture, KeyCommandsLoadRulesByHand) {
  TMainForm::SetBuiltInPackageForTests(MakePackage(GoodPackage()));
  TMainForm &f = Start();
  ASSERT_TRUE(boxes.boxes.isEmpty());

  QStringList asked;  // initial folders of the dialogs shown
  QString answer;
  filedialog::SetAnswerer([&](const QString &folder) {
    asked << folder;
    return answer;
  });

  // Only Ctrl+Alt (Shift not examined) opens the dialog, whichever control has the focus.
  const struct {
    Qt::KeyboardModifiers mods;
    bool opens;
  } keys[] = {{Qt::ControlModifier, false},
              {Qt::AltModifier, false},
              {Qt::ControlModifier | Qt::ShiftModifier, false},
              {Qt::ControlModifier | Qt::AltModifier, true},
              {Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier, true}};
  for (const auto &k : keys) {
    asked.clear();
    PressKeys(f.CheckConnectButton, Qt::Key_O, k.mods);
    EXPECT_EQ(asked.size(), k.opens ? 1 : 0) << int(k.mods);
  }
  EXPECT_EQ(asked.value(0), f.FTempPath);
  EXPECT_EQ(f.FRules.size(), 2);  // a cancelled dialog changes nothing

  // The transfer takes the images from the working folder: rules whose images
  // are all there load without a word, wherever the rules file lies.
  const QString other = root.filePath(QStringLiteral("other"));
  WriteFile(other + QStringLiteral("/rules.json"),
            R"({"RULES":[{"level":1,"bootloader":1,"file":"fw.bin"},{"level":1,"bootloader":2,"file":"boot.bin"}]})");
  answer = other + QStringLiteral("/rules.json");
  PressKeys(&f, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_TRUE(boxes.boxes.isEmpty());
  ASSERT_EQ(f.FRules.size(), 2);

  // Images beside the chosen file but not in the working folder are named,
  // each once, on a second line.
  WriteFile(other + QStringLiteral("/rules.json"),
            R"({"RULES":[{"level":1,"bootloader":1,"file":"only.bin"},{"level":1,"bootloader":2,"file":"fw.bin"},
                         {"level":1,"bootloader":3,"file":"new.bin"},{"level":1,"bootloader":4,"file":"only.bin"}]})");
  WriteFile(other + QStringLiteral("/only.bin"), "x");
  WriteFile(other + QStringLiteral("/new.bin"), "x");
  PressKeys(&f, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_EQ(boxes.texts(msgbox::Kind::Error),
            QStringList{QStringLiteral("Недостаточно файлов для перепрошивки.\r\nonly.bin, new.bin")});
  ASSERT_EQ(f.FRules.size(), 4);  // loaded all the same
  EXPECT_EQ(f.FRules[0].filename, QStringLiteral("only.bin"));

  // A broken file is reported, not silently taken as "no rules", and the
  // rules in force stay.
  boxes.boxes.clear();
  WriteFile(answer, "{broken");
  PressKeys(&f, Qt::Key_O, Qt::ControlModifier | Qt::AltModifier);
  ASSERT_EQ(boxes.texts(msgbox::Kind::Error).size(), 1);
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error)[0].endsWith(QStringLiteral("\r\nПравила не заменены, действуют прежние.")))
      << boxes.texts(msgbox::Kind::Error)[0].toStdString();
  EXPECT_EQ(f.FRules.size(), 4);
}

TEST_F(AppFixture, AUrlTxtThatCannotBeReadIsSaidAndTheBuiltInPackageServes) {
  QFile::remove(appDir + QStringLiteral("/url.txt"));
  QDir().mkpath(appDir + QStringLiteral("/url.txt"));
  TMainForm &f = Start();
  const QStringList errors = boxes.texts(msgbox::Kind::Error);
  ASSERT_EQ(errors.size(), 1) << errors.join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(errors[0].contains(QStringLiteral("url.txt — не обычный файл"))) << errors[0].toStdString();
  EXPECT_EQ(f.FPackageUrl, TMainForm::DefaultPackageUrl());
  EXPECT_EQ(f.FRules.size(), 3);
  EXPECT_TRUE(f.FRulesProblem.isEmpty());
}
