#pragma once
// The choice of the logical device to update, when the driver knows more than
// one: a grid of the devices as the driver stores them, "Выбрать", "Отмена"
// and "Настроить". Only devices attached to this workstation can be chosen.
#include <QVector>

#include "forms/SavedFormClassUnit.h"

class QPainter;
class QPushButton;
class QTableWidget;

class TSelectLDForm : public TSavedForm {
  Q_OBJECT

 public:
  explicit TSelectLDForm(QWidget *AOwner = nullptr);
  ~TSelectLDForm() override;

  // The header; called before each showing.
  void PrepareGrid();
  // The rows from the driver and its stored devices; sizes the grid and the form.
  void FillEcrList();

  // Grid rows count as the driver's grid counts them: row 0 is the header,
  // row r >= 1 is logical device r (stored under index r - 1).
  QString Cell(int col, int row) const;
  int RowCount() const;  // header included
  int Row() const;       // the selected row; 0 when none
  void SetRow(int row);
  int ColWidth(int col) const;

  void OkButtonClick();
  void LDGridDblClick();
  void SetupButtonClick();
  void LDGridDrawCell(QPainter *canvas, int ACol, int ARow, const QRect &Rect);

  QTableWidget *LDGrid;
  QPushButton *OkButton;      // "Выбрать"
  QPushButton *CancelButton;  // "Отмена"
  QPushButton *SetupButton;   // "Настроить"
  QVector<bool> FEnabled;     // element i: row i + 1 may be chosen

 public Q_SLOTS:
  // The frame's close box gives cancel.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent *event) override;
  void showEvent(QShowEvent *event) override;

 private:
  void ClearGrid();
  void SetCell(int col, int row, const QString &text);
  void WidenColumn(int col, const QString &text);
  void ActivateSelectedLD();
  void FormDestroy();
  bool FPlaced = false;
};

extern TSelectLDForm *SelectLDForm;

// The device choice of the update run: the dialog over the driver's devices;
// true when one was chosen and made active. Without the dialog the run goes
// on with the driver's current device.
bool ChooseLogicalDevice();
