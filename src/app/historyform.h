#pragma once
// "История обновлений": the update journal, newest first, in a read-only
// table, opened from the main window's context menu.
#include <QDialog>

class QLabel;
class QTableWidget;
class TMainForm;

class THistoryForm : public QDialog {
  Q_OBJECT
 public:
  explicit THistoryForm(QWidget *parent = nullptr);
  // Reads the journal anew.
  void Reload();
  QTableWidget *Grid = nullptr;
  QLabel *Error = nullptr;
};

// Adds "История обновлений" to the main window's context menu.
void InstallHistoryMenu(TMainForm &form);
