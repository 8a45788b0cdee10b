#pragma once
// The main window: start-up and package preparation, the key commands, the
// update run and the firmware transfer.
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "rules/fwplan.h"
#include "rules/fwrules.h"

class QProgressDialog;

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

  // Hooks filled by later work; empty ones do nothing.
  std::function<void()> RestoreTablesHook;          // Ctrl+Alt+T
  std::function<bool()> BackupTablesHook;           // before the switch to DFU mode; false: stop
  std::function<void()> RestoreAfterUpdateHook;     // after the serial check
  std::function<bool()> ChooseDeviceHook;           // true: go on with the chosen device

  bool runInProgress() const { return FRunning; }

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

 protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  // Start-up.
  void FormCreate();
  void FormShow();
  bool FormKeyUp(int key, Qt::KeyboardModifiers modifiers);  // true: a key command
  void ReadPackageUrl(QString &url);
  bool ShowDownloadProgress(qint64 received, qint64 total);  // false: cancel
  bool ShowCheckProgress(bool over);                         // false: cancel
  void MakeWorkFolder();
  void ExtractBuiltInPackage();
  void UnpackPackage();
  void DecipherPackage();
  void LoadRulesManually();
  void RemoveWorkFolder();
  void CloseWhenIdle();

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
  void WaitWithProgress(int ms);
  void WriteUpdateTables(const TFWRule &rule);

  // Rules applied in the current run with the identity they were chosen for:
  // no pass applies the same rule to the same identity twice.
  TFWRuleHistory FApplied;
  bool FShown = false;
  bool FRunning = false;
  int FOperations = 0;
  std::unique_ptr<QProgressDialog> FDownloadForm;
  std::unique_ptr<QProgressDialog> FCheckForm;
  QElapsedTimer FCheckClock;
  bool FStopRequested = false;
  bool FRefusingClose = false;  // the refusal box is open
};

// The model codes of the registers this program updates; a serial number
// carries its model code at characters 7 to 10.
extern const QStringList SupportedModelCodes;
bool IsSupportedModel(const QString &serial);
