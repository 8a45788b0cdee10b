#include "common/msgbox.h"

#include "common/applog.h"

namespace msgbox {
namespace {

Answerer *g_answerer = nullptr;
Answerer *g_presenter = nullptr;

QString KindName(Kind kind) {
  switch (kind) {
    case Kind::Error: return QStringLiteral("Ошибка");
    case Kind::Information: return QStringLiteral("Сообщение");
    case Kind::Question: return QStringLiteral("Вопрос");
    case Kind::Warning: return QStringLiteral("Предупреждение");
    case Kind::Plain: break;
  }
  return QStringLiteral("Сообщение");
}

bool ask(const Box &box);

// Every box goes to the log too, and what the operator answered.
bool show(const Box &box) {
  QString entry = KindName(box.kind);
  if (!box.caption.isEmpty()) entry += QStringLiteral(" (") + box.caption + QLatin1Char(')');
  entry += QStringLiteral(": ") + box.text;
  if (box.kind == Kind::Error)
    applog::Error(entry);
  else if (box.kind == Kind::Warning)
    applog::Warn(entry);
  else
    applog::Info(entry);
  const bool yes = ask(box);
  if (box.kind == Kind::Question || (box.kind == Kind::Warning && !box.okOnly))
    applog::Info(QStringLiteral("Ответ: ") + (yes ? QStringLiteral("Да") : QStringLiteral("Нет")));
  return yes;
}

bool ask(const Box &box) {
  if (g_answerer) return g_answerer->answer(box);
  if (g_presenter) return g_presenter->answer(box);
  return false;
}

}  // namespace

void SetAnswerer(Answerer *answerer) { g_answerer = answerer; }
Answerer *CurrentAnswerer() { return g_answerer; }
void SetPresenter(Answerer *presenter) { g_presenter = presenter; }

void ShowError(const QString &text) { show({Kind::Error, {}, text}); }
void ShowInformation(const QString &text) { show({Kind::Information, {}, text}); }
bool AskQuestion(const QString &text) { return show({Kind::Question, {}, text}); }
bool AskQuestion(const QString &caption, const QString &text) { return show({Kind::Question, caption, text}); }
void ShowPlain(const QString &text) { show({Kind::Plain, {}, text}); }
bool AskWarning(const QString &caption, const QString &text, const QString &id) {
  return show({Kind::Warning, caption, text, false, id});
}
void ShowWarning(const QString &caption, const QString &text) { show({Kind::Warning, caption, text, true}); }

}  // namespace msgbox
