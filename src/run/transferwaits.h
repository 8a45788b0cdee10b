#pragma once
// What the transfer and the recovery of an interrupted one share: the DFU
// tool's name, the prescribed waits, and the guards that end a window of the
// view on every way out of a step.
#include "run/runview.h"

namespace transfer {

inline constexpr char kDfuTool[] = "dfu-util-static.exe";
inline constexpr int kFlashingWaitMs = 3000;
inline constexpr int kRebootWaitBootLoaderMs = 15000;
inline constexpr int kRebootWaitFirmwareMs = 30000;

struct WaitWindow {
  run::TView &view;
  ~WaitWindow() { view.WaitEnd(); }
};
struct StepWindow {
  run::TView &view;
  ~StepWindow() { view.StepEnd(); }
};

}  // namespace transfer
