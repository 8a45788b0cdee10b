#pragma once
// The update offer: what a rule installs, with "Обновить" and "Выйти".
#include <QDialog>

#include "rules/fwrules.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

class TUpdateForm : public QDialog {
  Q_OBJECT

 public:
  explicit TUpdateForm(QWidget *parent = nullptr);
  ~TUpdateForm() override;

  // Fills the window from Rule and shows it modally; true when the operator
  // chose "Обновить".
  bool OfferUpdate(const TFWRule &Rule);

  QLabel *TitleLabel;
  QWidget *Panel1;
  QPlainTextEdit *InfoMemo;
  QWidget *Panel2;
  QPushButton *Button2;  // "Обновить"
  QPushButton *Button1;  // "Выйти"

 public Q_SLOTS:
  // The frame's close button and Escape count as declining.
  void reject() override;

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void showEvent(QShowEvent *event) override;

 private:
  void PlaceButtons();
};

extern TUpdateForm *UpdateForm;
