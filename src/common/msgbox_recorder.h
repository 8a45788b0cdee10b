#pragma once
// An answerer that records every box and answers from a script (Yes when the
// script is empty). Installs itself for its lifetime.
#include <QList>

#include <deque>

#include "common/msgbox.h"

namespace msgbox {

class Recorder : public Answerer {
 public:
  Recorder() { SetAnswerer(this); }
  ~Recorder() override { SetAnswerer(nullptr); }
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  bool answer(const Box &box) override {
    boxes.append(box);
    if (script.empty()) return true;
    const bool a = script.front();
    script.pop_front();
    return a;
  }

  // Texts of the recorded boxes of one kind, in order.
  QList<QString> texts(Kind kind) const {
    QList<QString> out;
    for (const Box &b : boxes)
      if (b.kind == kind) out.append(b.text);
    return out;
  }

  QList<Box> boxes;
  std::deque<bool> script;
};

}  // namespace msgbox
