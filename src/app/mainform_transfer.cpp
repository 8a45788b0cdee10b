// The firmware transfer: DFU through the flashing tool, or XModem through the driver.
#include <QFileInfo>
#include <algorithm>
#include <QProgressBar>

#include "app/mainformunit.h"
#include "common/applog.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/waits.h"
#include "device/untDriver.h"
#include "forms/painted.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "package/execproc.h"
#include "tables/tablesfunc.h"
#include "app/transferwaits.h"

namespace {

using namespace transfer;

constexpr int kWaitStepMs = 50;

}  // namespace

bool TMainForm::FlashFirmware() {
  if (FStopRequested) return false;
  return cbMethod->currentIndex() == 1 ? FlashXModem() : FlashDfu();
}

// ---------------------------------------------------------------------------
// XModem

bool TMainForm::FlashXModem() {
  cbMethod->setEnabled(false);
  DrvSetButton->setEnabled(false);
  try {
    const bool started = StartXModemUpdate();
    while (Timer->isActive()) {
      waits::ProcessMessages();
      waits::Sleep(kWaitStepMs);
    }
    return started;
  } catch (...) {
    // An error ends the run: the transfer's controls must not stay locked.
    Timer->stop();
    cbMethod->setEnabled(true);
    DrvSetButton->setEnabled(true);
    throw;
  }
}

bool TMainForm::StartXModemUpdate() {
  const TFWRule &rule = FRules.at(FRuleIndex);
  // A name that leads out of the working folder must not reach the driver.
  if (!FWFilePresent(FTempPath, rule.filename)) {
    msgbox::ShowPlain(QStringLiteral("File: ") + FTempPath + rule.filename + QStringLiteral(" not found."));
    return false;
  }
  TDriver *drv = Driver();
  drv->setUpdateFirmwareMethod(1);
  drv->setFileName(FTempPath + rule.filename);
  const int r = drv->UpdateFirmware();
  Timer->start();
  return r == 0;
}

void TMainForm::TimerTimer() {
  try {
    TDriver *drv = Driver();
    setWindowTitle(drv->UpdateFirmwareStatusMessage());
    if (drv->UpdateFirmwareStatus() == 1) return;
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
  Timer->stop();
  cbMethod->setEnabled(true);
  DrvSetButton->setEnabled(true);
}

// ---------------------------------------------------------------------------
// DFU

void TMainForm::WaitWithProgress(const QString &caption, int steps, int ms) {
  RebootForm->hide();
  RebootForm->setWindowTitle(caption);
  QProgressBar *bar = RebootForm->Progress;
  bar->setRange(1, steps);
  bar->setValue(1);
  ShowPainted(RebootForm);
  const std::uint64_t t0 = waits::TickCount();
  do {
    waits::Sleep(kWaitStepMs);
    // The bar only shows that time passes; it stops at its maximum.
    bar->setValue(std::min(bar->value() + 1, bar->maximum()));
    waits::ProcessMessages();
  } while (waits::TickCount() <= t0 + static_cast<std::uint64_t>(ms));
}

bool TMainForm::ListDfuDevices() {
  const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
  // A missing tool is reported by name a step later, not as a failed start.
  if (!QFileInfo::exists(tool)) return false;
  QString output;
  ExecuteAndCapture(tool, QStringList{QStringLiteral("-l")}, output);
  return output.contains(QStringLiteral("Found DFU"));
}

bool TMainForm::FlashDfu() {
  if (FRuleIndex < 0 || FRuleIndex >= FRules.size()) return false;
  const TFWRule rule = FRules.at(FRuleIndex);
  TDriver *drv = Driver();

  // What the transfer needs from the working folder is looked for before
  // anything changes the register: a check that failed once it is in DFU
  // mode would leave it there. The checks after the switch stay.
  for (const QString &name : {rule.filename, QString::fromLatin1(kDfuTool)}) {
    if (!FWFilePresent(FTempPath, name)) {
      msgbox::ShowPlain(QStringLiteral("File: ") + FTempPath + name + QStringLiteral(" not found."));
      return false;
    }
  }

  // Without its backup the update does not go on when the operator says so.
  if (rule.savesetting && BackupTablesHook && !BackupTablesHook()) return false;

  // Closing: the register is not switched to DFU mode. Once it is, the
  // transfer and the set-up after it run to their end.
  if (FStopRequested) return false;
  // Kept where the next start finds it, should this transfer be cut.
  // (A missing image is reported by name after the switch, as before.)
  std::optional<pending::TPending> kept;
  if (FWFilePresent(FTempPath, rule.filename)) {
    kept = pending::Keep(FSerial, FSerial.mid(6, 4), FDeviceRef, rule, FTempPath + rule.filename);
    FJournal.TransferStart(rule, kept->image(), kept->sha256);
  }
  if (drv->SetDFUMode() != 0) {
    if (kept) pending::Remove(*kept);
    msgbox::ShowPlain(QStringLiteral("Can not set DFU mode."));
    return false;
  }
  if (kept) pending::SetStage(*kept, pending::TStage::Switched);

  {
    HideOnExit hide{RebootForm};
    WaitWithProgress(QStringLiteral("Прошивка"), 45, kFlashingWaitMs);

    ListDfuDevices();

    const QString image = FTempPath + rule.filename;
    if (!FWFilePresent(FTempPath, rule.filename)) {
      RebootForm->hide();
      msgbox::ShowPlain(QStringLiteral("File: ") + image + QStringLiteral(" not found."));
      return false;
    }
    const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
    if (!QFileInfo::exists(tool)) {
      RebootForm->hide();
      msgbox::ShowPlain(QStringLiteral("File: ") + tool + QStringLiteral(" not found."));
      return false;
    }

    DownloadImage(tool, image);

    WaitWithProgress(QStringLiteral("Перезагрузка"), 450, rule.level == 1 ? kRebootWaitBootLoaderMs : kRebootWaitFirmwareMs);
  }

  // The same register must come back, set up again when it asks.
  {
    HideOnExit hide{ProrgessTForm};
    QString serial;
    bool setUpAnew = false;
    if (!SetUpAfterReboot(serial, &setUpAnew)) return false;
    if (serial != FSerial) {
      applog::Info(QStringLiteral("После перезагрузки ответила ККТ \"%1\" вместо \"%2\"").arg(serial, FSerial));
      return false;
    }
    RestoreSettingsAfterTransfer(rule, setUpAnew);

    if (!rule.updatetables.isEmpty()) WriteUpdateTables(rule);
  }
  // Settings back and cells written: nothing is left to finish.
  if (kept) pending::Remove(*kept);
  return true;
}

void TMainForm::RestoreSettingsAfterTransfer(const TFWRule &rule, bool setUpAnew) {
  // The set-up wiped every table: the run's snapshot is written back even
  // after a transfer whose rule keeps no settings; without one the closing
  // box says the settings were reset.
  const bool haveSnapshot = RunSnapshotTakenHook && RunSnapshotTakenHook();
  if ((rule.savesetting || (setUpAnew && haveSnapshot)) && RestoreAfterUpdateHook) {
    const bool restored = RestoreAfterUpdateHook();
    if (!restored) FSettingsNotRestored = true;
    FJournal.Tables(restored);
  } else if (setUpAnew && !rule.savesetting) {
    FSettingsResetNoCopy = true;
  }
}

void TMainForm::WriteUpdateTables(const TFWRule &rule) {
  TDriver *drv = Driver();
  ProrgessTForm->setWindowTitle(QStringLiteral("Обновление таблиц"));
  ShowPainted(ProrgessTForm);
  QStringList failed;
  for (const TUpdateTable &cell : rule.updatetables) {
    drv->setPassword(kSysAdminPassword);
    drv->setTableNumber(cell.table);
    drv->setRowNumber(cell.row);
    drv->setFieldNumber(cell.field);
    if (cell._type == 0)
      drv->setValueOfFieldInteger(cell.intvalue);
    else
      drv->setValueOfFieldString(cell.strvalue);
    if (drv->WriteTable() == 0)
      // Later restores of this run keep the rule's value.
      NoteRunCell(cell.table, cell.row, cell.field, cell._type, cell.intvalue, cell.strvalue);
    else
      failed << QStringLiteral("Таблица %1, ряд %2, поле %3: %4")
                    .arg(cell.table)
                    .arg(cell.row)
                    .arg(cell.field)
                    .arg(drv->ResultCodeDescription());
    waits::ProcessMessages();
  }
  ProrgessTForm->hide();
  applog::Info(QStringLiteral("Записаны ячейки правила: %1 из %2")
                   .arg(rule.updatetables.size() - failed.size())
                   .arg(rule.updatetables.size()));
  // The update itself succeeded; cells that did not take are reported, not dropped.
  if (!failed.isEmpty())
    msgbox::ShowError(QStringLiteral("Не удалось записать ячейки таблиц:\r\n") +
                      failed.join(QStringLiteral("\r\n")));
}
