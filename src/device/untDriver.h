#pragma once
// The one driver instance of the process.
#include "device/OstrelLib_TLB.h"

class TDriver : public TOstrel {
 public:
  explicit TDriver(void *AOwner = nullptr) : TOstrel(AOwner) {}
};

// The shared instance, created on first use and never released. A failed
// creation raises OstrelError with "Ошибка создания объекта драйвера: " in
// front of the cause; the next call tries again.
TDriver *Driver();

// Serial number from table 18, row 1, field 1 (no password); empty when the
// read is refused.
QString ReadECRSerial(TDriver *drv);
