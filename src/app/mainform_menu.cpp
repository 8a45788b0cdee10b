// The main window's context menu: the key commands for those who cannot find
// or send them, and the log.
#include <QContextMenuEvent>
#include <QListWidget>
#include <QMenu>

#include "app/mainformunit.h"
#include "common/applog.h"
#include "forms/logformunit.h"

namespace {

// Lines the log command shows; the whole log is saved by its button.
constexpr int kJournalEntries = 1000;

}  // namespace

void TMainForm::MakeMenuEntries() {
  AddMenuEntry(QStringLiteral("Загрузить правила…\tCtrl+Alt+O"), [this] { LoadRulesManually(); });
  AddMenuEntry(QStringLiteral("Восстановить таблицы\tCtrl+Alt+T"), [this] { RestoreTablesCommand(); });
  AddMenuEntry(QStringLiteral("Журнал"), [this] { ShowJournal(); });
  AddMenuEntry(QStringLiteral("Сохранить журнал…"), [this] { SaveJournal(); });
}

void TMainForm::AddMenuEntry(const QString &caption, std::function<void()> action) {
  FMenuEntries.append({caption, std::move(action)});
}

void TMainForm::contextMenuEvent(QContextMenuEvent *event) {
  // Shown without a loop of its own: a run that lets messages through while
  // it waits must not stop at an open menu.
  auto *menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("MainMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const bool blocked = CommandsBlocked();
  for (const TMenuEntry &entry : FMenuEntries) {
    QAction *action = menu->addAction(entry.caption);
    action->setEnabled(!blocked);
    connect(action, &QAction::triggered, this, [this, run = entry.action] {
      // Whatever started while the menu was open still has the register.
      if (!CommandsBlocked()) run();
    });
  }
  menu->popup(event->reason() == QContextMenuEvent::Mouse ? event->globalPos() : mapToGlobal(rect().center()));
  event->accept();
}

void TMainForm::ShowJournal() {
  if (!FJournalForm) {
    FJournalForm = std::make_unique<TLogForm>();
    FJournalForm->setWindowTitle(QStringLiteral("Журнал"));
  }
  QListWidget *list = FJournalForm->LogLB;
  list->clear();
  list->addItems(applog::LastEntries(kJournalEntries));
  list->scrollToBottom();
  FJournalForm->show();
  FJournalForm->raise();
  FJournalForm->activateWindow();
}

void TMainForm::SaveJournal() { SaveLogAs(this); }
