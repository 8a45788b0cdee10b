#pragma once
// The answers an unattended run gives: every box is printed (to the error
// stream) and acknowledged; a question is answered the safe way.
#include <QList>
#include <QString>
#include <QTextStream>
#include <functional>

#include "common/msgbox.h"
#include "forms/modal.h"

class TUnattendedPolicy : public msgbox::Answerer, public modal::Answerer {
 public:
  // acceptOffers: the update offer (and any question of the update, such as
  // the recovery of an interrupted transfer) is accepted (--yes); otherwise
  // declined. The driver's "continue?" after a failed call is always declined.
  TUnattendedPolicy(QTextStream &err, bool acceptOffers);
  ~TUnattendedPolicy() override;
  TUnattendedPolicy(const TUnattendedPolicy &) = delete;
  TUnattendedPolicy &operator=(const TUnattendedPolicy &) = delete;

  bool answer(const msgbox::Box &box) override;
  int answer(QDialog *dlg) override;

  // Counted since the last Reset().
  int errors = 0;            // error and plain boxes, refused driver prompts
  int offers = 0;            // update offers shown
  int declined = 0;          // update offers and questions declined
  QString lastMessage;       // the text of the last box or notice
  void Reset();

  // Called for every box or dialog text, with a kind name ("error", "information",
  // "question", "plain", "warning", "offer", "notice").
  std::function<void(const QString &kind, const QString &text, bool answer)> onShown;

 private:
  void Print(const QString &kind, const QString &text, const QString &answer);
  QTextStream &FErr;
  bool FAccept;
};
