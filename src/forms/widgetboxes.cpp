#include "forms/widgetboxes.h"

#include <QApplication>
#include <QMessageBox>

#include "common/msgbox.h"

namespace msgbox {
namespace {

// A box belongs above every window of the run: a wait window shown on top
// of the main one must not cover the box and its buttons.
QWidget *Owner() {
  for (QWidget *w : QApplication::topLevelWidgets()) {
    const QString name = w->objectName();
    if (w->isVisible() && (name == QLatin1String("RebootForm") || name == QLatin1String("ProrgessTForm") ||
                           name == QLatin1String("ProgressForm")))
      return w;
  }
  return QApplication::activeWindow();
}

class TWidgetBoxes : public Answerer {
 public:
  bool answer(const Box &box) override {
    QMessageBox mb(Owner());
    mb.setWindowTitle(box.caption.isEmpty() ? QApplication::applicationName() : box.caption);
    mb.setText(box.text);
    switch (box.kind) {
      case Kind::Error: mb.setIcon(QMessageBox::Critical); break;
      case Kind::Information: mb.setIcon(QMessageBox::Information); break;
      case Kind::Question: mb.setIcon(QMessageBox::Question); break;
      case Kind::Warning: mb.setIcon(QMessageBox::Warning); break;
      case Kind::Plain: mb.setIcon(QMessageBox::NoIcon); break;
    }
    if (box.kind == Kind::Question || (box.kind == Kind::Warning && !box.okOnly)) {
      mb.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      return mb.exec() == QMessageBox::Yes;
    }
    mb.setStandardButtons(QMessageBox::Ok);
    mb.exec();
    return true;
  }
};

}  // namespace

void InstallWidgetBoxes() {
  static TWidgetBoxes boxes;
  SetPresenter(&boxes);
}

QWidget *ShowInformationModeless(QWidget *parent, const QString &text) {
  if (Answerer *a = CurrentAnswerer()) a->answer({Kind::Information, {}, text});
  auto *mb = new QMessageBox(QMessageBox::Information, QApplication::applicationName(), text,
                             QMessageBox::Ok, parent);
  mb->setAttribute(Qt::WA_DeleteOnClose);
  mb->setWindowModality(Qt::NonModal);
  mb->show();
  return mb;
}

}  // namespace msgbox
