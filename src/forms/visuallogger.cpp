#include "forms/visuallogger.h"

#include <QCheckBox>
#include <QDateTime>
#include <QListWidget>

#include "common/applog.h"
#include "common/waits.h"
#include "forms/logformunit.h"

namespace visuallogger {

QString TimeSeparator() { return applog::TimeSeparator(); }

QString TimeStamp(const QDateTime &at) { return applog::TimeStamp(at); }

}  // namespace visuallogger

TVisualLogger::TVisualLogger(const QString &AClassName)
    : FClassName(AClassName), FVLog(std::make_unique<TLogForm>()) {}

TVisualLogger::~TVisualLogger() = default;

void TVisualLogger::Info(const QString &AMessage) { WriteLine(QStringLiteral("[INFO ]"), AMessage); }

void TVisualLogger::Debug(const QString &AMessage) { WriteLine(QStringLiteral("[DEBUG]"), AMessage); }

void TVisualLogger::WriteLine(const QString &ATag, const QString &AMessage) {
  const QString line = applog::FormatLine(ATag, AMessage);
  // The log file keeps what the window shows, after the window has gone.
  applog::WriteLine(line);
  FVLog->LogLB->addItem(line);
  if (FVLog->AutoScrollChB->isChecked() && FVLog->LogLB->count() > 0) FVLog->LogLB->scrollToBottom();
  // The window repaints and its check box answers while the caller's loop runs.
  waits::ProcessMessages();
  FVLog->show();
  FVLog->raise();
}
