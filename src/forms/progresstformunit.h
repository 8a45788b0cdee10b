#pragma once
// The frameless busy animation shown while the register is being set up.
#include <QRegion>
#include <QWidget>

class QLabel;
class QMovie;

class TProrgessTForm : public QWidget {
  Q_OBJECT

 public:
  explicit TProrgessTForm(QWidget *parent = nullptr);
  ~TProrgessTForm() override;

  // Fits the window around the picture: a square 2 pixels larger each way.
  void FormShow();

  QLabel *Gif;
  QMovie *Movie;

 private:
  QRegion FShape;  // every pixel the animation covers

 protected:
  void showEvent(QShowEvent *event) override;
};

extern TProrgessTForm *ProrgessTForm;
