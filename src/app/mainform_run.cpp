// The update run: connect, identify, check, and the passes.
#include "app/mainformunit.h"
#include "common/applog.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "device/portlock.h"
#include "device/untDriver.h"
#include "forms/modal.h"
#include "forms/msgformunit.h"
#include "forms/updateformunit.h"
#include "rules/fwplan.h"

const QStringList SupportedModelCodes = {
    QStringLiteral("0110"), QStringLiteral("0120"), QStringLiteral("0130"), QStringLiteral("0140"),
    QStringLiteral("0150"), QStringLiteral("0160"), QStringLiteral("0170"), QStringLiteral("0180"),
    QStringLiteral("0190"), QStringLiteral("0200"), QStringLiteral("0210"), QStringLiteral("0220")};

bool IsSupportedModel(const QString &serial) {
  // Characters 7 to 10, counted from 1 (fewer when the serial is shorter).
  const QString code = serial.mid(6, 4);
  for (const QString &c : SupportedModelCodes)
    if (code == c) return true;
  return false;
}

namespace {

// The boot-loader version as the driver gives it: decimal text.
int LoaderVersionToInt(const QString &text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok, 10);
  if (!ok) throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return v;
}

}  // namespace

void TMainForm::CheckConnectButtonClick() {
  if (FRunning || FStopRequested) return;
  // Without a working folder every path of the run would be relative to
  // wherever the program was started: nothing is read from there.
  if (FTempPath.isEmpty()) {
    msgbox::ShowError(QStringLiteral("File: rules.json not found."));
    return;
  }
  // With no rules at all the run could only end with "the latest version is
  // installed", which nobody has checked.
  if (!FRulesProblem.isEmpty()) {
    msgbox::ShowError(QStringLiteral("Правила перепрошивки не загружены, обновление невозможно.\r\n") +
                      FRulesProblem);
    return;
  }
  TOperationGuard operation(*this);
  FNoUpdDialog = false;
  FRefuseUpdate = false;
  FRunning = true;
  CheckConnectButton->setEnabled(false);
  FApplied.Clear();
  FSettingsNotRestored = false;
  FSettingsResetNoCopy = false;
  FRunEnd = TRunEnd::Error;
  FInstalled = 0;
  if (BeginRunHook) BeginRunHook();
  struct EndOfRun {
    TMainForm *f;
    ~EndOfRun() {
      f->FJournal.End(QStringLiteral("ended"), QString());
      if (f->EndRunHook) f->EndRunHook();
      f->FRunning = false;
      f->CheckConnectButton->setEnabled(true);
    }
  } endOfRun{this};
  applog::Info(QStringLiteral("Проверка соединения с ККТ"));

  try {
    TDriver *drv = Driver();
    if (drv->GetCountLD() != 0) {
      FRunEnd = TRunEnd::NoLink;
      return;
    }
    if (drv->LDCount() >= 2 && ChooseDeviceHook && !ChooseDeviceHook()) {
      FRunEnd = TRunEnd::NotChosen;
      return;
    }
    // One register, one copy, for the whole run (the recovery of a cut
    // transfer included): another copy's offer, its transfer or its snapshot
    // must not cross this one's.
    TPortLock portLock;
    const int port = ActiveDevicePort();
    if (port > 0 && !portLock.TryLock(port)) {
      FRunEnd = TRunEnd::Busy;
      msgbox::ShowInformation(PortBusyText(port));
      return;
    }
    FDeviceRef = CurrentDeviceRef();
    FJournal.Begin(FDeviceRef);
    // A transfer cut on this device before is finished first.
    RecoverPending();

    FECRData = TECRFwInfo{QString(), -1, -1, -1.0};
    for (;;) {
      // Closing: no new pass, and no closing message nobody may read.
      if (FStopRequested) {
        FRunEnd = TRunEnd::Stopped;
        return;
      }
      if (drv->GetECRStatus() != 0) {
        msgbox::ShowError(QStringLiteral("Не удалось соединиться с ККТ"));
        FRefuseUpdate = true;
        break;
      }
      ReadIdentity();
      FJournal.Identity(FSerial, FECRData);
      FRunEnd = TRunEnd::Refused;
      if (!IsSupportedModel(FSerial)) {
        modal::ShowModal(MsgForm);
        return;
      }
      if (drv->ECRMode() != 4) {
        msgbox::ShowError(
            QStringLiteral("ККТ на связи. Однако в данном режиме перепрошивка невозможна.\r\nРежим: ") +
            drv->ECRModeDescription());
        return;
      }
      if (FECRData.bootloader == -1) {
        msgbox::ShowError(QStringLiteral(
            "ККТ на связи. Однако не удалось прочитать версию загрузчика, прошивка невозможна."));
        return;
      }
      FRunEnd = TRunEnd::Error;
      if (UpdateDevice() == 0) break;
    }
    if (FStopRequested) {
      FRunEnd = TRunEnd::Stopped;
      return;
    }
    CloseRefusalNotice();  // the register is left alone from here: nothing to wait for
    FRunEnd = FRefuseUpdate ? TRunEnd::NotUpdated : TRunEnd::Latest;
    const QString closing = FRefuseUpdate ? QStringLiteral("ПО не было обновлено.")
                                          : QStringLiteral("Установлена последняя версия ПО.");
    // What changed goes under the closing message; settings the update took
    // away are said after it, and then the box claims no success.
    QString text = closing;
    const QString changes = FJournal.Changes();
    if (!changes.isEmpty()) text += QStringLiteral("\r\n") + changes;
    QString settings;
    if (FSettingsNotRestored) settings += QStringLiteral("\r\nНастройки ККТ после обновления не восстановлены.");
    if (FSettingsResetNoCopy)
      settings += QStringLiteral("\r\nНастройки ККТ сброшены при обновлении, копия настроек не снималась.");
    if (!settings.isEmpty() && !FRefuseUpdate) FRunEnd = TRunEnd::Error;  // lost settings are no success
    FJournal.End(FRefuseUpdate ? QStringLiteral("not updated")
                 : settings.isEmpty() ? QStringLiteral("latest") : QStringLiteral("settings not restored"),
                 closing + settings);
    if (settings.isEmpty())
      msgbox::ShowInformation(text);
    else
      msgbox::ShowWarning(QString(), text + settings);
  } catch (const std::exception &e) {
    CloseRefusalNotice();
    FRunEnd = TRunEnd::Error;
    FJournal.End(QStringLiteral("error"), ExceptionMessage(e));
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void TMainForm::ReadIdentity() {
  TDriver *drv = Driver();
  FSerial = ReadECRSerial(drv);
  FECRData.bootloader = drv->ReadLoaderVersion() == 0 ? LoaderVersionToInt(drv->LoaderVersion()) : -1;
  FECRData.firmware = codepage::Narrow(drv->ECRSoftVersion());
  FECRData.build = drv->ECRBuild();
  FECRData.date = drv->ECRSoftDate();
  setWindowTitle(QStringLiteral("S/N: ") + FSerial + QStringLiteral(", Firmware version: ") +
                 FECRData.firmware + QStringLiteral(", Build: ") + QString::number(FECRData.build) +
                 QStringLiteral(", Date: ") + datetime::ShortDate(FECRData.date) +
                 QStringLiteral(" , Loader: ") + QString::number(FECRData.bootloader));
  applog::Info(QStringLiteral("ККТ: ") + windowTitle() + QStringLiteral(", режим: ") +
               QString::number(drv->ECRMode()));
}

bool TMainForm::FindRule(int level) {
  FRuleIndex = -1;
  FRuleIndex = FindFWRule(FECRData, FRules, level);
  return FRuleIndex != -1;
}

int TMainForm::UpdateDevice() {
  // Offer the chosen rule (unless the operator agreed earlier in this run) and
  // transfer it. A rule met again for the same identity would flash the
  // register again and again without asking: that counts as a failure.
  enum class Outcome { Declined, Failed, Flashed };
  auto offerAndFlash = [this]() {
    // Closing: no new transfer is offered or started.
    if (FStopRequested) return Outcome::Failed;
    const TFWRule &offered = FRules.at(FRuleIndex);
    applog::Info(QStringLiteral("Правило %1: уровень %2, файл %3").arg(FRuleIndex).arg(offered.level).arg(offered.filename));
    if (!FNoUpdDialog && !UpdateForm->OfferUpdate(offered)) {
      applog::Info(QStringLiteral("Обновление отклонено"));
      return Outcome::Declined;
    }
    FNoUpdDialog = true;
    const bool firstTime = !FApplied.Seen(FRuleIndex, FECRData);
    FApplied.Add(FRuleIndex, FECRData);
    if (firstTime)
      FJournal.Pass(FRules.at(FRuleIndex), FTempPath + FRules.at(FRuleIndex).filename,
                    cbMethod->currentIndex() == 1 ? QStringLiteral("xmodem") : QStringLiteral("dfu"));
    if (!firstTime || !FlashFirmware()) {
      applog::Info(firstTime ? QStringLiteral("Прошивка не выполнена")
                             : QStringLiteral("Правило уже применено к этой ККТ в этом запуске"));
      FRefuseUpdate = true;
      return Outcome::Failed;
    }
    ++FInstalled;
    return Outcome::Flashed;
  };

  int result = 0;
  if (FindRule(1)) {
    switch (offerAndFlash()) {
      case Outcome::Declined:
        FRefuseUpdate = true;
        break;
      case Outcome::Failed:
        return 0;  // the firmware level is not looked at
      case Outcome::Flashed:
        result = 1;
        if (!VerifyUpdate()) {
          result = 0;
          FRefuseUpdate = true;
        }
        break;
    }
  }

  if (FindRule(2)) {
    switch (offerAndFlash()) {
      case Outcome::Declined:
        FRefuseUpdate = true;
        return result;
      case Outcome::Failed:
        return 0;
      case Outcome::Flashed:
        if (VerifyUpdate()) return 2;
        FRefuseUpdate = true;
        return 0;
    }
  }
  return result;
}

bool TMainForm::VerifyUpdate() {
  if (FRuleIndex < 0 || FRuleIndex >= FRules.size()) return false;
  const TFWRule &rule = FRules.at(FRuleIndex);
  TDriver *drv = Driver();
  bool confirmed = false;
  switch (rule.level) {
    case 1:
      confirmed = drv->ReadLoaderVersion() == 0 && LoaderVersionToInt(drv->LoaderVersion()) == rule.blver;
      break;
    case 2:
      confirmed = drv->GetECRStatus() == 0 && codepage::Narrow(drv->ECRSoftVersion()) == rule.fwver &&
                  drv->ECRBuild() == rule.fwbuild;
      break;
    default:
      break;
  }
  applog::Info(confirmed ? QStringLiteral("Новая версия подтверждена") : QStringLiteral("Новая версия не подтверждена"));
  return confirmed;
}

void TMainForm::DrvSetButtonClick() {
  try {
    Driver()->ShowProperties();
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}
