#include "app/tableshooks.h"

#include "app/mainformunit.h"
#include "common/msgbox.h"
#include "tables/tablesfunc.h"

void InstallTablesHooks(TMainForm &form) {
  form.BackupTablesHook = []() {
    QString data;
    // An error of the save ends the run; a stop by the operator ends the update.
    if (!SaveTables(data)) return false;
    // An error of the verification is shown by it already: one box, not two.
    if (!VerifyTables() && !VerifyErrorShown()) {
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
