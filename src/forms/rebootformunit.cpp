#include "forms/rebootformunit.h"

#include "forms/designfonts.h"
#include "forms/centre.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QShowEvent>

TRebootForm *RebootForm = nullptr;

TRebootForm::TRebootForm(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("RebootForm"));
  setWindowTitle(QStringLiteral("Перезагрузка..."));
  setFont(designfonts::DialogFont(8));
  resize(852, 69);

  Detail = new QLabel(this);
  Detail->setObjectName(QStringLiteral("Detail"));
  Detail->setGeometry(8, 4, 836, 17);

  Progress = new QProgressBar(this);
  Progress->setObjectName(QStringLiteral("Progress"));
  Progress->setGeometry(8, 24, 836, 17);
  Progress->setRange(1, 450);
  Progress->setValue(1);
  Progress->setTextVisible(false);
}

TRebootForm::~TRebootForm() {
  if (RebootForm == this) RebootForm = nullptr;
}

void TRebootForm::showEvent(QShowEvent *event) {
  if (!event->spontaneous()) {
    // Centred on the main window, or on the screen when there is none.
    CentreWindow(this, parentWidget());
  }
  QWidget::showEvent(event);
}

void TRebootForm::closeEvent(QCloseEvent *event) { event->ignore(); }
