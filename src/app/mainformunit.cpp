#include "app/mainformunit.h"
#include "forms/designfonts.h"
#include "forms/centre.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "forms/filedialog.h"
#include "common/msgbox.h"
#include "common/waits.h"
#include "common/signals.h"
#include "forms/logformunit.h"
#include "forms/selectldformunit.h"
#include "package/newpackage.h"
#include "package/signature.h"
#include "app/historyform.h"
#include "app/windowview.h"
#include "device/untDriver.h"
#include "forms/tableswindows.h"
#include "forms/widgetboxes.h"
#include "run/startup.h"
#include "tables/tablesfunc.h"

namespace {

const char kCloseRefused[] = "Идёт обновление ПО ККТ. Закройте программу после его окончания.";

// The window that answers termination signals (the last one made).
TMainForm *g_signalTarget = nullptr;

}  // namespace

TMainForm::TMainForm(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("MainForm"));
  // Fixed dialog frame with only the system menu.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(designfonts::DialogFont(8));
  setFixedSize(561, 53);
  setWindowTitle(QStringLiteral("MainForm"));

  cbMethod = new QComboBox(this);
  cbMethod->setObjectName(QStringLiteral("cbMethod"));
  cbMethod->addItems({QStringLiteral("DFU"), QStringLiteral("XModem")});
  cbMethod->setCurrentIndex(0);
  cbMethod->setGeometry(8, 10, 81, 21);

  CheckConnectButton = new QPushButton(QStringLiteral("Проверить соединение с ККТ"), this);
  CheckConnectButton->setObjectName(QStringLiteral("CheckConnectButton"));
  CheckConnectButton->setGeometry(96, 8, 374, 25);
  connect(CheckConnectButton, &QPushButton::clicked, this, &TMainForm::CheckConnectButtonClick);

  DrvSetButton = new QPushButton(QStringLiteral("Настройка"), this);
  DrvSetButton->setObjectName(QStringLiteral("DrvSetButton"));
  DrvSetButton->setGeometry(476, 8, 75, 25);
  connect(DrvSetButton, &QPushButton::clicked, this, &TMainForm::DrvSetButtonClick);

  Timer = FRun.XModemTimer();
  Timer->setObjectName(QStringLiteral("Timer"));

  // The window shows its boxes and the tables operations' windows itself.
  msgbox::InstallWidgetBoxes();
  tablesview::InstallTablesWindows();

  // The window sees key presses before its controls.
  qApp->installEventFilter(this);

  CentreWindow(this);

  // From the first moment: a signal during the download question or the
  // download itself must still leave no folder behind.
  g_signalTarget = this;
  SetTerminationHandler([this](int sig, int count) { TerminationRequested(sig, count); });
  RestoreTablesHook = [] { RestoreTables(); };
  MakeMenuEntries();
  InstallHistoryMenu(*this);

  FormCreate();
}

TMainForm::~TMainForm() {
  if (g_signalTarget == this) {
    g_signalTarget = nullptr;
    SetTerminationHandler({});
  }
  qApp->removeEventFilter(this);
  // A window destroyed without being closed still leaves nothing behind.
  RemoveWorkFolder();
}

void TMainForm::SetBuiltInPackageForTests(const QString &path) { startup::SetBuiltInPackagePath(path); }

QString TMainForm::DefaultPackageUrl() { return startup::DefaultPackageUrl(); }

// ---------------------------------------------------------------------------
// Start-up

void TMainForm::FormCreate() {
  FPackageUrl = DefaultPackageUrl();
  try {
    // A url.txt that cannot be read is said, and the program goes on with
    // what it has.
    try {
      const QString configured = startup::ConfiguredPackageUrl();
      if (!configured.isEmpty()) FPackageUrl = configured;
    } catch (const std::exception &e) {
      msgbox::ShowError(ExceptionMessage(e));
    }
    FTempPath = startup::MakeWorkFolder();
    const bool downloaded = CheckNewPackage(
        FPackageUrl, FTempPath + QStringLiteral("arhive.zip"),
        [this](qint64 received, qint64 total) { return ShowDownloadProgress(received, total); },
        [this](qint64 received, qint64) { return ShowCheckProgress(received < 0); });
    FCheckForm.reset();
    FDownloadForm.reset();
    // The program is closing: nothing more to prepare.
    if (FStopRequested) return;
    if (!downloaded) {
      signature::Log(QStringLiteral("Используется встроенный пакет (часть программы, подпись не проверяется)."));
      startup::CopyPackage(startup::BuiltInPackagePath(), FTempPath);
    }
    // A downloaded package that cannot be unpacked, or that brings no rules
    // the program accepts, would leave no rules at all: as for a body that is
    // no archive, the built-in package takes its place.
    // The rules are read once, here: the start's window uses what was read.
    QString problem;
    try {
      startup::UnpackAndDecipher(FTempPath);
      FRulesLoad = startup::LoadPackageRules(FTempPath);
      if (downloaded) problem = startup::RulesProblem(*FRulesLoad);
    } catch (const std::exception &e) {
      if (!downloaded) throw;
      problem = ExceptionMessage(e);
    }
    if (!problem.isEmpty()) {
      ReportNewPackageFailure(problem);
      startup::EmptyFolder(FTempPath);
      startup::CopyPackage(startup::BuiltInPackagePath(), FTempPath);
      startup::UnpackAndDecipher(FTempPath);
      FRulesLoad = startup::LoadPackageRules(FTempPath);
    }
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

bool TMainForm::ShowCheckProgress(bool over) {
  // A quick answer shows nothing; a server that keeps the program waiting
  // gets a window the operator can cancel (no offer then).
  if (over) {
    FCheckForm.reset();
    return true;
  }
  if (!FCheckClock.isValid()) FCheckClock.start();
  if (!FCheckForm && FCheckClock.elapsed() >= 1000) {
    FCheckForm = std::make_unique<QProgressDialog>();
    FCheckForm->setObjectName(QStringLiteral("CheckForm"));
    FCheckForm->setWindowTitle(QApplication::applicationName());
    FCheckForm->setLabelText(QStringLiteral("Проверка наличия нового пакета…"));
    FCheckForm->setCancelButtonText(QStringLiteral("Отмена"));
    FCheckForm->setRange(0, 0);
    FCheckForm->setMinimumDuration(0);
    FCheckForm->setAutoClose(false);
    FCheckForm->setAutoReset(false);
    FCheckForm->setMinimumWidth(360);
    connect(FCheckForm.get(), &QDialog::rejected, FCheckForm.get(), &QProgressDialog::cancel);
    FCheckForm->show();
  }
  if (FCheckForm) FCheckForm->setValue(0);
  waits::ProcessMessages();
  const bool go = !(FCheckForm && FCheckForm->wasCanceled()) && !FStopRequested;
  if (!go) FCheckForm.reset();
  return go;
}

bool TMainForm::ShowDownloadProgress(qint64 received, qint64 total) {
  // The date request is over.
  FCheckForm.reset();
  if (!FDownloadForm) {
    FDownloadForm = std::make_unique<QProgressDialog>();
    FDownloadForm->setObjectName(QStringLiteral("DownloadForm"));
    FDownloadForm->setWindowTitle(QApplication::applicationName());
    FDownloadForm->setCancelButtonText(QStringLiteral("Отмена"));
    FDownloadForm->setMinimumDuration(0);
    FDownloadForm->setAutoClose(false);
    FDownloadForm->setAutoReset(false);
    FDownloadForm->setMinimumWidth(360);
    // Esc (or the window's close box) cancels too, not only the button.
    connect(FDownloadForm.get(), &QDialog::rejected, FDownloadForm.get(), &QProgressDialog::cancel);
    FDownloadForm->show();
  }
  QProgressDialog &d = *FDownloadForm;
  const qint64 kib = 1024;
  if (total > 0) {
    d.setRange(0, static_cast<int>(std::min<qint64>(total / kib, INT_MAX)));
    d.setValue(static_cast<int>(std::min<qint64>(received / kib, d.maximum())));
    d.setLabelText(QStringLiteral("Загрузка пакета: %1 из %2 КиБ").arg(received / kib).arg(total / kib));
  } else {
    d.setRange(0, 0);  // no size announced: a busy bar
    d.setLabelText(QStringLiteral("Загрузка пакета: %1 КиБ").arg(received / kib));
  }
  waits::ProcessMessages();
  return !d.wasCanceled() && !FStopRequested;
}

void TMainForm::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (!FShown) {
    FShown = true;
    // Its boxes may open before the message loop runs: a signal meanwhile
    // closes the window only once they are done.
    TOperationGuard showing(*this);
    FormShow();
  }
}

void TMainForm::ShowWithoutWindow() {
  if (FShown) return;
  FShown = true;
  TOperationGuard showing(*this);
  FormShow();
}

void TMainForm::FormShow() {
  setWindowTitle(QApplication::applicationName() +
                 QStringLiteral(" ver. %1.%2.%3.%4")
                     .arg(TAVELIN_VERSION_MAJOR)
                     .arg(TAVELIN_VERSION_MINOR)
                     .arg(TAVELIN_VERSION_PATCH)
                     .arg(TAVELIN_VERSION_TWEAK));
  const startup::TRulesLoad load = FRulesLoad ? *FRulesLoad : startup::LoadPackageRules(FTempPath);
  FRulesLoad.reset();
  FRules = load.rules;
  FRulesProblem = load.problem;
  if (!load.problem.isEmpty()) msgbox::ShowError(FRulesProblem);
  if (load.filesMissing) msgbox::ShowError(QStringLiteral("Недостаточно файлов для работы."));
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    auto *w = qobject_cast<QWidget *>(watched);
    if (w && (w == this || isAncestorOf(w))) {
      auto *ke = static_cast<QKeyEvent *>(event);
      // A key command runs on its key's press, so a chord sent all at once
      // works too, or on the release when the press went elsewhere; never on
      // both. It is taken here once: the event a control ignores would
      // otherwise reach the window a second time.
      if (event->type() == QEvent::KeyPress) {
        // The Menu key opens the context menu wherever the focus is (not
        // every platform turns it into a context-menu request itself).
        if (ke->key() == Qt::Key_Menu) {
          if (!ke->isAutoRepeat()) {
            QContextMenuEvent request(QContextMenuEvent::Keyboard, rect().center(), mapToGlobal(rect().center()));
            QApplication::sendEvent(this, &request);
          }
          return true;
        }
        if (!ke->isAutoRepeat() && IsKeyCommand(ke->key(), ke->modifiers())) {
          // Set first: the command may open a dialog that takes the release.
          FKeyCommandPressed = ke->key();
          FormKeyUp(ke->key(), ke->modifiers());
          return true;
        }
      } else if (!ke->isAutoRepeat()) {
        if (FKeyCommandPressed != 0 && ke->key() == FKeyCommandPressed) {
          FKeyCommandPressed = 0;
          return true;
        }
        if (FormKeyUp(ke->key(), ke->modifiers())) return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool TMainForm::CommandsBlocked() const { return FRunning || FOperations > 0 || TablesOperationRunning(); }

bool TMainForm::IsKeyCommand(int key, Qt::KeyboardModifiers modifiers) {
  // Shift is not examined.
  return (modifiers & Qt::ControlModifier) && (modifiers & Qt::AltModifier) && (key == Qt::Key_O || key == Qt::Key_T);
}

bool TMainForm::FormKeyUp(int key, Qt::KeyboardModifiers modifiers) {
  if (!IsKeyCommand(key, modifiers)) return false;
  // Changing the rules or restoring tables in the middle of a transfer is
  // never what the operator wants.
  // Nor inside a tables operation, whose windows let key presses through.
  if (CommandsBlocked()) return true;
  if (key == Qt::Key_O)
    LoadRulesManually();
  else
    RestoreTablesCommand();
  return true;
}

void TMainForm::RestoreTablesCommand() {
  if (!RestoreTablesHook) return;
  // The restore counts as a run: the connect button and the key
  // commands wait for it, and the window is not closed under it.
  TOperationGuard operation(*this);
  struct Busy {
    bool &f;
    ~Busy() { f = false; }
  } busy{FRunning};
  FRunning = true;
  try {
    RestoreTablesHook();
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void TMainForm::LoadRulesManually() {
  const QString file = filedialog::GetOpenFileName(this, FTempPath);
  if (file.isEmpty()) return;
  signature::Log(QStringLiteral("Правила загружены оператором из %1 (подпись не проверяется).").arg(file));
  // Loaded aside: a file that fails leaves the rules in force as they were.
  TFWRules rules;
  if (!LoadFWRules(file, rules)) {
    // Shown as at start-up: a silent failure would let the next run report
    // "nothing to update" for a broken file.
    msgbox::ShowError(FWRulesError + QStringLiteral("\r\nПравила не заменены, действуют прежние."));
    return;
  }
  FRules = rules;
  FRulesProblem.clear();
  // The transfer takes the images from the working folder, wherever the rules
  // file lies: what is not there is named now, not after the register has
  // been switched to DFU mode.
  QStringList missing;
  for (const TFWRule &rule : FRules)
    if (!FWFilePresent(FTempPath, rule.filename) && !missing.contains(rule.filename)) missing << rule.filename;
  if (!missing.isEmpty())
    msgbox::ShowError(QStringLiteral("Недостаточно файлов для перепрошивки.\r\n") +
                      missing.join(QStringLiteral(", ")));
}

void TMainForm::closeEvent(QCloseEvent *event) {
  // Whatever is in progress still reads from the working folder and may have
  // the register half-way through an update: the window stays.
  if (FOperations > 0) {
    event->ignore();
    if (FStopRequested) return;
    // Modeless: a modal box would hold the run's waits (and the register in
    // DFU mode) until the operator answered it.
    if (FCloseNotice) {
      FCloseNotice->raise();
      FCloseNotice->activateWindow();
    } else {
      FCloseNotice = msgbox::ShowInformationModeless(this, QString::fromUtf8(kCloseRefused));
    }
    return;
  }
  RemoveWorkFolder();
  QWidget::closeEvent(event);
}

void TMainForm::CloseRefusalNotice() {
  if (FCloseNotice) FCloseNotice->close();
}

TMainForm::TOperationGuard::TOperationGuard(TMainForm &form) : f(form) { ++f.FOperations; }

TMainForm::TOperationGuard::~TOperationGuard() {
  // After a signal the window closes once the last operation is over, from
  // the event loop, when no handler of the operation is left on the stack.
  if (f.FOperations == 1) f.CloseRefusalNotice();  // nothing left to wait for
  if (--f.FOperations == 0 && f.FStopRequested)
    QMetaObject::invokeMethod(&f, [form = &f] { form->CloseWhenIdle(); }, Qt::QueuedConnection);
}

void TMainForm::TerminationRequested(int sig, int count) {
  if (count >= 2) {
    // The second signal: at once, but still without leaving the folder behind.
    RemoveWorkFolder();
    ExitForSignal(sig);
  }
  FStopRequested = true;
  FRun.RequestStop();
  // Nobody may be there to answer what is open: each modal window is closed
  // as if declined, so the operation under way can come to its end.
  for (int i = 0; i < 20; ++i) {
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || modal == this) break;
    modal->close();
    if (QApplication::activeModalWidget() == modal) {
      if (auto *dlg = qobject_cast<QDialog *>(modal))
        dlg->reject();
      else
        modal->hide();
    }
  }
  QMetaObject::invokeMethod(this, [this] { CloseWhenIdle(); }, Qt::QueuedConnection);
}

void TMainForm::CloseWhenIdle() {
  if (FOperations > 0) return;  // the last guard calls again
  // A modal loop still unwinding (a box closed above): once it has returned.
  if (QThread::currentThread()->loopLevel() > 1) {
    QTimer::singleShot(20, this, [this] { CloseWhenIdle(); });
    return;
  }
  close();
}

void TMainForm::RemoveWorkFolder() { startup::RemoveWorkFolder(FTempPath); }

// ---------------------------------------------------------------------------
// The update run

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
  FRunning = true;
  // The method and the driver's settings dialog belong to the run now: a
  // dialog opened mid-run would hold it, a method changed mid-run would
  // mix two kinds of transfer.
  for (QWidget *w : {static_cast<QWidget *>(CheckConnectButton), static_cast<QWidget *>(cbMethod),
                     static_cast<QWidget *>(DrvSetButton)})
    w->setEnabled(false);
  FRunEnd = TRunEnd::Error;
  FInstalled = 0;
  TWindowView view(*this);
  FLastRun = FRun.Run(view, cbMethod->currentIndex() == 1 ? TTransferMethod::XModem : TTransferMethod::Dfu);
  FRunEnd = FLastRun.end;
  FInstalled = FLastRun.installed;
  FRunning = false;
  for (QWidget *w : {static_cast<QWidget *>(CheckConnectButton), static_cast<QWidget *>(cbMethod),
                     static_cast<QWidget *>(DrvSetButton)})
    w->setEnabled(true);
}

void TMainForm::DrvSetButtonClick() {
  try {
    Driver()->ShowProperties();
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}
