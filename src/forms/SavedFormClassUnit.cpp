#include "forms/SavedFormClassUnit.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "common/registry.h"

namespace {

const char *const kValues[] = {"Left", "Top", "Width", "Height"};

}  // namespace

TSavedForm::TSavedForm(QWidget *AOwner) : QDialog(AOwner) {}

TSavedForm::~TSavedForm() {
  if (FCreated) SavePosition();
}

QString TSavedForm::GeometryKey() const { return QStringLiteral("Software\\Korvalis\\Tavelin\\") + objectName(); }

void TSavedForm::FormCreated() {
  LoadPosition();
  FCreated = true;
}

// Width and Height are the window's own size, without the window manager's
// frame: the frame is not known before the window is first shown, and
// counting it would grow the window by the frame at every start.
void TSavedForm::LoadPosition() {
  try {
    TRegistry reg(RegistryRoot::CurrentUser);
    if (!reg.OpenKeyReadOnly(GeometryKey())) return;
    bool any = false;
    for (const char *name : kValues) {
      const QString n = QLatin1String(name);
      if (!reg.ValueExists(n)) continue;
      const int v = reg.ReadInteger(n);
      any = true;
      if (n == QLatin1String("Left")) move(v, y());
      else if (n == QLatin1String("Top")) move(x(), v);
      else if (n == QLatin1String("Width")) resize(v, height());
      else resize(width(), v);
    }
    if (any) KeepOnScreen();
  } catch (const RegistryError &) {
    // A damaged value leaves the design's geometry; the window still opens.
  }
}

void TSavedForm::SavePosition() {
  try {
    TRegistry reg(RegistryRoot::CurrentUser);
    if (!reg.OpenKey(GeometryKey(), true)) return;
    reg.WriteInteger(QStringLiteral("Left"), x());
    reg.WriteInteger(QStringLiteral("Top"), y());
    reg.WriteInteger(QStringLiteral("Width"), width());
    reg.WriteInteger(QStringLiteral("Height"), height());
  } catch (const RegistryError &) {
    // Nothing is written, nothing is reported.
  }
}

void TSavedForm::KeepOnScreen() {
  const QScreen *home = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!home) return;
  const QRect area = home->availableGeometry();
  QRect r(pos(), size());
  // Reachable: a strip along the top edge, where the window is taken hold
  // of, lies on some screen.
  const QRect strip(r.topLeft(), QSize(r.width(), std::min(r.height(), 24)));
  bool reachable = false;
  for (const QScreen *s : QGuiApplication::screens()) {
    const QRect common = strip & s->availableGeometry();
    if (common.height() == strip.height() && common.width() >= std::min(strip.width(), 32)) reachable = true;
  }
  const bool tooBig = r.width() > area.width() || r.height() > area.height();
  if (reachable && !tooBig) return;
  r.setSize(r.size().boundedTo(area.size()));
  r.moveLeft(std::clamp(r.left(), area.left(), area.right() - r.width() + 1));
  r.moveTop(std::clamp(r.top(), area.top(), area.bottom() - r.height() + 1));
  resize(r.size());
  move(r.topLeft());
}
