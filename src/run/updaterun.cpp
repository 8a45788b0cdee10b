// The update run: connect, identify, check, and the passes.
#include "run/updaterun.h"

#include <algorithm>

#include "rules/fwplan.h"

#include <QTimer>

#include "common/applog.h"
#include "common/codepage.h"
#include "common/datetime.h"
#include "common/error.h"
#include "device/portlock.h"
#include "device/untDriver.h"

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

QString OfferTitle(const TFWRule &rule) {
  switch (rule.level) {
    case 1: return QStringLiteral("Загрузчик. Версия: ") + QString::number(rule.blver);
    case 2:
      return QStringLiteral("Функциональное ПО. Версия: \"") + rule.fwver + QStringLiteral("\", сборка: ") +
             QString::number(rule.fwbuild) + QStringLiteral(", дата: ") + datetime::ShortDate(rule.fwdate);
    default: return QString();
  }
}

QString RuleTarget(const TFWRule &rule) {
  return rule.level == 1 ? QString::number(rule.blver) : rule.fwver + QLatin1Char('/') + QString::number(rule.fwbuild);
}

namespace {

// The boot-loader version as the driver gives it: decimal text.
int LoaderVersionToInt(const QString &text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok, 10);
  if (!ok) throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return v;
}

const char kNotUpdated[] = "ПО не было обновлено.";
const char kLatest[] = "Установлена последняя версия ПО.";

}  // namespace

TUpdateRun::TUpdateRun() : FTimer(std::make_unique<QTimer>()) {
  FTimer->setInterval(500);
  QObject::connect(FTimer.get(), &QTimer::timeout, [this] { TimerTimer(); });
}

TUpdateRun::~TUpdateRun() = default;

void TUpdateRun::Notice(run::TNotice kind, const QString &text, const QString &caption) {
  if (kind != run::TNotice::Information) FResult.warnings << text;
  FView->Notice(kind, caption, text);
}

bool TUpdateRun::Ask(run::TQuestion question, const QString &caption, const QString &text) {
  const bool yes = FView->Ask(question, caption, text);
  if (!yes) FResult.declined = true;
  return yes;
}

TRunResult TUpdateRun::Run(run::TView &view, TTransferMethod method) {
  if (FView) return {};  // never a run inside a run
  FView = &view;
  FMethod = method;
  FResult = TRunResult();
  FResult.end = TRunEnd::Error;
  FNoUpdDialog = false;
  FTransfersPlanned = 0;
  FTransferNo = 0;
  FWaitLabel.clear();
  FRefuseUpdate = false;
  FIdentityStale = false;
  FApplied.Clear();
  FJournal = TRunJournal();
  FJournal.SetView(&view);
  BeginTablesRun();
  applog::Info(QStringLiteral("Проверка соединения с ККТ"));
  try {
    RunSteps();
  } catch (const std::exception &e) {
    FResult.end = TRunEnd::Error;
    FResult.message = ExceptionMessage(e);
    try {
      RefreshIdentity();
    } catch (...) {
      // The register's state stays as last read.
    }
    view.RunEnding();
    FJournal.End(QStringLiteral("error"), FResult.message);
    Notice(run::TNotice::Error, FResult.message);
  }
  if (FResult.end == TRunEnd::Stopped) {
    try {
      RefreshIdentity();
    } catch (...) {
    }
    if (FResult.message.isEmpty()) FResult.message = QStringLiteral("Обновление прервано сигналом завершения.");
  }
  FJournal.End(QStringLiteral("ended"), FResult.message);
  EndTablesRun();
  FResult.serial = FSerial;
  FResult.identified = FJournal.started();
  if (FJournal.started()) {
    FResult.before = FJournal.first();
    FResult.after = FJournal.last();
    FResult.changes = FJournal.Changes();
  }
  FJournal.SetView(nullptr);
  FView = nullptr;
  return FResult;
}

void TUpdateRun::RefreshIdentity() {
  // A transfer since the identity was last read: what the register reports
  // now is what the run leaves behind, not what it found.
  if (!FIdentityStale || !FJournal.started()) return;
  FIdentityStale = false;
  if (Driver()->GetECRStatus() != 0) return;
  ReadIdentity();
  FJournal.Identity(FSerial, FECRData);
}

void TUpdateRun::RunSteps() {
  TDriver *drv = Driver();
  if (drv->GetCountLD() != 0) {
    FResult.end = TRunEnd::NoLink;
    FResult.message = QStringLiteral("Драйвер не перечислил логические устройства: ") + drv->ResultCodeDescription();
    return;
  }
  if (drv->LDCount() >= 2 && !FView->ChooseDevice()) {
    FResult.end = TRunEnd::NotChosen;
    FResult.message = QStringLiteral("Логическое устройство не выбрано.");
    return;
  }
  // One register, one copy, for the whole run (the recovery of a cut
  // transfer included): another copy's offer, its transfer or its snapshot
  // must not cross this one's.
  TPortLock portLock;
  const int port = ActiveDevicePort();
  if (port > 0 && !portLock.TryLock(port)) {
    FResult.end = TRunEnd::Busy;
    FResult.message = portLock.BusyText();
    FView->Notice(run::TNotice::Information, QString(), FResult.message);
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
      FResult.end = TRunEnd::Stopped;
      return;
    }
    if (drv->GetECRStatus() != 0) {
      Notice(run::TNotice::Error, QStringLiteral("Не удалось соединиться с ККТ"));
      FRefuseUpdate = true;
      FResult.failed = true;
      break;
    }
    ReadIdentity();
    FJournal.Identity(FSerial, FECRData);
    if (FTransfersPlanned == 0) {
      for (const TPlanPass &p : PlanPasses(FECRData, FRules).passes)
        FTransfersPlanned += (p.bootloaderRule >= 0) + (p.firmwareRule >= 0);
    }
    FResult.end = TRunEnd::Refused;
    if (!IsSupportedModel(FSerial)) {
      FResult.message = QStringLiteral("Модель ККТ %1 не поддерживается.").arg(FSerial.mid(6, 4));
      FView->Unsupported();
      return;
    }
    if (drv->ECRMode() != 4) {
      // The mode named once, as the register reported it.
      FResult.message =
          QStringLiteral("ККТ на связи. Однако в данном режиме перепрошивка невозможна.\r\nРежим: ") +
          drv->ECRModeDescription();
      Notice(run::TNotice::Error, FResult.message);
      return;
    }
    if (FECRData.bootloader == -1) {
      FResult.message =
          QStringLiteral("ККТ на связи. Однако не удалось прочитать версию загрузчика, прошивка невозможна.");
      Notice(run::TNotice::Error, FResult.message);
      return;
    }
    FResult.end = TRunEnd::Error;
    if (UpdateDevice() == 0) break;
  }
  if (FStopRequested) {
    FResult.end = TRunEnd::Stopped;
    return;
  }
  Close();
}

void TUpdateRun::Close() {
  RefreshIdentity();
  // A register left asking for its set-up takes no sale, whatever its
  // version: no success is claimed for it (a failed set-up has said so).
  const bool asksSetUp = !FResult.failed && RegisterAsksForSetUp();
  FView->RunEnding();  // the register is left alone from here: nothing to wait for
  // An interrupted update left unfinished (declined, or failed on its way)
  // is no "latest" either, whatever the passes after it found.
  bool recoveryOpen = false;
  for (const TRecoveryOutcome &r : FResult.recoveries)
    if (r.asked && (!r.accepted || r.result != QLatin1String("done"))) recoveryOpen = true;
  if (recoveryOpen || FResult.failed) FRefuseUpdate = true;
  FResult.end = FRefuseUpdate ? TRunEnd::NotUpdated : TRunEnd::Latest;
  const QString closing = QString::fromUtf8(FRefuseUpdate ? kNotUpdated : kLatest);
  // What changed goes under the closing message; settings the update took
  // away are said after it, and then the box claims no success.
  QString text = closing;
  const QString changes = FJournal.Changes();
  if (!changes.isEmpty()) text += QStringLiteral("\r\n") + changes;
  QString settings;
  if (FResult.settingsNotRestored) settings += QStringLiteral("\r\nНастройки ККТ после обновления не восстановлены.");
  if (FResult.settingsResetNoCopy)
    settings += QStringLiteral("\r\nНастройки ККТ сброшены при обновлении, копия настроек не снималась.");
  if (asksSetUp)
    settings += QStringLiteral("\r\nККТ %1 ожидает настройки: её таблицы сброшены, и прерванного обновления, которое "
                               "вернуло бы её настройки, на этом компьютере нет.")
                    .arg(FSerial);
  if (!FResult.cellsNotRestored.isEmpty()) {
    settings += QStringLiteral("\r\nНе восстановлены ячейки настроек (%1):").arg(FResult.cellsNotRestored.size());
    for (const TCellNotRestored &c : FResult.cellsNotRestored)
      settings += QStringLiteral("\r\nТаблица %1, ряд %2, поле %3 (%4): %5")
                      .arg(c.table)
                      .arg(c.row)
                      .arg(c.field)
                      .arg(c.name, c.answer);
  }
  const bool lost = !settings.isEmpty();
  if (lost && !FRefuseUpdate) FResult.end = TRunEnd::Error;  // lost settings are no success
  // What the run gathered on its way, said once at its end.
  for (const QString &note : FResult.notes) settings += QStringLiteral("\r\n") + note;
  FResult.message = closing + settings;
  // A run that only showed its plan is recorded as that, not as a failure.
  const bool plan = FView->PlanOnly() && FRefuseUpdate && FResult.declined && !FResult.failed;
  FJournal.End(plan            ? QStringLiteral("plan")
               : FRefuseUpdate ? QStringLiteral("not updated")
               : lost          ? QStringLiteral("settings not restored")
                               : QStringLiteral("latest"),
               closing + settings);
  if (settings.isEmpty())
    FView->Notice(run::TNotice::Information, QString(), text);
  else
    FView->Notice(run::TNotice::Warning, QString(), text + settings);
}

void TUpdateRun::ReadIdentity() {
  TDriver *drv = Driver();
  FSerial = ReadECRSerial(drv);
  FECRData.bootloader = drv->ReadLoaderVersion() == 0 ? LoaderVersionToInt(drv->LoaderVersion()) : -1;
  FECRData.firmware = codepage::Narrow(drv->ECRSoftVersion());
  FECRData.build = drv->ECRBuild();
  FECRData.date = drv->ECRSoftDate();
  FIdentityStale = false;
  const QString title = QStringLiteral("S/N: ") + FSerial + QStringLiteral(", Firmware version: ") +
                        FECRData.firmware + QStringLiteral(", Build: ") + QString::number(FECRData.build) +
                        QStringLiteral(", Date: ") + datetime::ShortDate(FECRData.date) +
                        QStringLiteral(" , Loader: ") + QString::number(FECRData.bootloader);
  FView->Status(title);
  applog::Info(QStringLiteral("ККТ: ") + title + QStringLiteral(", режим: ") + QString::number(drv->ECRMode()));
}

bool TUpdateRun::FindRule(int level) {
  FRuleIndex = -1;
  FRuleIndex = FindFWRule(FECRData, FRules, level);
  return FRuleIndex != -1;
}

int TUpdateRun::UpdateDevice() {
  // Offer the chosen rule (unless the operator agreed earlier in this run) and
  // transfer it. A rule met again for the same identity would flash the
  // register again and again without asking: that counts as a failure.
  enum class Outcome { Declined, Failed, Flashed };
  auto offerAndFlash = [this]() {
    // Closing: no new transfer is offered or started.
    if (FStopRequested) return Outcome::Failed;
    const TFWRule &offered = FRules.at(FRuleIndex);
    applog::Info(QStringLiteral("Правило %1: уровень %2, файл %3").arg(FRuleIndex).arg(offered.level).arg(offered.filename));
    if (!FNoUpdDialog && !FView->Offer(offered)) {
      applog::Info(QStringLiteral("Обновление отклонено"));
      FResult.declined = true;
      return Outcome::Declined;
    }
    if (!FNoUpdDialog) applog::Info(QStringLiteral("Обновление принято: ") + OfferTitle(offered));
    FNoUpdDialog = true;
    const bool firstTime = !FApplied.Seen(FRuleIndex, FECRData);
    FApplied.Add(FRuleIndex, FECRData);
    if (firstTime) {
      ++FTransferNo;
      FWaitLabel = TransferLabel(FRules.at(FRuleIndex));
      FJournal.Pass(FRules.at(FRuleIndex), FTempPath + FRules.at(FRuleIndex).filename,
                    FMethod == TTransferMethod::XModem ? QStringLiteral("xmodem") : QStringLiteral("dfu"));
    }
    if (!firstTime || !FlashFirmware()) {
      applog::Info(firstTime ? QStringLiteral("Прошивка не выполнена")
                             : QStringLiteral("Правило уже применено к этой ККТ в этом запуске"));
      FRefuseUpdate = true;
      FResult.failed = true;
      return Outcome::Failed;
    }
    ++FResult.installed;
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
          FResult.failed = true;
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
        FResult.failed = true;
        return 0;
    }
  }
  return result;
}

QString TUpdateRun::TransferLabel(const TFWRule &rule) const {
  const QString what = rule.level == 1 ? QStringLiteral("Загрузчик %1").arg(rule.blver)
                                       : QStringLiteral("Функциональное ПО %1").arg(rule.fwver);
  // A chain may take a pass more than planned (a register that answers
  // otherwise than the plan foresaw): the count follows.
  return QStringLiteral("Шаг %1 из %2: %3").arg(FTransferNo).arg(std::max(FTransfersPlanned, FTransferNo)).arg(what);
}

bool TUpdateRun::TargetReached(const TFWRule &rule) {
  TDriver *drv = Driver();
  switch (rule.level) {
    case 1:
      return drv->ReadLoaderVersion() == 0 && LoaderVersionToInt(drv->LoaderVersion()) == rule.blver;
    case 2:
      return drv->GetECRStatus() == 0 && codepage::Narrow(drv->ECRSoftVersion()) == rule.fwver &&
             drv->ECRBuild() == rule.fwbuild;
    default:
      return false;
  }
}

bool TUpdateRun::VerifyUpdate() {
  if (FRuleIndex < 0 || FRuleIndex >= FRules.size()) return false;
  const bool confirmed = TargetReached(FRules.at(FRuleIndex));
  applog::Info(confirmed ? QStringLiteral("Новая версия подтверждена") : QStringLiteral("Новая версия не подтверждена"));
  return confirmed;
}
