#pragma once
// The chain of passes an update run would make if every offer were accepted
// and every transfer installed what its rule says. Used by the package tool to
// show what a rules file does, and by the run to refuse a rule that would be
// applied again to the identity it was already applied to (an endless run).
#include <QList>
#include <QString>

#include "rules/fwrules.h"

// Equal as far as the choice of a rule is concerned (the date is only shown).
bool SameFwIdentity(const TECRFwInfo &a, const TECRFwInfo &b);

// The rules applied so far in one run, each with the identity it was chosen for.
class TFWRuleHistory {
 public:
  // True when Rule was already applied to an identity equal to Info.
  bool Seen(int Rule, const TECRFwInfo &Info) const;
  void Add(int Rule, const TECRFwInfo &Info);
  void Clear() { FApplied.clear(); }

 private:
  struct TApplied {
    int rule;
    TECRFwInfo info;
  };
  QList<TApplied> FApplied;
};

// What the identity becomes once the rule's image is installed.
TECRFwInfo InstalledBy(const TFWRule &Rule, const TECRFwInfo &Info);

enum class TPlanStop {
  Nothing,     // the last pass found no rule: the run ends
  Repeat,      // the last pass would apply a rule again to the same identity
  NoLoader,    // the last pass starts with an unreadable boot-loader (-1): the run refuses it
  Limit,       // MaxPasses passes made without an end
};

struct TPlanPass {
  TECRFwInfo identity;      // read at the start of the pass; both levels use it
  int bootloaderRule = -1;  // index in the rules, or -1
  int firmwareRule = -1;
  TECRFwInfo result;        // the identity after the pass
  // For the stopping pass of a Repeat: the rule that would be applied again.
  int repeatedRule = -1;
};

struct TPlan {
  int bootloader = -1;      // FindFWRule for the given identity, level 1
  int firmware = -1;        // and level 2
  // For Nothing, Repeat and NoLoader the last pass is the one where the chain
  // stops; it applies nothing.
  QList<TPlanPass> passes;
  TPlanStop stop = TPlanStop::Nothing;
};

TPlan PlanPasses(const TECRFwInfo &Info, const TFWRules &Rules, int MaxPasses = 1000);

// "nothing", "repeat", "no-loader", "limit".
QString PlanStopName(TPlanStop Stop);
