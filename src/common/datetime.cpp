#include "common/datetime.h"

#include <QLocale>
#include <cmath>

namespace datetime {

TDateTime TimeOfDay(const QTime &t) { return t.msecsSinceStartOfDay() / 86400000.0; }

TDateTime FromDateTime(const QDateTime &dt) { return FromDate(dt.date()) + TimeOfDay(dt.time()); }

QDate ToDate(TDateTime value) {
  return Epoch().addDays(static_cast<qint64>(std::floor(value)));
}

QDateTime ToDateTime(TDateTime value) {
  const double days = std::floor(value);
  const auto ms = static_cast<int>(std::llround((value - days) * 86400000.0));
  return QDateTime(Epoch().addDays(static_cast<qint64>(days)), QTime(0, 0).addMSecs(ms));
}

QString ShortDate(TDateTime value) {
  return QLocale::system().toString(ToDate(value), QLocale::ShortFormat);
}

}  // namespace datetime
