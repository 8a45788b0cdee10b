#pragma once
// Controls of a progress window made from their JSON descriptions.
#include <QList>
#include <QString>

class QLabel;
class QProgressBar;
class QWidget;

struct TFormControl {
  QString ControlType;         // "progress" or "label"
  QWidget *Control = nullptr;  // owned by the window's list
};

using TFormControls = QList<TFormControl>;

// Each value is read from AParams with the JSON value readers (a missing key
// shows their box and gives 0 or an empty text). A "width" or "height" of -1
// is the client size less twice "left" or "top". The control has no parent.
QProgressBar *CreateProgressBar(const QString &AParams, int AClientWidth, int AClientHeight);
QLabel *CreateLabel(const QString &AParams, int AClientWidth, int AClientHeight);

// "progress" or "label"; nullptr for any other type.
QWidget *CreateFormControl(const QString &AControlType, const QString &AParams, int AClientWidth,
                           int AClientHeight);
