#include "tables/tablesfunc.h"

#include <memory>

#include "common/error.h"
#include "common/msgbox.h"
#include "forms/progressformunit.h"
#include "tables/tablesutils.h"

namespace {

bool g_running = false;

// One operation's window and tables object. The object goes first, also on
// an error, which takes the window off the screen with it.
struct Operation {
  std::unique_ptr<TProgressForm> form;
  std::unique_ptr<TECRTables> tables;
  bool wasRunning;

  Operation() : wasRunning(g_running) {
    g_running = true;
    try {
      form = std::make_unique<TProgressForm>(nullptr);
      tables = std::make_unique<TECRTables>(nullptr);
    } catch (...) {
      g_running = wasRunning;
      throw;
    }
    TProgressForm *f = form.get();
    tables->OnShowProgress = [f](QObject *sender, const QString &params) { f->Do_Show(sender, params); };
    tables->OnProgress = [f](QObject *sender, const QString &params) { f->DoProgress(sender, params); };
    tables->OnHideProgress = [f](QObject *sender, const QString &params) { f->Do_Hide(sender, params); };
  }
  ~Operation() {
    tables.reset();
    form.reset();
    g_running = wasRunning;
  }
};

}  // namespace

bool TablesOperationRunning() { return g_running; }

bool SaveTables(QString &AData) {
  Operation op;
  op.tables->setBackup(true);
  AData = op.tables->TablesData();
  return !op.tables->Stopped();
}

namespace {
bool g_verifyErrorShown = false;
}  // namespace

bool VerifyErrorShown() { return g_verifyErrorShown; }

bool VerifyTables() {
  g_verifyErrorShown = false;
  try {
    Operation op;
    return op.tables->Verify();
  } catch (const std::exception &e) {
    const QString message = ExceptionMessage(e);
    // The report that follows names this failure, not an older mismatch.
    LastVerifyError.Reason = message;
    msgbox::ShowError(message);
    g_verifyErrorShown = true;
    return false;
  }
}

void RestoreTables() {
  // Never a second restore inside a running operation.
  if (g_running) return;
  try {
    Operation op;
    op.tables->setTablesData(QString());
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void GetVerifyError(QString &AText) {
  const TVerifyError &e = LastVerifyError;
  if (!e.Reason.isEmpty()) {
    AText = e.Reason;
    return;
  }
  const QString ecr = !e.ECRError.isEmpty() ? e.ECRError
                      : e.IsInteger        ? QString::number(e.ECRIntValue)
                                           : e.ECRStrValue;
  const QString file = e.IsInteger ? QString::number(e.FileIntValue) : e.FileStrValue;
  AText = QStringLiteral("Ошибка при провертке таблицы: ") + e.TableName + QStringLiteral(" [") +
          QString::number(e.Table) + QStringLiteral("]\r\n") + QStringLiteral("Строка: ") +
          QString::number(e.Row) + QStringLiteral(" , столбец: ") + QString::number(e.Number) +
          QStringLiteral("\r\n") + QStringLiteral("Значение из таблицы: ") + ecr +
          QStringLiteral(", значение из файла: ") + file;
}
