// An interrupted DFU transfer, finished on the next connect from what was
// kept before the switch to DFU mode; the download with its retries and the
// set-up after the reboot, shared with the transfer.
#include <QFileInfo>
#include <QProgressBar>

#include "app/mainformunit.h"
#include "common/codepage.h"
#include "common/datetime.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/waits.h"
#include "device/untDriver.h"
#include "forms/painted.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "package/execproc.h"
#include "app/transferwaits.h"

namespace {

using namespace transfer;

constexpr int kMoreTries = 2;

}  // namespace

bool TMainForm::DownloadImage(const QString &tool, const QString &image) {
  for (int attempt = 1;; ++attempt) {
    QString output;
    // The image path goes as one argument, so a path with blanks arrives whole.
    ExecuteAndCapture(tool, QStringList{QStringLiteral("-D"), image}, output);
    const bool done = output.toUpper().contains(QStringLiteral("DONE"));
    FJournal.TransferEnd(done, output, attempt);
    if (done) return true;
    msgbox::ShowPlain(QStringLiteral("Не удалось загрузить прошивку в ККТ.\r\n") + output);
    // A register still in its boot-loader can take the image again; one that
    // is gone from the bus cannot.
    if (attempt > kMoreTries || FStopRequested || !ListDfuDevices()) return false;
    if (!msgbox::AskQuestion(QStringLiteral("Повторить загрузку прошивки?"))) return false;
  }
}

bool TMainForm::SetUpAfterReboot(QString &serial, bool *setUpAnew) {
  TDriver *drv = Driver();
  HideOnExit hide{ProrgessTForm};
  serial.clear();
  const int rc = drv->ReadSerialNumber();
  if (rc == 0) {
    serial = drv->SerialNumber();
    FJournal.Setup(false, true, 0);
    return true;
  }
  if (rc != 116 && rc != 120 && rc != 121) {
    FJournal.Setup(false, false, rc);
    return true;  // no answer: the serial check fails on the empty serial
  }
  ProrgessTForm->setWindowTitle(QStringLiteral("Настройка"));
  ShowPainted(ProrgessTForm);
  auto fail = [&](int code) {
    FJournal.Setup(true, false, code);
    return false;
  };
  int r = drv->ResetSettings();
  if (r == 147) r = drv->ResetSettings();
  if (r != 0) return fail(r);
  const QDateTime now = waits::Now();
  drv->setDate(datetime::FromDate(now.date()));
  if ((r = drv->SetDate()) != 0) return fail(r);
  drv->setDate(datetime::FromDate(now.date()));
  if ((r = drv->ConfirmDate()) != 0) return fail(r);
  drv->setTime(datetime::TimeOfDay(waits::Now().time()));
  if ((r = drv->SetTime()) != 0) return fail(r);
  if ((r = drv->ReadSerialNumber()) != 0) return fail(r);
  serial = drv->SerialNumber();
  if (setUpAnew) *setUpAnew = true;
  FJournal.Setup(true, true, rc);
  return true;
}

bool TMainForm::TargetReached(const TFWRule &rule) {
  TDriver *drv = Driver();
  if (rule.level == 1)
    return drv->ReadLoaderVersion() == 0 && drv->LoaderVersion().trimmed() == QString::number(rule.blver);
  return drv->GetECRStatus() == 0 && codepage::Narrow(drv->ECRSoftVersion()) == rule.fwver &&
         drv->ECRBuild() == rule.fwbuild;
}

bool TMainForm::FinishAfterReboot(pending::TPending &p, bool writeCells) {
  QString serial;
  bool setUpAnew = false;
  if (!SetUpAfterReboot(serial, &setUpAnew) || serial != p.serial) return false;
  RestoreSettingsAfterTransfer(p.rule, setUpAnew);
  // The rule's cells belong to the version it installs.
  if (writeCells && !p.rule.updatetables.isEmpty()) WriteUpdateTables(p.rule);
  pending::Remove(p);
  return true;
}

void TMainForm::RecoverPending() {
  std::optional<pending::TPending> p = pending::FindForDevice(FDeviceRef);
  if (!p) return;
  FJournal.ForSerial(p->serial);
  TDriver *drv = Driver();
  // The rule's heading: the first line of its description, else its file.
  QString title = p->rule.info.section(QLatin1Char('\n'), 0, 0).trimmed();
  if (title.isEmpty()) title = p->rule.filename;

  // A register in its boot-loader answers no driver call: nothing but the
  // listing is asked before the download.
  if (drv->GetECRStatus() != 0) {
    if (!ListDfuDevices()) return;
    const bool yes = msgbox::AskQuestion(
        QStringLiteral("Прерванное обновление"),
        QStringLiteral("ККТ %1 осталась в режиме загрузки после прерванного обновления (%2). "
                       "Загрузить прошивку повторно?")
            .arg(p->serial, title));
    if (!yes) {
      FJournal.Recovery(p->serial, QStringLiteral("dfu"), QStringLiteral("no"), QString());
      return;
    }
    if (!pending::ImageIntact(*p)) {
      FJournal.Recovery(p->serial, QStringLiteral("dfu"), QStringLiteral("yes"), QStringLiteral("image damaged"));
      msgbox::ShowError(QStringLiteral("Сохранённый образ прошивки повреждён: ") + p->image());
      return;
    }
    const bool ok = RedownloadPending(*p);
    FJournal.Recovery(p->serial, QStringLiteral("dfu"), QStringLiteral("yes"),
                      ok ? QStringLiteral("done") : QStringLiteral("failed"));
    return;
  }

  const QString serial = ReadECRSerial(drv);
  if (serial != p->serial) return;  // another register on this device: its transfer waits
  if (p->stage == pending::TStage::Prepared) {
    // Never switched: the register was not touched, nothing to finish.
    pending::Remove(*p);
    FJournal.Recovery(p->serial, QStringLiteral("not started"), QString(), QStringLiteral("removed"));
    return;
  }
  if (!msgbox::AskQuestion(QStringLiteral("Завершить прерванное обновление ККТ %1?").arg(p->serial))) {
    FJournal.Recovery(p->serial, QStringLiteral("finish"), QStringLiteral("no"), QString());
    return;
  }
  FSerial = p->serial;
  const bool ok = FinishAfterReboot(*p, TargetReached(p->rule));
  FJournal.Recovery(p->serial, QStringLiteral("finish"), QStringLiteral("yes"),
                    ok ? QStringLiteral("done") : QStringLiteral("failed"));
}

bool TMainForm::RedownloadPending(pending::TPending &p) {
  FSerial = p.serial;
  const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
  {
    HideOnExit hide{RebootForm};
    WaitWithProgress(QStringLiteral("Прошивка"), 45, kFlashingWaitMs);
    ListDfuDevices();
    if (!QFileInfo::exists(tool)) {
      RebootForm->hide();
      msgbox::ShowPlain(QStringLiteral("File: ") + tool + QStringLiteral(" not found."));
      return false;
    }
    FJournal.TransferStart(p.rule, p.image(), p.sha256);
    DownloadImage(tool, p.image());
    WaitWithProgress(QStringLiteral("Перезагрузка"), 450,
                     p.rule.level == 1 ? kRebootWaitBootLoaderMs : kRebootWaitFirmwareMs);
  }
  return FinishAfterReboot(p, true);
}
