#pragma once
// Every modal show of our dialogs goes through here, so tests can answer a
// dialog (after reading what it shows) instead of running its event loop.
#include <QDialog>

namespace modal {

// Modal results as the run compares them.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

class Answerer {
 public:
  virtual ~Answerer() = default;
  // Called with the dialog filled and not shown; returns its modal result.
  virtual int answer(QDialog *dlg) = 0;
};

// nullptr restores the real modal loop. The caller keeps ownership.
void SetAnswerer(Answerer *answerer);

// Shows dlg modally and returns its modal result.
int ShowModal(QDialog *dlg);

}  // namespace modal
