#include "app/program/consoleview.h"

#include "common/applog.h"

#include "run/updaterun.h"

namespace {

QString OneLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text.trimmed();
}

QString YesNo(bool yes) { return yes ? QStringLiteral("yes") : QStringLiteral("no"); }

// The notice of an unsupported model, as the window's notice says it.
const char kUnsupported[] =
    "Мы очень сожалеем но данная модель ККТ не поддерживается. Если Вы хотите своевременно получать обновления "
    "кассового ПО, то мы будем рады сотрудничеству.";

}  // namespace

TConsoleView::TConsoleView(QTextStream &err, bool acceptOffers) : FErr(err), FAccept(acceptOffers) {
  msgbox::SetAnswerer(this);
}

TConsoleView::~TConsoleView() { msgbox::SetAnswerer(nullptr); }

void TConsoleView::Print(const QString &kind, const QString &text, const QString &answer) {
  FErr << "tavelin: " << kind << ": " << OneLine(text);
  if (!answer.isEmpty()) FErr << " [" << answer << ']';
  FErr << '\n';
  FErr.flush();
}

bool TConsoleView::Offer(const TFWRule &rule) {
  Print(QStringLiteral("offer"), OfferTitle(rule), YesNo(FAccept));
  return FAccept;
}

void TConsoleView::Unsupported() { Print(QStringLiteral("notice"), QString::fromUtf8(kUnsupported)); }

bool TConsoleView::Ask(run::TQuestion question, const QString &, const QString &text) {
  bool yes = false;
  switch (question) {
    // They belong to the update the operator agreed to with --yes, or not.
    case run::TQuestion::RetryDownload:
    case run::TQuestion::RecoverDfu:
    case run::TQuestion::FinishInterrupted: yes = FAccept; break;
    // Unattended, the settings someone entered by hand since are kept: what
    // would have been written is said in the result.
    case run::TQuestion::RestoreOldSnapshot: yes = false; break;
  }
  Print(QStringLiteral("question"), text, YesNo(yes));
  applog::Info(QStringLiteral("Вопрос: %1 Ответ: %2").arg(text, yes ? QStringLiteral("Да") : QStringLiteral("Нет")));
  return yes;
}

void TConsoleView::Notice(run::TNotice kind, const QString &, const QString &text) {
  // The log has what the operator was told, as the window's boxes leave it.
  switch (kind) {
    case run::TNotice::Error: applog::Error(QStringLiteral("Ошибка: ") + text); break;
    case run::TNotice::Warning: applog::Warn(QStringLiteral("Предупреждение: ") + text); break;
    default: applog::Info(QStringLiteral("Сообщение: ") + text); break;
  }
  switch (kind) {
    case run::TNotice::Error: Print(QStringLiteral("error"), text); break;
    case run::TNotice::Information: Print(QStringLiteral("information"), text); break;
    case run::TNotice::Plain: Print(QStringLiteral("message"), text); break;
    case run::TNotice::Warning: Print(QStringLiteral("warning"), text); break;
  }
}

bool TConsoleView::answer(const msgbox::Box &box) {
  using msgbox::Kind;
  switch (box.kind) {
    case Kind::Error: Print(QStringLiteral("error"), box.text); return true;
    case Kind::Plain: Print(QStringLiteral("message"), box.text); return true;
    case Kind::Information: Print(QStringLiteral("information"), box.text); return true;
    case Kind::Question:
      // No question below the run belongs to the update: No.
      Print(QStringLiteral("question"), box.text, YesNo(false));
      return false;
    case Kind::Warning:
      if (box.okOnly) {
        Print(QStringLiteral("warning"), box.text);
        return true;
      }
      // The driver's "continue?" after a failed call (msgbox::kDriverContinue),
      // or any other: stop.
      Print(QStringLiteral("warning"), box.text, YesNo(false));
      return false;
  }
  return false;
}
