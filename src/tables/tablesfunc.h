#pragma once
// Save, verify and restore of the register's settings tables, each with its
// own progress window and tables object, for the update run and the key
// command of the main window.
#include <QString>

// Saves every cell and writes the snapshot; AData gets the snapshot text.
// False when the operator answered No at a driver error prompt: the update
// must not go on, and the previous snapshot stays. Errors propagate.
bool SaveTables(QString &AData);
// Compares the snapshot with the register; an error is shown and gives false.
bool VerifyTables();
// True when the last VerifyTables failed with an error it has shown itself.
bool VerifyErrorShown();
// Writes back every cell that differs from the snapshot file; an error is shown.
void RestoreTables();
// The report of the last failed verification.
void GetVerifyError(QString &AText);

// True while one of the operations above runs (its windows let messages
// through, so the operator could otherwise start another inside it).
bool TablesOperationRunning();
