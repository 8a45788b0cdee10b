#include "tables/tablesfunc.h"

#include <memory>
#include <vector>

#include "common/error.h"
#include "common/msgbox.h"
#include "device/OstrelLib_TLB.h"
#include "tables/tablesview.h"
#include "tables/tablesutils.h"

namespace {

bool g_running = false;

// The update run under way, and what its first backup saved.
struct RunState {
  bool active = false;
  bool taken = false;
  std::vector<TECRTables::TCellAddr> skippedCells;
  std::vector<int> skippedTables;
  TFieldsData cells;  // written by the run itself after the snapshot
} g_run;

// One operation's window and tables object. The object goes first, also on
// an error, which takes the window off the screen with it.
struct Operation {
  std::unique_ptr<tablesview::TProgress> form;
  std::unique_ptr<TECRTables> tables;
  bool wasRunning;

  Operation() : wasRunning(g_running) {
    g_running = true;
    try {
      form = tablesview::MakeProgress();
      tables = std::make_unique<TECRTables>(nullptr);
    } catch (...) {
      g_running = wasRunning;
      throw;
    }
    if (g_run.active && g_run.taken) tables->setRunCells(g_run.cells);
    if (tablesview::TProgress *f = form.get()) {
      tables->OnShowProgress = [f](QObject *sender, const QString &params) { f->Show(sender, params); };
      tables->OnProgress = [f](QObject *sender, const QString &params) { f->Step(sender, params); };
      tables->OnHideProgress = [f](QObject *sender, const QString &params) { f->Hide(sender, params); };
    }
  }
  ~Operation() {
    // A log that holds lines the operator must read stays on screen.
    if (tables) KeepTablesLog(tables->ReleaseLogToKeep());
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
  if (op.tables->Stopped()) return false;
  if (g_run.active && !g_run.taken) {
    g_run.taken = true;
    g_run.skippedCells = op.tables->SkippedCells();
    g_run.skippedTables = op.tables->SkippedTables();
  }
  return true;
}

void BeginTablesRun() {
  g_run = RunState();
  g_run.active = true;
  // A run starts with the maker's administrator password; a restore that
  // writes another one changes it for the rest of the run.
  SetTablesPassword(kSysAdminPassword);
}
void EndTablesRun() { g_run = RunState{}; }
bool TablesRunSnapshotTaken() { return g_run.active && g_run.taken; }

void NoteRunCell(int table, int row, int field, int type, int intValue, const QString &strValue) {
  if (!g_run.active) return;
  TFieldRec c;
  c.Table = table;
  c.Row = row;
  c.Number = field;
  c.FieldType = type == 0 ? 0 : 1;
  c.IntValue = intValue;
  c.StringValue = strValue;
  for (TFieldRec &r : g_run.cells)
    if (r.Table == table && r.Row == row && r.Number == field) {
      r = c;
      return;
    }
  g_run.cells.push_back(c);
}

bool KeepRunCellsInSnapshot(QString *error) {
  if (!g_run.active || g_run.cells.empty()) return true;
  try {
    TECRTables t(nullptr);
    t.setRunCells(g_run.cells);
    t.PutRunCellsIntoSnapshot();
    return true;
  } catch (const std::exception &e) {
    if (error) *error = ExceptionMessage(e);
    return false;
  }
}

int SnapshotDifferences(QString *error) {
  try {
    TECRTables t(nullptr);
    if (g_run.active) t.setRunCells(g_run.cells);
    return t.CountDifferences();
  } catch (const std::exception &e) {
    if (error) *error = ExceptionMessage(e);
    return -1;
  }
}

bool VerifyTables(QString *error) {
  try {
    Operation op;
    return op.tables->Verify();
  } catch (const std::exception &e) {
    const QString message = ExceptionMessage(e);
    // The report that follows names this failure, not an older mismatch.
    LastVerifyError.Reason = message;
    if (error) {
      *error = message;
      return false;
    }
    msgbox::ShowError(message);
    return false;
  }
}

namespace {

const QString kRestoreCaption = QStringLiteral("Восстановление таблиц.");

// The value a cell should hold, as the log may show it: the cashiers'
// passwords (table 2) are never shown.
QString ShownValue(const TFieldRec &rec) {
  if (rec.Table == 2) return QStringLiteral("значение скрыто (пароли кассиров)");
  if (rec.FieldType == 0) return QString::number(rec.IntValue);
  return QStringLiteral("«") + rec.StringValue + QStringLiteral("»");
}

// Lists in the log every cell the restore could not put back, and with
// leftOut the cells the run's backup left out; returns how many. cells, when
// given, gets each of them.
int ReportUnrestored(TECRTables &t, bool leftOut, QList<TCellNotRestored> *cells = nullptr) {
  int n = 0;
  for (const auto &w : t.RefusedWrites()) {
    if (cells)
      cells->append({w.rec.Table, w.rec.Row, w.rec.Number, w.tableName + QStringLiteral(" / ") + w.rec.Name,
                     w.code < 0 ? w.description : QStringLiteral("(%1) %2").arg(w.code).arg(w.description)});
    t.Log(QStringLiteral("Не восстановлено: Таблица %1, ряд %2, поле %3 (%4 / %5), должно быть: %6.")
              .arg(w.rec.Table)
              .arg(w.rec.Row)
              .arg(w.rec.Number)
              .arg(w.tableName, w.rec.Name, ShownValue(w.rec)));
    ++n;
  }
  if (!leftOut) return n;
  auto tableName = [&t](int number) {
    for (const TTableInfo &i : t.TablesInfo())
      if (i.Number == number) return i.TableName;
    return QString();
  };
  for (const auto &c : g_run.skippedCells) {
    if (cells)
      cells->append({c.table, c.row, c.field, tableName(c.table),
                     QStringLiteral("ячейка не прочитана при сохранении")});
    t.Log(QStringLiteral("Не восстановлено: Таблица %1, ряд %2, поле %3 (%4): ячейка не прочитана при сохранении, "
                         "её значения нет в файле таблиц.")
              .arg(c.table)
              .arg(c.row)
              .arg(c.field)
              .arg(tableName(c.table)));
    ++n;
  }
  for (const int number : g_run.skippedTables) {
    int tableCells = 0;
    for (const TTableInfo &i : t.TablesInfo())
      if (i.Number == number) tableCells = i.RowCount * i.ColCount;
    if (cells)
      cells->append({number, 0, 0, tableName(number),
                     QStringLiteral("таблица не прочитана при сохранении, ячеек: %1").arg(tableCells)});
    t.Log(QStringLiteral("Не восстановлено: Таблица %1 (%2) целиком, ячеек: %3: таблица не прочитана при "
                         "сохранении, её значений нет в файле таблиц.")
              .arg(number)
              .arg(tableName(number))
              .arg(tableCells));
    n += tableCells > 0 ? tableCells : 1;
  }
  return n;
}

void ShowUnrestored(int n) {
  msgbox::ShowWarning(kRestoreCaption,
                      QStringLiteral("Не удалось восстановить ячеек: %1. Список — в окне журнала.").arg(n));
}

}  // namespace

void RestoreTables() {
  // Never a second restore inside a running operation.
  if (g_running) return;
  int failed = 0, written = 0;
  try {
    Operation op;
    op.tables->setTablesData(QString());
    written = op.tables->WrittenCount();
    failed = ReportUnrestored(*op.tables, false);
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
    return;
  }
  if (failed > 0)
    ShowUnrestored(failed);
  else
    msgbox::ShowInformation(QStringLiteral("Таблицы восстановлены: записано ячеек: %1.").arg(written));
}

bool RestoreTablesAfterUpdate(QList<TCellNotRestored> *notRestoredCells, QStringList *notes) {
  if (g_running) return false;
  int failed = 0;
  QString notRestored;
  try {
    Operation op;
    const QString main = op.tables->FileName();
    bool done = false;
    try {
      op.tables->setTablesData(QString());
      done = true;
    } catch (const Exception &e) {
      // Nothing was written: every reason lies in the file or its check.
      const QString bak = main + QStringLiteral(".bak");
      const QString text =
          e.message() + QStringLiteral("\r\nНастройки ККТ восстанавливаются из предыдущей копии %1.").arg(bak);
      if (notes)
        *notes << text;
      else
        msgbox::ShowError(text);
      op.tables->setFileName(bak);
      try {
        op.tables->setTablesData(QString());
        done = true;
      } catch (const Exception &eb) {
        notRestored = eb.message();
      }
    }
    if (done) failed = ReportUnrestored(*op.tables, true, notRestoredCells);
  } catch (const std::exception &e) {
    notRestored = ExceptionMessage(e);
  }
  if (!notRestored.isEmpty()) {
    if (notes)
      *notes << notRestored;
    else
      msgbox::ShowWarning(kRestoreCaption,
                          QStringLiteral("Настройки ККТ после обновления не восстановлены.\r\n") + notRestored);
    return false;
  }
  if (failed > 0 && !notes) ShowUnrestored(failed);
  return true;
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
