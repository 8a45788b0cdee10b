#pragma once
// Firmware rules: the records of rules.json, the register identity, the
// loader, the files check and the choice of a rule for a register.
#include <QList>
#include <QString>

#include "common/datetime.h"

// The firmware identity of a connected register.
struct TECRFwInfo {
  QString firmware;      // 8-bit text: software version as the register reports it
  int build = 0;
  int bootloader = 0;    // -1 when unreadable
  TDateTime date = 0;    // shown only
};

// One table cell that the transfer writes after the update.
struct TUpdateTable {
  int table = 0;
  int row = 0;
  int field = 0;
  int _type = 0;         // 0: intvalue; otherwise strvalue
  int intvalue = 0;
  QString strvalue;      // 8-bit text
};
using TUpdateTables = QList<TUpdateTable>;

struct TFWRule {
  int level = 0;         // 1 boot-loader, 2 firmware
  QString filename;
  bool savesetting = false;
  int bootloader = 0;
  QString firmware;      // 8-bit text; "__" any version
  int build = 0;
  TDateTime date = 0;
  QString info;          // 8-bit text
  int blver = 0;
  QString fwver;         // 8-bit text
  int fwbuild = 0;
  TDateTime fwdate = 0;
  TUpdateTables updatetables;
  bool downallowed = false;
};
using TFWRules = QList<TFWRule>;

// The message of the last loading failure, or empty.
extern QString FWRulesError;

// Appends one rule per element of the file's "RULES" array to Rules.
bool LoadFWRules(const QString &FileName, TFWRules &Rules);
// True when FileName is a plain file name (no path) of a file in Folder (which
// ends with a separator); a link counts when it leads to a file in Folder.
bool FWFilePresent(const QString &Folder, const QString &FileName);
// True when FWFilePresent holds for the filename of every rule.
bool FWFilesExist(const QString &Folder, const TFWRules &Rules);
// Index of the rule that applies to Info at Level, or -1.
int FindFWRule(const TECRFwInfo &Info, const TFWRules &Rules, int Level);
