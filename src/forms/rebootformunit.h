#pragma once
// The wait window with a progress bar; the transfer sets its caption, range
// and position and shows and hides it.
#include <QWidget>

class QLabel;
class QProgressBar;

class TRebootForm : public QWidget {
  Q_OBJECT

 public:
  explicit TRebootForm(QWidget *parent = nullptr);
  ~TRebootForm() override;

  QProgressBar *Progress;
  // Above the bar: the pass under way and the seconds left of the wait.
  QLabel *Detail;

 protected:
  void showEvent(QShowEvent *event) override;
  // The window manager's close is ignored: the wait is the register's own,
  // and the run takes the window down when it is over.
  void closeEvent(QCloseEvent *event) override;
};

extern TRebootForm *RebootForm;
