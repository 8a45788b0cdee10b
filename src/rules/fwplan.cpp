#include "rules/fwplan.h"

bool SameFwIdentity(const TECRFwInfo &a, const TECRFwInfo &b) {
  return a.firmware == b.firmware && a.build == b.build && a.bootloader == b.bootloader;
}

bool TFWRuleHistory::Seen(int Rule, const TECRFwInfo &Info) const {
  for (const TApplied &a : FApplied)
    if (a.rule == Rule && SameFwIdentity(a.info, Info)) return true;
  return false;
}

void TFWRuleHistory::Add(int Rule, const TECRFwInfo &Info) {
  if (!Seen(Rule, Info)) FApplied.append({Rule, Info});
}

TECRFwInfo InstalledBy(const TFWRule &Rule, const TECRFwInfo &Info) {
  TECRFwInfo out = Info;
  if (Rule.level == 1) {
    out.bootloader = Rule.blver;
  } else if (Rule.level == 2) {
    out.firmware = Rule.fwver;
    out.build = Rule.fwbuild;
    out.date = Rule.fwdate;
  }
  return out;
}

TPlan PlanPasses(const TECRFwInfo &Info, const TFWRules &Rules, int MaxPasses) {
  TPlan plan;
  plan.bootloader = FindFWRule(Info, Rules, 1);
  plan.firmware = FindFWRule(Info, Rules, 2);

  TFWRuleHistory history;
  TECRFwInfo current = Info;
  for (int n = 0; n < MaxPasses; ++n) {
    TPlanPass pass;
    pass.identity = current;
    pass.result = current;
    if (current.bootloader == -1) {
      plan.passes.append(pass);
      plan.stop = TPlanStop::NoLoader;
      return plan;
    }
    pass.bootloaderRule = FindFWRule(current, Rules, 1);
    pass.firmwareRule = FindFWRule(current, Rules, 2);
    for (int rule : {pass.bootloaderRule, pass.firmwareRule}) {
      if (rule != -1 && pass.repeatedRule == -1 && history.Seen(rule, current))
        pass.repeatedRule = rule;
    }
    plan.passes.append(pass);
    if (pass.repeatedRule != -1) {
      plan.stop = TPlanStop::Repeat;
      return plan;
    }
    if (pass.bootloaderRule == -1 && pass.firmwareRule == -1) {
      plan.stop = TPlanStop::Nothing;
      return plan;
    }
    // The firmware level is chosen with the identity read at the start of the pass.
    for (int rule : {pass.bootloaderRule, pass.firmwareRule}) {
      if (rule == -1) continue;
      history.Add(rule, current);
      pass.result = InstalledBy(Rules.at(rule), pass.result);
    }
    plan.passes.last().result = pass.result;
    current = pass.result;
  }
  plan.stop = TPlanStop::Limit;
  return plan;
}

QString PlanStopName(TPlanStop Stop) {
  switch (Stop) {
    case TPlanStop::Nothing: return QStringLiteral("nothing");
    case TPlanStop::Repeat: return QStringLiteral("repeat");
    case TPlanStop::NoLoader: return QStringLiteral("no-loader");
    case TPlanStop::Limit: return QStringLiteral("limit");
  }
  return {};
}
