#pragma once
// A generic progress window built from JSON messages: the show message gives
// caption, size and the progress bars and labels, each progress message moves
// the bars and relabels the labels by control name, the hide message takes it
// down. It knows nothing of what is being counted.
#include <QTimer>
#include <QWidget>

#include <cstdint>

#include "forms/controlbuilder.h"

class TProgressForm : public QWidget {
  Q_OBJECT

 public:
  // Created hidden, without controls.
  explicit TProgressForm(QWidget *parent = nullptr);
  ~TProgressForm() override;

  // The handlers a producer assigns to its show, progress and hide events.
  void Do_Show(QObject *Sender, const QString &AParams);
  void DoProgress(QObject *Sender, const QString &AParams);
  void Do_Hide(QObject *Sender, const QString &AParams);

  // The controls in the order they were made.
  const TFormControls &FormControls() const { return FFormControls; }

  // Progress steps come faster than anyone can read them: the controls take
  // a step's values at most this often (by the clock of common/waits); a
  // step in between is kept and put on screen by the next due step, or by a
  // timer when no further step comes.
  static constexpr int kRefreshMs = 20;

 private:
  // Puts the last kept progress step on the controls.
  void ApplyProgress();

  TFormControls FFormControls;
  QString FPending;  // the last step not yet shown
  bool FHavePending = false;
  bool FShownOnce = false;  // a step has been put on screen since the show
  std::uint64_t FLastApplied = 0;
  QTimer FRefreshTimer;
};
