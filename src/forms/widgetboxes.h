#pragma once
// The real message boxes of the window: the presenter of the box seam.
#include <QString>

class QWidget;

namespace msgbox {

// Makes the real boxes the presenter (once; later calls change nothing).
void InstallWidgetBoxes();

// Information icon, OK, without a modal loop: the caller goes on while the box
// is open. The answerer is told of it as of any box; the box itself is shown
// all the same (it waits for nobody) and deletes itself when closed. Returns
// the box, owned by parent.
QWidget *ShowInformationModeless(QWidget *parent, const QString &text);

}  // namespace msgbox
