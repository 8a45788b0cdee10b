#pragma once
// The window of the log lines: a list and the auto-scroll check box.
#include <QWidget>

class QCheckBox;
class QListWidget;
class QPushButton;

class TLogForm : public QWidget {
  Q_OBJECT

 public:
  // A top-level window of its own; closing it only hides it.
  explicit TLogForm(QWidget *parent = nullptr);
  ~TLogForm() override;

  QListWidget *LogLB;
  QCheckBox *AutoScrollChB;  // "Автопрокрутка", checked
  QPushButton *SaveButton;   // "Сохранить журнал…": SaveLogAs
};

// Asks where to save the program's log file and writes a copy of it there;
// an error box when that fails.
void SaveLogAs(QWidget *parent);
