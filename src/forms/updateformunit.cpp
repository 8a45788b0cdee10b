#include "forms/updateformunit.h"
#include "run/updaterun.h"
#include "forms/designfonts.h"
#include "forms/centre.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "common/datetime.h"
#include "forms/modal.h"

TUpdateForm *UpdateForm = nullptr;

namespace {

// Design sizes; the buttons keep their distance from the right and bottom edges.
constexpr int kClientWidth = 504;
constexpr int kClientHeight = 317;
constexpr int kPanel2Height = 41;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButton2Left = 339;
constexpr int kButton1Left = 420;
constexpr int kButtonTop = 9;

QFont PixelFont(int px) { return designfonts::DialogPixelFont(px); }

QPushButton *PlainButton(const QString &caption, QWidget *parent) {
  auto *b = new QPushButton(caption, parent);
  // Enter must never pick a button for the operator.
  b->setAutoDefault(false);
  b->setDefault(false);
  b->resize(kButtonWidth, kButtonHeight);
  return b;
}

}  // namespace

TUpdateForm::TUpdateForm(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("UpdateForm"));
  setWindowTitle(QStringLiteral("Доступно обновление"));
  setFont(designfonts::DialogFont(8));
  setSizeGripEnabled(false);

  TitleLabel = new QLabel(this);
  TitleLabel->setObjectName(QStringLiteral("TitleLabel"));
  TitleLabel->setFixedHeight(25);
  TitleLabel->setAlignment(Qt::AlignCenter);
  TitleLabel->setFont(PixelFont(21));
  // The window's width follows the title by OfferUpdate's rule, not the layout's.
  TitleLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  auto *memoLayout = new QVBoxLayout(Panel1);
  memoLayout->setContentsMargins(0, 0, 0, 0);
  InfoMemo = new QPlainTextEdit(Panel1);
  InfoMemo->setObjectName(QStringLiteral("InfoMemo"));
  InfoMemo->setFont(PixelFont(16));
  InfoMemo->setTabChangesFocus(false);
  {
    QPalette pal = InfoMemo->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    InfoMemo->setPalette(pal);
  }
  memoLayout->addWidget(InfoMemo);

  Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  Panel2->setFixedHeight(kPanel2Height);
  Button2 = PlainButton(QStringLiteral("Обновить"), Panel2);
  Button2->setObjectName(QStringLiteral("Button2"));
  Button1 = PlainButton(QStringLiteral("Выйти"), Panel2);
  Button1->setObjectName(QStringLiteral("Button1"));
  Panel2->installEventFilter(this);

  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(TitleLabel);
  layout->addWidget(Panel1, 1);
  layout->addWidget(Panel2);

  connect(Button2, &QPushButton::clicked, this, [this] { done(modal::mrOk); });
  connect(Button1, &QPushButton::clicked, this, [this] { done(modal::mrCancel); });

  resize(kClientWidth, kClientHeight);
  layout->activate();
  PlaceButtons();
}

TUpdateForm::~TUpdateForm() {
  if (UpdateForm == this) UpdateForm = nullptr;
}

void TUpdateForm::reject() { done(modal::mrCancel); }

void TUpdateForm::PlaceButtons() {
  // Anchored right and bottom: offsets measured from the design width.
  const int dx = Panel2->width() - kClientWidth;
  const int dy = Panel2->height() - kPanel2Height;
  Button2->move(kButton2Left + dx, kButtonTop + dy);
  Button1->move(kButton1Left + dx, kButtonTop + dy);
}

bool TUpdateForm::eventFilter(QObject *watched, QEvent *event) {
  if (watched == Panel2 && event->type() == QEvent::Resize) PlaceButtons();
  return QDialog::eventFilter(watched, event);
}

void TUpdateForm::showEvent(QShowEvent *event) {
  if (!event->spontaneous()) {
    CentreWindow(this);
  }
  QDialog::showEvent(event);
}

bool TUpdateForm::OfferUpdate(const TFWRule &Rule) {
  // Another level keeps the previous title.
  if (const QString title = OfferTitle(Rule); !title.isEmpty()) TitleLabel->setText(title);

  // Grow to fit the title; a shorter title later never shrinks the window.
  layout()->activate();
  const int textWidth = QFontMetrics(TitleLabel->font()).horizontalAdvance(TitleLabel->text());
  if (textWidth >= TitleLabel->contentsRect().width()) resize(textWidth + 50, height());

  // Lines may end in CR LF, LF or CR alike.
  QString info = Rule.info;
  info.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  info.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  InfoMemo->setPlainText(info);

  return modal::ShowModal(this) == modal::mrOk;
}
