#pragma once
class QWidget;

// SIGTERM, SIGINT and SIGHUP (a desktop session ending) close the main window
// normally, so that its working folder is removed.
void CloseOnTerminationSignals(QWidget *mainWindow);
