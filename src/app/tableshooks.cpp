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
    // The run's first backup saves the snapshot; a later pass keeps it (the
    // register may have been set up anew since) and only verifies against it.
    // An error of the save ends the run; a stop by the operator ends the update.
    if (!TablesRunSnapshotTaken()) {
      if (!SaveTables(data)) return false;
      form.Journal().NoteSaved(
          static_cast<int>(QJsonDocument::fromJson(data.toUtf8()).object().value(QStringLiteral("fields")).toArray().size()));
    }
    const bool verified = VerifyTables();
    form.Journal().NoteVerified(verified);
    // An error of the verification is shown by it already: one box, not two.
    if (!verified && !VerifyErrorShown()) {
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
  form.RestoreAfterUpdateHook = []() { return RestoreTablesAfterUpdate(); };
  form.RunSnapshotTakenHook = []() { return TablesRunSnapshotTaken(); };
  form.BeginRunHook = []() { BeginTablesRun(); };
  form.EndRunHook = []() { EndTablesRun(); };
  form.RestoreTablesHook = []() { RestoreTables(); };
}
