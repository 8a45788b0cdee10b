#include "tables/tablesutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "device/untDriver.h"
#include "tables/tablesinternal.h"
#include "tables/tablesview.h"

using namespace tablesdetail;

TBypassValues BypassValues;
TVerifyError LastVerifyError;

void InitBypassValues() {
  BypassValues.resize(2);
  BypassValues[0] = TBypassValue{20, 9, 1};
  BypassValues[1] = TBypassValue{20, 10, 1};
}

bool IsBypassValue(int t, int f, int r) {
  for (const TBypassValue &b : BypassValues)
    if (b.t == t && b.f == f && b.r == r) return true;
  return false;
}

namespace {
int g_password = kSysAdminPassword;
// Where the register keeps the administrator's password.
constexpr int kPasswordTable = 2, kPasswordRow = 30, kPasswordField = 1;
}  // namespace

int TablesPassword() { return g_password; }
void SetTablesPassword(int password) { g_password = password; }

namespace {

tablesview::TLog *g_keptLog = nullptr;

void DropKeptLog() {
  delete g_keptLog;
  g_keptLog = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------

TECRTables::TECRTables(TDriver *ADriver) {
  FDriver = ADriver ? ADriver : Driver();
  FTablesInfo.clear();
  FFieldsData.clear();
  FDataCount = -1;
  ReadSerial();
  FFileName = SnapshotFolder(FSerial) + QString::fromLatin1(kSnapshotName);
}

TECRTables::~TECRTables() {
  FTablesInfo.clear();
  FFieldsData.clear();
}

void TECRTables::Log(const QString &line, bool keep) {
  // A fresh list: the window kept from an earlier operation goes.
  if (!FLogStarted) {
    FLogStarted = true;
    DropKeptLog();
  }
  if (keep) FKeepLog = true;
  if (!FVLog) FVLog = tablesview::MakeLog();
  FVLog->Info(line);
}

std::unique_ptr<tablesview::TLog> TECRTables::ReleaseLogToKeep() {
  if (!FKeepLog) return nullptr;
  FKeepLog = false;
  return std::move(FVLog);
}

tablesview::TLog *KeptTablesLog() { return g_keptLog; }

void KeepTablesLog(std::unique_ptr<tablesview::TLog> log) {
  DropKeptLog();
  g_keptLog = log.release();
  if (!g_keptLog) return;
  // Freed before the application goes, never after it.
  static bool connected = false;
  if (!connected && QCoreApplication::instance()) {
    connected = true;
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [] { DropKeptLog(); });
  }
}

void TECRTables::ReadSerial() {
  // A register just back from a restart can miss an answer; an empty serial
  // number would send the restore after an update to no snapshot at all.
  for (int attempt = 0; attempt < 3; ++attempt) {
    FSerial = ReadECRSerial(FDriver);
    if (!FSerial.isEmpty()) break;
  }
}

bool TECRTables::AskContinue() {
  const QString text = QStringLiteral("%1: (%2) %3")
                           .arg(QStringLiteral("Ошибка"), QString::number(FDriver->ResultCode()),
                                FDriver->ResultCodeDescription()) +
                       QStringLiteral("\r\nПродолжить выполнение ?");
  const bool yes = msgbox::AskWarning(QStringLiteral("Драйвер ККТ"), text, QString::fromLatin1(msgbox::kDriverContinue));
  if (!yes) FStopped = true;
  return yes;
}

void TECRTables::ReadTablesInfo() {
  if (FBackup && FStopped) return;
  if (FDriver->GetECRStatus() != 0) {
    // Before an update an empty list would make an empty snapshot that then
    // verifies: the operator decides, once.
    if (FBackup && !FStatusAsked) {
      FStatusAsked = true;
      AskContinue();
    }
    return;
  }
  FSerial = FDriver->SerialNumber();
  for (int n = 1;; ++n) {
    FDriver->setTableNumber(n);
    const int r = FDriver->GetTableStruct();
    if (r == 0) {
      FTablesInfo.push_back(TTableInfo{n, codepage::Short(FDriver->TableName()), FDriver->RowNumber(),
                                       FDriver->FieldNumber()});
    } else if (r == 93) {
      break;
    } else if (AskContinue()) {
      FSkippedTables.push_back(n);
    } else {
      break;
    }
  }
}

int TECRTables::TablesCount() {
  if (FTablesInfo.empty()) ReadTablesInfo();
  return static_cast<int>(FTablesInfo.size());
}

int TECRTables::DataCount() {
  if (FDataCount != -1) return FDataCount;
  if (FTablesInfo.empty()) ReadTablesInfo();
  std::int64_t n = 0;
  for (const TTableInfo &t : FTablesInfo) n += static_cast<std::int64_t>(t.RowCount) * t.ColCount;
  FDataCount = static_cast<int>(n);
  return FDataCount;
}

QString TECRTables::TableNameOf(int number) {
  if (FTablesInfo.empty()) ReadTablesInfo();
  for (const TTableInfo &t : FTablesInfo)
    if (t.Number == number) return t.TableName;
  return QString();
}

QString TECRTables::TablesData() {
  if (FFieldsData.empty()) ReadTablesData();
  const QString text = FieldsDataToJSON(FSerial, FFieldsData);
  // A backup the operator stopped is not a snapshot: the last one stays.
  if (FBackup && FStopped) return text;
  // Nor is a save that read no cell at all when the file holds some.
  if (FFieldsData.empty()) {
    const qsizetype held = CellsInFile(FFileName);
    if (held > 0) {
      Log(QStringLiteral("Не прочитано ни одной ячейки: файл таблиц %1 (ячеек: %2) оставлен как был.")
              .arg(FFileName)
              .arg(held));
      return text;
    }
  }
  WriteSnapshot(text);
  return text;
}

void TECRTables::setTablesData(const QString &V) {
  if (!V.isEmpty()) {
    WriteTablesData(V);
    return;
  }
  // The whole file: a snapshot put on several lines by hand reads as well.
  WriteTablesData(SnapshotText(ReadSnapshotFile(FFileName), FFileName));
}

// ---------------------------------------------------------------------------
// Save

void TECRTables::ReadTablesData() {
  SendShow(QStringLiteral("Сохранение таблиц."));
  if (FTablesInfo.empty()) ReadTablesInfo();
  if (FBackup && FStopped) return;
  TDriver *d = FDriver;
  int count = 0;
  for (size_t i = 0; i < FTablesInfo.size(); ++i) {
    const TTableInfo &t = FTablesInfo[i];
    d->setTableNumber(t.Number);
    for (int f = 1; f <= t.ColCount; ++f) {
      d->setFieldNumber(f);
      for (int r = 1; r <= t.RowCount; ++r) {
        d->setRowNumber(r);
        if (d->ReadTable() != 0) {
          if (AskContinue()) {
            FSkippedCells.push_back(TCellAddr{t.Number, r, f});
            continue;
          }
          return;  // the cells read so far stay; no hide message
        }
        TFieldRec rec;
        rec.Row = r;
        rec.Number = f;
        rec.Table = d->TableNumber();
        rec.Name = d->FieldName();
        rec.Size = d->FieldSize();
        rec.FieldType = d->FieldType() ? 1 : 0;
        rec.MinValue = static_cast<std::uint32_t>(d->MINValueOfField());
        rec.MaxValue = static_cast<std::uint32_t>(d->MAXValueOfField());
        // The whole text: a field may be longer than 255 characters.
        rec.StringValue = codepage::Narrow(d->ValueOfFieldString());
        if (rec.FieldType == 0) rec.IntValue = d->ValueOfFieldInteger();
        FFieldsData.push_back(rec);
        ++count;
        SendProgress(static_cast<int>(i) + 1, count, t.TableName, rec.Name);
        if (rec.Table == 18 && r == 1 && f == 1 && FSerial != rec.StringValue) FSerial = rec.StringValue;
      }
    }
  }
  SendHide();
}

// ---------------------------------------------------------------------------
// Verify

namespace {

// The driver's error as the verification report shows it.
QString DriverError(TDriver *d) {
  return QStringLiteral("ошибка чтения (%1) %2").arg(QString::number(d->ResultCode()), d->ResultCodeDescription());
}

struct HideAtEnd {
  std::function<void()> fn;
  ~HideAtEnd() {
    try {
      fn();
    } catch (...) {
    }
  }
};

}  // namespace

bool TECRTables::Verify() {
  InitBypassValues();
  SendShow(QStringLiteral("Проверка сохранённых данных."));
  ReadSerial();
  const QByteArray bytes = ReadSnapshotFile(FFileName);
  HideAtEnd hide{[this] { SendHide(); }};

  TSnapshot s;
  try {
    s = ParseSnapshot(bytes, FFileName);
    CheckSerial(s.serial);
    // A file that is not this register's is said as such; a few cells it
    // lacks are differences found below.
    TFieldsData fitting = s.fields;
    LeaveOutAbsentCells(fitting);
  } catch (const Exception &e) {
    LastVerifyError.Reason = e.message();
    return false;
  }
  ApplyRunCells(s.fields);
  TDriver *d = FDriver;
  int count = 0;
  for (const TFieldRec &rec : s.fields) {
    d->setPassword(TablesPassword());
    d->setTableNumber(rec.Table);
    d->setRowNumber(rec.Row);
    d->setFieldNumber(rec.Number);
    const int rc = d->ReadTable();
    // Taken now: gathering the table names below asks the driver again.
    const QString readError = rc == 0 ? QString() : DriverError(d);
    const int heldInt = d->ValueOfFieldInteger();
    const QString heldStr = d->ValueOfFieldString();
    ++count;
    if (OnProgress) SendProgress(rec.Table, count, TableNameOf(rec.Table), rec.Name);
    if (IsBypassValue(rec.Table, rec.Number, rec.Row)) continue;

    const bool isInteger = rec.FieldType == 0;
    const bool same = rc == 0 && (isInteger ? heldInt == rec.IntValue : heldStr == rec.StringValue);
    if (same) continue;

    // A cell that could not be read is a difference: the values the driver
    // still holds belong to the cell before it.
    LastVerifyError.Table = rec.Table;
    LastVerifyError.Number = rec.Number;
    LastVerifyError.Row = rec.Row;
    LastVerifyError.TableName = TableNameOf(rec.Table);
    LastVerifyError.IsInteger = isInteger;
    if (isInteger) {
      LastVerifyError.FileIntValue = rec.IntValue;
      LastVerifyError.ECRIntValue = rc == 0 ? heldInt : 0;
    } else {
      LastVerifyError.FileStrValue = rec.StringValue;
      LastVerifyError.ECRStrValue = rc == 0 ? heldStr : QString();
    }
    LastVerifyError.ECRError = readError;
    LastVerifyError.Reason.clear();
    return false;
  }
  return true;
}

int TECRTables::CountDifferences() {
  InitBypassValues();
  ReadSerial();
  TSnapshot s = ParseSnapshot(ReadSnapshotFile(FFileName), FFileName);
  CheckSerial(s.serial);
  ApplyRunCells(s.fields);
  const int absent = static_cast<int>(LeaveOutAbsentCells(s.fields).size());
  TDriver *d = FDriver;
  int differ = absent;
  for (const TFieldRec &rec : s.fields) {
    if (IsBypassValue(rec.Table, rec.Number, rec.Row)) continue;
    d->setPassword(TablesPassword());
    d->setTableNumber(rec.Table);
    d->setRowNumber(rec.Row);
    d->setFieldNumber(rec.Number);
    if (d->ReadTable() != 0) {
      ++differ;
      continue;
    }
    const bool same = rec.FieldType == 0 ? d->ValueOfFieldInteger() == rec.IntValue
                                         : d->ValueOfFieldString() == rec.StringValue;
    if (!same) ++differ;
  }
  return differ;
}

void TECRTables::CheckSerial(const QString &fileSerial) const {
  if (fileSerial == FSerial) return;
  throw Exception(QStringLiteral("Файл таблиц %1 относится к другой ККТ (S/N %2), а на связи ККТ %3.")
                      .arg(FFileName, fileSerial.isEmpty() ? QStringLiteral("без номера") : fileSerial,
                           FSerial.isEmpty() ? QStringLiteral("без номера") : QStringLiteral("S/N ") + FSerial));
}

// ---------------------------------------------------------------------------
// Restore

void TECRTables::WriteTablesData(const QString &text) {
  SendShow(QStringLiteral("Восстановление таблиц."));
  HideAtEnd hide{[this] { SendHide(); }};
  ReadSerial();
  FWritten = 0;
  FRefused.clear();
  // The whole snapshot is checked before the first cell is written: a
  // damaged record never leaves half a restore behind.
  TSnapshot s = ParseSnapshotText(text, FFileName);
  CheckSerial(s.serial);
  ApplyRunCells(s.fields);
  FRefused = LeaveOutAbsentCells(s.fields);
  WriteRecords(s.fields);
}

std::vector<TECRTables::TRefusedWrite> TECRTables::LeaveOutAbsentCells(TFieldsData &records) {
  if (FTablesInfo.empty()) ReadTablesInfo();
  // Nothing known of the register's tables: every record is tried, as the
  // register's own answers will tell.
  if (FTablesInfo.empty()) return {};
  std::map<int, const TTableInfo *> tables;
  for (const TTableInfo &t : FTablesInfo) tables[t.Number] = &t;
  const std::set<int> skipped(FSkippedTables.begin(), FSkippedTables.end());
  std::set<std::tuple<int, int, int>> seen;
  TFieldsData kept;
  kept.reserve(records.size());
  std::vector<TRefusedWrite> absent;
  for (TFieldRec &rec : records) {
    if (!seen.insert({rec.Table, rec.Row, rec.Number}).second)
      throw Exception(QStringLiteral("Файл таблиц %1 повреждён: ячейка (таблица %2, ряд %3, поле %4) записана в нём "
                                     "дважды.")
                          .arg(FFileName)
                          .arg(rec.Table)
                          .arg(rec.Row)
                          .arg(rec.Number));
    const auto t = tables.find(rec.Table);
    const bool present = t == tables.end() ? skipped.count(rec.Table) > 0
                                           : rec.Row <= t->second->RowCount && rec.Number <= t->second->ColCount;
    if (present) {
      kept.push_back(std::move(rec));
      continue;
    }
    const QString tableName =
        t == tables.end() ? QStringLiteral("нет таблицы %1").arg(rec.Table) : t->second->TableName;
    absent.push_back(TRefusedWrite{std::move(rec), tableName, -1, QStringLiteral("в ККТ нет такой ячейки")});
  }
  if (absent.size() > kept.size())
    throw Exception(QStringLiteral("Файл таблиц %1 не подходит к этой ККТ: ячеек, которых в ККТ нет: %2 из %3. "
                                   "Ничего не записано.")
                        .arg(FFileName)
                        .arg(absent.size())
                        .arg(absent.size() + kept.size()));
  records = std::move(kept);
  return absent;
}

void TECRTables::ApplyRunCells(TFieldsData &records) const {
  for (const TFieldRec &c : FRunCells)
    for (TFieldRec &r : records)
      if (r.Table == c.Table && r.Row == c.Row && r.Number == c.Number && r.FieldType == c.FieldType) {
        r.IntValue = c.IntValue;
        r.StringValue = c.StringValue;
      }
}

void TECRTables::WriteRecords(const TFieldsData &unordered) {
  TDriver *d = FDriver;
  int count = 0;
  // The administrator's password goes last: every write after it would need
  // the new one.
  TFieldsData records = unordered;
  std::stable_partition(records.begin(), records.end(), [](const TFieldRec &r) {
    return !(r.Table == kPasswordTable && r.Row == kPasswordRow && r.Number == kPasswordField);
  });
  for (const TFieldRec &rec : records) {
    d->setPassword(TablesPassword());
    d->setTableNumber(rec.Table);
    d->setRowNumber(rec.Row);
    d->setFieldNumber(rec.Number);
    const int rc = d->ReadTable();
    const int heldInt = d->ValueOfFieldInteger();
    const QString heldStr = d->ValueOfFieldString();
    ++count;
    if (OnProgress) SendProgress(rec.Table, count, TableNameOf(rec.Table), rec.Name);

    const bool same = rec.FieldType != 0 ? heldStr == rec.StringValue : heldInt == rec.IntValue;
    // A cell that could not be read is written: the values the driver holds
    // then are the previous cell's.
    if (same && rc == 0) continue;

    d->setPassword(TablesPassword());
    d->setTableNumber(rec.Table);
    d->setRowNumber(rec.Row);
    d->setFieldNumber(rec.Number);
    if (rec.FieldType == 0)
      d->setValueOfFieldInteger(rec.IntValue);
    else
      d->setValueOfFieldString(rec.StringValue);
    const int w = d->WriteTable();
    if (w == 0) {
      ++FWritten;
      if (rec.Table == kPasswordTable && rec.Row == kPasswordRow && rec.Number == kPasswordField &&
          rec.FieldType == 0) {
        // The driver's calls that name no password keep the last one given:
        // it must be one the register still knows.
        SetTablesPassword(rec.IntValue);
        d->setPassword(rec.IntValue);
      }
      continue;
    }
    const QString description = d->ResultCodeDescription();
    // The name of the table the record is for, from the driver's structure
    // of that table; none when the register has no such table.
    d->setPassword(TablesPassword());
    d->setTableNumber(rec.Table);
    const QString tableName = d->GetTableStruct() == 0 ? codepage::Short(d->TableName())
                                                       : QStringLiteral("нет таблицы %1").arg(rec.Table);
    Log(QStringLiteral("%1 Ошибка: %2. Таблица: %3. Поле: %4.").arg(QString::number(w), description, tableName, rec.Name));
    FRefused.push_back(TRefusedWrite{rec, tableName, w, description});
  }
}
