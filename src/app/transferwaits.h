#pragma once
// What the transfer and the recovery of an interrupted one share: the DFU
// tool's name, the prescribed waits, and a guard that hides a window.
#include <QWidget>

namespace transfer {

inline constexpr char kDfuTool[] = "dfu-util-static.exe";
inline constexpr int kFlashingWaitMs = 3000;
inline constexpr int kRebootWaitBootLoaderMs = 15000;
inline constexpr int kRebootWaitFirmwareMs = 30000;

// Hides a modeless window on every way out of a step.
struct HideOnExit {
  QWidget *w;
  ~HideOnExit() {
    if (w) w->hide();
  }
};

}  // namespace transfer
