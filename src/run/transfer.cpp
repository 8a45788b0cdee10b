// The firmware transfer: DFU through the flashing tool, or XModem through the driver.
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>

#include "common/applog.h"
#include "common/datetime.h"
#include "common/error.h"
#include "common/waits.h"
#include "device/untDriver.h"
#include "package/execproc.h"
#include "run/transferwaits.h"
#include "run/updaterun.h"
#include "tables/tablesfunc.h"
#include "tables/tablesutils.h"

namespace {

using namespace transfer;

constexpr int kWaitStepMs = 50;
constexpr int kMoreTries = 2;

}  // namespace

bool TUpdateRun::FlashFirmware() {
  if (FStopRequested) return false;
  return FMethod == TTransferMethod::XModem ? FlashXModem() : FlashDfu();
}

// ---------------------------------------------------------------------------
// XModem

bool TUpdateRun::FlashXModem() {
  const TFWRule rule = FRules.at(FRuleIndex);
  // A new firmware resets the register's tables whichever way it arrives:
  // the settings are saved first, as before a DFU transfer.
  if (rule.savesetting && FWFilePresent(FTempPath, rule.filename) && !BackupTables()) return false;
  if (FStopRequested) return false;
  FView->TransferLocked(true);
  try {
    const bool started = StartXModemUpdate();
    while (FTimer->isActive()) {
      waits::ProcessMessages();
      waits::Sleep(kWaitStepMs);
    }
    if (!started) return false;
    FIdentityStale = true;
    // The register restarts into the new firmware and may ask to be set up:
    // set up and its settings put back, as after a DFU transfer.
    StepWindow hide{*FView};
    QString serial;
    bool setUpAnew = false;
    if (!SetUpAfterReboot(serial, &setUpAnew)) return false;
    if (serial != FSerial) {
      applog::Info(QStringLiteral("После перезагрузки ответила ККТ \"%1\" вместо \"%2\"").arg(serial, FSerial));
      return false;
    }
    RestoreSettingsAfterTransfer(rule, setUpAnew);
    if (!rule.updatetables.isEmpty() && TargetReached(rule)) WriteUpdateTables(rule);
    return true;
  } catch (...) {
    // An error ends the run: the transfer's controls must not stay locked.
    FTimer->stop();
    FView->TransferLocked(false);
    throw;
  }
}

bool TUpdateRun::StartXModemUpdate() {
  const TFWRule &rule = FRules.at(FRuleIndex);
  // A name that leads out of the working folder must not reach the driver.
  if (!FWFilePresent(FTempPath, rule.filename)) {
    Notice(run::TNotice::Plain, QStringLiteral("File: ") + FTempPath + rule.filename + QStringLiteral(" not found."));
    return false;
  }
  TDriver *drv = Driver();
  drv->setUpdateFirmwareMethod(1);
  drv->setFileName(FTempPath + rule.filename);
  const int r = drv->UpdateFirmware();
  FTimer->start();
  return r == 0;
}

void TUpdateRun::TimerTimer() {
  try {
    TDriver *drv = Driver();
    FView->Status(drv->UpdateFirmwareStatusMessage());
    if (drv->UpdateFirmwareStatus() == 1) return;
  } catch (const std::exception &e) {
    Notice(run::TNotice::Error, ExceptionMessage(e));
  }
  FTimer->stop();
  FView->TransferLocked(false);
}

// ---------------------------------------------------------------------------
// DFU

void TUpdateRun::WaitWithProgress(const QString &caption, int steps, int ms) {
  FView->WaitBegin(caption, steps);
  int value = 1;
  const std::uint64_t t0 = waits::TickCount();
  const std::uint64_t end = t0 + static_cast<std::uint64_t>(ms);
  int shownLeft = -1;
  const auto detail = [&] {
    const std::uint64_t now = waits::TickCount();
    const int left = now >= end ? 0 : static_cast<int>((end - now + 999) / 1000);
    if (left == shownLeft) return;
    shownLeft = left;
    const QString label = FWaitLabel.isEmpty() ? caption : FWaitLabel;
    FView->WaitDetail(QStringLiteral("%1 — осталось %2 с").arg(label).arg(left));
  };
  detail();
  do {
    waits::Sleep(kWaitStepMs);
    // The bar only shows that time passes; it stops at its maximum.
    value = std::min(value + 1, steps);
    FView->WaitStep(value);
    detail();
    waits::ProcessMessages();
  } while (waits::TickCount() <= end);
}

QStringList TUpdateRun::ListDfuDevices() {
  QStringList serials;
  const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
  // A missing tool is reported by name a step later, not as a failed start.
  if (!QFileInfo::exists(tool)) return serials;
  QString output;
  ExecuteAndCapture(tool, QStringList{QStringLiteral("-l")}, output);
  static const QRegularExpression serialOf(QStringLiteral("serial=\"([^\"]*)\""));
  for (const QString &line : output.split(QLatin1Char('\n')))
    if (line.contains(QStringLiteral("Found DFU"))) serials << serialOf.match(line).captured(1);
  return serials;
}

bool TUpdateRun::DfuListed(const QStringList &listed, const QString &serial) {
  return listed.contains(serial) || (listed.size() == 1 && listed.first().isEmpty());
}

bool TUpdateRun::FlashDfu() {
  if (FRuleIndex < 0 || FRuleIndex >= FRules.size()) return false;
  const TFWRule rule = FRules.at(FRuleIndex);
  TDriver *drv = Driver();

  // What the transfer needs from the working folder is looked for before
  // anything changes the register: a check that failed once it is in DFU
  // mode would leave it there. The checks after the switch stay.
  for (const QString &name : {rule.filename, QString::fromLatin1(kDfuTool)}) {
    if (!FWFilePresent(FTempPath, name)) {
      Notice(run::TNotice::Plain, QStringLiteral("File: ") + FTempPath + name + QStringLiteral(" not found."));
      return false;
    }
  }

  // Closing: nothing to save for a transfer that will not start.
  if (FStopRequested) return false;
  // Without its backup the update does not go on when the operator says so.
  if (rule.savesetting && !BackupTables()) return false;

  // Closing: the register is not switched to DFU mode. Once it is, the
  // transfer and the set-up after it run to their end.
  if (FStopRequested) return false;
  // Kept where the next start finds it, should this transfer be cut.
  // (A missing image is reported by name after the switch, as before.)
  // A transfer of this register kept from before and not finished is
  // never replaced: its image and its stage are what brings it back.
  if (const auto earlier = pending::FindForSerial(FSerial)) {
    if (earlier->stage != pending::TStage::Prepared) {
      Notice(run::TNotice::Error,
             QStringLiteral("Прерванное обновление ККТ %1 (%2) не завершено: новое обновление не начинается, пока "
                            "оно не завершено.")
                 .arg(FSerial, RuleTarget(earlier->rule)));
      return false;
    }
  }
  std::optional<pending::TPending> kept;
  if (FWFilePresent(FTempPath, rule.filename)) {
    kept = pending::Keep(FSerial, FSerial.mid(6, 4), FDeviceRef, rule, FTempPath + rule.filename);
    FJournal.TransferStart(rule, kept->image(), kept->sha256);
  }
  if (drv->SetDFUMode() != 0) {
    if (kept) pending::Remove(*kept);
    Notice(run::TNotice::Plain, QStringLiteral("Can not set DFU mode."));
    return false;
  }
  if (kept) pending::SetStage(*kept, pending::TStage::Switched);
  // From here the register's identity is whatever the transfer leaves.
  FIdentityStale = true;

  {
    WaitWindow hide{*FView};
    WaitWithProgress(QStringLiteral("Прошивка"), 45, kFlashingWaitMs);

    const QStringList listed = ListDfuDevices();

    const QString image = FTempPath + rule.filename;
    if (!FWFilePresent(FTempPath, rule.filename)) {
      FView->WaitEnd();
      Notice(run::TNotice::Plain, QStringLiteral("File: ") + image + QStringLiteral(" not found."));
      return false;
    }
    const QString tool = FTempPath + QString::fromLatin1(kDfuTool);
    if (!QFileInfo::exists(tool)) {
      FView->WaitEnd();
      Notice(run::TNotice::Plain, QStringLiteral("File: ") + tool + QStringLiteral(" not found."));
      return false;
    }

    DownloadImage(tool, image, FSerial, listed);

    WaitWithProgress(QStringLiteral("Перезагрузка"), 450,
                     rule.level == 1 ? kRebootWaitBootLoaderMs : kRebootWaitFirmwareMs);
  }

  // The same register must come back, set up again when it asks.
  {
    StepWindow hide{*FView};
    QString serial;
    bool setUpAnew = false;
    if (!SetUpAfterReboot(serial, &setUpAnew, kept ? &*kept : nullptr)) return false;
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

bool TUpdateRun::DownloadImage(const QString &tool, const QString &image, const QString &serial,
                               QStringList listed) {
  for (int attempt = 1;; ++attempt) {
    // Every download is aimed at its own register: with several in DFU mode
    // by its serial, and never at another one.
    QStringList args{QStringLiteral("-D"), image};
    if (!listed.isEmpty() && !DfuListed(listed, serial)) {
      FJournal.TransferEnd(false, QStringLiteral("not listed: ") + serial, attempt);
      Notice(run::TNotice::Plain,
             QStringLiteral("ККТ %1 не найдена среди устройств в режиме загрузки (найдены: %2). Прошивка не записана.")
                 .arg(serial, listed.join(QStringLiteral(", "))));
      return false;
    }
    if (listed.size() > 1) args = QStringList{QStringLiteral("-S"), serial} + args;
    QString output;
    // The image path goes as one argument, so a path with blanks arrives whole.
    ExecuteAndCapture(tool, args, output);
    const bool done = output.toUpper().contains(QStringLiteral("DONE"));
    FJournal.TransferEnd(done, output, attempt);
    if (done) return true;
    Notice(run::TNotice::Plain, QStringLiteral("Не удалось загрузить прошивку в ККТ.\r\n") + output);
    // A register still in its boot-loader can take the image again; one that
    // is gone from the bus cannot.
    if (attempt > kMoreTries || FStopRequested) return false;
    listed = ListDfuDevices();
    if (!DfuListed(listed, serial)) return false;
    if (!Ask(run::TQuestion::RetryDownload, QString(), QStringLiteral("Повторить загрузку прошивки?"))) return false;
  }
}

bool TUpdateRun::SetUpAfterReboot(QString &serial, bool *setUpAnew, pending::TPending *kept) {
  TDriver *drv = Driver();
  StepWindow hide{*FView};
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
  FView->StepBegin(QStringLiteral("Настройка"));
  auto fail = [&](int code) {
    FJournal.Setup(true, false, code);
    // A register left asking for its set-up takes no sale: said in the
    // closing box (the run does not wait on a box that asks nothing).
    const QString text = QStringLiteral("Не удалось настроить ККТ после загрузки прошивки (код %1): %2")
                             .arg(code)
                             .arg(drv->ResultCodeDescription());
    FResult.notes << text;
    FResult.warnings << text;
    FResult.failed = true;
    return false;
  };
  // Marked before the reset: a program killed from here on leaves a register
  // with reset tables, and the next one restores them without asking.
  if (kept && kept->stage != pending::TStage::SetUp) pending::SetStage(*kept, pending::TStage::SetUp);
  int r = drv->ResetSettings();
  if (r == 147) r = drv->ResetSettings();
  if (r != 0) return fail(r);
  // Reset: the administrator's password is the maker's again, for the
  // driver's calls that name none as well.
  SetTablesPassword(kSysAdminPassword);
  drv->setPassword(kSysAdminPassword);
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

void TUpdateRun::RestoreSettingsAfterTransfer(const TFWRule &rule, bool setUpAnew) {
  // The set-up wiped every table: the run's snapshot is written back even
  // after a transfer whose rule keeps no settings; without one the closing
  // box says the settings were reset.
  const bool haveSnapshot = TablesRunSnapshotTaken();
  if (rule.savesetting || (setUpAnew && haveSnapshot)) {
    QList<TCellNotRestored> cells;
    const bool restored = RestoreTablesAfterUpdate(&cells, &FResult.notes);
    if (!restored) FResult.settingsNotRestored = true;
    // Every restore of the run writes the whole snapshot back: what the last
    // one could not put back is what stays lost.
    if (restored) FResult.cellsNotRestored = cells;
    FJournal.Tables(restored, cells);
  } else if (setUpAnew && !rule.savesetting) {
    FResult.settingsResetNoCopy = true;
  }
}

void TUpdateRun::WriteUpdateTables(const TFWRule &rule) {
  TDriver *drv = Driver();
  FView->StepBegin(QStringLiteral("Обновление таблиц"));
  QStringList failed;
  for (const TUpdateTable &cell : rule.updatetables) {
    drv->setPassword(TablesPassword());
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
  // The snapshot on disk takes them too: a restore after the run must not
  // undo what the rule set.
  QString notKept;
  if (failed.size() < rule.updatetables.size() && !KeepRunCellsInSnapshot(&notKept)) {
    FResult.notes << QStringLiteral("Снимок таблиц не дополнен ячейками правила: ") + notKept;
    FResult.warnings << FResult.notes.last();
  }
  FView->StepEnd();
  applog::Info(QStringLiteral("Записаны ячейки правила: %1 из %2")
                   .arg(rule.updatetables.size() - failed.size())
                   .arg(rule.updatetables.size()));
  // The update itself succeeded; cells that did not take are reported, not
  // dropped, at the end of the run: the chain does not wait for anyone.
  if (!failed.isEmpty()) {
    FResult.notes << QStringLiteral("Не удалось записать ячейки таблиц:\r\n") + failed.join(QStringLiteral("\r\n"));
    FResult.warnings << FResult.notes.last();
  }
}

// ---------------------------------------------------------------------------
// The tables steps

bool TUpdateRun::RegisterAsksForSetUp() {
  const int rc = Driver()->ReadSerialNumber();
  return rc == 116 || rc == 120 || rc == 121;
}

bool TUpdateRun::BackupTables() {
  QString data;
  // The run's first backup saves the snapshot; a later pass keeps it (the
  // register may have been set up anew since) and only verifies against it.
  // An error of the save ends the run; a stop by the operator ends the update.
  // A register that asks for its set-up holds reset tables: saving them
  // would put defaults in place of the settings the snapshot still has.
  if (RegisterAsksForSetUp()) {
    const QString text = QStringLiteral("ККТ %1 ожидает настройки: её таблицы не сохранялись, используется снимок, "
                                        "снятый раньше.")
                             .arg(FSerial);
    applog::Info(text);
    FResult.notes << text;
    return true;
  }
  if (!TablesRunSnapshotTaken()) {
    if (!SaveTables(data)) return false;
    FJournal.NoteSaved(static_cast<int>(
        QJsonDocument::fromJson(data.toUtf8()).object().value(QStringLiteral("fields")).toArray().size()));
  }
  QString raised;
  const bool verified = VerifyTables(&raised);
  FJournal.NoteVerified(verified);
  // The report goes into the closing box: the chain does not wait on it.
  if (!verified) {
    QString text = raised;
    try {
      if (text.isEmpty()) GetVerifyError(text);
    } catch (...) {
      // The report is a courtesy; the transfer goes on without it.
    }
    if (!text.isEmpty()) {
      FResult.notes << text;
      FResult.warnings << text;
    }
  }
  return true;
}
