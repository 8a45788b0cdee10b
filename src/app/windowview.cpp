#include "app/windowview.h"

#include <QLabel>
#include <QProgressBar>

#include "app/mainformunit.h"
#include "common/msgbox.h"
#include "forms/modal.h"
#include "forms/msgformunit.h"
#include "forms/painted.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"

bool TWindowView::ChooseDevice() { return ChooseLogicalDevice(); }

bool TWindowView::Offer(const TFWRule &rule) { return UpdateForm->OfferUpdate(rule); }

void TWindowView::Unsupported() { modal::ShowModal(MsgForm); }

bool TWindowView::Ask(run::TQuestion, const QString &caption, const QString &text) {
  return caption.isEmpty() ? msgbox::AskQuestion(text) : msgbox::AskQuestion(caption, text);
}

void TWindowView::Notice(run::TNotice kind, const QString &caption, const QString &text) {
  switch (kind) {
    case run::TNotice::Error: msgbox::ShowError(text); break;
    case run::TNotice::Information: msgbox::ShowInformation(text); break;
    case run::TNotice::Plain: msgbox::ShowPlain(text); break;
    case run::TNotice::Warning: msgbox::ShowWarning(caption, text); break;
  }
}

void TWindowView::Status(const QString &text) { f.setWindowTitle(text); }

void TWindowView::WaitBegin(const QString &caption, int steps) {
  RebootForm->hide();
  RebootForm->setWindowTitle(caption);
  QProgressBar *bar = RebootForm->Progress;
  bar->setRange(1, steps);
  bar->setValue(1);
  RebootForm->Detail->clear();
  ShowPainted(RebootForm);
}

void TWindowView::WaitDetail(const QString &text) { RebootForm->Detail->setText(text); }

void TWindowView::WaitStep(int value) { RebootForm->Progress->setValue(value); }

void TWindowView::WaitEnd() { RebootForm->hide(); }

void TWindowView::StepBegin(const QString &caption) {
  ProrgessTForm->setWindowTitle(caption);
  ShowPainted(ProrgessTForm);
}

void TWindowView::StepEnd() { ProrgessTForm->hide(); }

void TWindowView::TransferLocked(bool locked) {
  // Within a run they stay locked until it ends.
  const bool enable = !locked && !f.runInProgress();
  f.cbMethod->setEnabled(enable);
  f.DrvSetButton->setEnabled(enable);
}

void TWindowView::RunEnding() { f.CloseRefusalNotice(); }
