#include "app/tableshooks.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/mainformunit.h"
#include "common/msgbox.h"
#include "tables/tablesfunc.h"

void InstallTablesHooks(TMainForm &form) {
  form.BackupTablesHook = [&form]() {
    QString data;
    // An error of the save ends the run; a stop by the operator ends the update.
    if (!SaveTables(data)) return false;
    form.Journal().NoteSaved(
        static_cast<int>(QJsonDocument::fromJson(data.toUtf8()).object().value(QStringLiteral("fields")).toArray().size()));
    const bool verified = VerifyTables();
    form.Journal().NoteVerified(verified);
    if (!verified) {
      try {
        QString text;
        GetVerifyError(text);
        msgbox::ShowError(text);
      } catch (...) {
        // The report is a courtesy; the transfer goes on without it.
      }
    }
    return true;
  };
  form.RestoreAfterUpdateHook = []() { RestoreTables(); };
  form.RestoreTablesHook = []() { RestoreTables(); };
}
