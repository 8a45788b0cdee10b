#pragma once
// The wait window with a progress bar; the transfer sets its caption, range
// and position and shows and hides it.
#include <QWidget>

class QProgressBar;

class TRebootForm : public QWidget {
  Q_OBJECT

 public:
  explicit TRebootForm(QWidget *parent = nullptr);
  ~TRebootForm() override;

  QProgressBar *Progress;

 protected:
  void showEvent(QShowEvent *event) override;
};

extern TRebootForm *RebootForm;
