// The date request at start-up against a server that accepts the connection
// and says nothing: a small window after a second, which the operator can
// cancel, and a signal that ends the wait at once.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <thread>

#include "common/signals.h"
#include "appfixture.h"
#include "support/loopback_socket.h"

using apptest::AppFixture;
using apptest::ReadFile;

namespace {

// Listens on 127.0.0.1 and never answers: connections wait in the backlog.
class SilentServer {
 public:
  SilentServer() { fd_ = loopback::Listen(port_); }
  ~SilentServer() { ::close(fd_); }
  QString url() const { return QStringLiteral("http://127.0.0.1:%1/techno/arhive.zip").arg(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

QProgressDialog *CheckForm() {
  for (QWidget *w : QApplication::topLevelWidgets())
    if (w->objectName() == QStringLiteral("CheckForm")) return qobject_cast<QProgressDialog *>(w);
  return nullptr;
}

class CheckTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    WatchTerminationSignals();
    TMainForm::SetBuiltInPackageForTests(MakePackage(
        {{QStringLiteral("rules.json"), R"({"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]})"},
         {QStringLiteral("boot.bin"), "built-in"}}));
    apptest::WriteFile(appDir + QStringLiteral("/url.txt"), server.url().toUtf8() + "\n");
  }
  SilentServer server;
};

}  // namespace

TEST_F(CheckTest, ASilentServerGetsAWindowThatCancelsTheCheck) {
  bool visibleEarly = true;
  bool visible = false;
  QString label;
  QTimer::singleShot(400, [&] { visibleEarly = CheckForm() != nullptr; });
  QTimer::singleShot(1500, [&] {
    QProgressDialog *d = CheckForm();
    if (!d) return;
    visible = d->isVisible();
    label = d->labelText();
    d->cancel();
  });
  TMainForm &f = Start();
  EXPECT_FALSE(visibleEarly);  // a quick answer shows nothing
  EXPECT_TRUE(visible);
  EXPECT_EQ(label, QStringLiteral("Проверка наличия нового пакета…"));
  // Cancelled: no date, so no question, and the built-in package.
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  EXPECT_EQ(CheckForm(), nullptr);
}

TEST_F(CheckTest, ASignalDuringTheCheckEndsItAndLeavesNoFolder) {
  for (const int delay : {300, 1500}) {  // before and after the window appears
    SCOPED_TRACE(delay);
    QTimer::singleShot(delay, [] { ::raise(SIGTERM); });
    auto f = std::make_unique<TMainForm>();
    EXPECT_TRUE(f->stopRequested());
    const QString work = f->FTempPath;
    ASSERT_FALSE(work.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(work + QStringLiteral("rules.json")));
    EXPECT_TRUE(boxes.boxes.isEmpty());
    f.reset();
    EXPECT_FALSE(QFileInfo::exists(work));
    EXPECT_TRUE(WorkFolders().isEmpty());
  }
}

TEST_F(CheckTest, ASlowAnswerShowsTheWindowWhichGoesBeforeTheQuestion) {
  httplib::Server slow;
  slow.Get("/techno/arhive.zip", [](const httplib::Request &, httplib::Response &res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    res.set_header("Last-Modified", "Wed, 09 Dec 2026 10:00:00 GMT");
    res.set_content("x", "application/zip");
  });
  const int port = slow.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { slow.listen_after_bind(); });
  apptest::WriteFile(appDir + QStringLiteral("/url.txt"),
                     QStringLiteral("http://127.0.0.1:%1/techno/arhive.zip\n").arg(port).toUtf8());
  struct AtQuestion : msgbox::Recorder {
    bool answer(const msgbox::Box &box) override {
      windowAtQuestion = CheckForm() != nullptr;
      return Recorder::answer(box);
    }
    bool windowAtQuestion = true;
  } answers;
  answers.script = {false};
  bool seen = false;
  QTimer::singleShot(1250, [&] { seen = CheckForm() && CheckForm()->isVisible(); });
  TMainForm &f = Start();
  slow.stop();
  thread.join();
  EXPECT_TRUE(seen);
  EXPECT_EQ(answers.texts(msgbox::Kind::Question).size(), 1);
  EXPECT_FALSE(answers.windowAtQuestion);
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
}
