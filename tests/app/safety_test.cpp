// Cut short: a close request or a termination signal at each wait of the
// update chain, the second signal, and a program without a working folder.
#include <signal.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>

#include "common/signals.h"
#include "appfixture.h"

using apptest::AppFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
const QString kRefused = QStringLiteral("Идёт обновление ПО ККТ. Закройте программу после его окончания.");

// Driver calls that change the register.
const QStringList kChanging = {QStringLiteral("SetDFUMode"),    QStringLiteral("ResetSettings"),
                               QStringLiteral("SetDate"),       QStringLiteral("ConfirmDate"),
                               QStringLiteral("SetTime"),       QStringLiteral("WriteTable"),
                               QStringLiteral("UpdateFirmware")};

// Where the demo chain spends its (virtual) time, counted in slept ms:
// boot-loader 160, then firmware A.5 (with two cells), then A.6.
enum class Wait { Offer, BootFlashing, BootReboot, A5Flashing, A5Reboot, A6Reboot };

const struct WaitCase {
  const char *name;
  Wait wait;
  std::uint64_t at;        // slept ms at which to act (none for the offer)
  QString identity;        // after a signal there
  int dfuSwitches;         // SetDFUMode calls after a signal there
  QString lastChanging;    // the last register-changing call after a signal there
} kWaits[] = {
    {"offer", Wait::Offer, 0, QStringLiteral("A.4/1234/155"), 0, QString()},
    {"boot-loader flashing wait", Wait::BootFlashing, 1000, QStringLiteral("A.4/1234/160"), 1,
     QStringLiteral("SetDFUMode")},
    {"boot-loader reboot wait", Wait::BootReboot, 10000, QStringLiteral("A.4/1234/160"), 1,
     QStringLiteral("SetDFUMode")},
    {"firmware flashing wait", Wait::A5Flashing, 20000, QStringLiteral("A.5/1300/160"), 2,
     QStringLiteral("WriteTable")},
    {"firmware reboot wait", Wait::A5Reboot, 40000, QStringLiteral("A.5/1300/160"), 2,
     QStringLiteral("WriteTable")},
    {"second firmware reboot wait", Wait::A6Reboot, 60000, QStringLiteral("A.6/1410/160"), 3,
     QStringLiteral("WriteTable")},  // set up again, then its settings written back
};

class SafetyTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    WatchTerminationSignals();
  }

  // The register-changing calls of the journal, in order.
  QStringList ChangingCalls() {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("--json")}, &out), 0);
    QStringList calls;
    for (const auto &e : QJsonDocument::fromJson(out.toUtf8()).array()) {
      const QString m = e.toObject().value(QStringLiteral("method")).toString();
      if (kChanging.contains(m)) calls << m;
    }
    return calls;
  }

  // A fresh register with its journal on and the program with the demo package.
  TMainForm &Fresh() {
    form.reset();
    boxes.boxes.clear();
    dialogs.shown.clear();
    dialogs.onShow = {};
    clock.onSleep = {};
    EXPECT_EQ(Sim({QStringLiteral("init")}), 0);
    EXPECT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
    TMainForm &f = Start();
    EXPECT_EQ(f.FRules.size(), 3);
    boxes.boxes.clear();
    return f;
  }

  // Calls act once, at the wait of c (for the offer: while it is open).
  void ActAt(const WaitCase &c, std::function<void()> act) {
    auto once = std::make_shared<bool>(false);
    auto fire = [once, act] {
      if (*once) return;
      *once = true;
      act();
    };
    if (c.wait == Wait::Offer) {
      dialogs.onShow = [fire](QDialog *) { fire(); };
    } else {
      clock.onSleep = [this, fire, at = clock.slept() + c.at](std::uint64_t) {
        if (clock.slept() >= at) fire();
      };
    }
  }
};

}  // namespace

TEST_F(SafetyTest, ClosingDuringAnyWaitIsRefusedAndTheRunGoesOn) {
  // The refusal box is left open: the run goes on under it, ends in the time
  // the whole chain takes, and the box goes with the run.
  const std::uint64_t chain = 3u * 3050 + 15050 + 2 * 30050;
  auto notices = [](TMainForm &f) {
    int n = 0;
    for (QMessageBox *b : f.findChildren<QMessageBox *>())
      if (b->isVisible() && b->text() == kRefused && !b->isModal()) ++n;
    return n;
  };
  // Records the boxes in place of the fixture's: the closing message comes
  // once the refusal box has gone.
  struct ClosingAfterNotice : msgbox::Recorder {
    std::function<int()> open;
    int openAtClosing = -1;
    bool answer(const msgbox::Box &box) override {
      if (box.text.section(QStringLiteral("\r\n"), 0, 0) == kLatest && open) openAtClosing = open();
      return Recorder::answer(box);
    }
  } closing;
  for (const WaitCase &c : kWaits) {
    SCOPED_TRACE(c.name);
    TMainForm &f = Fresh();
    const QString work = f.FTempPath;
    bool refused = false;
    int open = 0;
    const std::uint64_t start = clock.slept();
    ActAt(c, [&] {
      refused = !f.close();
      refused = !f.close() && refused;  // asked twice: still one box
      open = notices(f);
    });
    closing.boxes.clear();
    closing.openAtClosing = -1;
    closing.open = [&] { return notices(f); };
    int stillOpen = 0;  // sleeps of the run seen with the box open
    auto act = clock.onSleep;
    clock.onSleep = [&, act](std::uint64_t t) {
      if (act) act(t);
      if (notices(f) > 0) ++stillOpen;
    };
    f.CheckConnectButton->click();
    QCoreApplication::processEvents();

    EXPECT_TRUE(refused);
    EXPECT_EQ(open, 1);
    EXPECT_GT(stillOpen, 0);
    EXPECT_EQ(clock.slept() - start, chain);
    EXPECT_EQ(notices(f), 0);  // closed with the run
    EXPECT_EQ(closing.openAtClosing, 0);
    QStringList infos = closing.texts(msgbox::Kind::Information);
    for (QString &t : infos) t = t.section(QStringLiteral("\r\n"), 0, 0);  // what changed follows
    EXPECT_EQ(infos, (QStringList{kRefused, kLatest}));
    EXPECT_EQ(Identity(), QStringLiteral("A.6/1410/160"));  // the whole chain
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(QFileInfo::exists(work));
    // Idle again: the window closes, and its folder goes.
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(QFileInfo::exists(work));
  }
}

TEST_F(SafetyTest, ASignalDuringAnyWaitFinishesTheTransferUnderWayThenCloses) {
  for (const WaitCase &c : kWaits) {
    SCOPED_TRACE(c.name);
    TMainForm &f = Fresh();
    const QString work = f.FTempPath;
    bool signalled = false;
    bool folderKeptWhileRunning = true;
    ActAt(c, [&] {
      signalled = true;
      ::raise(SIGTERM);
      waits::ProcessMessages();  // the signal is taken from the event loop
    });
    auto watch = clock.onSleep;
    clock.onSleep = [&, watch](std::uint64_t t) {
      if (watch) watch(t);
      if (signalled && !QFileInfo::exists(work)) folderKeptWhileRunning = false;
    };
    f.CheckConnectButton->click();

    EXPECT_TRUE(signalled);
    EXPECT_TRUE(f.stopRequested());
    EXPECT_TRUE(folderKeptWhileRunning);
    EXPECT_TRUE(QFileInfo::exists(work));  // the run has only just ended
    EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.boxes.value(0).text.toStdString();
    const QJsonObject state = Show();
    EXPECT_FALSE(state.value(QStringLiteral("dfu")).toBool());
    EXPECT_EQ(Identity(), c.identity);
    const QStringList calls = ChangingCalls();
    EXPECT_EQ(calls.count(QStringLiteral("SetDFUMode")), c.dfuSwitches) << calls.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(calls.value(calls.size() - 1), c.lastChanging) << calls.join(QLatin1Char(' ')).toStdString();

    // Then, from the event loop, the window closes and the folder goes.
    QCoreApplication::processEvents();
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(QFileInfo::exists(work));
    // A run cannot start any more.
    f.CheckConnectButton->click();
    EXPECT_TRUE(ChangingCalls() == calls);
  }
}

TEST_F(SafetyTest, ASignalWhenIdleClosesAtOnce) {
  TMainForm &f = Fresh();
  const QString work = f.FTempPath;
  ::raise(SIGTERM);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(QFileInfo::exists(work));
}

TEST_F(SafetyTest, ASecondSignalEndsTheProgramAtOnceWithoutItsFolder) {
  // The program runs in a child process of its own (a fresh start of this
  // test), which notes its working folder where this process can read it.
  if (!qEnvironmentVariableIsSet("TAVELIN_TEST_FOLDER_NOTE"))
    qputenv("TAVELIN_TEST_FOLDER_NOTE", QFile::encodeName(root.filePath(QStringLiteral("folder.txt"))));
  const QString note = qEnvironmentVariable("TAVELIN_TEST_FOLDER_NOTE");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TMainForm &f = Fresh();
        apptest::WriteFile(note, f.FTempPath.toUtf8());
        clock.onSleep = [](std::uint64_t) {
          ::raise(SIGTERM);  // in the flashing wait, and again at its next step
          waits::ProcessMessages();
        };
        f.CheckConnectButton->click();
        std::_Exit(0);  // not reached
      },
      ::testing::ExitedWithCode(128 + SIGTERM), "");
  const QString work = QString::fromUtf8(apptest::ReadFile(note));
  ASSERT_FALSE(work.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(work));
}

TEST_F(AppFixture, WithoutAWorkingFolderNothingIsReadFromElsewhere) {
  // What a relative path would find: rules and an image in the current folder.
  const QString here = root.filePath(QStringLiteral("here"));
  QDir().mkpath(here);
  apptest::WriteFile(here + QStringLiteral("/rules.json"),
                     R"({"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]})");
  apptest::WriteFile(here + QStringLiteral("/boot.bin"), "b");
  const QString previous = QDir::currentPath();
  QDir::setCurrent(here);
  const QString blocker = root.filePath(QStringLiteral("file"));
  apptest::WriteFile(blocker, "x");

  const struct {
    const char *name;
    QString temp;
  } cases[] = {
      {"missing", blocker + QStringLiteral("/tmp")},  // below a plain file
      {"no folder can be made there", QStringLiteral("/sys")},  // even for root
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    qputenv("TMPDIR", QFile::encodeName(c.temp));
    boxes.boxes.clear();
    TMainForm &f = Start();
    const QStringList errors = boxes.texts(msgbox::Kind::Error);
    ASSERT_EQ(errors.size(), 2) << errors.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(errors[0].startsWith(QStringLiteral("Не удалось создать рабочую папку"))) << errors[0].toStdString();
    EXPECT_EQ(errors[1], QStringLiteral("File: rules.json not found."));
    EXPECT_TRUE(f.FTempPath.isEmpty());
    EXPECT_TRUE(f.FRules.isEmpty());

    // Even with rules in place, no run starts and no driver call is made.
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}), 0);
    f.FRules = {TFWRule{}};
    boxes.boxes.clear();
    f.CheckConnectButton->click();
    EXPECT_EQ(boxes.texts(msgbox::Kind::Error), QStringList{QStringLiteral("File: rules.json not found.")});
    QString journal;
    Sim({QStringLiteral("journal")}, &journal);
    EXPECT_TRUE(journal.trimmed().isEmpty()) << journal.toStdString();
  }
  QDir::setCurrent(previous);
  qputenv("TMPDIR", QFile::encodeName(tmpDir));
}
