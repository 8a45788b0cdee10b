#pragma once
// The main window: start-up and package preparation, the key commands, the
// update run and the firmware transfer.
#include <QComboBox>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/pending.h"
#include "app/runjournal.h"
#include "rules/fwplan.h"
#include "rules/fwrules.h"

class QProgressDialog;
class TLogForm;

// How the last update run ended.
enum class TRunEnd {
  None,        // no run yet, or one still under way
  Latest,      // closing message "Установлена последняя версия ПО."
  NotUpdated,  // closing message "ПО не было обновлено." (declined, failed or not confirmed)
  NoLink,      // no logical devices could be listed
  NotChosen,   // the device choice was cancelled
  Busy,        // another copy holds the register's port
  Refused,     // unsupported model, wrong mode, unreadable boot-loader
  Error,       // an error ended the run
  Stopped,     // a termination signal ended the run
};

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget *parent = nullptr);
  ~TMainForm() override;

  // The package URL used when no "url.txt" replaces it.
  static QString DefaultPackageUrl();
  // Where the built-in package is read from: the resource ":/ARHIVE"; tests
  // point it at a package file of their own.
  static void SetBuiltInPackageForTests(const QString &path);
  // A package named on the command line: used in place of the built-in one,
  // and no newer package is looked for. Empty: back to the usual way.
  static void UsePackageFile(const QString &path);

  // Controls and components.
  QComboBox *cbMethod = nullptr;
  QPushButton *CheckConnectButton = nullptr;
  QPushButton *DrvSetButton = nullptr;
  QTimer *Timer = nullptr;

  // Fields shared by the start-up, the run and the transfer.
  QString FTempPath;          // the working folder, with a trailing separator
  bool FNoUpdDialog = false;
  bool FRefuseUpdate = false;
  int FRuleIndex = -1;
  QString FSerial;
  TECRFwInfo FECRData;
  TFWRules FRules;
  QString FPackageUrl;
  // Why no rules are in force (the rules file missing or rejected); empty once
  // a rules set, even an empty one, has loaded.
  QString FRulesProblem = QStringLiteral("File: rules.json not found.");

  // Hooks filled by later work; empty ones do nothing.
  std::function<void()> RestoreTablesHook;          // Ctrl+Alt+T
  std::function<bool()> BackupTablesHook;           // before the switch to DFU mode; false: stop
  std::function<bool()> RestoreAfterUpdateHook;     // after the serial check; false: settings not restored
  std::function<bool()> RunSnapshotTakenHook;       // the run has its tables snapshot
  std::function<void()> BeginRunHook;               // the update run starts
  std::function<void()> EndRunHook;                 // ... and ends
  std::function<bool()> ChooseDeviceHook;           // true: go on with the chosen device

  // How the last run ended, and how many transfers it completed.
  TRunEnd FRunEnd = TRunEnd::None;
  int FInstalled = 0;

  // The start-up's second half (loading the rules) for a program that shows
  // no window.
  void ShowWithoutWindow();

  bool runInProgress() const { return FRunning; }
  // The update journal of the run under way.
  TRunJournal &Journal() { return FJournal; }

  // Held by every long operation (the update run, a tables save, verify or
  // restore) for as long as it runs: closing the window is refused meanwhile,
  // and after a termination signal the window closes (and its working folder
  // goes) only once the last guard is released.
  class TOperationGuard {
   public:
    explicit TOperationGuard(TMainForm &form);
    ~TOperationGuard();
    TOperationGuard(const TOperationGuard &) = delete;
    TOperationGuard &operator=(const TOperationGuard &) = delete;

   private:
    TMainForm &f;
  };
  bool operationInProgress() const { return FOperations > 0; }
  // A termination signal has arrived: no new step that changes the register
  // may start; the operation under way finishes what must not be cut.
  bool stopRequested() const { return FStopRequested; }
  // What a termination signal does (count: signals so far).
  void TerminationRequested(int sig, int count);

  // The update run (the connect button) and the driver's settings (the other button).
  void CheckConnectButtonClick();
  void DrvSetButtonClick();

  // The context menu (right click, the Menu key): its entries in the order
  // added, each disabled while a run or a tables operation is in progress.
  // A caption may name its key command after a tab ("…\tCtrl+Alt+O").
  void AddMenuEntry(const QString &caption, std::function<void()> action);
  // Commands of the menu besides the key commands.
  void ShowJournal();  // the log window with the newest lines of the log
  void SaveJournal();  // a copy of the log file where the operator chooses
  TLogForm *JournalForm() const { return FJournalForm.get(); }

 protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;

 private:
  // Start-up.
  void FormCreate();
  void FormShow();
  bool FormKeyUp(int key, Qt::KeyboardModifiers modifiers);  // true: a key command
  static bool IsKeyCommand(int key, Qt::KeyboardModifiers modifiers);  // Ctrl+Alt+O or T
  // A run, a tables operation or anything else that must not be interrupted.
  bool CommandsBlocked() const;
  void RestoreTablesCommand();  // Ctrl+Alt+T
  void MakeMenuEntries();
  void ReadPackageUrl(QString &url);
  QString DownloadedRulesProblem() const;  // empty: the downloaded rules load
  bool ShowDownloadProgress(qint64 received, qint64 total);  // false: cancel
  bool ShowCheckProgress(bool over);                         // false: cancel
  void MakeWorkFolder();
  void ExtractBuiltInPackage();
  void UnpackPackage();
  void DecipherPackage();
  void LoadRulesManually();
  void RemoveWorkFolder();
  void CloseWhenIdle();
  void CloseRefusalNotice();

  // The run.
  int UpdateDevice();
  bool FindRule(int level);
  bool VerifyUpdate();
  void ReadIdentity();

  // The transfer.
  bool FlashFirmware();
  bool FlashDfu();
  bool FlashXModem();
  bool StartXModemUpdate();
  bool ListDfuDevices();
  void TimerTimer();
  // The wait window with its caption and a bar of that many steps, for ms.
  void WaitWithProgress(const QString &caption, int steps, int ms);
  void WriteUpdateTables(const TFWRule &rule);

  // An interrupted transfer (recovery.cpp).
  void RecoverPending();
  bool RedownloadPending(pending::TPending &p);
  bool FinishAfterReboot(pending::TPending &p, bool writeCells);
  bool TargetReached(const TFWRule &rule);
  // The download, asked again while the register stays in its boot-loader.
  bool DownloadImage(const QString &tool, const QString &image);
  // The serial check after the reboot, with the set-up the register asks for;
  // false: a set-up step failed.
  // setUpAnew: the register asked for set-up and was reset.
  bool SetUpAfterReboot(QString &serial, bool *setUpAnew = nullptr);
  // After the serial check: the snapshot written back, or the loss noted.
  void RestoreSettingsAfterTransfer(const TFWRule &rule, bool setUpAnew);

  // Rules applied in the current run with the identity they were chosen for:
  // no pass applies the same rule to the same identity twice.
  TFWRuleHistory FApplied;
  TRunJournal FJournal;
  pending::TDeviceRef FDeviceRef;
  bool FShown = false;
  // The run's settings: not restored after an update, or reset by the
  // set-up after an update with no copy taken.
  bool FSettingsNotRestored = false;
  bool FSettingsResetNoCopy = false;
  bool FRunning = false;
  int FOperations = 0;
  std::unique_ptr<QProgressDialog> FDownloadForm;
  std::unique_ptr<QProgressDialog> FCheckForm;
  QElapsedTimer FCheckClock;
  bool FStopRequested = false;
  // The notice that closing is refused; modeless, so that the operation goes
  // on under it, and closed when the last operation ends.
  QPointer<QWidget> FCloseNotice;
  bool FRefusingClose = false;  // the refusal box is open

  struct TMenuEntry {
    QString caption;
    std::function<void()> action;
  };
  QList<TMenuEntry> FMenuEntries;
  std::unique_ptr<TLogForm> FJournalForm;
  // The key command already run on its key's press: its release is not a second one.
  int FKeyCommandPressed = 0;
};

// The model codes of the registers this program updates; a serial number
// carries its model code at characters 7 to 10.
extern const QStringList SupportedModelCodes;
bool IsSupportedModel(const QString &serial);
