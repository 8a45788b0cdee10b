#include "plan.h"

#include <nlohmann/json.hpp>

#include <optional>

#include "common/codepage.h"
#include "common/msgbox.h"
#include "rules/fwplan.h"
#include "rules/fwrules.h"

namespace {

using ojson = nlohmann::ordered_json;

const char kUsage[] =
    "Usage: tavelin-pack plan RULES.json --firmware TEXT --build N --bootloader N [--json]\n"
    "Shows the boot-loader and firmware rules that apply to the register identity, then the\n"
    "passes an update run would make if every offer were accepted and every transfer\n"
    "installed what its rule says.\n";

// The loader reports unreadable values in message boxes; here they become
// warning lines, so the command never opens a window.
class ErrAnswerer : public msgbox::Answerer {
 public:
  explicit ErrAnswerer(QTextStream &err) : err_(err) { msgbox::SetAnswerer(this); }
  ~ErrAnswerer() override { msgbox::SetAnswerer(nullptr); }
  ErrAnswerer(const ErrAnswerer &) = delete;
  ErrAnswerer &operator=(const ErrAnswerer &) = delete;
  bool answer(const msgbox::Box &box) override {
    QString text = box.text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    err_ << "plan: warning: " << text << '\n';
    return true;
  }

 private:
  QTextStream &err_;
};

struct Args {
  QString rulesFile;
  std::optional<QString> firmware;
  std::optional<int> build;
  std::optional<int> bootloader;
  bool json = false;
  bool help = false;
};

// Fills a; on a bad argument returns false with the reason.
bool ParseArgs(const QStringList &args, Args &a, QString &reason) {
  for (int i = 0; i < args.size(); ++i) {
    QString word = args.at(i);
    std::optional<QString> inlineValue;
    if (word.startsWith(QStringLiteral("--")) && word.contains(QLatin1Char('='))) {
      inlineValue = word.mid(word.indexOf(QLatin1Char('=')) + 1);
      word = word.left(word.indexOf(QLatin1Char('=')));
    }
    auto value = [&](QString &v) {
      if (inlineValue) {
        v = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        reason = QStringLiteral("%1 needs a value").arg(word);
        return false;
      }
      v = args.at(++i);
      return true;
    };
    auto number = [&](std::optional<int> &n) {
      QString v;
      if (!value(v)) return false;
      bool ok = false;
      const int x = v.toInt(&ok, 10);
      if (!ok) {
        reason = QStringLiteral("%1 takes a 32-bit decimal integer, not \"%2\"").arg(word, v);
        return false;
      }
      n = x;
      return true;
    };
    if (word == QStringLiteral("--help") || word == QStringLiteral("-h")) {
      a.help = true;
    } else if (word == QStringLiteral("--json") && !inlineValue) {
      a.json = true;
    } else if (word == QStringLiteral("--firmware")) {
      QString v;
      if (!value(v)) return false;
      a.firmware = v;
    } else if (word == QStringLiteral("--build")) {
      if (!number(a.build)) return false;
    } else if (word == QStringLiteral("--bootloader")) {
      if (!number(a.bootloader)) return false;
    } else if (word.startsWith(QLatin1Char('-')) && word.size() > 1) {
      reason = QStringLiteral("unknown option %1").arg(args.at(i));
      return false;
    } else if (a.rulesFile.isEmpty()) {
      a.rulesFile = word;
    } else {
      reason = QStringLiteral("unexpected argument \"%1\"").arg(word);
      return false;
    }
  }
  if (a.help) return true;
  if (a.rulesFile.isEmpty()) reason = QStringLiteral("the rules file is not given");
  else if (!a.firmware) reason = QStringLiteral("--firmware is not given");
  else if (!a.build) reason = QStringLiteral("--build is not given");
  else if (!a.bootloader) reason = QStringLiteral("--bootloader is not given");
  return reason.isEmpty();
}

std::string U8(const QString &s) { return s.toStdString(); }

ojson IdentityJson(const TECRFwInfo &i) {
  return {{"firmware", U8(i.firmware)}, {"build", i.build}, {"bootloader", i.bootloader}};
}

// What the rule installs, as JSON and as text.
ojson InstallsJson(const TFWRule &r) {
  if (r.level == 1) return {{"bootloader", r.blver}};
  return {{"firmware", U8(r.fwver)}, {"build", r.fwbuild}};
}

QString InstallsText(const TFWRule &r) {
  if (r.level == 1) return QStringLiteral("boot-loader %1").arg(r.blver);
  return QStringLiteral("firmware \"%1\" build %2").arg(r.fwver).arg(r.fwbuild);
}

QString IdentityText(const TECRFwInfo &i) {
  return QStringLiteral("firmware \"%1\", build %2, boot-loader %3")
      .arg(i.firmware)
      .arg(i.build)
      .arg(i.bootloader);
}

QString RuleText(const TFWRules &rules, int index) {
  if (index < 0) return QStringLiteral("none");
  const TFWRule &r = rules.at(index);
  return QStringLiteral("#%1 %2, installs %3").arg(index).arg(r.filename, InstallsText(r));
}

QString StopText(const TPlan &plan) {
  switch (plan.stop) {
    case TPlanStop::Nothing:
      return QStringLiteral("no rule applies; the run ends with \"Установлена последняя версия ПО.\"");
    case TPlanStop::Repeat:
      return QStringLiteral(
                 "rule #%1 would be applied a second time to the same identity; the update run "
                 "would repeat it without end")
          .arg(plan.passes.last().repeatedRule);
    case TPlanStop::NoLoader:
      return QStringLiteral("the boot-loader version is unreadable (-1); the run refuses the register");
    case TPlanStop::Limit:
      return QStringLiteral("no end after %1 passes").arg(plan.passes.size());
  }
  return {};
}

ojson PlanJson(const Args &a, const TFWRules &rules, const TECRFwInfo &info, const TPlan &plan) {
  ojson passes = ojson::array();
  for (int n = 0; n < plan.passes.size(); ++n) {
    const TPlanPass &p = plan.passes.at(n);
    const bool applied = plan.stop == TPlanStop::Limit || n + 1 < plan.passes.size();
    ojson pass = {{"identity", IdentityJson(p.identity)},
                  {"bootloader", p.bootloaderRule},
                  {"firmware", p.firmwareRule},
                  {"applied", applied}};
    ojson installs = ojson::object();
    if (p.bootloaderRule >= 0) installs["bootloader"] = InstallsJson(rules.at(p.bootloaderRule));
    if (p.firmwareRule >= 0) installs["firmware"] = InstallsJson(rules.at(p.firmwareRule));
    pass["installs"] = installs;
    if (applied) pass["result"] = IdentityJson(p.result);
    if (p.repeatedRule >= 0) pass["repeated"] = p.repeatedRule;
    passes.push_back(pass);
  }
  auto rule = [&](int index) -> ojson {
    if (index < 0) return nullptr;
    const TFWRule &r = rules.at(index);
    return {{"index", index}, {"file", U8(r.filename)}, {"installs", InstallsJson(r)}};
  };
  return {{"rules_file", U8(a.rulesFile)},
          {"rules", rules.size()},
          {"identity", IdentityJson(info)},
          {"bootloader", plan.bootloader},
          {"firmware", plan.firmware},
          {"bootloader_rule", rule(plan.bootloader)},
          {"firmware_rule", rule(plan.firmware)},
          {"passes", passes},
          {"stop", U8(PlanStopName(plan.stop))},
          {"stop_reason", U8(StopText(plan))}};
}

void PrintPlan(QTextStream &out, const Args &a, const TFWRules &rules, const TECRFwInfo &info,
               const TPlan &plan) {
  out << "Rules: " << a.rulesFile << " (" << rules.size() << " rules)\n";
  out << "Register: " << IdentityText(info) << '\n';
  out << "Boot-loader rule: " << RuleText(rules, plan.bootloader) << '\n';
  out << "Firmware rule: " << RuleText(rules, plan.firmware) << '\n';
  out << "Passes:\n";
  for (int n = 0; n < plan.passes.size(); ++n) {
    const TPlanPass &p = plan.passes.at(n);
    const bool applied = plan.stop == TPlanStop::Limit || n + 1 < plan.passes.size();
    out << "  " << n + 1 << ". " << IdentityText(p.identity) << ": ";
    if (!applied) {
      if (plan.stop == TPlanStop::Repeat)
        out << "rule #" << p.repeatedRule << " again, stop\n";
      else if (plan.stop == TPlanStop::NoLoader)
        out << "boot-loader unreadable, stop\n";
      else
        out << "no rule applies\n";
      continue;
    }
    QStringList parts;
    if (p.bootloaderRule >= 0)
      parts << QStringLiteral("boot-loader rule %1").arg(RuleText(rules, p.bootloaderRule));
    if (p.firmwareRule >= 0)
      parts << QStringLiteral("firmware rule %1").arg(RuleText(rules, p.firmwareRule));
    out << parts.join(QStringLiteral("; ")) << '\n';
  }
  out << "Stop: " << StopText(plan) << '\n';
}

}  // namespace

int PlanCommand(const QStringList &args, QTextStream &out, QTextStream &err) {
  Args a;
  QString reason;
  if (!ParseArgs(args, a, reason)) {
    err << "plan: " << reason << '\n' << kUsage;
    return 2;
  }
  if (a.help) {
    out << kUsage;
    return 0;
  }

  TFWRules rules;
  bool loaded;
  {
    ErrAnswerer boxes(err);
    loaded = LoadFWRules(a.rulesFile, rules);
  }
  if (!loaded) {
    // Reading failures name the file already; a rejected element does not.
    if (FWRulesError.contains(a.rulesFile))
      err << "plan: " << FWRulesError << '\n';
    else
      err << "plan: rules file " << a.rulesFile << " rejected: " << FWRulesError << '\n';
    return 1;
  }

  TECRFwInfo info;
  info.firmware = codepage::Narrow(*a.firmware);
  info.build = *a.build;
  info.bootloader = *a.bootloader;
  const TPlan plan = PlanPasses(info, rules);
  if (a.json)
    out << QString::fromStdString(PlanJson(a, rules, info, plan).dump(2)) << '\n';
  else
    PrintPlan(out, a, rules, info, plan);
  return 0;
}
