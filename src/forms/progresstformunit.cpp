#include "forms/progresstformunit.h"
#include "common/centre.h"

#include <QLabel>
#include <QMovie>
#include <QScreen>
#include <QShowEvent>

TProrgessTForm *ProrgessTForm = nullptr;

// The resources live in a static library: pull them in explicitly.
static void InitFormsResources() { Q_INIT_RESOURCE(forms); }

TProrgessTForm::TProrgessTForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  InitFormsResources();
  setObjectName(QStringLiteral("ProrgessTForm"));
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  // Only the picture shows; its transparent pixels show what lies beneath.
  setAttribute(Qt::WA_TranslucentBackground);
  resize(82, 82);

  Gif = new QLabel(this);
  Gif->setObjectName(QStringLiteral("Gif"));
  Gif->setGeometry(8, 8, 66, 66);
  Gif->setScaledContents(true);
  Movie = new QMovie(QStringLiteral(":/forms/busy.gif"), QByteArray(), this);
  Movie->setCacheMode(QMovie::CacheAll);
  Movie->setScaledSize(Gif->size());
  Gif->setMovie(Movie);
  // Plays for the window's whole life, like the picture control it stands for.
  Movie->start();
}

TProrgessTForm::~TProrgessTForm() {
  if (ProrgessTForm == this) ProrgessTForm = nullptr;
}

void TProrgessTForm::FormShow() {
  resize(Gif->width() + 2, Gif->height() + 2);
  Gif->move(1, 1);
  CentreWindow(this);
  update();
}

void TProrgessTForm::showEvent(QShowEvent *event) {
  if (!event->spontaneous()) FormShow();
  QWidget::showEvent(event);
}
