#pragma once
// What an update run did, as a value: the window shows it, the command line
// prints it and takes its exit code from it.
#include <QList>
#include <QString>
#include <QStringList>

#include "rules/fwrules.h"
#include "tables/tablesfunc.h"

// How an update run ended.
enum class TRunEnd {
  None,        // no run yet, or one still under way
  Latest,      // closing message "Установлена последняя версия ПО."
  NotUpdated,  // closing message "ПО не было обновлено." (declined, failed or not confirmed)
  NoLink,      // no logical devices could be listed
  NotChosen,   // the device choice was cancelled
  Busy,        // another copy holds the register's port
  Refused,     // unsupported model, wrong mode, unreadable boot-loader
  Error,       // an error ended the run, or settings were lost
  Stopped,     // a termination signal ended the run
};

// An interrupted transfer the run found for its device, and what became of it.
struct TRecoveryOutcome {
  QString kind;    // "dfu": the register is in its boot-loader; "finish": it answers, set-up pending
  QString serial;  // of the register the kept image is for
  QString title;   // the rule's heading
  QString target;  // what the kept image installs: "160" or "A.6/1410"
  bool asked = false;
  bool accepted = false;
  QString result;  // "done", "failed", "image damaged", "removed", empty when declined
};

struct TRunResult {
  TRunEnd end = TRunEnd::None;
  int installed = 0;  // transfers completed and confirmed or not
  QString serial;     // of the register the run worked on
  // The identity at the start of the run, and as read from the register
  // after its last change (-1 / empty when never read).
  bool identified = false;
  TECRFwInfo before{QString(), -1, -1, -1.0};
  TECRFwInfo after{QString(), -1, -1, -1.0};
  QString changes;   // "Загрузчик 155 → 160, ПО A.4 → A.6"; empty when nothing
  QString message;   // the closing message, or the reason of the refusal or the error
  // The operator declined an offer or a question: nothing else went wrong
  // when failed is false.
  bool declined = false;
  bool failed = false;  // a transfer, its set-up or its confirmation failed
  bool settingsNotRestored = false;  // the restore after an update could not be done at all
  bool settingsResetNoCopy = false;  // the set-up reset them and no copy was taken
  QList<TCellNotRestored> cellsNotRestored;
  QStringList warnings;  // every error or warning shown during the run
  // What the run had to say without stopping for it (a settings file taken
  // from its copy, the rule's cells not written): shown in the closing box.
  QStringList notes;
  QList<TRecoveryOutcome> recoveries;

  bool settingsLost() const { return settingsNotRestored || settingsResetNoCopy || !cellsNotRestored.isEmpty(); }
};
