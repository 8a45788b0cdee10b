#pragma once
// A dialog that keeps its position and size across runs, per user, under
// "Software\Korvalis\Tavelin\<object name>": read when the form is made,
// written when it is destroyed.
#include <QDialog>

class TSavedForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSavedForm(QWidget *AOwner = nullptr);
  ~TSavedForm() override;

  // The key of this form's geometry.
  QString GeometryKey() const;

 protected:
  // A derived form calls this at the end of its construction, once its design
  // (object name, size) is in place: the stored geometry goes over it.
  void FormCreated();

 private:
  void LoadPosition();
  void SavePosition();
  // A stored geometry off every screen there is now, or larger than the
  // screen, would leave a modal window out of reach: bring it back.
  void KeepOnScreen();

  bool FCreated = false;
};
