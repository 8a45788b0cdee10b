// Program start: the main window first (it owns the taskbar entry), then the
// dialogs of the update run; the message loop runs until the main window closes.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/mainformunit.h"
#include "app/signals.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vozadozevari"));
  QApplication::setQuitOnLastWindowClosed(true);
  // Ties the windows to the installed desktop entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("example.korvalis.Tavelin"));
  // The interface is Russian whatever the desktop's language: so are the
  // standard buttons of the message boxes.
  QTranslator qtTranslator;
  if (qtTranslator.load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTranslator);

  TMainForm mainForm;
  SelectLDForm = new TSelectLDForm(&mainForm);
  UpdateForm = new TUpdateForm(&mainForm);
  RebootForm = new TRebootForm(&mainForm);
  ProrgessTForm = new TProrgessTForm(&mainForm);
  MsgForm = new TMsgForm(&mainForm);

  CloseOnTerminationSignals(&mainForm);
  mainForm.show();
  return app.exec();
}
