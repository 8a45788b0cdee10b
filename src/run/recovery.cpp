// An interrupted DFU transfer, finished on a later connect from what was
// kept before the switch to DFU mode. A kept transfer belongs to a register,
// found by its serial number: as the register reports it, or as the DFU
// listing names it while the register waits in its boot-loader. How the
// driver's device list names the register today plays no part.
#include <QFileInfo>
#include <algorithm>

#include "device/untDriver.h"
#include "run/transferwaits.h"
#include "run/updaterun.h"
#include "tables/tablesfunc.h"

using namespace transfer;

namespace {

// The rule's heading: the first line of its description, else its file.
QString RuleTitle(const TFWRule &rule) {
  const QString title = rule.info.section(QLatin1Char('\n'), 0, 0).trimmed();
  return title.isEmpty() ? rule.filename : title;
}

}  // namespace

bool TUpdateRun::FinishAfterReboot(pending::TPending &p, bool writeCells) {
  QString serial;
  bool setUpAnew = false;
  if (!SetUpAfterReboot(serial, &setUpAnew, &p) || serial != p.serial) return false;
  bool restore = true;
  // Set up by someone else since the transfer (days may have passed): the
  // snapshot would overwrite what the owner has entered by hand. Asked, with
  // how much would change; a register this program set up is restored as is.
  if (!setUpAnew && p.stage != pending::TStage::SetUp && p.rule.savesetting) {
    QString error;
    const int differ = SnapshotDifferences(&error);
    if (differ > 0) {
      restore = Ask(run::TQuestion::RestoreOldSnapshot, QString(),
                    QStringLiteral("Настройки ККТ %1 изменились после прерванного обновления. Снимок настроек, снятый "
                                   "до него, перезапишет ячеек: %2. Восстановить настройки из снимка?")
                        .arg(p.serial)
                        .arg(differ));
      if (!restore)
        FResult.notes << QStringLiteral("Настройки ККТ %1 оставлены как есть: снимок до прерванного обновления не "
                                        "записывался (отличается ячеек: %2).")
                             .arg(p.serial)
                             .arg(differ);
    } else if (differ == 0) {
      restore = false;  // nothing would change
    }
  }
  if (restore) RestoreSettingsAfterTransfer(p.rule, setUpAnew || p.stage == pending::TStage::SetUp);
  // The rule's cells belong to the version it installs.
  if (writeCells && !p.rule.updatetables.isEmpty()) WriteUpdateTables(p.rule);
  pending::Remove(p);
  return true;
}

void TUpdateRun::RecoverPending() {
  QStringList unreadable;
  const QList<pending::TPending> kept = pending::All(&unreadable);
  for (const QString &record : unreadable)
    Notice(run::TNotice::Warning,
           QStringLiteral("Запись прерванного обновления повреждена и не может быть использована: %1").arg(record));

  TDriver *drv = Driver();
  // A register in its boot-loader answers no driver call: the listing names it.
  if (drv->GetECRStatus() != 0) {
    RecoverInBootLoader(kept);
    return;
  }
  const QString serial = ReadECRSerial(drv);
  const auto p = std::find_if(kept.cbegin(), kept.cend(), [&](const pending::TPending &k) { return k.serial == serial; });
  if (p == kept.cend()) {
    pending::RemoveUnrecorded(serial);
    return;
  }
  pending::TPending found = *p;
  TRecoveryOutcome outcome = Outcome(found);
  FJournal.ForSerial(found.serial);
  if (found.stage == pending::TStage::Prepared) {
    // Never switched: the register was not touched, nothing to finish.
    pending::Remove(found);
    RecoveryDone(outcome, QStringLiteral("not started"), QString(), QStringLiteral("removed"));
    return;
  }
  outcome.asked = true;
  if (!Ask(run::TQuestion::FinishInterrupted, QString(),
           QStringLiteral("Завершить прерванное обновление ККТ %1?").arg(found.serial))) {
    RecoveryDone(outcome, QStringLiteral("finish"), QStringLiteral("no"), QString());
    return;
  }
  outcome.accepted = true;
  FSerial = found.serial;
  const bool ok = FinishAfterReboot(found, TargetReached(found.rule));
  if (!ok) FResult.failed = true;
  RecoveryDone(outcome, QStringLiteral("finish"), QStringLiteral("yes"), ok ? QStringLiteral("done") : QStringLiteral("failed"));
}

void TUpdateRun::RecoverInBootLoader(const QList<pending::TPending> &kept) {
  const QStringList listed = ListDfuDevices();
  if (listed.isEmpty()) return;
  // A tool that names no serial lists one device: only this device's own
  // kept transfer can be meant.
  const bool unnamed = listed.size() == 1 && listed.first().isEmpty();
  // This device's register is the one kept on its serial port (a record of
  // an earlier version names no port); a register of another port is
  // brought back by its own device's run, which can set it up afterwards.
  QList<pending::TPending> found;
  QStringList elsewhere;
  for (const pending::TPending &p : kept) {
    // Listed in DFU mode, it was switched, whatever its record had time to
    // say before the program ended.
    if (!unnamed && !listed.contains(p.serial)) continue;
    if (p.device.port == FDeviceRef.port || p.device.port <= 0)
      found << p;
    else
      elsewhere << p.serial;
  }
  if (found.isEmpty()) {
    QStringList orphans;
    for (const QString &s : listed)
      if (!s.isEmpty() && !elsewhere.contains(s)) orphans << s;
    if (!orphans.isEmpty()) Notice(run::TNotice::Warning, BootLoaderAdvice(orphans));
    return;
  }
  for (pending::TPending &p : found) {
    RecoverDfu(p);
    if (FStopRequested) return;
  }
}

QString TUpdateRun::BootLoaderAdvice(const QStringList &serials) const {
  // The package's newest firmware is what brings a register back from its
  // boot-loader; the operator loads it by hand when nothing was kept here.
  const TFWRule *firmware = nullptr;
  for (const TFWRule &r : FRules)
    if (r.level == 2) firmware = &r;
  QString text = QStringLiteral("ККТ %1 в режиме загрузчика (DFU), а образа прерванного обновления для неё на этом "
                                "компьютере нет (обновление прервано под другой учётной записью или на другом "
                                "компьютере).")
                     .arg(serials.join(QStringLiteral(", ")));
  if (firmware)
    text += QStringLiteral(" Вернуть её в работу может загрузка ПО по правилу «%1» (файл %2) программой, прервавшей "
                           "обновление, или вручную.")
                .arg(RuleTitle(*firmware), firmware->filename);
  return text;
}

TRecoveryOutcome TUpdateRun::Outcome(const pending::TPending &p) const {
  TRecoveryOutcome outcome;
  outcome.serial = p.serial;
  outcome.title = RuleTitle(p.rule);
  outcome.target = RuleTarget(p.rule);
  return outcome;
}

void TUpdateRun::RecoveryDone(TRecoveryOutcome outcome, const QString &kind, const QString &answer,
                              const QString &result) {
  outcome.kind = kind;
  outcome.result = result;
  FResult.recoveries.append(outcome);
  FJournal.Recovery(outcome.serial, kind, answer, result);
}

void TUpdateRun::RecoverDfu(pending::TPending &p) {
  FJournal.ForSerial(p.serial);
  // Listed in DFU mode, it was switched: the record says so from now on, so
  // that a program ended after this transfer finishes the set-up instead of
  // taking the record for one never started.
  if (p.stage == pending::TStage::Prepared) pending::SetStage(p, pending::TStage::Switched);
  TRecoveryOutcome outcome = Outcome(p);
  outcome.asked = true;
  const bool yes = Ask(run::TQuestion::RecoverDfu, QStringLiteral("Прерванное обновление"),
                       QStringLiteral("ККТ %1 осталась в режиме загрузки после прерванного обновления (%2). "
                                      "Загрузить прошивку повторно?")
                           .arg(p.serial, outcome.title));
  outcome.accepted = yes;
  if (!yes) {
    RecoveryDone(outcome, QStringLiteral("dfu"), QStringLiteral("no"), QString());
    return;
  }
  QString image = p.image();
  if (!pending::ImageIntact(p)) {
    // The package at hand may hold the very same image: its digest decides.
    const QString copy = FTempPath + p.rule.filename;
    if (FWFilePresent(FTempPath, p.rule.filename) && pending::FileSha256(copy) == p.sha256) {
      image = copy;
      FResult.notes << QStringLiteral("Сохранённый образ прошивки повреждён (%1); загружена такая же копия из пакета.")
                           .arg(p.image());
    } else {
      FResult.failed = true;
      RecoveryDone(outcome, QStringLiteral("dfu"), QStringLiteral("yes"), QStringLiteral("image damaged"));
      Notice(run::TNotice::Error, QStringLiteral("Сохранённый образ прошивки повреждён: ") + p.image());
      return;
    }
  }
  const bool ok = RedownloadPending(p, image);
  if (ok)
    ++FResult.installed;
  else
    FResult.failed = true;
  RecoveryDone(outcome, QStringLiteral("dfu"), QStringLiteral("yes"), ok ? QStringLiteral("done") : QStringLiteral("failed"));
}

bool TUpdateRun::RedownloadPending(pending::TPending &p, const QString &image) {
  FSerial = p.serial;
  const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
  FIdentityStale = true;
  FWaitLabel = QStringLiteral("Прерванное обновление ККТ %1: %2").arg(p.serial, RuleTitle(p.rule));
  {
    WaitWindow hide{*FView};
    WaitWithProgress(QStringLiteral("Прошивка"), 45, kFlashingWaitMs);
    const QStringList listed = ListDfuDevices();
    if (!QFileInfo::exists(tool)) {
      FView->WaitEnd();
      Notice(run::TNotice::Plain, QStringLiteral("File: ") + tool + QStringLiteral(" not found."));
      return false;
    }
    FJournal.TransferStart(p.rule, image, p.sha256);
    if (!DownloadImage(tool, image, p.serial, listed)) return false;
    WaitWithProgress(QStringLiteral("Перезагрузка"), 450,
                     p.rule.level == 1 ? kRebootWaitBootLoaderMs : kRebootWaitFirmwareMs);
  }
  return FinishAfterReboot(p, true);
}
