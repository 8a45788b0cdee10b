#pragma once
// The main window as a view of the update run: its dialogs, boxes, the wait
// window and the small progress window, the caption and the controls.
#include "run/runview.h"

class TMainForm;

class TWindowView : public run::TView {
 public:
  explicit TWindowView(TMainForm &form) : f(form) {}

  bool ChooseDevice() override;
  bool Offer(const TFWRule &rule) override;
  void Unsupported() override;
  bool Ask(run::TQuestion question, const QString &caption, const QString &text) override;
  void Notice(run::TNotice kind, const QString &caption, const QString &text) override;
  void Status(const QString &text) override;
  void WaitBegin(const QString &caption, int steps) override;
  void WaitStep(int value) override;
  void WaitEnd() override;
  void WaitDetail(const QString &text) override;
  void StepBegin(const QString &caption) override;
  void StepEnd() override;
  void TransferLocked(bool locked) override;
  void RunEnding() override;

 private:
  TMainForm &f;
};
