#pragma once
// Compact rule and identity builders for the selection and planning tables.
#include <QString>

#include "rules/fwrules.h"

inline TFWRule L1(int bootloader, int blver, const QString &file = QStringLiteral("bl.bin")) {
  TFWRule r;
  r.level = 1;
  r.bootloader = bootloader;
  r.blver = blver;
  r.filename = file;
  r.firmware = QStringLiteral("__");
  r.fwver = QStringLiteral("неизвестно");
  r.fwbuild = -1;
  return r;
}

inline TFWRule L2(const char *firmware, int build, int bootloader, const char *fwver, int fwbuild,
                  bool downallowed = false, const QString &file = QStringLiteral("fw.bin")) {
  TFWRule r;
  r.level = 2;
  r.firmware = QString::fromUtf8(firmware);
  r.build = build;
  r.bootloader = bootloader;
  r.fwver = QString::fromUtf8(fwver);
  r.fwbuild = fwbuild;
  r.downallowed = downallowed;
  r.filename = file;
  r.blver = -1;
  return r;
}

inline TECRFwInfo Ecr(const char *firmware, int build, int bootloader) {
  TECRFwInfo i;
  i.firmware = QString::fromUtf8(firmware);
  i.build = build;
  i.bootloader = bootloader;
  return i;
}
