#include "run/runjournal.h"

#include <QJsonArray>

#include "common/datetime.h"
#include "device/XmlDriverParams.h"
#include "device/portlock.h"
#include "device/untDriver.h"
#include "run/runview.h"
#include "state/history.h"

pending::TDeviceRef CurrentDeviceRef() {
  pending::TDeviceRef ref;
  try {
    TDriver *drv = Driver();
    ref.number = drv->LDNumber();
    const int keep = CurrentLDIndex;
    CurrentLDIndex = ref.number > 0 ? ref.number - 1 : 0;
    try {
      ref.name = ReadLDName();
      switch (ReadLDConnectionType()) {
        case 0: ref.connection = LDComSettingsText(); break;
        case 6: ref.connection = LDTcpSettingsText(); break;
        default: break;
      }
    } catch (const std::exception &) {
      // The driver's settings are only a label here.
    }
    CurrentLDIndex = keep;
    ref.port = ActiveDevicePort();
  } catch (const std::exception &) {
  }
  return ref;
}

QJsonObject IdentityJson(const TECRFwInfo &id) {
  return {{QStringLiteral("firmware"), id.firmware},
          {QStringLiteral("build"), id.build},
          {QStringLiteral("date"), id.date > 0 ? datetime::ToDate(id.date).toString(Qt::ISODate)
                                               : QString()},
          {QStringLiteral("bootloader"), id.bootloader}};
}

QJsonObject CellJson(const TCellNotRestored &cell) {
  return {{QStringLiteral("table"), cell.table},
          {QStringLiteral("row"), cell.row},
          {QStringLiteral("field"), cell.field},
          {QStringLiteral("name"), cell.name},
          {QStringLiteral("answer"), cell.answer}};
}

void TRunJournal::Begin(const pending::TDeviceRef &device) {
  run::TView *view = FView;
  *this = TRunJournal();
  FView = view;
  FDevice = device;
  // Runs on this port that a killed program left open are closed first:
  // the port's lock is held, so none of them is still going.
  for (const QJsonObject &closed : history::CloseInterrupted(device.port))
    if (FView) FView->Record(closed);
}

QJsonObject TRunJournal::Record(const char *event) const {
  return {{QStringLiteral("event"), QString::fromLatin1(event)},
          {QStringLiteral("device"), FDevice.ToJson()},
          {QStringLiteral("serial"), FSerial},
          {QStringLiteral("model"), FSerial.mid(6, 4)}};
}

void TRunJournal::Write(const QJsonObject &r) {
  const QJsonObject written = history::Append(r);
  if (FView) FView->Record(written);
}

void TRunJournal::Identity(const QString &serial, const TECRFwInfo &id) {
  FLast = id;
  if (FStarted) return;
  FSerial = serial;
  FFirst = id;
  FStarted = true;
  QJsonObject r = Record("run-start");
  r.insert(QStringLiteral("identity"), IdentityJson(id));
  Write(r);
}

void TRunJournal::Pass(const TFWRule &rule, const QString &image, const QString &method) {
  QJsonObject r = Record("pass");
  r.insert(QStringLiteral("level"), rule.level);
  // The heading of the rule's description.
  r.insert(QStringLiteral("title"), rule.info.section(QLatin1Char('\n'), 0, 0).trimmed());
  r.insert(QStringLiteral("file"), rule.filename);
  r.insert(QStringLiteral("sha256"), pending::FileSha256(image));
  r.insert(QStringLiteral("method"), method);
  Write(r);
}

void TRunJournal::TransferStart(const TFWRule &rule, const QString &image, const QString &sha256) {
  QJsonObject r = Record("transfer-start");
  r.insert(QStringLiteral("level"), rule.level);
  r.insert(QStringLiteral("file"), rule.filename);
  r.insert(QStringLiteral("image"), image);
  r.insert(QStringLiteral("sha256"), sha256);
  Write(r);
}

void TRunJournal::TransferEnd(bool done, const QString &toolOutput, int attempt) {
  QJsonObject r = Record("transfer-end");
  r.insert(QStringLiteral("result"), done ? QStringLiteral("done") : QStringLiteral("failed"));
  // The tool's own last words: "Done!" or its error line.
  QString verdict;
  const QStringList lines = toolOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (auto it = lines.crbegin(); it != lines.crend(); ++it)
    if (!it->trimmed().isEmpty() && !it->trimmed().startsWith(QLatin1Char('='))) {
      verdict = it->trimmed();
      break;
    }
  r.insert(QStringLiteral("verdict"), verdict);
  r.insert(QStringLiteral("attempt"), attempt);
  Write(r);
}

void TRunJournal::Setup(bool asked, bool ok, int code) {
  QJsonObject r = Record("setup");
  r.insert(QStringLiteral("asked"), asked);
  r.insert(QStringLiteral("result"), !asked ? QStringLiteral("not asked") : ok ? QStringLiteral("done")
                                                                                : QStringLiteral("failed"));
  if (code) r.insert(QStringLiteral("code"), code);
  Write(r);
}

void TRunJournal::Tables(bool restored, const QList<TCellNotRestored> &cells) {
  QJsonObject r = Record("tables");
  // No count when this run took no snapshot (a recovery, a later pass).
  if (FSaved >= 0) r.insert(QStringLiteral("saved"), FSaved);
  r.insert(QStringLiteral("verified"), FVerified);
  r.insert(QStringLiteral("restored"), restored && cells.isEmpty());
  if (!cells.isEmpty()) {
    QJsonArray list;
    for (const TCellNotRestored &c : cells) list.append(CellJson(c));
    r.insert(QStringLiteral("not_restored"), list);
  }
  Write(r);
}

void TRunJournal::Recovery(const QString &serial, const QString &kind, const QString &answer,
                           const QString &result) {
  if (FSerial.isEmpty()) FSerial = serial;
  QJsonObject r = Record("recovery");
  r.insert(QStringLiteral("serial"), serial);
  r.insert(QStringLiteral("model"), serial.mid(6, 4));
  r.insert(QStringLiteral("kind"), kind);
  r.insert(QStringLiteral("answer"), answer);
  if (!result.isEmpty()) r.insert(QStringLiteral("result"), result);
  Write(r);
}

void TRunJournal::End(const QString &result, const QString &message) {
  if (FEnded || (!FStarted && FSerial.isEmpty())) return;
  FEnded = true;
  QJsonObject r = Record("run-end");
  r.insert(QStringLiteral("result"), result);
  r.insert(QStringLiteral("message"), message);
  if (FStarted) r.insert(QStringLiteral("identity"), IdentityJson(FLast));
  Write(r);
}

QString TRunJournal::Changes() const {
  if (!FStarted) return QString();
  QStringList parts;
  if (FFirst.bootloader != FLast.bootloader && FLast.bootloader != -1)
    parts << QStringLiteral("Загрузчик %1 → %2").arg(FFirst.bootloader).arg(FLast.bootloader);
  if (FFirst.firmware != FLast.firmware)
    parts << QStringLiteral("ПО %1 → %2").arg(FFirst.firmware, FLast.firmware);
  else if (FFirst.build != FLast.build)
    parts << QStringLiteral("ПО %1 (сборка %2) → %1 (сборка %3)").arg(FFirst.firmware).arg(FFirst.build).arg(FLast.build);
  return parts.join(QStringLiteral(", "));
}
