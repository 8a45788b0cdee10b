#pragma once
// Updates as a fleet lives them: the real program as child processes, killed
// outright (SIGKILL) at a drawn moment of any phase (the backup, a transfer,
// the set-up, the restore, a recovery), two simulated registers on one bus,
// the driver's device list saved again between programs, and settings of the
// owner's on each register. Then programs run to their end, as the fleet's
// playbook reruns them, and what a user would compare is compared against
// the registers themselves: firmware and boot-loader, every cell the owner
// set, the rule's own cells, no register left in its boot-loader or asking
// for set-up, nothing kept, and a history whose every run has an end. Every
// program that exited 0 on its own is checked at that moment too: a success
// claimed while something was lost is a failure.
#include <QString>
#include <QStringList>
#include <cstdint>

namespace killchaos {

struct Report {
  std::uint64_t seed = 0;
  int programs = 0;       // programs started
  int killed = 0;         // of them killed outright
  int listChanges = 0;    // times the device list was saved again
  QStringList steps;      // what was done, in order, to replay it
  QStringList failures;   // empty: every check passed
  QString Describe() const;
};

// binDir: the program, ostrel-sim, the component; package: the package to use.
Report Run(std::uint64_t seed, const QString &binDir, const QString &package);

}  // namespace killchaos
