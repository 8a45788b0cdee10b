#pragma once
// The update run as an engine of its own: the device choice, the identity,
// the choice of rules, the passes with their DFU or XModem transfers and
// reboots, the set-up after them, the tables steps, the recovery of an
// interrupted transfer, and the run journal. It takes the person at the
// register as a view and returns what happened as a value; the window and
// the command line are two views of it.
#include <QString>
#include <memory>

#include "rules/fwplan.h"
#include "rules/fwrules.h"
#include "run/runjournal.h"
#include "run/runresult.h"
#include "run/runview.h"
#include "state/pending.h"

class QTimer;

// The model codes of the registers this program updates; a serial number
// carries its model code at characters 7 to 10.
extern const QStringList SupportedModelCodes;
bool IsSupportedModel(const QString &serial);

// The heading of a rule's update offer: "Загрузчик. Версия: 160", or
// "Функциональное ПО. Версия: "A.6", сборка: 1410, дата: …"; empty for
// another level.
QString OfferTitle(const TFWRule &rule);
// What a rule installs: "160" or "A.6/1410".
QString RuleTarget(const TFWRule &rule);

// How the firmware goes to the register.
enum class TTransferMethod { Dfu = 0, XModem = 1 };

class TUpdateRun {
 public:
  TUpdateRun();
  ~TUpdateRun();
  TUpdateRun(const TUpdateRun &) = delete;
  TUpdateRun &operator=(const TUpdateRun &) = delete;

  // What the run works from: the working folder with the unpacked package
  // (with a trailing separator) and the rules in force.
  QString FTempPath;
  TFWRules FRules;

  // One whole run on the driver's current logical device.
  TRunResult Run(run::TView &view, TTransferMethod method);

  // A termination signal: no new step that changes the register starts; the
  // step under way finishes what must not be cut.
  void RequestStop() { FStopRequested = true; }
  bool stopRequested() const { return FStopRequested; }
  bool running() const { return FView != nullptr; }

  // The XModem transfer's status poll, active while it runs.
  QTimer *XModemTimer() const { return FTimer.get(); }
  // The journal of the run under way.
  TRunJournal &Journal() { return FJournal; }

  // The state of the run under way, read by its steps.
  int FRuleIndex = -1;
  QString FSerial;
  TECRFwInfo FECRData{QString(), -1, -1, -1.0};
  bool FNoUpdDialog = false;
  bool FRefuseUpdate = false;

  // The check after a transfer or a recovery: the register reports what the
  // rule installs.
  bool TargetReached(const TFWRule &rule);

 private:
  void RunSteps();
  void Close();
  // Reads the identity again when a transfer changed it since.
  void RefreshIdentity();
  void ReadIdentity();
  bool FindRule(int level);
  int UpdateDevice();
  bool VerifyUpdate();

  // The transfer.
  bool FlashFirmware();
  bool FlashDfu();
  bool FlashXModem();
  bool StartXModemUpdate();
  void TimerTimer();
  // The devices in DFU mode the tool lists now: the serial each names
  // (empty when its line names none).
  QStringList ListDfuDevices();
  // The register with that serial is among those listed, or it is the only
  // one listed and the listing names no serial.
  static bool DfuListed(const QStringList &listed, const QString &serial);
  // The wait window with its caption and a bar of that many steps, for ms.
  void WaitWithProgress(const QString &caption, int steps, int ms);
  void WriteUpdateTables(const TFWRule &rule);
  // The download into the register with that serial, asked again while it
  // stays in its boot-loader; listed: the listing taken just before.
  bool DownloadImage(const QString &tool, const QString &image, const QString &serial, QStringList listed);
  // The serial check after the reboot, with the set-up the register asks
  // for; false: a set-up step failed. setUpAnew: the register was reset.
  // kept: the transfer's record, marked as set up before the reset.
  bool SetUpAfterReboot(QString &serial, bool *setUpAnew = nullptr, pending::TPending *kept = nullptr);
  // After the serial check: the snapshot written back, or the loss noted.
  void RestoreSettingsAfterTransfer(const TFWRule &rule, bool setUpAnew);

  // The tables steps of the run.
  bool BackupTables();  // false: stop the update
  // The register answers that it must be set up first (its tables reset).
  bool RegisterAsksForSetUp();

  // An interrupted transfer.
  void RecoverPending();
  // The registers waiting in their boot-loader with a transfer kept here.
  void RecoverInBootLoader(const QList<pending::TPending> &kept);
  void RecoverDfu(pending::TPending &p);
  bool RedownloadPending(pending::TPending &p, const QString &image);
  bool FinishAfterReboot(pending::TPending &p, bool writeCells);
  // What the operator is told of registers in their boot-loader with nothing kept.
  QString BootLoaderAdvice(const QStringList &serials) const;
  TRecoveryOutcome Outcome(const pending::TPending &p) const;
  void RecoveryDone(TRecoveryOutcome outcome, const QString &kind, const QString &answer, const QString &result);

  void Notice(run::TNotice kind, const QString &text, const QString &caption = QString());
  bool Ask(run::TQuestion question, const QString &caption, const QString &text);

  run::TView *FView = nullptr;
  TTransferMethod FMethod = TTransferMethod::Dfu;
  TRunResult FResult;
  // Rules applied in the current run with the identity they were chosen for:
  // no pass applies the same rule to the same identity twice.
  TFWRuleHistory FApplied;
  TRunJournal FJournal;
  pending::TDeviceRef FDeviceRef;
  bool FStopRequested = false;
  // The transfers of the run: planned from the identity first read, and done
  // so far; what the wait windows say of the transfer under way.
  int FTransfersPlanned = 0;
  int FTransferNo = 0;
  QString FWaitLabel;
  QString TransferLabel(const TFWRule &rule) const;
  // A transfer changed the register since its identity was last read.
  bool FIdentityStale = false;
  std::unique_ptr<QTimer> FTimer;
};
