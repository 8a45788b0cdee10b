#include "forms/designfonts.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

namespace designfonts {
namespace {

// A family the database knows and confirms as fixed-pitch.
bool ConfirmedFixed(const QString &family) {
  return !family.isEmpty() && QFontDatabase::hasFamily(family) && QFontDatabase::isFixedPitch(family);
}

QString ChooseFixedFamily() {
  const QString designed = QStringLiteral("Courier New");
  if (ConfirmedFixed(designed)) return designed;
  // fontconfig may stand a metric-compatible family in for the designed one;
  // what it picked is known only once the font is matched.
  const QString substitute = QFontInfo(QFont(designed)).family();
  if (ConfirmedFixed(substitute)) return substitute;
  static const char *const kCommon[] = {"Liberation Mono", "Cousine",        "DejaVu Sans Mono",
                                        "Noto Mono",       "Nimbus Mono PS", "FreeMono",
                                        "Ubuntu Mono",     "Courier 10 Pitch"};
  for (const char *name : kCommon)
    if (ConfirmedFixed(QString::fromLatin1(name))) return QString::fromLatin1(name);
  return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
}

QString ChooseDialogFamily() {
  const QString designed = QStringLiteral("Tahoma");
  if (QFontDatabase::hasFamily(designed)) return designed;
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

}  // namespace

QString DialogFamily() {
  static const QString family = ChooseDialogFamily();
  return family;
}

QFont DialogFont(int pointSize) {
  QFont f(DialogFamily());
  f.setPointSize(pointSize);
  return f;
}

QFont DialogPixelFont(int pixelSize) {
  QFont f(DialogFamily());
  f.setPixelSize(pixelSize);
  return f;
}

QString FixedFamily() {
  static const QString family = ChooseFixedFamily();
  return family;
}

QFont FixedPixelFont(int pixelSize) {
  QFont f(FixedFamily());
  // Where nothing better was found, the matcher still prefers fixed-pitch faces.
  f.setStyleHint(QFont::TypeWriter);
  f.setFixedPitch(true);
  f.setPixelSize(pixelSize);
  return f;
}

}  // namespace designfonts
