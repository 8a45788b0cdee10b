#include "forms/progresstformunit.h"
#include "forms/designfonts.h"
#include "forms/centre.h"

#include <QBitmap>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>

TProrgessTForm *ProrgessTForm = nullptr;

// The resources live in a static library: pull them in explicitly.
static void InitFormsResources() { Q_INIT_RESOURCE(forms); }

namespace {

// Every pixel that any frame of the animation covers, at the given size.
QRegion PictureShape(const QString &file, const QSize &size) {
  QImageReader reader(file);
  reader.setScaledSize(size);
  QImage shape(size, QImage::Format_ARGB32_Premultiplied);
  shape.fill(Qt::transparent);
  {
    QPainter p(&shape);
    QImage frame;
    while (reader.read(&frame)) p.drawImage(0, 0, frame);
  }
  if (shape.isNull()) return QRegion();
  return QRegion(QBitmap::fromImage(shape.createAlphaMask()));
}

}  // namespace

TProrgessTForm::TProrgessTForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  InitFormsResources();
  setObjectName(QStringLiteral("ProrgessTForm"));
  setFont(designfonts::DialogFont(8));
  // Only the picture shows: the window takes the shape of the animation. A
  // shape needs no compositing desktop, and the window paints every pixel
  // it has itself (a translucent window left unpainted shows stale screen).
  setAutoFillBackground(true);
  resize(82, 82);

  Gif = new QLabel(this);
  Gif->setObjectName(QStringLiteral("Gif"));
  Gif->setGeometry(8, 8, 66, 66);
  Gif->setScaledContents(true);
  Movie = new QMovie(QStringLiteral(":/forms/busy.gif"), QByteArray(), this);
  Movie->setCacheMode(QMovie::CacheAll);
  Movie->setScaledSize(Gif->size());
  Gif->setMovie(Movie);
  FShape = PictureShape(QStringLiteral(":/forms/busy.gif"), Gif->size());
  // Plays for the window's whole life, like the picture control it stands for.
  Movie->start();
}

TProrgessTForm::~TProrgessTForm() {
  if (ProrgessTForm == this) ProrgessTForm = nullptr;
}

void TProrgessTForm::FormShow() {
  resize(Gif->width() + 2, Gif->height() + 2);
  Gif->move(1, 1);
  if (!FShape.isEmpty()) setMask(FShape.translated(Gif->pos()));
  CentreWindow(this);
  update();
}

void TProrgessTForm::showEvent(QShowEvent *event) {
  if (!event->spontaneous()) FormShow();
  QWidget::showEvent(event);
}
