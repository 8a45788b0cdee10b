#include "forms/logformunit.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/applog.h"
#include "forms/centre.h"
#include "forms/filedialog.h"
#include "common/msgbox.h"
#include "common/waits.h"
#include "forms/designfonts.h"

TLogForm::TLogForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("LogForm"));
  setWindowTitle(QStringLiteral("LogForm"));
  // A list left open to read never keeps the program running once its main
  // window has closed.
  setAttribute(Qt::WA_QuitOnClose, false);
  setFont(designfonts::DialogPixelFont(11));

  // "Courier New" 13 pixels high, or the nearest fixed-pitch family.
  const QFont logFont = designfonts::FixedPixelFont(13);

  LogLB = new QListWidget(this);
  LogLB->setObjectName(QStringLiteral("LogLB"));
  LogLB->setFont(logFont);
  // A line longer than the window wraps: nothing of a refused cell is cut off.
  LogLB->setWordWrap(true);
  LogLB->setResizeMode(QListView::Adjust);
  LogLB->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  AutoScrollChB = new QCheckBox(QStringLiteral("Автопрокрутка"), this);
  AutoScrollChB->setObjectName(QStringLiteral("AutoScrollChB"));
  AutoScrollChB->setFont(logFont);
  AutoScrollChB->setChecked(true);

  // The whole log file, not only these lines, for whoever is to read it.
  SaveButton = new QPushButton(QStringLiteral("Сохранить журнал…"), this);
  SaveButton->setObjectName(QStringLiteral("SaveButton"));
  SaveButton->setAutoDefault(false);
  connect(SaveButton, &QPushButton::clicked, this, [this] { SaveLogAs(this); });

  // 3-pixel margins round each control, so 6 between them.
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->setSpacing(6);
  layout->addWidget(LogLB, 1);
  auto *bottom = new QHBoxLayout;
  bottom->addWidget(AutoScrollChB, 0);
  bottom->addStretch(1);
  bottom->addWidget(SaveButton, 0);
  layout->addLayout(bottom, 0);

  resize(852, 411);
  CentreWindow(this);
}

TLogForm::~TLogForm() = default;

void SaveLogAs(QWidget *parent) {
  const QString suggested = QDir::homePath() + QStringLiteral("/tavelin-") +
                            waits::Now().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".log");
  const QString target = filedialog::GetSaveFileName(parent, suggested);
  if (target.isEmpty()) return;
  const QString why = applog::SaveCopy(target);
  if (!why.isEmpty()) {
    msgbox::ShowError(QStringLiteral("Не удалось сохранить журнал в файл %1: %2").arg(target, why));
    return;
  }
  applog::Info(QStringLiteral("Журнал сохранён в файл ") + target);
}
