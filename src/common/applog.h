#pragma once
// The program's log file, tavelin.log in the state folder
// (apppaths::StateDir()): every line of the log window, the steps and
// outcomes of a run, the driver's error codes and what child programs
// printed. UTF-8, one entry a line (the further lines of a message indented),
// for its owner only (0600); at 1 MiB it becomes tavelin.log.1 and the older
// ones move up, three kept. Writing never fails the caller: a log that cannot
// be written is skipped.
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace applog {

// One entry "[<time stamp>] <tag> <message>" with the tag "[INFO ]",
// "[WARN ]", "[ERROR]" or "[DEBUG]".
void Info(const QString &message);
void Warn(const QString &message);
void Error(const QString &message);
void Debug(const QString &message);

// Routes Qt's messages: the program's own (categories "tavelin.*") go to the
// log with their level, and its warnings to standard error as well; Qt's
// own notices (a missing runtime folder, window masks offscreen) go nowhere
// unless QT_LOGGING_RULES asks for them, and then to the log as DEBUG and
// to standard error. Critical and fatal messages always go to both.
void InstallMessageHandler();
// An entry already formatted (the log window's own line), as it is.
void WriteLine(const QString &line);

// "[<time stamp>] <tag> <message>", the time taken from the program's clock.
QString FormatLine(const QString &tag, const QString &message);
// "yyyy-mm-dd hh:nn:ss.zzz" with the system's time separator in place of the colons.
QString TimeStamp(const QDateTime &at);
// The system's time separator (":" when the locale gives none).
QString TimeSeparator();

// The log file's path; empty when the state folder cannot be made.
QString LogFile();
// The newest entries of the log file, oldest first, at most count; the
// entries of this run when the file cannot be read.
QStringList LastEntries(int count);
// Writes the whole log (the kept older files first, then the current one)
// to target. Empty on success, otherwise the reason.
QString SaveCopy(const QString &target);

// Table 2 holds the cashiers' passwords: no value of it is ever logged.
// Callers that log a cell's value pass it through here.
QString CellValueForLog(int table, const QString &value);
// The same for a text that may quote cell values in a known form (the
// verification box names the table and both values).
QString WithoutSecrets(const QString &text);

// Tests: the size at which the file is rotated (0 restores 1 MiB).
void SetRotateSizeForTests(qint64 bytes);

}  // namespace applog
