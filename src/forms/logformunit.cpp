#include "forms/logformunit.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QListWidget>
#include <QVBoxLayout>

#include "common/centre.h"

namespace {

// "Courier New" 13 pixels high; where it is not installed (most Linux
// systems) the system's fixed-width font of the same height.
QFont LogFont() {
  QFont f;
  if (QFontDatabase::hasFamily(QStringLiteral("Courier New")))
    f = QFont(QStringLiteral("Courier New"));
  else
    f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setPixelSize(13);
  return f;
}

}  // namespace

TLogForm::TLogForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("LogForm"));
  setWindowTitle(QStringLiteral("LogForm"));
  QFont dialogFont(QStringLiteral("Tahoma"));
  dialogFont.setPixelSize(11);
  setFont(dialogFont);

  const QFont logFont = LogFont();

  LogLB = new QListWidget(this);
  LogLB->setObjectName(QStringLiteral("LogLB"));
  LogLB->setFont(logFont);

  AutoScrollChB = new QCheckBox(QStringLiteral("Автопрокрутка"), this);
  AutoScrollChB->setObjectName(QStringLiteral("AutoScrollChB"));
  AutoScrollChB->setFont(logFont);
  AutoScrollChB->setChecked(true);

  // 3-pixel margins round each control, so 6 between them.
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->setSpacing(6);
  layout->addWidget(LogLB, 1);
  layout->addWidget(AutoScrollChB, 0);

  resize(852, 411);
  CentreWindow(this);
}

TLogForm::~TLogForm() = default;
