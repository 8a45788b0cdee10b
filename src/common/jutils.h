#pragma once
// Readers of one value of a JSON object given as text. Each parses the text
// anew. When the value cannot be had, the reader shows the box
// "Параметр <key> не найден.\r\n" + the reason, and returns the empty value.
#include <QString>

#include "common/datetime.h"

QString GetJSONStr(const QString &key, const QString &json);   // a number is given as its text
int GetJSONInt(const QString &key, const QString &json);       // 32-bit integers only
bool GetJSONBool(const QString &key, const QString &json);     // JSON true or false
TDateTime GetJSONDate(const QString &key, const QString &json); // "YYYY-MM-DD"

namespace jutils {
// The date conversion of GetJSONDate; throws std::runtime_error("Invalid date " + text).
TDateTime StrToDate(const QString &text);
}
