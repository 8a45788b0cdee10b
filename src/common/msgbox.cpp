#include "common/msgbox.h"

#include <QApplication>
#include <QMessageBox>

#include "common/applog.h"

namespace msgbox {
namespace {

Answerer *g_answerer = nullptr;

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
  applog::Info(entry);
  const bool yes = ask(box);
  if (box.kind == Kind::Question || box.kind == Kind::Warning)
    applog::Info(QStringLiteral("Ответ: ") + (yes ? QStringLiteral("Да") : QStringLiteral("Нет")));
  return yes;
}

bool ask(const Box &box) {
  if (g_answerer) return g_answerer->answer(box);
  QMessageBox mb(QApplication::activeWindow());
  mb.setWindowTitle(box.caption.isEmpty() ? QApplication::applicationName() : box.caption);
  mb.setText(box.text);
  switch (box.kind) {
    case Kind::Error: mb.setIcon(QMessageBox::Critical); break;
    case Kind::Information: mb.setIcon(QMessageBox::Information); break;
    case Kind::Question: mb.setIcon(QMessageBox::Question); break;
    case Kind::Warning: mb.setIcon(QMessageBox::Warning); break;
    case Kind::Plain: mb.setIcon(QMessageBox::NoIcon); break;
  }
  if (box.kind == Kind::Question || (box.kind == Kind::Warning && !box.okOnly)) {
    mb.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    return mb.exec() == QMessageBox::Yes;
  }
  mb.setStandardButtons(QMessageBox::Ok);
  mb.exec();
  return true;
}

}  // namespace

QWidget *ShowInformationModeless(QWidget *parent, const QString &text) {
  if (g_answerer) g_answerer->answer({Kind::Information, {}, text});
  auto *mb = new QMessageBox(QMessageBox::Information, QApplication::applicationName(), text,
                             QMessageBox::Ok, parent);
  mb->setAttribute(Qt::WA_DeleteOnClose);
  mb->setWindowModality(Qt::NonModal);
  mb->show();
  return mb;
}

void SetAnswerer(Answerer *answerer) { g_answerer = answerer; }

void ShowError(const QString &text) { show({Kind::Error, {}, text}); }
void ShowInformation(const QString &text) { show({Kind::Information, {}, text}); }
bool AskQuestion(const QString &text) { return show({Kind::Question, {}, text}); }
bool AskQuestion(const QString &caption, const QString &text) { return show({Kind::Question, caption, text}); }
void ShowPlain(const QString &text) { show({Kind::Plain, {}, text}); }
bool AskWarning(const QString &caption, const QString &text) {
  return show({Kind::Warning, caption, text});
}
void ShowWarning(const QString &caption, const QString &text) { show({Kind::Warning, caption, text, true}); }

}  // namespace msgbox
