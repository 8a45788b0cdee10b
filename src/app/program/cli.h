#pragma once
// `tavelin --update`: the update run, unattended. The run is the engine the
// window drives too; the command line is another view of it, which prints
// what happens and answers by policy, and takes its exit code from the run's
// result. It needs a QCoreApplication only.
#include <QString>
#include <QStringList>
#include <QTextStream>

// Exit codes of `tavelin --update`.
enum TUpdateExit {
  kExitLatest = 0,   // on the newest firmware the package allows (updated or already)
  kExitFailed = 1,   // the update failed; the message and the register's state are printed
  kExitNothing = 2,  // nothing done: plan only
  kExitRefused = 3,  // unsupported model, wrong mode, unreadable boot-loader
  kExitUsage = 4,    // usage or configuration error
  kExitBusy = 5,     // another copy is updating the register
};

struct TUpdateOptions {
  bool update = false;    // --update given
  bool help = false;      // --help
  bool version = false;   // --version
  int device = 0;         // --device N; 0: not given
  bool allLocal = false;  // --all-local
  bool yes = false;       // --yes
  bool json = false;      // --json
  QString package;        // --package URL|FILE
  int parallel = 0;       // --parallel [N]: registers updated at once (0: one after another)
};

// --parallel without a number, and its cap: every register of a bench at once,
// at most this many.
inline constexpr int kMaxParallel = 16;

// True when the arguments ask for the command line rather than the window.
bool WantsCommandLine(int argc, char **argv);

// Reads the arguments after the program's name. False with the reason in
// error for words it does not know or values that do not fit.
bool ParseUpdateArgs(const QStringList &args, TUpdateOptions &opt, QString &error);

// The text of --help.
QString UpdateUsage();

// Runs what the options ask; the application object exists. Returns the exit code.
int RunUpdateCommand(const TUpdateOptions &opt, QTextStream &out, QTextStream &err);

// The whole command line: parse, then --help, --version or --update.
int RunCommandLine(const QStringList &args, QTextStream &out, QTextStream &err);
