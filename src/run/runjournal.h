#pragma once
// What one update run writes into the update journal: the run's start with
// the identity before, each pass, the transfer, the set-up, the tables, the
// recovery and the run's end with the identity after.
#include <QJsonObject>
#include <QList>
#include <QString>

#include "rules/fwrules.h"
#include "state/pending.h"
#include "tables/tablesfunc.h"

namespace run {
class TView;
}

QJsonObject CellJson(const TCellNotRestored &cell);

// The logical device the driver works with now: its number, and its name
// and connection from the driver's settings (empty when they cannot be read).
pending::TDeviceRef CurrentDeviceRef();

class TRunJournal {
 public:
  // Gets every record as it is written; null: nobody.
  void SetView(run::TView *view) { FView = view; }
  // A new run on the chosen logical device.
  void Begin(const pending::TDeviceRef &device);
  // The identity read at the start of a pass; the first one opens the run.
  void Identity(const QString &serial, const TECRFwInfo &id);
  void Pass(const TFWRule &rule, const QString &image, const QString &method);
  void TransferStart(const TFWRule &rule, const QString &image, const QString &sha256);
  void TransferEnd(bool done, const QString &toolOutput, int attempt);
  void Setup(bool asked, bool ok, int code);
  // Cells saved into the snapshot, and whether it matched the register.
  void NoteSaved(int cells) { FSaved = cells; }
  void NoteVerified(bool ok) { FVerified = ok; }
  // restored: every cell is back; cells: those that are not.
  void Tables(bool restored, const QList<TCellNotRestored> &cells = {});
  // The register a recovery works on, before any identity is read.
  void ForSerial(const QString &serial) {
    if (FSerial.isEmpty()) FSerial = serial;
  }
  void Recovery(const QString &serial, const QString &kind, const QString &answer, const QString &result);
  // Writes the run's end once; message: the closing message shown, or why
  // the run ended.
  void End(const QString &result, const QString &message);
  // What the run changed, "Загрузчик 155 → 160, ПО A.4 → A.6"; empty when nothing.
  QString Changes() const;
  bool started() const { return FStarted; }
  const TECRFwInfo &first() const { return FFirst; }
  const TECRFwInfo &last() const { return FLast; }

 private:
  QJsonObject Record(const char *event) const;
  void Write(const QJsonObject &r);

  run::TView *FView = nullptr;
  pending::TDeviceRef FDevice;
  QString FSerial;
  TECRFwInfo FFirst, FLast;
  bool FStarted = false, FEnded = false;
  int FSaved = -1;
  bool FVerified = false;
};

QJsonObject IdentityJson(const TECRFwInfo &id);
