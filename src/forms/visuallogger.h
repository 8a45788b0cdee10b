#pragma once
// Writes time-stamped lines into its own log window, which appears with the
// first line, comes forward with each one and goes with the writer.
#include <QString>

#include <memory>

#include "tables/tablesview.h"

class QDateTime;
class TLogForm;

class TVisualLogger : public tablesview::TLog {
 public:
  // AClassName is the owner's name; kept, not shown. The window starts hidden.
  explicit TVisualLogger(const QString &AClassName);
  ~TVisualLogger() override;
  TVisualLogger(const TVisualLogger &) = delete;
  TVisualLogger &operator=(const TVisualLogger &) = delete;

  void Info(const QString &AMessage) override;  // tag "[INFO ]"
  void Debug(const QString &AMessage);  // tag "[DEBUG]"

  const QString &ClassName() const { return FClassName; }
  TLogForm *Form() const { return FVLog.get(); }

 private:
  void WriteLine(const QString &ATag, const QString &AMessage);

  QString FClassName;
  std::unique_ptr<TLogForm> FVLog;
};

namespace visuallogger {
// The time stamp "yyyy-mm-dd hh:nn:ss.zzz" with the system's time separator
// in place of the colons.
QString TimeStamp(const QDateTime &at);
// The system's time separator (":" when the locale gives none).
QString TimeSeparator();
}  // namespace visuallogger
