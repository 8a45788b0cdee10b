#pragma once
// What the program makes at start for an update run, for the tests that
// drive a run in process: the run's dialogs (gone with the holder), and a
// watch on the log windows, which come and go with each tables operation.
#include <QApplication>
#include <QEvent>
#include <QListWidget>
#include <QSet>
#include <QStringList>

#include "forms/logformunit.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/updateformunit.h"

namespace apptest {

struct RunWindows {
  RunWindows() {
    UpdateForm = new TUpdateForm;
    RebootForm = new TRebootForm;
    ProrgessTForm = new TProrgessTForm;
    MsgForm = new TMsgForm;
  }
  ~RunWindows() {
    delete UpdateForm;
    delete RebootForm;
    delete ProrgessTForm;
    delete MsgForm;
    UpdateForm = nullptr;
    RebootForm = nullptr;
    ProrgessTForm = nullptr;
    MsgForm = nullptr;
  }
  RunWindows(const RunWindows &) = delete;
  RunWindows &operator=(const RunWindows &) = delete;
};

// lines: every line any log window showed while it lived, in order, once;
// text: what the last window that showed lines held, a line each.
class LogWatch : public QObject {
 public:
  LogWatch() { qApp->installEventFilter(this); }
  ~LogWatch() override { qApp->removeEventFilter(this); }
  QStringList lines;
  QString text;

 protected:
  bool eventFilter(QObject *o, QEvent *e) override {
    // Events the window gets once it is built, as it shows each line.
    const auto t = e->type();
    if (t != QEvent::Show && t != QEvent::Paint && t != QEvent::UpdateRequest && t != QEvent::LayoutRequest &&
        t != QEvent::WindowActivate && t != QEvent::Hide)
      return false;
    if (auto *w = dynamic_cast<TLogForm *>(o)) {
      QString all;
      for (int i = 0; i < w->LogLB->count(); ++i) {
        const QString l = w->LogLB->item(i)->text();
        all += l + QLatin1Char('\n');
        if (!seen_.contains(l)) {
          seen_.insert(l);
          lines << l;
        }
      }
      if (!all.isEmpty()) text = all;
    }
    return false;
  }

 private:
  QSet<QString> seen_;
};

}  // namespace apptest
