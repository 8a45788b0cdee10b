#include "rules/fwrules.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <nlohmann/json.hpp>

#include "common/codepage.h"
#include "common/jutils.h"

QString FWRulesError;

namespace {

using nlohmann::json;

// A rules file is a few levels deep; anything far deeper is garbage, and the
// value copies and dumps that follow recurse once per level.
constexpr int kMaxDepth = 256;

struct TooDeep {};

QString Fail(const QString &fileName, const QString &reason) {
  return QStringLiteral("Файл правил %1 не прочитан: %2.").arg(fileName, reason);
}

// The file's text: a byte-order mark selects UTF-8 or UTF-16; without one the
// bytes are UTF-8 when they are valid UTF-8, otherwise windows-1251.
bool DecodeText(const QByteArray &bytes, QString &text, QString &reason) {
  auto decode = [&](QStringConverter::Encoding enc, qsizetype bom) {
    QStringDecoder dec(enc, QStringConverter::Flag::Stateless);
    text = dec(QByteArrayView(bytes).sliced(bom));
    return !dec.hasError();
  };
  if (bytes.startsWith("\xEF\xBB\xBF")) {
    if (decode(QStringConverter::Utf8, 3)) return true;
    reason = QStringLiteral("текст с меткой UTF-8 содержит неверные байты");
    return false;
  }
  if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
    const auto enc = bytes.at(0) == '\xFF' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
    if ((bytes.size() % 2) == 0 && decode(enc, 2)) return true;
    reason = QStringLiteral("текст UTF-16 повреждён");
    return false;
  }
  if (decode(QStringConverter::Utf8, 0)) return true;
  text = codepage::ToUnicode(bytes);
  return true;
}

// The "RULES" array of the file, or false with the reason.
bool ReadRulesArray(const QString &fileName, json &rules, QString &reason) {
  QFile f(fileName);
  if (!QFileInfo(fileName).isFile()) {
    reason = QFileInfo::exists(fileName) ? QStringLiteral("это не файл")
                                         : QStringLiteral("файл не найден");
    return false;
  }
  if (!f.open(QIODevice::ReadOnly)) {
    reason = f.errorString();
    return false;
  }
  const QByteArray bytes = f.readAll();
  if (f.error() != QFileDevice::NoError) {
    reason = f.errorString();
    return false;
  }
  QString text;
  if (!DecodeText(bytes, text, reason)) return false;

  json doc;
  try {
    const json::parser_callback_t limit = [](int depth, json::parse_event_t, json &) {
      if (depth > kMaxDepth) throw TooDeep{};
      return true;
    };
    doc = json::parse(text.toStdString(), limit);
  } catch (const json::parse_error &e) {
    reason = QStringLiteral("текст не является JSON (ошибка в байте %1)").arg(e.byte);
    return false;
  } catch (const json::out_of_range &) {
    reason = QStringLiteral("число в JSON вне допустимого диапазона");
    return false;
  } catch (const json::exception &e) {
    reason = QStringLiteral("текст не является JSON (%1)").arg(QString::fromUtf8(e.what()));
    return false;
  } catch (const TooDeep &) {
    reason = QStringLiteral("вложенность JSON глубже %1 уровней").arg(kMaxDepth);
    return false;
  }
  const auto it = doc.is_object() ? doc.find("RULES") : doc.end();
  if (it == doc.end() || !it->is_array()) {
    reason = QStringLiteral("нет массива \"RULES\"");
    return false;
  }
  rules = std::move(*it);
  return true;
}

bool Has(const json &element, const char *key) {
  return element.is_object() && element.contains(key);
}

QString Key(const char *key) { return QString::fromLatin1(key); }

// Reads one rule from the text of its element; false names the missing key.
bool ReadRule(const json &element, TFWRule &rule, const char *&missing) {
  const QString text = QString::fromStdString(element.dump());
  auto require = [&](const char *key) {
    if (Has(element, key)) return true;
    missing = key;
    return false;
  };
  auto intOr = [&](const char *key, int def) {
    return Has(element, key) ? GetJSONInt(Key(key), text) : def;
  };
  auto textOr = [&](const char *key, const QString &def) {
    return codepage::Narrow(Has(element, key) ? GetJSONStr(Key(key), text) : def);
  };
  auto dateOr = [&](const char *key) {
    return Has(element, key) ? GetJSONDate(Key(key), text) : TDateTime(0);
  };
  auto boolOr = [&](const char *key) {
    return Has(element, key) && GetJSONBool(Key(key), text);
  };

  if (!require("level")) return false;
  rule.level = GetJSONInt(QStringLiteral("level"), text);
  if (!require("bootloader")) return false;
  rule.bootloader = GetJSONInt(QStringLiteral("bootloader"), text);
  if (!require("file")) return false;
  rule.filename = GetJSONStr(QStringLiteral("file"), text);

  if (rule.level == 2) {
    rule.build = intOr("build", -1);
    const auto tables = element.find("updatetables");
    if (tables != element.end() && tables->is_array()) {
      for (const json &cell : *tables) {
        // Read without a presence test: a missing member shows the reader's box.
        const QString ct = QString::fromStdString(cell.dump());
        TUpdateTable t;
        t.table = GetJSONInt(QStringLiteral("table"), ct);
        t.row = GetJSONInt(QStringLiteral("row"), ct);
        t.field = GetJSONInt(QStringLiteral("field"), ct);
        t._type = GetJSONInt(QStringLiteral("type"), ct);
        if (t._type == 0)
          t.intvalue = GetJSONInt(QStringLiteral("value"), ct);
        else
          t.strvalue = codepage::Narrow(GetJSONStr(QStringLiteral("value"), ct));
        rule.updatetables.append(t);
      }
    }
  }

  rule.savesetting = boolOr("savesetting");
  rule.firmware = textOr("firmware", QStringLiteral("__"));
  rule.date = dateOr("date");
  rule.blver = intOr("blver", -1);
  rule.fwver = textOr("fwver", QStringLiteral("неизвестно"));
  rule.fwbuild = intOr("fwbuild", -1);
  rule.fwdate = dateOr("fwdate");
  rule.info = textOr("info", QStringLiteral("нет данных"));
  rule.downallowed = boolOr("downallowed");
  return true;
}

}  // namespace

bool LoadFWRules(const QString &FileName, TFWRules &Rules) {
  FWRulesError.clear();
  json rules;
  QString reason;
  if (!ReadRulesArray(FileName, rules, reason)) {
    FWRulesError = Fail(FileName, reason);
    return false;
  }
  int i = 0;
  for (const json &element : rules) {
    Rules.append(TFWRule{});
    const char *missing = nullptr;
    if (!ReadRule(element, Rules.last(), missing)) {
      // No partial rule set may be used.
      Rules.clear();
      FWRulesError = QStringLiteral("Ошибка. Отсутствует поле \"%1\". Элемент: %2.")
                         .arg(Key(missing))
                         .arg(i);
      return false;
    }
    FWRulesError.clear();
    ++i;
  }
  return true;
}

bool FWFilePresent(const QString &Folder, const QString &FileName) {
  // A rule comes from the package: a name that is more than a plain file name
  // ("../../etc/passwd", "/etc/passwd", "sub/x.bin") could hand the register a
  // file from elsewhere, so it is no image of the package.
  if (FileName.isEmpty() || FileName == QLatin1String(".") || FileName == QLatin1String("..") ||
      FileName.contains(QLatin1Char('/')) || FileName.contains(QLatin1Char('\\')) ||
      FileName.contains(QLatin1Char(':')) || FileName.contains(QChar(0)))
    return false;
  const QFileInfo info(Folder + FileName);
  // QFileInfo follows links: a link counts when its target is a file in the folder.
  if (!info.isFile()) return false;
  if (!info.isSymLink()) return true;
  const QString folder = QFileInfo(Folder).canonicalFilePath();
  return !folder.isEmpty() && QFileInfo(info.canonicalFilePath()).path() == folder;
}

bool FWFilesExist(const QString &Folder, const TFWRules &Rules) {
  for (const TFWRule &rule : Rules) {
    if (!FWFilePresent(Folder, rule.filename)) return false;
  }
  return true;
}

namespace {

bool RuleApplies1(const TECRFwInfo &info, const TFWRule &r) {
  if (r.bootloader == info.bootloader) return true;
  return r.bootloader == 0 && info.bootloader < r.blver && info.bootloader >= 130;
}

bool RuleApplies2(const TECRFwInfo &info, const TFWRule &r) {
  bool buildOk;
  if (r.build == -1) {
    buildOk = r.downallowed || r.fwbuild > info.build ||
              info.firmware == QStringLiteral("C.1") || info.firmware == QStringLiteral("C.3");
  } else {
    buildOk = r.build == info.build;
  }
  const bool versionOk = r.firmware == QStringLiteral("__") || r.firmware == info.firmware;
  const bool loaderOk = info.bootloader >= r.bootloader || info.bootloader >= 1939;
  return buildOk && versionOk && loaderOk;
}

}  // namespace

int FindFWRule(const TECRFwInfo &Info, const TFWRules &Rules, int Level) {
  if (Level != 1 && Level != 2) return -1;
  for (int i = 0; i < Rules.size(); ++i) {
    const TFWRule &r = Rules.at(i);
    if (r.level != Level) continue;
    if (Level == 1) {
      if (RuleApplies1(Info, r)) return i;
      continue;
    }
    if (!RuleApplies2(Info, r)) continue;
    // The register already runs what the rule installs: nothing to do.
    if (r.fwbuild == Info.build && r.fwver == Info.firmware) return -1;
    return i;
  }
  return -1;
}
