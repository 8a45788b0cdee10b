#include "app/program/cli_policy.h"

#include <QLabel>
#include <QPlainTextEdit>

#include "forms/msgformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"

namespace {

// The start-up's offer of a newer package: the configured package is what
// an unattended run is meant to use, so it is fetched.
const char kDownloadQuestion[] = "Доступнa новая версия кассового ПО. Скачать?";

QString OneLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text.trimmed();
}

}  // namespace

TUnattendedPolicy::TUnattendedPolicy(QTextStream &err, bool acceptOffers) : FErr(err), FAccept(acceptOffers) {
  msgbox::SetAnswerer(this);
  modal::SetAnswerer(this);
}

TUnattendedPolicy::~TUnattendedPolicy() {
  msgbox::SetAnswerer(nullptr);
  modal::SetAnswerer(nullptr);
}

void TUnattendedPolicy::Reset() {
  errors = offers = declined = 0;
  lastMessage.clear();
}

void TUnattendedPolicy::Print(const QString &kind, const QString &text, const QString &answer) {
  FErr << "tavelin: " << kind << ": " << OneLine(text);
  if (!answer.isEmpty()) FErr << " [" << answer << ']';
  FErr << '\n';
  FErr.flush();
}

bool TUnattendedPolicy::answer(const msgbox::Box &box) {
  using msgbox::Kind;
  QString kind;
  bool yes = true;
  switch (box.kind) {
    case Kind::Error: kind = QStringLiteral("error"); ++errors; break;
    case Kind::Plain: kind = QStringLiteral("message"); ++errors; break;
    case Kind::Information: kind = QStringLiteral("information"); break;
    case Kind::Question:
      kind = QStringLiteral("question");
      // Any other question (the recovery of an interrupted transfer) belongs
      // to the update the operator agreed to with --yes, or not.
      yes = box.text == QString::fromUtf8(kDownloadQuestion) || FAccept;
      if (!yes) ++declined;
      break;
    case Kind::Warning:
      // The driver's "continue?" after a failed call: stop.
      kind = QStringLiteral("warning");
      yes = false;
      ++errors;
      break;
  }
  const bool asks = box.kind == Kind::Question || box.kind == Kind::Warning;
  // The plain boxes of the transfer report its failures; the others inform.
  lastMessage = box.text;
  Print(kind, box.text, asks ? (yes ? QStringLiteral("yes") : QStringLiteral("no")) : QString());
  if (onShown) onShown(kind, box.text, yes);
  return yes;
}

int TUnattendedPolicy::answer(QDialog *dlg) {
  if (auto *offer = qobject_cast<TUpdateForm *>(dlg)) {
    ++offers;
    const QString text = offer->TitleLabel->text();
    if (!FAccept) ++declined;
    Print(QStringLiteral("offer"), text, FAccept ? QStringLiteral("yes") : QStringLiteral("no"));
    if (onShown) onShown(QStringLiteral("offer"), text, FAccept);
    return FAccept ? modal::mrOk : modal::mrCancel;
  }
  if (auto *notice = qobject_cast<TMsgForm *>(dlg)) {
    const QString text = notice->Label1->text();
    lastMessage = text;
    Print(QStringLiteral("notice"), text, QString());
    if (onShown) onShown(QStringLiteral("notice"), text, true);
    return modal::mrOk;
  }
  // The device is chosen on the command line; any other dialog is cancelled.
  Print(QStringLiteral("dialog"), dlg->windowTitle(), QStringLiteral("cancel"));
  return modal::mrCancel;
}
