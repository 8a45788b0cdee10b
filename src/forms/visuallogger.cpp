#include "forms/visuallogger.h"

#include <QCheckBox>
#include <QDateTime>
#include <QListWidget>
#include <QLocale>

#include "common/waits.h"
#include "forms/logformunit.h"

namespace visuallogger {

QString TimeSeparator() {
  // Qt gives no separator of its own: take what follows the hours in the
  // locale's short time format.
  const QString fmt = QLocale::system().timeFormat(QLocale::ShortFormat);
  qsizetype i = 0;
  while (i < fmt.size() && fmt[i] != QLatin1Char('h') && fmt[i] != QLatin1Char('H')) ++i;
  while (i < fmt.size() && (fmt[i] == QLatin1Char('h') || fmt[i] == QLatin1Char('H'))) ++i;
  QString sep;
  for (; i < fmt.size() && !fmt[i].isLetter(); ++i)
    if (fmt[i] != QLatin1Char('\'')) sep += fmt[i];
  return sep.isEmpty() ? QStringLiteral(":") : sep;
}

QString TimeStamp(const QDateTime &at) {
  const QString sep = TimeSeparator();
  const QDate d = at.date();
  const QTime t = at.time();
  auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return QStringLiteral("%1-%2-%3 ").arg(d.year(), 4, 10, QLatin1Char('0')).arg(two(d.month()), two(d.day())) +
         two(t.hour()) + sep + two(t.minute()) + sep + two(t.second()) + QLatin1Char('.') +
         QStringLiteral("%1").arg(t.msec(), 3, 10, QLatin1Char('0'));
}

}  // namespace visuallogger

TVisualLogger::TVisualLogger(const QString &AClassName)
    : FClassName(AClassName), FVLog(std::make_unique<TLogForm>()) {}

TVisualLogger::~TVisualLogger() = default;

void TVisualLogger::Info(const QString &AMessage) { WriteLine(QStringLiteral("[INFO ]"), AMessage); }

void TVisualLogger::Debug(const QString &AMessage) { WriteLine(QStringLiteral("[DEBUG]"), AMessage); }

void TVisualLogger::WriteLine(const QString &ATag, const QString &AMessage) {
  // Built by concatenation: the message may hold anything, "%1" included.
  const QString line = QLatin1Char('[') + visuallogger::TimeStamp(waits::Now()) + QStringLiteral("] ") +
                       ATag + QLatin1Char(' ') + AMessage;
  FVLog->LogLB->addItem(line);
  if (FVLog->AutoScrollChB->isChecked() && FVLog->LogLB->count() > 0) FVLog->LogLB->scrollToBottom();
  // The window repaints and its check box answers while the caller's loop runs.
  waits::ProcessMessages();
  FVLog->show();
  FVLog->raise();
}
