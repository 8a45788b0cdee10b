#pragma once
// What the transfer and the recovery of an interrupted one share: the DFU
// tool's name and the prescribed waits.
namespace transfer {

inline constexpr char kDfuTool[] = "dfu-util-static.exe";
inline constexpr int kFlashingWaitMs = 3000;
inline constexpr int kRebootWaitBootLoaderMs = 15000;
inline constexpr int kRebootWaitFirmwareMs = 30000;

}  // namespace transfer
