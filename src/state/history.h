#pragma once
// The update journal: what the program did to each register, one JSON object
// a line in $XDG_STATE_HOME/Korvalis/Tavelin/history.jsonl. Lines are
// appended and flushed to disk one by one, so a crash loses at most the line
// being written; a torn line is skipped when read. At 10 MiB the file moves
// to history.jsonl.1 (one old file kept).
#include <QJsonObject>
#include <QList>
#include <QString>

namespace history {

// The program's own state folder, with a trailing separator; made 0700 when
// missing. Tests point it elsewhere through XDG_STATE_HOME.
QString StateDir();
QString JournalPath();

inline constexpr qint64 kRotateBytes = 10 * 1024 * 1024;

// Gets every record as it is written (the unattended mode prints them).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Record(const QJsonObject &record) = 0;
};
// The caller keeps ownership; remove before it goes.
void AddSink(Sink *sink);
void RemoveSink(Sink *sink);

// Appends one record with its time ("time", ISO-8601 with the zone) put in
// front; a journal that cannot be written costs the record, never the run
// (and is said once in the log and on standard error). Returns the record
// as written.
QJsonObject Append(QJsonObject record);

// The records of path and its old file, oldest first; unreadable lines are
// skipped. serial non-empty: only that register's records. A file that is
// there but cannot be read (not a regular file, a link, no permission) is
// passed over and named in *error when given; a missing one is no error.
QList<QJsonObject> Read(const QString &path = JournalPath(), const QString &serial = QString(),
                        QString *error = nullptr);

// Closes every run on that serial port that started and never ended (its
// program was killed outright) with a "run-end" of result "interrupted",
// naming in "started" the time of the start it closes. Only to be called
// while holding the port's lock: no live program's run is then among them.
// Returns the records written.
QList<QJsonObject> CloseInterrupted(int port);

// The event as people read it ("итог" for "run-end"); the file keeps the word.
QString EventLabel(const QString &event);
// A record's time in this computer's local time, "yyyy-MM-dd HH:mm:ss".
QString LocalTime(const QString &iso);

// One line of the table view: time, serial, event, what it says.
QString Summary(const QJsonObject &record);
QStringList TableHeader();
QStringList TableRow(const QJsonObject &record);

// `tavelin --history [--json] [--serial S]`: prints and returns the exit code.
int PrintHistory(const QStringList &args);

}  // namespace history
