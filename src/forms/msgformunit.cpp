#include "forms/msgformunit.h"
#include "forms/designfonts.h"
#include "forms/centre.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include "forms/modal.h"

TMsgForm *MsgForm = nullptr;

namespace {

TUrlOpener &Opener() {
  static TUrlOpener opener;
  return opener;
}

QFont PixelFont(int px) { return designfonts::DialogPixelFont(px); }

// Top-aligned controls with margins of 3, as the design lays them out.
constexpr int kClientWidth = 589;
constexpr int kClientHeight = 181;
constexpr int kMargin = 3;
constexpr int kPanel1Height = 41;
constexpr int kLabel1Height = 61;
constexpr int kLabel2Height = 19;

}  // namespace

void SetUrlOpener(TUrlOpener opener) { Opener() = std::move(opener); }

bool OpenUrl(const QUrl &url) {
  if (Opener()) return Opener()(url);
  return QDesktopServices::openUrl(url);
}

TMsgForm::TMsgForm(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("MsgForm"));
  setWindowTitle(QString());
  setFont(designfonts::DialogFont(8));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setGeometry(0, 0, kClientWidth, kPanel1Height);

  const int innerWidth = kClientWidth - 2 * kMargin;
  int top = kPanel1Height + kMargin;

  Label1 = new QLabel(this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(PixelFont(16));
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label1->setWordWrap(true);
  Label1->setText(QStringLiteral(
      "Мы очень сожалеем но данная модель ККТ не поддерживается. Если Вы хотите своевременно "
      "получать обновления кассового ПО, то мы будем рады сотрудничеству."));
  Label1->setGeometry(kMargin, top, innerWidth, kLabel1Height);
  top += kLabel1Height + 2 * kMargin;

  Label2 = new QLabel(this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setFont(PixelFont(16));
  Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label2->setText(QString::fromLatin1(kMakerUrl));
  Label2->setCursor(Qt::PointingHandCursor);
  {
    QPalette pal = Label2->palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    Label2->setPalette(pal);
  }
  Label2->setGeometry(kMargin, top, innerWidth, kLabel2Height);
  Label2->installEventFilter(this);

  Button1 = new QPushButton(QStringLiteral("Ok"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(506, 148, 75, 25);
  connect(Button1, &QPushButton::clicked, this, [this] { done(modal::mrOk); });
}

TMsgForm::~TMsgForm() {
  if (MsgForm == this) MsgForm = nullptr;
}

void TMsgForm::ShowNotice() { modal::ShowModal(this); }

void TMsgForm::reject() { done(modal::mrCancel); }

void TMsgForm::Label2Click() { OpenUrl(QUrl(QString::fromLatin1(kMakerUrl))); }

void TMsgForm::Label2MouseEnter() {
  QFont f = Label2->font();
  f.setUnderline(true);
  Label2->setFont(f);
}

void TMsgForm::Label2MouseLeave() {
  QFont f = Label2->font();
  f.setUnderline(false);
  Label2->setFont(f);
}

bool TMsgForm::eventFilter(QObject *watched, QEvent *event) {
  if (watched == Label2) {
    switch (event->type()) {
      case QEvent::Enter:
        Label2MouseEnter();
        break;
      case QEvent::Leave:
        Label2MouseLeave();
        break;
      case QEvent::MouseButtonRelease: {
        // A click: pressed and released over the link.
        auto *me = static_cast<QMouseEvent *>(event);
        if (me->button() == Qt::LeftButton && Label2->rect().contains(me->position().toPoint()))
          Label2Click();
        break;
      }
      default:
        break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TMsgForm::showEvent(QShowEvent *event) {
  if (!event->spontaneous()) {
    CentreWindow(this);
  }
  QDialog::showEvent(event);
}
