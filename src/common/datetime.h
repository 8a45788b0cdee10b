#pragma once
// Dates as the register and the rules carry them: days since 1899-12-30 held
// as a double, the fraction being the time of day; 0 stands for no date.
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>

using TDateTime = double;

namespace datetime {

inline const QDate &Epoch() {
  static const QDate epoch(1899, 12, 30);
  return epoch;
}

inline TDateTime FromDate(const QDate &d) { return static_cast<TDateTime>(Epoch().daysTo(d)); }

TDateTime FromDateTime(const QDateTime &dt);
QDate ToDate(TDateTime value);
QDateTime ToDateTime(TDateTime value);
// The time-of-day part only (the fraction), as the driver's Time property takes it.
TDateTime TimeOfDay(const QTime &t);

// The locale dates are shown in: the system's, or the Russian one where the
// system names none (C, POSIX).
QLocale DisplayLocale();
// The short date format of DisplayLocale().
QString ShortDate(TDateTime value);

}  // namespace datetime
