#include "tables/tablesutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "device/untDriver.h"
#include "forms/visuallogger.h"

using ojson = nlohmann::ordered_json;

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

int TablesPassword() { return kSysAdminPassword; }

namespace {

const char kSnapshotName[] = "tables.json";

std::string U8(const QString &s) { return s.toStdString(); }
QString Q(const std::string &s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// A serial number names a folder: anything that could lead out of "ecrdata"
// or is not allowed in a file name becomes "_". Real serial numbers are digits.
QString FolderName(const QString &serial) {
  QString out = serial;
  for (QChar &c : out)
    if (!(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_'))) c = QLatin1Char('_');
  return out;
}

// A cell record's key, as the operation needs it.
const ojson &Key(const ojson &rec, const char *key, size_t index) {
  if (!rec.is_object() || !rec.contains(key))
    throw Exception(QStringLiteral("Файл таблиц повреждён: в записи %1 нет ключа \"%2\".")
                        .arg(index + 1)
                        .arg(QString::fromLatin1(key)));
  return rec[key];
}

int IntKey(const ojson &rec, const char *key, size_t index) {
  const ojson &v = Key(rec, key, index);
  // Signed or unsigned in the file; the low 32 bits, as a 32-bit field holds them.
  if (v.is_number_integer()) return static_cast<int>(static_cast<std::uint32_t>(v.get<std::uint64_t>()));
  throw Exception(QStringLiteral("Файл таблиц повреждён: в записи %1 ключ \"%2\" не целое число.")
                      .arg(index + 1)
                      .arg(QString::fromLatin1(key)));
}

QString StrKey(const ojson &rec, const char *key, size_t index) {
  const ojson &v = Key(rec, key, index);
  if (v.is_string()) return Q(v.get_ref<const std::string &>());
  if (v.is_number()) return Q(v.dump());
  throw Exception(QStringLiteral("Файл таблиц повреждён: в записи %1 ключ \"%2\" не строка.")
                      .arg(index + 1)
                      .arg(QString::fromLatin1(key)));
}

// The snapshot read back: its text in the 8-bit code page, as JSON. Empty
// with the reason when it is not a snapshot of the register on the link now.
struct Snapshot {
  ojson fields;
  QString reason;
};

Snapshot ParseSnapshot(const QString &text, const QString &serial) {
  Snapshot s;
  // The text is what the code page made of the file's bytes; the parser
  // takes it as UTF-8.
  const ojson j = ojson::parse(U8(text), nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    s.reason = QStringLiteral("Файл сохранённых таблиц не читается (это не JSON).");
    return s;
  }
  if (!j.contains("ecrSerial")) {
    s.reason = QStringLiteral("В файле сохранённых таблиц нет заводского номера ККТ.");
    return s;
  }
  const ojson &es = j["ecrSerial"];
  if (!es.is_string() || Q(es.get_ref<const std::string &>()) != serial) {
    s.reason = QStringLiteral("Файл сохранённых таблиц относится к ККТ с заводским номером %1, а на связи ККТ %2.")
                   .arg(es.is_string() ? Q(es.get_ref<const std::string &>()) : Q(es.dump()),
                        serial.isEmpty() ? QStringLiteral("без номера") : serial);
    return s;
  }
  if (!j.contains("fields") || !j["fields"].is_array()) {
    s.reason = QStringLiteral("В файле сохранённых таблиц нет данных полей.");
    return s;
  }
  s.fields = j["fields"];
  return s;
}

// The file's bytes as the 8-bit code page's text.
QString ReadText(const QString &path, bool firstLineOnly) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Не удалось открыть файл %1: %2").arg(path, f.errorString()));
  QByteArray bytes = f.readAll();
  if (f.error() != QFileDevice::NoError)
    throw Exception(QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, f.errorString()));
  if (firstLineOnly) {
    const qsizetype nl = bytes.indexOf('\n');
    if (nl >= 0) bytes.truncate(nl);
    if (bytes.endsWith('\r')) bytes.chop(1);
  }
  return codepage::ToUnicode(bytes);
}

}  // namespace

QString SnapshotFolder(const QString &serial) {
  QString sub = QStringLiteral("ecrdata/");
  if (!serial.isEmpty()) sub += FolderName(serial) + QLatin1Char('/');
  const QString primary = apppaths::AppDir() + sub;
  if (!apppaths::Installed() && QDir().mkpath(primary) && QFileInfo(primary).isWritable()) return primary;
  // An installed program's folder is read-only, or the package manager's:
  // the user's data folder then.
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (data.isEmpty()) return primary;
  const QString alt = data + QLatin1Char('/') + sub;
  QDir().mkpath(alt);
  return alt;
}

// ---------------------------------------------------------------------------

TECRTables::TECRTables(TDriver *ADriver) {
  FDriver = ADriver ? ADriver : Driver();
  FVLog = std::make_unique<TVisualLogger>(QStringLiteral("TECRTables"));
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
  const bool yes = msgbox::AskWarning(QStringLiteral("Драйвер ККТ"), text);
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
    } else if (!AskContinue()) {
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

// ---------------------------------------------------------------------------
// Progress messages

QString TECRTables::BuildShowParams(const QString &caption) {
  const int tables = TablesCount();
  const int cells = DataCount();
  auto control = [](int left, int top, int width, int height) {
    return ojson{{"left", left}, {"top", top}, {"width", width}, {"height", height}};
  };
  ojson p1 = control(25, 25, -1, 17);
  p1["min"] = 1;
  p1["max"] = tables;
  p1["pos"] = 1;
  p1["name"] = "progress1";
  ojson p2 = control(25, 65, -1, 17);
  p2["min"] = 1;
  p2["max"] = cells;
  p2["pos"] = 1;
  p2["name"] = "progress2";
  ojson l1 = control(25, 3, -1, 17);
  l1["caption"] = "Таблица: %s";
  l1["name"] = "label1";
  ojson l2 = control(25, 45, -1, 17);
  l2["caption"] = "Поле %s";
  l2["pos"] = 1;
  l2["name"] = "label2";

  ojson form;
  form["caption"] = U8(caption);
  form["left"] = 3;
  form["top"] = 3;
  form["width"] = -2;
  form["height"] = -9;
  form["controls"]["progress"] = ojson::array({p1, p2});
  form["controls"]["label"] = ojson::array({l1, l2});
  ojson msg;
  msg["func"] = ojson{{"type", "notify"}, {"name", "showprogress"}};
  msg["form"] = std::move(form);
  return Q(msg.dump(-1, ' ', false, ojson::error_handler_t::replace));
}

void TECRTables::SendShow(const QString &caption) {
  if (OnShowProgress) OnShowProgress(this, BuildShowParams(caption));
}

void TECRTables::SendHide() {
  if (OnHideProgress) OnHideProgress(this, QString());
}

void TECRTables::SendProgress(int p1, int p2, const QString &l1, const QString &l2) {
  if (!OnProgress) return;
  ojson v;
  v["progress1"] = p1;
  v["progress2"] = p2;
  v["label1"] = U8(l1);
  v["label2"] = U8(l2);
  ojson msg;
  msg["progress"] = std::move(v);
  OnProgress(this, Q(msg.dump(-1, ' ', false, ojson::error_handler_t::replace)));
}

// ---------------------------------------------------------------------------
// The snapshot text and file

QString TECRTables::FieldsDataToJSON(const QString &serial, const TFieldsData &data) {
  ojson fields = ojson::array();
  for (const TFieldRec &r : data) {
    ojson o;
    o["Table"] = r.Table;
    o["Row"] = r.Row;
    o["Number"] = r.Number;
    o["Name"] = U8(r.Name);
    o["Size"] = r.Size;
    o["FieldType"] = r.FieldType;
    o["MinValue"] = r.MinValue;
    o["MaxValue"] = r.MaxValue;
    if (r.FieldType == 0)
      o["IntValue"] = r.IntValue;
    else
      o["StrValue"] = U8(r.StringValue);
    fields.push_back(std::move(o));
  }
  ojson top;
  top["ecrSerial"] = U8(serial);
  top["fields"] = std::move(fields);
  // ensure_ascii: everything outside 32..126 is escaped, so the file is 7-bit.
  return QString::fromLatin1(top.dump(-1, ' ', true, ojson::error_handler_t::replace));
}

// The snapshot is replaced, never rewritten in place: the new text goes to a
// temporary file beside it, is flushed to disk and renamed over it, and the
// snapshot it replaces stays as "tables.json.bak". A crash or a full disk at
// any moment leaves at least one complete snapshot.
void TECRTables::WriteSnapshot(const QString &text) {
  QSaveFile f(FFileName);
  f.setDirectWriteFallback(false);
  if (!f.open(QIODevice::WriteOnly))
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, f.errorString()));
  const QByteArray bytes = text.toLatin1();
  if (f.write(bytes) != bytes.size()) {
    const QString err = f.errorString();
    f.cancelWriting();
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, err));
  }
  namespace fs = std::filesystem;
  const fs::path target(QFile::encodeName(FFileName).toStdString());
  const fs::path bak(QFile::encodeName(FFileName + QStringLiteral(".bak")).toStdString());
  std::error_code ec;
  if (fs::exists(target, ec)) {
    // A second name for the old snapshot, made beside and renamed into
    // place, so the old ".bak" goes only when the new one is whole.
    const fs::path bakTmp(QFile::encodeName(FFileName + QStringLiteral(".bak.tmp")).toStdString());
    fs::remove(bakTmp, ec);
    fs::create_hard_link(target, bakTmp, ec);
    if (ec) {
      ec.clear();
      fs::copy_file(target, bakTmp, fs::copy_options::overwrite_existing, ec);
    }
    if (!ec) fs::rename(bakTmp, bak, ec);
    if (ec) fs::remove(bakTmp, ec);
  }
  if (!f.commit())
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, f.errorString()));
}

QString TECRTables::TablesData() {
  if (FFieldsData.empty()) ReadTablesData();
  const QString text = FieldsDataToJSON(FSerial, FFieldsData);
  // A backup the operator stopped is not a snapshot: the last one stays.
  if (!(FBackup && FStopped)) WriteSnapshot(text);
  return text;
}

void TECRTables::setTablesData(const QString &V) {
  if (!V.isEmpty()) {
    WriteTablesData(V);
    return;
  }
  if (!QFileInfo::exists(FFileName)) throw Exception(QStringLiteral("Файл %1 не найден!").arg(FFileName));
  WriteTablesData(ReadText(FFileName, true));
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
          if (AskContinue()) continue;
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
        rec.StringValue = codepage::Short(d->ValueOfFieldString());
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
  if (!QFileInfo::exists(FFileName)) throw Exception(QStringLiteral("Файл %1 не найден!").arg(FFileName));
  const QString text = ReadText(FFileName, false);
  HideAtEnd hide{[this] { SendHide(); }};

  const Snapshot s = ParseSnapshot(text, FSerial);
  if (!s.reason.isEmpty()) {
    LastVerifyError.Reason = s.reason;
    return false;
  }
  TDriver *d = FDriver;
  int count = 0;
  for (size_t k = 0; k < s.fields.size(); ++k) {
    const ojson &rec = s.fields[k];
    const int table = IntKey(rec, "Table", k), row = IntKey(rec, "Row", k), number = IntKey(rec, "Number", k);
    d->setPassword(TablesPassword());
    d->setTableNumber(table);
    d->setRowNumber(row);
    d->setFieldNumber(number);
    const int rc = d->ReadTable();
    // Taken now: gathering the table names below asks the driver again.
    const QString readError = rc == 0 ? QString() : DriverError(d);
    const int heldInt = d->ValueOfFieldInteger();
    const QString heldStr = d->ValueOfFieldString();
    ++count;
    if (OnProgress) SendProgress(table, count, TableNameOf(table), StrKey(rec, "Name", k));
    if (IsBypassValue(table, number, row)) continue;

    const bool isInteger = IntKey(rec, "FieldType", k) == 0;
    bool same = false;
    QString fileStr, ecrStr;
    int fileInt = 0, ecrInt = 0;
    if (isInteger) {
      fileInt = IntKey(rec, "IntValue", k);
      if (rc == 0) ecrInt = heldInt;
      same = rc == 0 && ecrInt == fileInt;
    } else {
      fileStr = StrKey(rec, "StrValue", k);
      if (rc == 0) ecrStr = heldStr;
      same = rc == 0 && ecrStr == fileStr;
    }
    if (same) continue;

    // A cell that could not be read is a difference: the values the driver
    // still holds belong to the cell before it.
    LastVerifyError.Table = table;
    LastVerifyError.Number = number;
    LastVerifyError.Row = row;
    LastVerifyError.TableName = TableNameOf(table);
    LastVerifyError.IsInteger = isInteger;
    if (isInteger) {
      LastVerifyError.FileIntValue = fileInt;
      LastVerifyError.ECRIntValue = ecrInt;
    } else {
      LastVerifyError.FileStrValue = fileStr;
      LastVerifyError.ECRStrValue = ecrStr;
    }
    LastVerifyError.ECRError = readError;
    LastVerifyError.Reason.clear();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Restore

void TECRTables::WriteTablesData(const QString &text) {
  SendShow(QStringLiteral("Восстановление таблиц."));
  HideAtEnd hide{[this] { SendHide(); }};
  ReadSerial();
  const Snapshot s = ParseSnapshot(text, FSerial);
  if (!s.reason.isEmpty()) return;

  TDriver *d = FDriver;
  int count = 0;
  for (size_t k = 0; k < s.fields.size(); ++k) {
    const ojson &rec = s.fields[k];
    const int table = IntKey(rec, "Table", k), row = IntKey(rec, "Row", k), number = IntKey(rec, "Number", k);
    const QString name = StrKey(rec, "Name", k);
    d->setPassword(TablesPassword());
    d->setTableNumber(table);
    d->setRowNumber(row);
    d->setFieldNumber(number);
    const int rc = d->ReadTable();
    const int heldInt = d->ValueOfFieldInteger();
    const QString heldStr = d->ValueOfFieldString();
    ++count;
    if (OnProgress) SendProgress(table, count, TableNameOf(table), name);

    const int type = IntKey(rec, "FieldType", k);
    std::optional<int> intValue;
    std::optional<QString> strValue;
    bool same;
    if (type != 0) {
      strValue = StrKey(rec, "StrValue", k);
      same = heldStr == *strValue;
    } else {
      intValue = IntKey(rec, "IntValue", k);
      same = heldInt == *intValue;
    }
    // A cell that could not be read is written: the values the driver holds
    // then are the previous cell's.
    if (same && rc == 0) continue;

    d->setPassword(TablesPassword());
    d->setTableNumber(table);
    d->setRowNumber(row);
    d->setFieldNumber(number);
    if (type == 0)
      d->setValueOfFieldInteger(*intValue);
    else if (type == 1)
      d->setValueOfFieldString(*strValue);
    const int w = d->WriteTable();
    if (w != 0) {
      const QString description = d->ResultCodeDescription();
      d->setPassword(TablesPassword());
      d->setTableNumber(table);
      d->GetTableStruct();
      const QString tableName = codepage::Short(d->TableName());
      FVLog->Info(QStringLiteral("%1 Ошибка: %2. Таблица: %3. Поле: %4.")
                      .arg(QString::number(w), description, tableName, name));
    }
  }
}
