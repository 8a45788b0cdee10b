#include "common/jutils.h"

#include <QRegularExpression>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/msgbox.h"

namespace {

using nlohmann::json;

std::string utf8(const QString &s) { return s.toStdString(); }
QString qs(const std::string &s) { return QString::fromStdString(s); }

// The value under key, or an exception whose message says why not.
json lookup(const QString &key, const QString &text) {
  json doc;
  try {
    doc = json::parse(utf8(text));
  } catch (const json::exception &e) {
    throw std::runtime_error(std::string("Текст не является JSON: ") + e.what());
  }
  if (!doc.is_object()) throw std::runtime_error("Текст не является объектом JSON.");
  const auto it = doc.find(utf8(key));
  if (it == doc.end()) throw std::runtime_error("Ключ отсутствует в объекте.");
  return *it;
}

template <typename T, typename F>
T read(const QString &key, const QString &text, T empty, F convert) {
  try {
    return convert(lookup(key, text));
  } catch (const std::exception &e) {
    msgbox::ShowError(QStringLiteral("Параметр %1 не найден.\r\n").arg(key) + qs(e.what()));
    return empty;
  }
}

}  // namespace

namespace jutils {

TDateTime StrToDate(const QString &text) {
  static const QRegularExpression re(QStringLiteral("^\\s*(\\d{1,4})-(\\d{1,2})-(\\d{1,2})\\s*$"));
  const auto m = re.match(text);
  if (m.hasMatch()) {
    const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (d.isValid()) return datetime::FromDate(d);
  }
  throw std::runtime_error(utf8(QStringLiteral("Invalid date ") + text));
}

}  // namespace jutils

QString GetJSONStr(const QString &key, const QString &text) {
  return read<QString>(key, text, QString(), [](const json &v) {
    if (v.is_string()) return qs(v.get<std::string>());
    if (v.is_number()) return qs(v.dump());
    throw std::runtime_error("Значение не является строкой.");
  });
}

int GetJSONInt(const QString &key, const QString &text) {
  return read<int>(key, text, 0, [](const json &v) {
    if (v.is_number_integer()) {
      if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return static_cast<int>(u);
      } else {
        const auto i = v.get<std::int64_t>();
        if (i >= std::numeric_limits<int>::min() && i <= std::numeric_limits<int>::max())
          return static_cast<int>(i);
      }
      throw std::runtime_error("Число " + v.dump() + " не помещается в 32-битное целое.");
    }
    throw std::runtime_error("Значение " + v.dump() + " не является целым числом.");
  });
}

bool GetJSONBool(const QString &key, const QString &text) {
  return read<bool>(key, text, false, [](const json &v) {
    if (v.is_boolean()) return v.get<bool>();
    throw std::runtime_error("Значение " + v.dump() + " не является логическим.");
  });
}

TDateTime GetJSONDate(const QString &key, const QString &text) {
  return read<TDateTime>(key, text, 0.0, [](const json &v) {
    if (!v.is_string()) throw std::runtime_error("Invalid date " + v.dump());
    return jutils::StrToDate(qs(v.get<std::string>()));
  });
}
