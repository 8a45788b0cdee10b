#pragma once
// Save, verify and restore of the register's settings tables, each with its
// own progress window and tables object, for the update run and the key
// command of the main window.
#include <QList>
#include <QString>
#include <QStringList>

// A settings cell the restore after an update could not put back.
struct TCellNotRestored {
  int table = 0, row = 0, field = 0;
  QString name;    // the table's and the field's names
  QString answer;  // the register's answer, or why the value was not there
};

// Saves every cell and writes the snapshot; AData gets the snapshot text.
// False when the operator answered No at a driver error prompt: the update
// must not go on, and the previous snapshot stays. Errors propagate.
bool SaveTables(QString &AData);
// Compares the snapshot with the register; an error is shown and gives false.
// error given: no box; the error's text goes there instead.
bool VerifyTables(QString *error = nullptr);
// Writes back every cell that differs from the snapshot file; an error is
// shown. The key command's restore: it ends with a box that says how many
// cells were written, or how many could not be (listed in the log window).
void RestoreTables();
// The restore after an update. When "tables.json" cannot be used, says why
// and takes "tables.json.bak"; false (after a warning) when neither can be
// used and the settings stay as the update left them. Cells the register
// refused, and cells the run's backup left out, are listed in the log window
// and counted in a warning box, and in notRestored when given. notes given:
// no box at all (an update run under way must not wait on one); what they
// would say goes there, to be shown when the run ends.
bool RestoreTablesAfterUpdate(QList<TCellNotRestored> *notRestored = nullptr, QStringList *notes = nullptr);

// One update run. The register's settings before the run's first change are
// the run's snapshot: the first backup of the run saves it, later backups
// keep it (and only verify the register against it), and every restore of
// the run writes it.
void BeginTablesRun();
void EndTablesRun();
bool TablesRunSnapshotTaken();
// A cell the run itself wrote after its snapshot (a rule's own cell): later
// verifies and restores of the run take this value. type 0: integer.
void NoteRunCell(int table, int row, int field, int type, int intValue, const QString &strValue);
// Puts the cells noted so far into the register's snapshot on disk too, so
// that a restore after the run (Ctrl+Alt+T, a recovery) keeps them. False
// with the reason in *error when the file could not be written.
bool KeepRunCellsInSnapshot(QString *error = nullptr);
// How many cells of the register its snapshot would change; -1 with the
// reason in *error when there is no usable snapshot.
int SnapshotDifferences(QString *error = nullptr);
// The report of the last failed verification.
void GetVerifyError(QString &AText);

// True while one of the operations above runs (its windows let messages
// through, so the operator could otherwise start another inside it).
bool TablesOperationRunning();
