// The start-up download when the server is slow, or its package too big, or
// the program is told to end meanwhile.
#include <httplib.h>
#include <signal.h>

#include <QApplication>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

#include "common/signals.h"
#include "appfixture.h"
#include "package/inetutils.h"

using apptest::AppFixture;
using apptest::ReadFile;

namespace {

// Announces `length` bytes and sends them `step` at a time every `pause` ms.
class DrippingServer {
 public:
  DrippingServer(std::size_t length, std::size_t step, int pause) {
    server_.Get("/techno/arhive.zip", [=, this](const httplib::Request &, httplib::Response &res) {
      res.set_header("Last-Modified", "Wed, 09 Dec 2026 10:00:00 GMT");
      res.set_content_provider(length, "application/zip",
                               [=, this](std::size_t, std::size_t, httplib::DataSink &sink) {
                                 if (stopping_) return false;
                                 const std::string chunk(step, 'x');
                                 sent_ += step;
                                 if (!sink.write(chunk.data(), chunk.size())) return false;
                                 std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                                 return true;
                               });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~DrippingServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  QString url() const { return QStringLiteral("http://127.0.0.1:%1/techno/arhive.zip").arg(port_); }
  std::size_t sent() const { return sent_; }

 private:
  httplib::Server server_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> sent_{0};
  int port_ = 0;
  std::thread thread_;
};

class SlowDownloadTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    WatchTerminationSignals();
    TMainForm::SetBuiltInPackageForTests(MakePackage(
        {{QStringLiteral("rules.json"), R"({"RULES":[{"level":1,"bootloader":155,"file":"boot.bin","blver":160}]})"},
         {QStringLiteral("boot.bin"), "built-in"}}));
  }

  void Serve(std::size_t length, std::size_t step, int pause) {
    server = std::make_unique<DrippingServer>(length, step, pause);
    apptest::WriteFile(appDir + QStringLiteral("/url.txt"), server->url().toUtf8() + "\r\n");
  }

  static QProgressDialog *DownloadForm() {
    for (QWidget *w : QApplication::topLevelWidgets())
      if (w->objectName() == QStringLiteral("DownloadForm")) return qobject_cast<QProgressDialog *>(w);
    return nullptr;
  }

  std::unique_ptr<DrippingServer> server;
};

}  // namespace

TEST_F(SlowDownloadTest, ASlowDownloadShowsItsProgressAndCanBeCancelled) {
  Serve(1 << 20, 64, 50);  // a megabyte at about a kilobyte a second
  const struct {
    const char *name;
    std::function<void(QProgressDialog *)> cancel;
  } ways[] = {
      {"the cancel button", [](QProgressDialog *d) { d->cancel(); }},
      {"Esc", [](QProgressDialog *d) { d->reject(); }},
  };
  for (const auto &way : ways) {
    SCOPED_TRACE(way.name);
    boxes.boxes.clear();
    bool visible = false;
    QString label;
    int maximum = -1;
    QTimer::singleShot(1500, [&] {
      QProgressDialog *d = DownloadForm();
      if (!d) return;
      visible = d->isVisible();
      label = d->labelText();
      maximum = d->maximum();
      way.cancel(d);
    });
    TMainForm &f = Start();
    EXPECT_TRUE(visible);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Загрузка пакета: \\d+ из 1024 КиБ$")).match(label).hasMatch())
        << label.toStdString();
    EXPECT_EQ(maximum, 1024);
    // Cancelled like a refused download: the built-in package, no message.
    EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
    EXPECT_TRUE(boxes.texts(msgbox::Kind::Error).isEmpty());
    EXPECT_EQ(DownloadForm(), nullptr);  // gone with the download
  }
}

TEST_F(SlowDownloadTest, APackageAnnouncedOverTheLimitIsNotDownloaded) {
  Serve(std::size_t(kMaxDownloadBytes) + 1, 1 << 20, 0);
  TMainForm &f = Start();
  EXPECT_EQ(ReadFile(f.FTempPath + QStringLiteral("boot.bin")), QByteArray("built-in"));
  // Asked for and not got: said, with the reason.
  EXPECT_EQ(boxes.texts(msgbox::Kind::Error),
            QStringList{QStringLiteral("Не удалось получить новый пакет: Пакет на сервере больше 1024 МиБ. "
                                       "Будет использован встроенный пакет.")});
  // Refused on the announced size: at most what was on its way already.
  EXPECT_LT(server->sent(), std::size_t(64) << 20);
}

TEST_F(SlowDownloadTest, ASignalWhileAskingOrDownloadingLeavesNoFolder) {
  struct Signalling : msgbox::Recorder {
    bool answer(const msgbox::Box &box) override {
      if (signalOnQuestion && box.kind == msgbox::Kind::Question) {
        ::raise(SIGTERM);
        QCoreApplication::processEvents();
      }
      return Recorder::answer(box);
    }
    bool signalOnQuestion = false;
  };
  for (const bool onQuestion : {true, false}) {
    SCOPED_TRACE(onQuestion ? "while asking" : "while downloading");
    Serve(1 << 20, 64, 50);
    Signalling answers;
    answers.signalOnQuestion = onQuestion;
    if (!onQuestion) QTimer::singleShot(500, [] { ::raise(SIGTERM); });
    auto f = std::make_unique<TMainForm>();
    EXPECT_TRUE(f->stopRequested());
    const QString work = f->FTempPath;
    ASSERT_FALSE(work.isEmpty());
    // Nothing more was prepared, and the folder goes with the window.
    EXPECT_FALSE(QFileInfo::exists(work + QStringLiteral("rules.json")));
    f.reset();
    EXPECT_FALSE(QFileInfo::exists(work));
    EXPECT_TRUE(WorkFolders().isEmpty());
  }
}
