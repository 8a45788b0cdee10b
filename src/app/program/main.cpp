// Program start: the main window first (it owns the taskbar entry), then the
// dialogs of the update run; the message loop runs until the main window closes.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "state/history.h"
#include "app/mainformunit.h"
#include "app/program/cli.h"
#include "common/signals.h"
#include "common/applog.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVELIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVELIN_ASAN 1
#endif
#endif
#ifdef TAVELIN_ASAN
// Qt, fontconfig and D-Bus keep allocations for the life of the process: a
// leak scan at exit only holds the closing program for a second or two and
// then fails its exit status. ASAN_OPTIONS still overrides this.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }
#endif

namespace {

const char kApplicationName[] = "Vozadozevari";

void LogStart() {
  applog::Info(QStringLiteral("Запуск программы, версия %1.%2.%3.%4")
                   .arg(TAVELIN_VERSION_MAJOR)
                   .arg(TAVELIN_VERSION_MINOR)
                   .arg(TAVELIN_VERSION_PATCH)
                   .arg(TAVELIN_VERSION_TWEAK));
}

}  // namespace

int main(int argc, char **argv) {
  // The update journal, printed without a window and without a display.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--history") == 0) {
      QCoreApplication core(argc, argv);
      return history::PrintHistory(core.arguments().mid(1));
    }
  // The command line shows no window and needs no display: no GUI at all.
  if (WantsCommandLine(argc, argv)) {
    applog::InstallMessageHandler();
    // Output piped into a reader that stops early (| head) must never cut a
    // run short: a register would stay half-way through its update.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    WatchTerminationSignals();
    LogStart();
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return RunCommandLine(args, out, err);
  }
  applog::InstallMessageHandler();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
  QApplication::setQuitOnLastWindowClosed(true);
  // Ties the windows to the installed desktop entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("example.korvalis.Tavelin"));
  // The interface is Russian whatever the desktop's language: so are the
  // standard buttons of the message boxes.
  QTranslator qtTranslator;
  if (qtTranslator.load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTranslator);

  // Before anything else: a signal during the preparation must still end in
  // an orderly way.
  WatchTerminationSignals();
  LogStart();

  TMainForm mainForm;
  // Signalled while preparing: the window is never shown; its folder goes
  // with it.
  if (mainForm.stopRequested()) return 0;
  SelectLDForm = new TSelectLDForm(&mainForm);
  UpdateForm = new TUpdateForm(&mainForm);
  RebootForm = new TRebootForm(&mainForm);
  ProrgessTForm = new TProrgessTForm(&mainForm);
  MsgForm = new TMsgForm(&mainForm);

  mainForm.show();
  return app.exec();
}
