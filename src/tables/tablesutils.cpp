#include "tables/tablesutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "device/untDriver.h"
#include "tables/tablesview.h"

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

// ---------------------------------------------------------------------------
// Reading a snapshot back

[[noreturn]] void Damaged(const QString &path, const QString &what) {
  throw Exception(QStringLiteral("Файл таблиц %1 повреждён: %2").arg(path, what));
}

// A snapshot is an object holding an array of flat objects: three levels.
// Anything deeper is refused before the parser builds a tree of it.
constexpr int kMaxSnapshotDepth = 3;

int NestingDepth(const QByteArray &text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > kMaxSnapshotDepth) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// A scalar as a message shows it, short.
QString Shown(const ojson &v) {
  QString s = Q(v.dump(-1, ' ', false, ojson::error_handler_t::replace));
  if (s.size() > 40) s = s.left(40) + QStringLiteral("…");
  return s;
}

struct RecordReader {
  const ojson &rec;
  size_t index;
  const QString &path;

  const ojson &Key(const char *key) const {
    auto it = rec.find(key);
    if (it == rec.end())
      Damaged(path, QStringLiteral("в записи %1 нет ключа \"%2\".").arg(index + 1).arg(QString::fromLatin1(key)));
    return *it;
  }
  // An integer of the record's 32-bit field, within [lo, hi].
  int Int(const char *key, std::int64_t lo, std::int64_t hi) const {
    const ojson &v = Key(key);
    bool fits = false;
    if (v.is_number_unsigned()) {
      const std::uint64_t u = v.get<std::uint64_t>();
      fits = u <= static_cast<std::uint64_t>(hi) && static_cast<std::int64_t>(u) >= lo;
    } else if (v.is_number_integer()) {
      const std::int64_t i = v.get<std::int64_t>();
      fits = i >= lo && i <= hi;
    }
    if (!fits) {
      const QString what = v.is_number_integer() ? QStringLiteral("число вне допустимого (%1…%2)").arg(lo).arg(hi)
                                                 : QStringLiteral("не целое число");
      Damaged(path, QStringLiteral("в записи %1 ключ \"%2\": %3 — %4.")
                        .arg(index + 1)
                        .arg(QString::fromLatin1(key), Shown(v), what));
    }
    return static_cast<int>(v.get<std::int64_t>());
  }
  QString Str(const char *key) const {
    const ojson &v = Key(key);
    if (v.is_string()) return Q(v.get_ref<const std::string &>());
    // A number is taken as its text, as the older reader did.
    if (v.is_number()) return Q(v.dump());
    Damaged(path, QStringLiteral("в записи %1 ключ \"%2\": %3 — не строка.")
                      .arg(index + 1)
                      .arg(QString::fromLatin1(key), Shown(v)));
  }
};

}  // namespace

namespace {

// The file's bytes as text. The file is 7-bit; a hand-edited one is taken in
// the 8-bit code page, as the program's other text files.
QString SnapshotText(const QByteArray &bytes, const QString &path) {
  if (bytes.startsWith("\xEF\xBB\xBF"))
    Damaged(path, QStringLiteral("в начале файла метка порядка байтов (BOM), снимок так не пишется."));
  return codepage::ToUnicode(bytes);
}

TSnapshot ParseSnapshotText(const QString &unicode, const QString &path) {
  if (unicode.trimmed().isEmpty()) Damaged(path, QStringLiteral("файл пуст."));
  const QByteArray text = unicode.toUtf8();
  if (NestingDepth(text) > kMaxSnapshotDepth)
    Damaged(path, QStringLiteral("вложенность данных глубже, чем в снимке таблиц (больше %1 уровней).")
                      .arg(kMaxSnapshotDepth));
  ojson j;
  try {
    j = ojson::parse(text.constData(), text.constData() + text.size());
  } catch (const ojson::parse_error &e) {
    Damaged(path, QStringLiteral("это не JSON (ошибка разбора у байта %1).").arg(static_cast<qulonglong>(e.byte)));
  } catch (const ojson::exception &) {
    // A number beyond any double (1e3037955) is refused by the parser apart.
    Damaged(path, QStringLiteral("это не JSON (число вне допустимого диапазона)."));
  }
  if (!j.is_object()) Damaged(path, QStringLiteral("это не объект JSON, а %1.").arg(QString::fromLatin1(j.type_name())));
  TSnapshot s;
  auto es = j.find("ecrSerial");
  if (es == j.end() || !es->is_string()) Damaged(path, QStringLiteral("нет заводского номера ККТ (\"ecrSerial\")."));
  s.serial = Q(es->get_ref<const std::string &>());
  auto fields = j.find("fields");
  if (fields == j.end() || !fields->is_array()) Damaged(path, QStringLiteral("нет списка ячеек (\"fields\")."));
  s.fields.reserve(fields->size());
  constexpr std::int64_t kIntMin = INT32_MIN, kIntMax = INT32_MAX;
  for (size_t k = 0; k < fields->size(); ++k) {
    const ojson &rec = (*fields)[k];
    if (!rec.is_object()) Damaged(path, QStringLiteral("запись %1 — не объект.").arg(k + 1));
    const RecordReader r{rec, k, path};
    TFieldRec f;
    f.Table = r.Int("Table", 1, kIntMax);
    f.Row = r.Int("Row", 1, kIntMax);
    f.Number = r.Int("Number", 1, kIntMax);
    f.Name = r.Str("Name");
    f.FieldType = r.Int("FieldType", 0, 1);
    if (f.FieldType == 0)
      f.IntValue = r.Int("IntValue", kIntMin, kIntMax);
    else
      f.StringValue = r.Str("StrValue");
    s.fields.push_back(std::move(f));
  }
  return s;
}

}  // namespace

TSnapshot ParseSnapshot(const QByteArray &bytes, const QString &path) {
  return ParseSnapshotText(SnapshotText(bytes, path), path);
}

namespace {

// The snapshot's folder and the folders it lies in, up to "ecrdata", must be
// folders, not links to somewhere else.
void CheckPlainFolders(const QString &file) {
  QString dir = QFileInfo(file).absolutePath();
  for (int level = 0; level < 2 && !dir.isEmpty(); ++level) {
    struct stat st {};
    const QByteArray d = QFile::encodeName(dir);
    if (::lstat(d.constData(), &st) == 0 && !S_ISDIR(st.st_mode))
      throw Exception(QStringLiteral("Папка таблиц %1 — не обычная папка (символическая ссылка или файл).").arg(dir));
    if (QFileInfo(dir).fileName() == QLatin1String("ecrdata")) break;
    dir = QFileInfo(dir).absolutePath();
  }
}

QString SysError(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// What lies at the path now: 0 nothing, else the lstat mode. A link or
// anything but a regular file is refused by name.
mode_t CheckRegularOrMissing(const QString &path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  if (S_ISLNK(st.st_mode))
    throw Exception(QStringLiteral("Файл таблиц %1 — символическая ссылка, а не файл; такой файл не читается и не "
                                   "перезаписывается.").arg(path));
  if (!S_ISREG(st.st_mode))
    throw Exception(QStringLiteral("Файл таблиц %1 — не обычный файл (папка, канал или устройство).").arg(path));
  return st.st_mode;
}

}  // namespace

QByteArray ReadSnapshotFile(const QString &path) {
  CheckPlainFolders(path);
  if (CheckRegularOrMissing(path) == 0) throw Exception(QStringLiteral("Файл %1 не найден!").arg(path));
  // No link is followed and a pipe put in its place since cannot block.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw Exception(QStringLiteral("Не удалось открыть файл %1: %2").arg(path, SysError(errno)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw Exception(QStringLiteral("Файл таблиц %1 — не обычный файл (папка, канал или устройство).").arg(path));
  if (st.st_size > kMaxSnapshotBytes)
    throw Exception(QStringLiteral("Файл таблиц %1 слишком велик: %2 байт (снимок таблиц не больше %3 МиБ).")
                        .arg(path)
                        .arg(static_cast<qlonglong>(st.st_size))
                        .arg(kMaxSnapshotBytes / (1024 * 1024)));
  QByteArray out;
  out.reserve(static_cast<qsizetype>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception(QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, SysError(errno)));
    if (n == 0) break;
    if (out.size() + n > kMaxSnapshotBytes)
      throw Exception(QStringLiteral("Файл таблиц %1 слишком велик (снимок таблиц не больше %2 МиБ).")
                          .arg(path)
                          .arg(kMaxSnapshotBytes / (1024 * 1024)));
    out.append(buf, n);
  }
  return out;
}

namespace {

tablesview::TLog *g_keptLog = nullptr;

void DropKeptLog() {
  delete g_keptLog;
  g_keptLog = nullptr;
}

}  // namespace

namespace {

// The snapshot holds the cashiers' passwords: "ecrdata" and the register's
// folder are the user's alone. A link is left as it is (and refused when the
// snapshot is written or read).
bool MakePrivateFolders(const QString &base, const QString &sub) {
  QString path = base;
  for (const QString &part : sub.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    path += part + QLatin1Char('/');
    if (!privatefile::MakeFolder(path)) return false;
  }
  return true;
}

}  // namespace

QString SnapshotFolder(const QString &serial) {
  QString sub = QStringLiteral("ecrdata/");
  if (!serial.isEmpty()) sub += FolderName(serial) + QLatin1Char('/');
  const QString primary = apppaths::AppDir() + sub;
  if (!apppaths::Installed() && MakePrivateFolders(apppaths::AppDir(), sub) && QFileInfo(primary).isWritable())
    return primary;
  // An installed program's folder is read-only, or the package manager's:
  // the user's data folder then.
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  if (data.isEmpty()) return primary;
  const QString alt = data + QLatin1Char('/') + sub;
  MakePrivateFolders(data + QLatin1Char('/'), sub);
  return alt;
}

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

namespace {

// How many cells the snapshot file at the path holds; -1 when it is none.
qsizetype CellsInFile(const QString &path) {
  try {
    return ParseSnapshot(ReadSnapshotFile(path), path).fields.size();
  } catch (const std::exception &) {
    return -1;
  }
}

}  // namespace

// The snapshot is replaced, never rewritten in place: the new text goes to a
// temporary file beside it (created anew, never through a link), is flushed
// to disk and renamed over it, and the snapshot it replaces stays as
// "tables.json.bak". A crash or a full disk at any moment leaves at least one
// complete snapshot. The files are the user's alone: they hold the cashiers'
// passwords.
void TECRTables::WriteSnapshot(const QString &text) {
  const QString bakName = FFileName + QStringLiteral(".bak");
  CheckPlainFolders(FFileName);
  CheckRegularOrMissing(FFileName);
  CheckRegularOrMissing(bakName);
  if (const int err = privatefile::Replace(FFileName, text.toLatin1(), bakName); err != 0)
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(FFileName, SysError(err)));
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
  WriteRecords(s.fields);
}

void TECRTables::ApplyRunCells(TFieldsData &records) const {
  for (const TFieldRec &c : FRunCells)
    for (TFieldRec &r : records)
      if (r.Table == c.Table && r.Row == c.Row && r.Number == c.Number && r.FieldType == c.FieldType) {
        r.IntValue = c.IntValue;
        r.StringValue = c.StringValue;
      }
}

void TECRTables::WriteRecords(const TFieldsData &records) {
  TDriver *d = FDriver;
  int count = 0;
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
