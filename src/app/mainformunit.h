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
#include <optional>

#include "rules/fwplan.h"
#include "rules/fwrules.h"
#include "run/runresult.h"
#include "run/startup.h"
#include "run/updaterun.h"

class QProgressDialog;
class TLogForm;


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
  QTimer *Timer = nullptr;  // the XModem transfer's status poll (the run's)

  // The update run; the window is its view.
  TUpdateRun FRun;
  // Fields shared by the start-up and the run: the run's own.
  QString &FTempPath = FRun.FTempPath;  // the working folder, with a trailing separator
  TFWRules &FRules = FRun.FRules;
  QString FPackageUrl;
  // The package's rules as the start read them, until the window takes them.
  std::optional<startup::TRulesLoad> FRulesLoad;
  // Why no rules are in force (the rules file missing or rejected); empty once
  // a rules set, even an empty one, has loaded.
  QString FRulesProblem = QStringLiteral("File: rules.json not found.");

  // Ctrl+Alt+T: the restore of the settings tables.
  std::function<void()> RestoreTablesHook;

  // What the last run did; how it ended, and how many transfers it completed.
  TRunResult FLastRun;
  TRunEnd FRunEnd = TRunEnd::None;
  int FInstalled = 0;

  // The start-up's second half (loading the rules) for a program that shows
  // no window.
  void ShowWithoutWindow();

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
  bool ShowDownloadProgress(qint64 received, qint64 total);  // false: cancel
  bool ShowCheckProgress(bool over);                         // false: cancel
  void LoadRulesManually();
  void RemoveWorkFolder();
  void CloseWhenIdle();
  void CloseRefusalNotice();
  friend class TWindowView;

  bool FShown = false;
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

