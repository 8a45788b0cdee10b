#pragma once
// How the update run talks to the person at the register: the window shows
// its dialogs and boxes, the command line prints and answers by policy. The
// run knows nothing of either.
#include <QJsonObject>
#include <QString>

#include "rules/fwrules.h"

namespace run {

// The questions of the run, for a view that answers by policy.
enum class TQuestion {
  RetryDownload,      // "Повторить загрузку прошивки?" after a failed DFU download
  RecoverDfu,         // a register left in DFU mode: download the kept image again?
  FinishInterrupted,  // a register back from an interrupted update: finish its set-up?
  RestoreOldSnapshot, // set up by someone since: overwrite its settings with the snapshot from before?
};

enum class TNotice { Error, Information, Plain, Warning };

class TView {
 public:
  virtual ~TView() = default;

  // The driver knows two or more logical devices: the one to work with is
  // made active. False: the choice was cancelled.
  virtual bool ChooseDevice() = 0;
  // The update offer of a rule; true: install it (and what follows in this run).
  virtual bool Offer(const TFWRule &rule) = 0;
  // The register's model is not one this program updates.
  virtual void Unsupported() = 0;
  virtual bool Ask(TQuestion question, const QString &caption, const QString &text) = 0;
  // caption empty: the application title.
  virtual void Notice(TNotice kind, const QString &caption, const QString &text) = 0;
  // The line that says where the run stands: the register's identity, the
  // XModem transfer's status.
  virtual void Status(const QString &text) = 0;
  // A prescribed wait with its window caption and a bar of that many steps.
  virtual void WaitBegin(const QString &caption, int steps) = 0;
  virtual void WaitStep(int value) = 0;
  virtual void WaitEnd() = 0;
  // Where the run stands in the wait: "Шаг 2 из 3: Функциональное ПО A.5 —
  // осталось 12 с"; said again as the seconds go.
  virtual void WaitDetail(const QString &text) { (void)text; }
  // A step shown in the small progress window ("Настройка", "Обновление таблиц").
  virtual void StepBegin(const QString &caption) = 0;
  virtual void StepEnd() = 0;
  // The transfer has the controls that could change it locked.
  virtual void TransferLocked(bool locked) = 0;
  // The run is about to show its closing message: it waits for nothing more.
  virtual void RunEnding() {}
  // True when every offer is declined by design: the run only shows its plan.
  virtual bool PlanOnly() const { return false; }
  // Every record of the update history the run writes, as it is written.
  virtual void Record(const QJsonObject &record) { (void)record; }
};

}  // namespace run
