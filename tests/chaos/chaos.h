#pragma once
// Randomized update runs with faults: the real main window offscreen, the
// simulator component as its driver, the DFU stand-in as a child process, a
// virtual clock and scripted answers. One seed gives one run: random changes
// of settings cells on a fresh register, random faults, one update run, and
// the checks that no settings were lost silently, that the register was not
// left in DFU mode unreported, and that the program neither hung nor left its
// working folder behind.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace chaos {

struct Report {
  std::uint64_t seed = 0;
  QStringList changes;    // cells changed before the run, "t/r/f=value"
  QStringList faults;     // what was injected, as ostrel-sim would be told
  QStringList notReached; // faults drawn whose moment the run never reached
  QStringList boxes;      // "kind: text" of every box of the run
  // Cells lost unnamed after the operator answered Yes to the driver's
  // error prompt ("Продолжить выполнение ?"): the prompt names no cell.
  QStringList afterPrompt;
  QStringList failures;   // empty: the run passed its checks
  bool claimedSuccess = false;
  bool restored = false;  // Ctrl+Alt+T was needed and done
  // A second program was started on the register after the first run left
  // it stranded (killed, cut, unplugged, half set up).
  bool recoveryRun = false;
  bool killed = false;    // the first program was killed part-way
  bool stranded = false;  // left in DFU mode or half set up after the recovery
  int silentLosses = 0;   // cells lost without a word
  // Everything needed to replay and read the run.
  QString Describe() const;
};

// The sandbox for runs: its own temporary, program and simulator folders.
// The environment variables it sets stay for the process (one Runner at a
// time); the forms the program expects are created with it.
class Runner {
 public:
  // binDir: where the program's tools, the component and ostrel-sim lie.
  explicit Runner(const QString &binDir);
  ~Runner();
  Runner(const Runner &) = delete;
  Runner &operator=(const Runner &) = delete;

  Report Run(std::uint64_t seed);

  // Virtual time one run may take before it counts as hung.
  static constexpr std::uint64_t kRunLimitMs = 20 * 60 * 1000;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace chaos
