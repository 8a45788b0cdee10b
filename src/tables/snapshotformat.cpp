// The snapshot's text: reading it back and checking it, and writing it.
#include "tables/tablesutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "device/untDriver.h"
#include "tables/tablesinternal.h"
#include "tables/tablesview.h"

using namespace tablesdetail;

namespace {

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

namespace tablesdetail {

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

}  // namespace tablesdetail

TSnapshot ParseSnapshot(const QByteArray &bytes, const QString &path) {
  return ParseSnapshotText(SnapshotText(bytes, path), path);
}

// ---------------------------------------------------------------------------
// Writing a snapshot

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

