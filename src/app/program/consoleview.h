#pragma once
// The command line as a view of the update run: what the window would show
// is printed, and every question is answered by policy, keyed on which
// question it is: the offer and the questions of the update only with
// --yes, the driver's "continue?" after a failed call never.
#include <QJsonObject>
#include <QTextStream>
#include <functional>

#include "common/msgbox.h"
#include "run/runview.h"

class TConsoleView : public run::TView, public msgbox::Answerer {
 public:
  TConsoleView(QTextStream &err, bool acceptOffers);
  ~TConsoleView() override;
  TConsoleView(const TConsoleView &) = delete;
  TConsoleView &operator=(const TConsoleView &) = delete;

  // Every record of the run's journal, as it is written.
  std::function<void(const QJsonObject &)> onRecord;

  bool ChooseDevice() override { return true; }  // chosen on the command line, and active
  bool Offer(const TFWRule &rule) override;
  bool PlanOnly() const override { return !FAccept; }
  void Unsupported() override;
  bool Ask(run::TQuestion question, const QString &caption, const QString &text) override;
  void Notice(run::TNotice kind, const QString &caption, const QString &text) override;
  void Status(const QString &) override {}
  void WaitBegin(const QString &caption, int) override {
    FWaitCaption = caption;
    FWaitSaid = false;
  }
  void WaitStep(int) override {}
  void WaitDetail(const QString &text) override {
    if (!onWait) return;
    onWait(FWaitCaption + QStringLiteral(": ") + text, !FWaitSaid);
    FWaitSaid = true;
  }
  void WaitEnd() override {
    if (onWait && FWaitSaid) onWait(QString(), false);
  }
  // The waits as they go: first true for a wait's first line; an empty
  // line when the wait is over.
  std::function<void(const QString &line, bool first)> onWait;
  void StepBegin(const QString &) override {}
  void StepEnd() override {}
  void TransferLocked(bool) override {}
  void Record(const QJsonObject &record) override {
    if (onRecord) onRecord(record);
  }

  // The boxes of the layers below the run (the tables operations).
  bool answer(const msgbox::Box &box) override;

  // Prints "tavelin: kind: text [answer]" on the error stream.
  void Print(const QString &kind, const QString &text, const QString &answer = QString());

 private:
  QTextStream &FErr;
  bool FAccept;
  QString FWaitCaption;
  bool FWaitSaid = false;
};
