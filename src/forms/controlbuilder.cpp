#include "forms/controlbuilder.h"

#include <QLabel>
#include <QProgressBar>

#include "common/jutils.h"

namespace {

// Position and size, shared by every kind of control.
void PlaceControl(QWidget *c, const QString &d, int cw, int ch) {
  const int left = GetJSONInt(QStringLiteral("left"), d);
  const int top = GetJSONInt(QStringLiteral("top"), d);
  int width = GetJSONInt(QStringLiteral("width"), d);
  if (width == -1) width = cw - 2 * left;
  int height = GetJSONInt(QStringLiteral("height"), d);
  if (height == -1) height = ch - 2 * top;
  c->setGeometry(left, top, width, height);
}

}  // namespace

QProgressBar *CreateProgressBar(const QString &AParams, int AClientWidth, int AClientHeight) {
  auto *bar = new QProgressBar();
  // A plain bar: no percentage text.
  bar->setTextVisible(false);
  PlaceControl(bar, AParams, AClientWidth, AClientHeight);
  const int min = GetJSONInt(QStringLiteral("min"), AParams);
  const int max = GetJSONInt(QStringLiteral("max"), AParams);
  // A range that ends below its start collapses to its start; Qt would turn a
  // 0..0 range into a busy indicator.
  bar->setRange(min, max < min ? min : max);
  const int pos = GetJSONInt(QStringLiteral("pos"), AParams);
  bar->setValue(qBound(bar->minimum(), pos, bar->maximum()));
  bar->setObjectName(GetJSONStr(QStringLiteral("name"), AParams));
  return bar;
}

QLabel *CreateLabel(const QString &AParams, int AClientWidth, int AClientHeight) {
  auto *label = new QLabel();
  PlaceControl(label, AParams, AClientWidth, AClientHeight);
  label->setTextFormat(Qt::PlainText);
  label->setText(GetJSONStr(QStringLiteral("caption"), AParams));
  label->setObjectName(GetJSONStr(QStringLiteral("name"), AParams));
  return label;
}

QWidget *CreateFormControl(const QString &AControlType, const QString &AParams, int AClientWidth,
                           int AClientHeight) {
  if (AControlType == QLatin1String("progress"))
    return CreateProgressBar(AParams, AClientWidth, AClientHeight);
  if (AControlType == QLatin1String("label"))
    return CreateLabel(AParams, AClientWidth, AClientHeight);
  return nullptr;
}
