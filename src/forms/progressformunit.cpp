#include "forms/progressformunit.h"
#include "forms/designfonts.h"

#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QWindow>

#include <limits>
#include <nlohmann/json.hpp>

#include "forms/centre.h"
#include "common/jutils.h"
#include "common/msgbox.h"
#include "common/waits.h"

namespace {

using nlohmann::json;

// A label keeps its caption from the show message as the pattern of its
// later texts.
constexpr char kPatternProperty[] = "Hint";

json ParseObject(const QString &text) {
  json doc = json::parse(text.toStdString(), nullptr, false);
  return doc.is_object() ? doc : json();
}

QString Dump(const json &j) { return QString::fromStdString(j.dump()); }

// The pattern with its "%s" replaced by value ("%%" is a percent sign). The
// value is taken as it is, whatever it holds.
QString FormatPattern(const QString &pattern, const QString &value) {
  QString out;
  out.reserve(pattern.size() + value.size());
  bool filled = false;
  for (qsizetype i = 0; i < pattern.size(); ++i) {
    const QChar c = pattern[i];
    if (c == QLatin1Char('%') && i + 1 < pattern.size()) {
      const QChar n = pattern[i + 1];
      if (n == QLatin1Char('%')) {
        out += c;
        ++i;
        continue;
      }
      if (n == QLatin1Char('s') && !filled) {
        out += value;
        filled = true;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

// A value of the "form" object. When the key is missing or its value does not
// convert, the reader shows its box and the window keeps what it had.
bool ReadFormInt(const json &form, const QString &text, const char *key, int &out) {
  const auto it = form.find(key);
  const bool ok = it != form.end() && it->is_number_integer() &&
                  (it->is_number_unsigned()
                       ? it->get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<int>::max())
                       : it->get<std::int64_t>() >= std::numeric_limits<int>::min() &&
                             it->get<std::int64_t>() <= std::numeric_limits<int>::max());
  const int v = GetJSONInt(QString::fromLatin1(key), text);
  if (ok) out = v;
  return ok;
}

bool ReadFormStr(const json &form, const QString &text, const char *key, QString &out) {
  const auto it = form.find(key);
  const bool ok = it != form.end() && (it->is_string() || it->is_number());
  const QString v = GetJSONStr(QString::fromLatin1(key), text);
  if (ok) out = v;
  return ok;
}

// -10..-2: that fraction of the screen; anything else is pixels.
int ScreenPart(int value, int screenSize) {
  return (value >= -10 && value <= -2) ? screenSize / -value : value;
}

}  // namespace

TProgressForm::TProgressForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowTitle(QStringLiteral("ProgressForm"));
  setFont(designfonts::DialogFont(8));
  resize(268, 62);

  FRefreshTimer.setSingleShot(true);
  connect(&FRefreshTimer, &QTimer::timeout, this, &TProgressForm::ApplyProgress);
}

TProgressForm::~TProgressForm() = default;

void TProgressForm::Do_Show(QObject * /*Sender*/, const QString &AParams) {
  const json doc = ParseObject(AParams);
  const auto formIt = doc.is_object() ? doc.find("form") : doc.end();
  // Without a "form" object there is nothing to build the window from.
  if (!doc.is_object() || formIt == doc.end() || !formIt->is_object()) {
    msgbox::ShowPlain(QStringLiteral("Invalid params: ") + AParams);
    return;
  }
  const json &form = *formIt;
  const QString formText = Dump(form);

  QString caption = windowTitle();
  ReadFormStr(form, formText, "caption", caption);
  setWindowTitle(caption);

  QPoint at = pos();
  ReadFormInt(form, formText, "left", at.rx());
  ReadFormInt(form, formText, "top", at.ry());
  move(at);

  // The sizes are the window's outer size. The frame is known only once the
  // window has been on screen; before that the outer size is the client size.
  const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect(0, 0, 1024, 768);
  const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  QSize outer = size().grownBy(frame);
  int w = 0;
  if (ReadFormInt(form, formText, "width", w)) outer.setWidth(ScreenPart(w, screen.width()));
  int h = 0;
  if (ReadFormInt(form, formText, "height", h)) outer.setHeight(ScreenPart(h, screen.height()));
  resize(outer.shrunkBy(frame).expandedTo(QSize(0, 0)));

  const int cw = width();
  const int ch = height();

  const auto controlsIt = form.find("controls");
  if (controlsIt == form.end()) return;

  // Adds the controls of one array; a missing array counts as an empty one.
  auto build = [&](const char *type) {
    if (!controlsIt->is_object()) return;
    const auto arr = controlsIt->find(type);
    if (arr == controlsIt->end() || !arr->is_array()) return;
    const QString controlType = QString::fromLatin1(type);
    for (const json &d : *arr) {
      QWidget *c = CreateFormControl(controlType, Dump(d), cw, ch);
      FFormControls.append({controlType, c});
      if (!c) continue;
      c->setParent(this);
      if (auto *label = qobject_cast<QLabel *>(c)) {
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setProperty(kPatternProperty, label->text());
      }
      c->show();
    }
  };
  build("progress");
  build("label");

  // The first step after a show goes on screen at once.
  FShownOnce = false;
  CentreWindow(this);
  // A window shown anew is on top already; one that was up comes forward.
  const bool wasVisible = isVisible();
  show();
  if (wasVisible) raise();
}

void TProgressForm::DoProgress(QObject * /*Sender*/, const QString &AParams) {
  const json doc = ParseObject(AParams);
  if (!doc.is_object()) return;
  const auto progress = doc.find("progress");
  if (progress == doc.end() || !progress->is_object()) return;
  FPending = AParams;
  FHavePending = true;

  const std::uint64_t now = waits::TickCount();
  if (!FShownOnce || now - FLastApplied >= std::uint64_t(kRefreshMs)) {
    ApplyProgress();
  } else if (!FRefreshTimer.isActive()) {
    FRefreshTimer.start(kRefreshMs - int(now - FLastApplied));
  }
  // Painting and the rest of the tool's messages happen here, while the
  // producer's loop runs.
  waits::ProcessMessages();
}

void TProgressForm::ApplyProgress() {
  FRefreshTimer.stop();
  if (!FHavePending) return;
  FHavePending = false;
  FShownOnce = true;
  FLastApplied = waits::TickCount();
  const QString text = Dump(ParseObject(FPending)["progress"]);
  for (const TFormControl &fc : std::as_const(FFormControls)) {
    if (!fc.Control) continue;
    const QString name = fc.Control->objectName();
    if (fc.ControlType == QLatin1String("progress")) {
      auto *bar = static_cast<QProgressBar *>(fc.Control);
      const int v = GetJSONInt(name, text);
      bar->setValue(qBound(bar->minimum(), v, bar->maximum()));
    } else if (fc.ControlType == QLatin1String("label")) {
      auto *label = static_cast<QLabel *>(fc.Control);
      label->setText(FormatPattern(label->property(kPatternProperty).toString(),
                                   GetJSONStr(name, text)));
    }
  }
  // The controls that changed have asked to be repainted; only they are.
}

void TProgressForm::Do_Hide(QObject * /*Sender*/, const QString & /*AParams*/) {
  FRefreshTimer.stop();
  FHavePending = false;
  FShownOnce = false;
  for (const TFormControl &fc : std::as_const(FFormControls)) delete fc.Control;
  FFormControls.clear();
  hide();
}
