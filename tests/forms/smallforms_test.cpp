// The notice, the wait window and the busy animation.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "forms/modal_recorder.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/widgetboxes.h"
#include "common/msgbox.h"

namespace {

// Records the addresses the notice asks the desktop to open.
struct OpenerSpy {
  OpenerSpy() {
    SetUrlOpener([this](const QUrl &u) {
      opened.append(u);
      return true;
    });
  }
  ~OpenerSpy() { SetUrlOpener({}); }
  QList<QUrl> opened;
};

TEST(MsgForm, TextsAndGeometry) {
  TMsgForm form;
  EXPECT_TRUE(form.windowTitle().isEmpty());
  EXPECT_EQ(form.size(), QSize(589, 181));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "fixed frame";
  EXPECT_EQ(form.Label1->text(),
            QStringLiteral("Мы очень сожалеем но данная модель ККТ не поддерживается. Если Вы "
                           "хотите своевременно получать обновления кассового ПО, то мы будем "
                           "рады сотрудничеству."));
  EXPECT_TRUE(form.Label1->wordWrap());
  EXPECT_EQ(form.Label2->text(), QString::fromLatin1(kMakerUrl));
  EXPECT_EQ(form.Label2->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_EQ(form.Button1->text(), QStringLiteral("Ok"));
  EXPECT_EQ(form.Button1->geometry(), QRect(506, 148, 75, 25));
}

TEST(MsgForm, LinkUnderlinesWhileHoveredAndOpensOnClick) {
  OpenerSpy spy;
  TMsgForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_FALSE(form.Label2->font().underline());

  const QPointF at(5, 5);
  QEnterEvent enter(at, form.Label2->mapTo(&form, at), form.Label2->mapToGlobal(at));
  QCoreApplication::sendEvent(form.Label2, &enter);
  EXPECT_TRUE(form.Label2->font().underline());
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(form.Label2, &leave);
  EXPECT_FALSE(form.Label2->font().underline());

  EXPECT_TRUE(spy.opened.isEmpty());
  QTest::mouseClick(form.Label2, Qt::LeftButton);
  ASSERT_EQ(spy.opened.size(), 1);
  EXPECT_EQ(spy.opened[0], QUrl(QStringLiteral("https://korvalis.example/")));
  // A click elsewhere on the window opens nothing.
  QTest::mouseClick(form.Label1, Qt::LeftButton);
  EXPECT_EQ(spy.opened.size(), 1);
}

TEST(MsgForm, OkOfTheRealDialog) {
  TMsgForm form;
  QTimer::singleShot(0, &form, [&] { QTest::mouseClick(form.Button1, Qt::LeftButton); });
  form.ShowNotice();
  EXPECT_EQ(form.result(), modal::mrOk);
  EXPECT_FALSE(form.isVisible());

  modal::Recorder rec;
  form.ShowNotice();
  EXPECT_EQ(rec.classNames(), QList<QString>{QStringLiteral("TMsgForm")});
}

TEST(RebootForm, DesignAndCentredOnOwner) {
  QWidget owner;
  owner.setGeometry(100, 80, 1000, 500);
  owner.show();
  TRebootForm form(&owner);
  EXPECT_TRUE(form.isWindow());
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Перезагрузка..."));
  EXPECT_FALSE(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(form.size(), QSize(852, 69));
  EXPECT_EQ(form.Progress->geometry(), QRect(8, 24, 836, 17));
  EXPECT_EQ(form.Progress->minimum(), 1);
  EXPECT_EQ(form.Progress->maximum(), 450);
  EXPECT_EQ(form.Progress->value(), 1);

  form.show();
  EXPECT_EQ(form.frameGeometry().center(), owner.frameGeometry().center());
  // The window manager's close does not take down a wait the run is in.
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  form.hide();
}

TEST(RebootForm, ABoxShownDuringTheWaitIsAboveIt) {
  QWidget owner;
  owner.show();
  TRebootForm wait(&owner);
  wait.show();
  msgbox::InstallWidgetBoxes();
  QWidget *parentOfBox = nullptr;
  QTimer::singleShot(0, [&] {
    if (QWidget *box = QApplication::activeModalWidget()) {
      parentOfBox = box->parentWidget();
      box->close();
    }
  });
  msgbox::ShowInformation(QStringLiteral("Идёт обновление…"));
  msgbox::SetPresenter(nullptr);
  // Owned by the wait window, the box is stacked above it.
  EXPECT_EQ(parentOfBox, &wait);
}

TEST(ProgressTForm, SquareAroundAPlayingAnimation) {
  TProrgessTForm form;
  EXPECT_TRUE(form.isWindow());
  EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
  ASSERT_TRUE(form.Movie->isValid()) << qPrintable(form.Movie->lastErrorString());
  EXPECT_GT(form.Movie->frameCount(), 1);

  form.setWindowTitle(QStringLiteral("Настройка"));
  form.show();
  EXPECT_EQ(form.size(), QSize(68, 68));
  EXPECT_EQ(form.Gif->geometry(), QRect(1, 1, 66, 66));
  EXPECT_EQ(form.Movie->state(), QMovie::Running);
  EXPECT_EQ(form.Movie->currentPixmap().size(), QSize(66, 66));

  // The animation moves on by itself.
  const int first = form.Movie->currentFrameNumber();
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.Movie->currentFrameNumber() != first; }, 2000));
  form.hide();
}

}  // namespace
