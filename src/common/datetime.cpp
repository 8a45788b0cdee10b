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

QLocale DisplayLocale() {
  const QLocale system = QLocale::system();
  // C or POSIX is no language at all (every container, many set-ups): the
  // operator reads Russian, so dates are written the Russian way.
  if (system.language() == QLocale::C) return QLocale(QLocale::Russian, QLocale::Russia);
  return system;
}

QString ShortDate(TDateTime value) {
  return DisplayLocale().toString(ToDate(value), QLocale::ShortFormat);
}

}  // namespace datetime
