#include "forms/modal.h"

namespace modal {

namespace {
Answerer *g_answerer = nullptr;
}

void SetAnswerer(Answerer *answerer) { g_answerer = answerer; }

int ShowModal(QDialog *dlg) {
  if (g_answerer) {
    const int r = g_answerer->answer(dlg);
    dlg->setResult(r);
    return r;
  }
  return dlg->exec();
}

}  // namespace modal
