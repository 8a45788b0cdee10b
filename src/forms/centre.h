#pragma once
// Window placement shared by the main window and the dialogs.
#include <QScreen>
#include <QWidget>

// Centres w on its screen's available area, or on owner when it is visible.
inline void CentreWindow(QWidget *w, const QWidget *owner = nullptr) {
  QRect r = w->frameGeometry();
  if (owner && owner->isVisible())
    r.moveCenter(owner->frameGeometry().center());
  else if (const QScreen *s = w->screen())
    r.moveCenter(s->availableGeometry().center());
  else
    return;
  w->move(r.topLeft());
}
