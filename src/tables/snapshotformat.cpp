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

#include <algorithm>
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

namespace {

// Reads the snapshot as the parser goes, one record at a time: no tree of
// the whole file is built, so a file of a million empty records costs no
// more memory than the records it turns into. A snapshot is an object
// holding an array of flat objects: three levels; anything deeper is refused
// as soon as it opens.
class SnapshotReader {
 public:
  using json = ojson;
  SnapshotReader(const QString &path, TSnapshot &out) : path_(path), out_(out) {}

  bool sawSerial = false, sawFields = false;

  bool null() { return Scalar(json(nullptr)); }
  bool boolean(bool v) { return Scalar(json(v)); }
  bool number_integer(json::number_integer_t v) { return Scalar(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return Scalar(json(v)); }
  bool number_float(json::number_float_t v, const json::string_t &) { return Scalar(json(v)); }
  bool string(json::string_t &v) { return Scalar(json(std::move(v))); }
  bool binary(json::binary_t &) { return Scalar(json()); }

  bool start_object(std::size_t) {
    Open();
    if (depth_ == 2 && topKey_ == "fields") NotAList();
    if (depth_ == 3 && inFields_) {
      record_ = json::object();
      inRecord_ = true;
    }
    return true;
  }
  bool end_object() {
    if (inRecord_ && depth_ == 3) {
      Finish();
      inRecord_ = false;
    }
    --depth_;
    return true;
  }
  bool start_array(std::size_t) {
    Open();
    if (depth_ == 1) Damaged(path_, QStringLiteral("это не объект JSON, а array."));
    if (depth_ == 2 && topKey_ == "fields") {
      inFields_ = true;
      sawFields = true;
    } else if (depth_ == 3 && inFields_) {
      Damaged(path_, QStringLiteral("запись %1 — не объект.").arg(index_ + 1));
    }
    return true;
  }
  bool end_array() {
    if (depth_ == 2) inFields_ = false;
    --depth_;
    return true;
  }
  bool key(json::string_t &k) {
    if (depth_ == 1) topKey_ = k;
    else if (inRecord_ && depth_ == 3) recordKey_ = k;
    return true;
  }
  bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &e) {
    // A number beyond any double (1e3037955) is refused apart.
    if (e.id == 406) Damaged(path_, QStringLiteral("это не JSON (число вне допустимого диапазона)."));
    Damaged(path_, QStringLiteral("это не JSON (ошибка разбора у байта %1).").arg(static_cast<qulonglong>(position)));
  }

 private:
  void Open() {
    if (++depth_ > kMaxSnapshotDepth)
      Damaged(path_, QStringLiteral("вложенность данных глубже, чем в снимке таблиц (больше %1 уровней).")
                         .arg(kMaxSnapshotDepth));
  }
  void NotAList() { Damaged(path_, QStringLiteral("нет списка ячеек (\"fields\").")); }
  bool Scalar(json v) {
    if (depth_ == 0) Damaged(path_, QStringLiteral("это не объект JSON, а %1.").arg(QString::fromLatin1(v.type_name())));
    if (depth_ == 1) {
      if (topKey_ == "ecrSerial") {
        sawSerial = v.is_string();
        if (sawSerial) out_.serial = Q(v.get_ref<const std::string &>());
      } else if (topKey_ == "fields") {
        NotAList();
      }
    } else if (depth_ == 2 && inFields_) {
      Damaged(path_, QStringLiteral("запись %1 — не объект.").arg(index_ + 1));
    } else if (inRecord_ && depth_ == 3) {
      record_[recordKey_] = std::move(v);
    }
    return true;
  }
  void Finish() {
    constexpr std::int64_t kIntMin = INT32_MIN, kIntMax = INT32_MAX;
    const RecordReader r{record_, index_, path_};
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
    // The cell's description, kept when the file is written again; a hand
    // edit that left it out loses nothing the restore needs.
    const auto described = [this](const char *key) -> std::int64_t {
      const auto it = record_.find(key);
      return it != record_.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
    };
    f.Size = static_cast<int>(std::clamp<std::int64_t>(described("Size"), 0, INT32_MAX));
    f.MinValue = described("MinValue");
    f.MaxValue = described("MaxValue");
    out_.fields.push_back(std::move(f));
    ++index_;
  }

  const QString &path_;
  TSnapshot &out_;
  int depth_ = 0;
  std::string topKey_, recordKey_;
  bool inFields_ = false, inRecord_ = false;
  json record_;
  std::size_t index_ = 0;
};

}  // namespace

TSnapshot ParseSnapshotText(const QString &unicode, const QString &path) {
  return ParseSnapshotUtf8(unicode.toUtf8(), path);
}

TSnapshot ParseSnapshotUtf8(const QByteArray &text, const QString &path) {
  if (text.trimmed().isEmpty()) Damaged(path, QStringLiteral("файл пуст."));
  TSnapshot s;
  SnapshotReader reader(path, s);
  ojson::sax_parse(text.constData(), text.constData() + text.size(), &reader);
  if (!reader.sawSerial) Damaged(path, QStringLiteral("нет заводского номера ККТ (\"ecrSerial\")."));
  if (!reader.sawFields) Damaged(path, QStringLiteral("нет списка ячеек (\"fields\")."));
  return s;
}

}  // namespace tablesdetail

TSnapshot ParseSnapshot(const QByteArray &bytes, const QString &path) {
  // The file as the program writes it is 7-bit, and then already UTF-8:
  // parsed as it is, with no copy of it.
  const bool ascii = std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return (c & 0x80) == 0; });
  if (ascii) return ParseSnapshotUtf8(bytes, path);
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

