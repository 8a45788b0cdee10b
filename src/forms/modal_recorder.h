#pragma once
// An answerer that records every modal dialog and answers from a script
// (mrOk when the script is empty). Installs itself for its lifetime.
#include <QList>
#include <QString>

#include <deque>
#include <functional>

#include "forms/modal.h"

namespace modal {

class Recorder : public Answerer {
 public:
  struct Shown {
    QString className;
    QString title;
  };

  Recorder() { SetAnswerer(this); }
  ~Recorder() override { SetAnswerer(nullptr); }
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  int answer(QDialog *dlg) override {
    shown.append({QString::fromLatin1(dlg->metaObject()->className()), dlg->windowTitle()});
    if (onShow) onShow(dlg);
    if (script.empty()) return mrOk;
    const int r = script.front();
    script.pop_front();
    return r;
  }

  // Class names of the dialogs shown, in order.
  QList<QString> classNames() const {
    QList<QString> out;
    for (const Shown &s : shown) out.append(s.className);
    return out;
  }

  QList<Shown> shown;
  std::deque<int> script;
  // Optional look at each dialog while it is "shown" (read its widgets).
  std::function<void(QDialog *)> onShow;
};

}  // namespace modal
