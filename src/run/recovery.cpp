// An interrupted DFU transfer, finished on the next connect from what was
// kept before the switch to DFU mode.
#include <QFileInfo>

#include "device/untDriver.h"
#include "run/transferwaits.h"
#include "run/updaterun.h"

using namespace transfer;

bool TUpdateRun::FinishAfterReboot(pending::TPending &p, bool writeCells) {
  QString serial;
  bool setUpAnew = false;
  if (!SetUpAfterReboot(serial, &setUpAnew) || serial != p.serial) return false;
  RestoreSettingsAfterTransfer(p.rule, setUpAnew);
  // The rule's cells belong to the version it installs.
  if (writeCells && !p.rule.updatetables.isEmpty()) WriteUpdateTables(p.rule);
  pending::Remove(p);
  return true;
}

void TUpdateRun::RecoverPending() {
  std::optional<pending::TPending> p = pending::FindForDevice(FDeviceRef);
  if (!p) return;
  FJournal.ForSerial(p->serial);
  TDriver *drv = Driver();
  // The rule's heading: the first line of its description, else its file.
  QString title = p->rule.info.section(QLatin1Char('\n'), 0, 0).trimmed();
  if (title.isEmpty()) title = p->rule.filename;
  TRecoveryOutcome outcome;
  outcome.serial = p->serial;
  outcome.title = title;
  outcome.target = RuleTarget(p->rule);
  auto done = [&](const QString &kind, const QString &answer, const QString &result) {
    outcome.kind = kind;
    outcome.result = result;
    FResult.recoveries.append(outcome);
    FJournal.Recovery(p->serial, kind, answer, result);
  };

  // A register in its boot-loader answers no driver call: nothing but the
  // listing is asked before the download.
  if (drv->GetECRStatus() != 0) {
    // Only the register the image was kept for: never another one in DFU mode.
    if (!DfuListed(ListDfuDevices(), p->serial)) return;
    outcome.asked = true;
    const bool yes = Ask(run::TQuestion::RecoverDfu, QStringLiteral("Прерванное обновление"),
                         QStringLiteral("ККТ %1 осталась в режиме загрузки после прерванного обновления (%2). "
                                        "Загрузить прошивку повторно?")
                             .arg(p->serial, title));
    outcome.accepted = yes;
    if (!yes) {
      done(QStringLiteral("dfu"), QStringLiteral("no"), QString());
      return;
    }
    if (!pending::ImageIntact(*p)) {
      done(QStringLiteral("dfu"), QStringLiteral("yes"), QStringLiteral("image damaged"));
      Notice(run::TNotice::Error, QStringLiteral("Сохранённый образ прошивки повреждён: ") + p->image());
      return;
    }
    const bool ok = RedownloadPending(*p);
    if (!ok) FResult.failed = true;
    done(QStringLiteral("dfu"), QStringLiteral("yes"), ok ? QStringLiteral("done") : QStringLiteral("failed"));
    return;
  }

  const QString serial = ReadECRSerial(drv);
  if (serial != p->serial) return;  // another register on this device: its transfer waits
  if (p->stage == pending::TStage::Prepared) {
    // Never switched: the register was not touched, nothing to finish.
    pending::Remove(*p);
    done(QStringLiteral("not started"), QString(), QStringLiteral("removed"));
    return;
  }
  outcome.asked = true;
  if (!Ask(run::TQuestion::FinishInterrupted, QString(),
           QStringLiteral("Завершить прерванное обновление ККТ %1?").arg(p->serial))) {
    done(QStringLiteral("finish"), QStringLiteral("no"), QString());
    return;
  }
  outcome.accepted = true;
  FSerial = p->serial;
  const bool ok = FinishAfterReboot(*p, TargetReached(p->rule));
  if (!ok) FResult.failed = true;
  done(QStringLiteral("finish"), QStringLiteral("yes"), ok ? QStringLiteral("done") : QStringLiteral("failed"));
}

bool TUpdateRun::RedownloadPending(pending::TPending &p) {
  FSerial = p.serial;
  const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
  FIdentityStale = true;
  {
    WaitWindow hide{*FView};
    WaitWithProgress(QStringLiteral("Прошивка"), 45, kFlashingWaitMs);
    const QStringList listed = ListDfuDevices();
    if (!QFileInfo::exists(tool)) {
      FView->WaitEnd();
      Notice(run::TNotice::Plain, QStringLiteral("File: ") + tool + QStringLiteral(" not found."));
      return false;
    }
    FJournal.TransferStart(p.rule, p.image(), p.sha256);
    DownloadImage(tool, p.image(), p.serial, listed);
    WaitWithProgress(QStringLiteral("Перезагрузка"), 450,
                     p.rule.level == 1 ? kRebootWaitBootLoaderMs : kRebootWaitFirmwareMs);
  }
  return FinishAfterReboot(p, true);
}
