#pragma once
// For the targets whose parser drives windows (they link the forms).
#include <QApplication>

namespace fuzz {

// The targets whose parser drives windows: one offscreen application per
// process, made on first use.
inline void App() {
  static int argc = 1;
  static char name[] = "fuzz";
  static char *argv[] = {name, nullptr};
  static QApplication *app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  (void)app;
}

}  // namespace fuzz
