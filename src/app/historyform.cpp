#include "app/historyform.h"

#include <QAbstractItemView>
#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTableWidget>
#include <QVBoxLayout>

#include "state/history.h"
#include "app/mainformunit.h"

THistoryForm::THistoryForm(QWidget *parent) : QDialog(parent) {
  setObjectName(QStringLiteral("HistoryForm"));
  setWindowTitle(QStringLiteral("История обновлений"));
  resize(900, 400);
  Grid = new QTableWidget(this);
  Grid->setObjectName(QStringLiteral("HistoryGrid"));
  Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  Grid->verticalHeader()->setVisible(false);
  Grid->horizontalHeader()->setStretchLastSection(true);
  // A history file that is there but cannot be read is said above the rows.
  Error = new QLabel(this);
  Error->setObjectName(QStringLiteral("HistoryError"));
  Error->setWordWrap(true);
  Error->setVisible(false);
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(Error);
  layout->addWidget(Grid);
  Reload();
}

void THistoryForm::Reload() {
  QString error;
  const QList<QJsonObject> records = history::Read(history::JournalPath(), QString(), &error);
  Error->setText(error);
  Error->setVisible(!error.isEmpty());
  const QStringList header = history::TableHeader();
  Grid->clear();
  Grid->setColumnCount(static_cast<int>(header.size()));
  Grid->setHorizontalHeaderLabels(header);
  Grid->setRowCount(static_cast<int>(records.size()));
  // Newest first.
  for (qsizetype i = 0; i < records.size(); ++i) {
    const QStringList cells = history::TableRow(records[records.size() - 1 - i]);
    for (qsizetype c = 0; c < cells.size(); ++c)
      Grid->setItem(static_cast<int>(i), static_cast<int>(c), new QTableWidgetItem(cells[c]));
  }
  Grid->resizeColumnsToContents();
}

void InstallHistoryMenu(TMainForm &form) {
  form.AddMenuEntry(QStringLiteral("История обновлений"), [&form]() {
    auto *w = form.findChild<THistoryForm *>(QStringLiteral("HistoryForm"), Qt::FindDirectChildrenOnly);
    if (!w) {
      w = new THistoryForm(&form);
    } else {
      w->Reload();
    }
    w->show();
    w->raise();
    w->activateWindow();
  });
}
