#include "forms/painted.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>
#include <QWindow>

void ShowPainted(QWidget *w) {
  w->show();
  // The window system maps a window on its own time; until it is exposed a
  // paint goes nowhere. Wait for that, briefly, then paint at once.
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 500) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    const QWindow *handle = w->windowHandle();
    if (!handle || handle->isExposed()) break;
    QThread::msleep(2);
  }
  w->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
