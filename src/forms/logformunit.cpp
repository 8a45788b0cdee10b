#include "forms/logformunit.h"

#include <QCheckBox>
#include <QListWidget>
#include <QVBoxLayout>

#include "common/centre.h"
#include "forms/designfonts.h"

TLogForm::TLogForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("LogForm"));
  setWindowTitle(QStringLiteral("LogForm"));
  setFont(designfonts::DialogPixelFont(11));

  // "Courier New" 13 pixels high, or the nearest fixed-pitch family.
  const QFont logFont = designfonts::FixedPixelFont(13);

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
