#pragma once
// The tables snapshot: every cell of the register's settings tables, read
// through the driver into one JSON file, and read back to verify the copy or
// to put the settings back after an update.
#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/notifytypesunit.h"

class TDriver;
namespace tablesview {
class TLog;
}

// One saved cell.
struct TFieldRec {
  int Table = 0;
  int Row = 0;
  int Number = 0;  // field (column) number
  QString Name;
  int Size = 0;
  int FieldType = 0;  // 0 integer, 1 text
  std::int64_t MinValue = 0;  // the driver's 32 bits taken as unsigned
  std::int64_t MaxValue = 0;
  QString StringValue;  // the whole text (older snapshots hold at most 255 characters)
  int IntValue = 0;     // integer fields only
};
using TFieldsData = std::vector<TFieldRec>;

// One table's structure.
struct TTableInfo {
  int Number = 0;
  QString TableName;  // at most 255 single-byte characters
  int RowCount = 0;
  int ColCount = 0;
};
using TTablesInfo = std::vector<TTableInfo>;

// Cells that change on their own (start counters) and so are not verified.
struct TBypassValue {
  int t = 0;  // table
  int f = 0;  // field
  int r = 0;  // row
};
using TBypassValues = std::vector<TBypassValue>;

extern TBypassValues BypassValues;
void InitBypassValues();
bool IsBypassValue(int t, int f, int r);

// The last verification failure, read by GetVerifyError.
struct TVerifyError {
  QString TableName;
  int Table = 0;
  int Number = 0;
  int Row = 0;
  bool IsInteger = false;
  QString FileStrValue;
  int FileIntValue = 0;
  QString ECRStrValue;
  int ECRIntValue = 0;
  // The driver's error when the register's cell could not be read; the
  // report shows it in place of the register's value.
  QString ECRError;
  // Set when the verification failed for a reason other than a cell (the
  // snapshot unreadable or of another register); the report is then this.
  QString Reason;
};
extern TVerifyError LastVerifyError;

// The register's system-administrator password for the cell reads and writes
// of verify and restore.
int TablesPassword();
// The administrator's password the register now has: a restore that writes
// it changes it, a set-up puts the maker's one back.
void SetTablesPassword(int password);

// The largest snapshot file read back: far beyond any register's tables.
constexpr qint64 kMaxSnapshotBytes = 64LL * 1024 * 1024;

// A snapshot read back and checked whole: every record has what the verify
// and the restore need, with numbers that fit their fields. Nothing of the
// file is used before the whole of it has passed.
struct TSnapshot {
  QString serial;      // "ecrSerial"
  TFieldsData fields;  // Table, Row, Number, Name, FieldType, and IntValue or StringValue
};

// Parses and checks a snapshot text; `path` names the file in the messages.
// Throws an Exception "Файл таблиц <path> повреждён: <what>".
TSnapshot ParseSnapshot(const QByteArray &text, const QString &path);
// Reads a snapshot file: a regular file (not a link, a device or a pipe) in
// a plain folder, at most kMaxSnapshotBytes. Throws an Exception naming the
// reason; a missing file gives "Файл <path> не найден!".
QByteArray ReadSnapshotFile(const QString &path);

// The log window of the last tables operation that wrote an error line: it
// outlives its tables object and stays until the operator closes it or the
// next operation writes its first line. Null when there is none.
tablesview::TLog *KeptTablesLog();
// Keeps a tables object's log window after the object (the one kept before goes).
void KeepTablesLog(std::unique_ptr<tablesview::TLog> log);

// The folder that holds the snapshot of a register: "ecrdata/<serial>/"
// beside the executable, or under the per-user data folder when the
// executable's folder cannot be written. Created when missing.
QString SnapshotFolder(const QString &serial);

class TECRTables : public QObject {
 public:
  // nullptr: the shared driver instance. Reads the serial number (one cell
  // read) and makes the snapshot's folder.
  explicit TECRTables(TDriver *ADriver = nullptr);
  ~TECRTables() override;
  TECRTables(const TECRTables &) = delete;
  TECRTables &operator=(const TECRTables &) = delete;

  QString FileName() const { return FFileName; }
  void setFileName(const QString &v) { FFileName = v; }

  // Reading saves: reads the register when no cells are held, writes the
  // snapshot file and returns its text.
  QString TablesData();
  // Writing restores: V is the snapshot text; empty means the snapshot file.
  void setTablesData(const QString &V);

  int TablesCount();
  int DataCount();
  int LoadedDataCount() const { return static_cast<int>(FFieldsData.size()); }

  // True when every compared cell matches; LastVerifyError says why not.
  bool Verify();

  TShowProgressNotify OnShowProgress;
  TProgressNotify OnProgress;
  TShowProgressNotify OnHideProgress;

  // The backup before an update: a failed status request asks the driver
  // error prompt as well, and when the operator answers No the save stops
  // without replacing the snapshot on disk.
  void setBackup(bool v) { FBackup = v; }
  // The operator answered No at a driver error prompt.
  bool Stopped() const { return FStopped; }

  const QString &Serial() const { return FSerial; }
  const TFieldsData &FieldsData() const { return FFieldsData; }
  const TTablesInfo &TablesInfo() const { return FTablesInfo; }

  // What the last restore did: cells written, and the writes the register
  // refused (the record as the snapshot holds it, the driver's code).
  struct TRefusedWrite {
    TFieldRec rec;
    QString tableName;
    int code = 0;
    QString description;
  };
  int WrittenCount() const { return FWritten; }
  const std::vector<TRefusedWrite> &RefusedWrites() const { return FRefused; }
  // Cells the save left out after the operator answered Yes at the driver's
  // prompt, and tables left out of the structure list the same way.
  struct TCellAddr {
    int table = 0, row = 0, field = 0;
  };
  const std::vector<TCellAddr> &SkippedCells() const { return FSkippedCells; }
  const std::vector<int> &SkippedTables() const { return FSkippedTables; }

  // Cells whose value the update run itself set after its snapshot was taken
  // (the rules' own cells): the verify and the restore take these values in
  // place of the snapshot's.
  void setRunCells(const TFieldsData &cells) { FRunCells = cells; }
  // Puts the run's own cells (setRunCells) into the snapshot on disk, when
  // there is one of this register: a restore after the run, by this program
  // or another, then keeps what the run set. Raises Exception with the reason.
  void PutRunCellsIntoSnapshot();
  // How many cells of the register the snapshot would change (the start
  // counters aside). Raises Exception when the snapshot cannot be used.
  int CountDifferences();

  // One line in the operation's log window; a line that must be read keeps
  // the window on screen after the operation.
  void Log(const QString &line, bool keep = true);
  // Hands the log window over when a line that must be read was written.
  std::unique_ptr<tablesview::TLog> ReleaseLogToKeep();

  // The snapshot text: one line of compact JSON, 7-bit ASCII.
  static QString FieldsDataToJSON(const QString &serial, const TFieldsData &data);

 private:
  TDriver *FDriver = nullptr;
  QString FFileName;
  TTablesInfo FTablesInfo;
  int FDataCount = -1;
  TFieldsData FFieldsData;
  QString FSerial;
  std::unique_ptr<tablesview::TLog> FVLog;
  bool FBackup = false;
  bool FStopped = false;
  bool FStatusAsked = false;
  TFieldsData FRunCells;
  bool FKeepLog = false;
  bool FLogStarted = false;
  int FWritten = 0;
  std::vector<TRefusedWrite> FRefused;
  std::vector<TCellAddr> FSkippedCells;
  std::vector<int> FSkippedTables;

  void ReadSerial();
  void ReadTablesInfo();
  void ReadTablesData();
  void WriteTablesData(const QString &text);
  bool AskContinue();
  QString BuildShowParams(const QString &caption);
  void SendShow(const QString &caption);
  void SendHide();
  void SendProgress(int p1, int p2, const QString &l1, const QString &l2);
  QString TableNameOf(int number);
  void WriteSnapshot(const QString &text);
  void WriteRecords(const TFieldsData &records);
  // Takes out the records of cells the register does not have (its tables'
  // structure says so) and returns them as refused, without asking the
  // register; a file most of whose records do not fit, or that holds a cell
  // twice, is not this register's snapshot and raises Exception.
  std::vector<TRefusedWrite> LeaveOutAbsentCells(TFieldsData &records);
  // Throws when the snapshot is of another register than the one on the link.
  void CheckSerial(const QString &fileSerial) const;
  void ApplyRunCells(TFieldsData &records) const;
};
