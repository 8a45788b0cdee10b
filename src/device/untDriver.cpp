#include "device/untDriver.h"

namespace {
TDriver *g_driver = nullptr;  // never released: lives until the process ends
}

TDriver *Driver() {
  if (g_driver) return g_driver;
  try {
    g_driver = new TDriver(nullptr);
  } catch (Exception &e) {
    e.setMessage(QStringLiteral("Ошибка создания объекта драйвера: ") + e.message());
    throw;
  }
  return g_driver;
}

QString ReadECRSerial(TDriver *drv) {
  QString result;
  drv->setTableNumber(18);
  drv->setRowNumber(1);
  drv->setFieldNumber(1);
  if (drv->ReadTable() == 0) result = drv->ValueOfFieldString();
  return result;
}
