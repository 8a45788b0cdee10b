#include <gtest/gtest.h>

#include <QTextStream>

#include <nlohmann/json.hpp>

#include "plan.h"
#include "ruledefs.h"
#include "rules/fwplan.h"
#include "rulesfile.h"

namespace {

// One expected pass: the rules applied and the identity it starts from.
struct Pass {
  int bootloader;
  int firmware;
  const char *firmwareVersion;
  int build;
  int loader;
};

struct PlanCase {
  const char *name;
  TFWRules rules;
  TECRFwInfo info;
  std::vector<Pass> passes;  // the last one is where the chain stops
  TPlanStop stop;
  int repeated = -1;
};

std::vector<PlanCase> PlanCases() {
  return {
      {"boot_loader_then_firmware_in_one_pass",
       {L1(155, 200), L2("A.4", -1, 100, "A.5", 1300)},
       Ecr("A.4", 1234, 155),
       {{0, 1, "A.4", 1234, 155}, {-1, -1, "A.5", 1300, 200}},
       TPlanStop::Nothing},
      // The firmware level of a pass still sees the old boot-loader.
      {"firmware_waits_for_the_next_pass",
       {L1(155, 200), L2("A.4", -1, 200, "A.5", 1300)},
       Ecr("A.4", 1234, 155),
       {{0, -1, "A.4", 1234, 155}, {-1, 1, "A.4", 1234, 200}, {-1, -1, "A.5", 1300, 200}},
       TPlanStop::Nothing},
      {"chain_of_firmware_rules",
       {L2("A.4", -1, 0, "A.5", 1300), L2("A.5", -1, 0, "A.6", 1400)},
       Ecr("A.4", 1234, 155),
       {{-1, 0, "A.4", 1234, 155}, {-1, 1, "A.5", 1300, 155}, {-1, -1, "A.6", 1400, 155}},
       TPlanStop::Nothing},
      {"nothing_applies", {L1(160, 200)}, Ecr("A.4", 1, 155), {{-1, -1, "A.4", 1, 155}},
       TPlanStop::Nothing},
      {"empty_rules", {}, Ecr("A.4", 1, 155), {{-1, -1, "A.4", 1, 155}}, TPlanStop::Nothing},
      // A boot-loader rule that installs the version it matches would run forever.
      {"boot_loader_rule_keeps_its_version",
       {L1(155, 155)},
       Ecr("A.4", 1, 155),
       {{0, -1, "A.4", 1, 155}, {0, -1, "A.4", 1, 155}},
       TPlanStop::Repeat,
       0},
      {"two_firmware_rules_undo_each_other",
       {L2("A.4", -1, 0, "A.5", 1300, true), L2("A.5", -1, 0, "A.4", 1234, true)},
       Ecr("A.4", 1234, 155),
       {{-1, 0, "A.4", 1234, 155}, {-1, 1, "A.5", 1300, 155}, {-1, 0, "A.4", 1234, 155}},
       TPlanStop::Repeat,
       0},
      {"unreadable_loader_at_start", {L2("__", -1, 0, "A.5", 1300)}, Ecr("A.4", 1, -1),
       {{-1, -1, "A.4", 1, -1}}, TPlanStop::NoLoader},
      // A boot-loader rule without "blver" leaves a register whose loader reads -1.
      {"boot_loader_rule_without_blver",
       {L1(155, -1)},
       Ecr("A.4", 1, 155),
       {{0, -1, "A.4", 1, 155}, {-1, -1, "A.4", 1, -1}},
       TPlanStop::NoLoader},
  };
}

TEST(PlanPasses, WalksTheChainAnUpdateRunWouldMake) {
  for (const PlanCase &c : PlanCases()) {
    SCOPED_TRACE(c.name);
    const TPlan plan = PlanPasses(c.info, c.rules);
    EXPECT_EQ(plan.bootloader, FindFWRule(c.info, c.rules, 1));
    EXPECT_EQ(plan.firmware, FindFWRule(c.info, c.rules, 2));
    EXPECT_EQ(plan.stop, c.stop);
    ASSERT_EQ(plan.passes.size(), static_cast<qsizetype>(c.passes.size()));
    for (size_t n = 0; n < c.passes.size(); ++n) {
      const TPlanPass &got = plan.passes[static_cast<qsizetype>(n)];
      const Pass &want = c.passes[n];
      SCOPED_TRACE(n + 1);
      EXPECT_EQ(got.bootloaderRule, want.bootloader);
      EXPECT_EQ(got.firmwareRule, want.firmware);
      EXPECT_TRUE(SameFwIdentity(got.identity, Ecr(want.firmwareVersion, want.build, want.loader)))
          << got.identity.firmware.toStdString() << " " << got.identity.build << " "
          << got.identity.bootloader;
      // Each applied pass leads to the identity of the next one.
      if (n + 1 < c.passes.size()) {
        EXPECT_TRUE(SameFwIdentity(got.result, plan.passes[static_cast<qsizetype>(n + 1)].identity));
      }
    }
    EXPECT_EQ(plan.passes.last().repeatedRule, c.repeated);
  }
}

TEST(PlanPasses, StopsAtThePassLimit) {
  const TFWRules rules{L2("__", -1, 0, "A.5", 1300), L2("A.5", -1, 0, "A.6", 1400),
                       L2("A.6", -1, 0, "A.7", 1500)};
  const TPlan plan = PlanPasses(Ecr("A.4", 1, 155), rules, 2);
  EXPECT_EQ(plan.stop, TPlanStop::Limit);
  ASSERT_EQ(plan.passes.size(), 2);
  EXPECT_EQ(plan.passes[1].result.firmware, QStringLiteral("A.6"));
}

TEST(TFWRuleHistory, MatchesRuleAndIdentityButNotTheDate) {
  TFWRuleHistory h;
  TECRFwInfo a = Ecr("A.4", 1234, 155);
  h.Add(2, a);
  TECRFwInfo laterDate = a;
  laterDate.date = 45000;
  EXPECT_TRUE(h.Seen(2, laterDate));
  EXPECT_FALSE(h.Seen(1, a));
  EXPECT_FALSE(h.Seen(2, Ecr("A.4", 1235, 155)));
  EXPECT_FALSE(h.Seen(2, Ecr("A.4", 1234, 156)));
  EXPECT_FALSE(h.Seen(2, Ecr("A.5", 1234, 155)));
  h.Clear();
  EXPECT_FALSE(h.Seen(2, a));
}

// The plan command over real rules files.
class PlanCommandTest : public ::testing::Test {
 protected:
  int run(const QStringList &args) {
    out_.clear();
    err_.clear();
    QTextStream out(&out_), err(&err_);
    const int rc = PlanCommand(args, out, err);
    out.flush();
    err.flush();
    return rc;
  }
  QString rulesFile() {
    return dir_.rules(R"({"level":1,"bootloader":155,"blver":200,"file":"bl.bin"},
                         {"level":2,"bootloader":200,"firmware":"A.4","file":"fw.bin",
                          "fwver":"A.5","fwbuild":1300})");
  }
  RulesDir dir_;
  QString out_, err_;
};

TEST_F(PlanCommandTest, RejectsBadArguments) {
  const QString f = rulesFile();
  const QList<QStringList> cases = {
      {},
      {f},
      {f, QStringLiteral("--firmware"), QStringLiteral("A.4"), QStringLiteral("--build"),
       QStringLiteral("1")},
      {f, QStringLiteral("--firmware"), QStringLiteral("A.4"), QStringLiteral("--build"),
       QStringLiteral("x1"), QStringLiteral("--bootloader"), QStringLiteral("155")},
      {f, QStringLiteral("--firmware"), QStringLiteral("A.4"), QStringLiteral("--build"),
       QStringLiteral("1"), QStringLiteral("--bootloader"), QStringLiteral("4294967296")},
      {f, QStringLiteral("--firmware"), QStringLiteral("A.4"), QStringLiteral("--build"),
       QStringLiteral("1"), QStringLiteral("--bootloader")},
      {f, QStringLiteral("--firmware=A.4"), QStringLiteral("--build=1"),
       QStringLiteral("--bootloader=155"), QStringLiteral("--verbose")},
      {f, f, QStringLiteral("--firmware=A.4"), QStringLiteral("--build=1"),
       QStringLiteral("--bootloader=155")},
  };
  for (const QStringList &args : cases) {
    SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
    EXPECT_EQ(run(args), 2);
    EXPECT_TRUE(out_.isEmpty());
    EXPECT_TRUE(err_.startsWith(QStringLiteral("plan: "))) << err_.toStdString();
  }
  EXPECT_EQ(run({QStringLiteral("--help")}), 0);
  EXPECT_TRUE(out_.startsWith(QStringLiteral("Usage: tavelin-pack plan")));
}

TEST_F(PlanCommandTest, NamesARejectedRulesFile) {
  const QString missing = dir_.path(QStringLiteral("none.json"));
  const QString noFile = dir_.rules(R"({"level":2,"bootloader":1})", QStringLiteral("nofile.json"));
  for (const QString &f : {missing, noFile}) {
    EXPECT_EQ(run({f, QStringLiteral("--firmware"), QStringLiteral("A.4"), QStringLiteral("--build"),
                   QStringLiteral("1"), QStringLiteral("--bootloader"), QStringLiteral("155")}),
              1);
    EXPECT_EQ(err_.count(QLatin1Char('\n')), 1) << err_.toStdString();
    EXPECT_TRUE(err_.contains(f)) << err_.toStdString();
  }
  EXPECT_TRUE(err_.contains(QStringLiteral("Отсутствует поле \"file\"")));
}

TEST_F(PlanCommandTest, PrintsTheRulesAndThePasses) {
  const QString f = rulesFile();
  const QStringList identity{QStringLiteral("--firmware"), QStringLiteral("A.4"),
                             QStringLiteral("--build"), QStringLiteral("1234"),
                             QStringLiteral("--bootloader"), QStringLiteral("155")};
  ASSERT_EQ(run(QStringList{f} + identity), 0) << err_.toStdString();
  EXPECT_TRUE(out_.contains(QStringLiteral("Boot-loader rule: #0 bl.bin, installs boot-loader 200")))
      << out_.toStdString();
  EXPECT_TRUE(out_.contains(QStringLiteral("Firmware rule: none")));
  EXPECT_TRUE(out_.contains(QStringLiteral("3. firmware \"A.5\", build 1300, boot-loader 200")));

  ASSERT_EQ(run(QStringList{f, QStringLiteral("--json")} + identity), 0) << err_.toStdString();
  const auto j = nlohmann::json::parse(out_.toStdString());
  EXPECT_EQ(j.at("bootloader"), 0);
  EXPECT_EQ(j.at("firmware"), -1);
  EXPECT_EQ(j.at("stop"), "nothing");
  const auto &passes = j.at("passes");
  ASSERT_EQ(passes.size(), 3u);
  EXPECT_EQ(passes[0].at("installs").at("bootloader").at("bootloader"), 200);
  EXPECT_EQ(passes[1].at("firmware"), 1);
  EXPECT_EQ(passes[1].at("result").at("firmware"), "A.5");
  EXPECT_EQ(passes[2].at("applied"), false);
}

TEST_F(PlanCommandTest, ReportsARepeatAndUnreadableValues) {
  const QString f = dir_.rules(R"({"level":1,"bootloader":155,"blver":155,"file":"bl.bin",
                                   "fwdate":"2021/03/15"})");
  ASSERT_EQ(run({f, QStringLiteral("--json"), QStringLiteral("--firmware=A.4"),
                 QStringLiteral("--build=1"), QStringLiteral("--bootloader=155")}),
            0);
  EXPECT_TRUE(err_.contains(QStringLiteral("Параметр fwdate не найден. Invalid date 2021/03/15")))
      << err_.toStdString();
  const auto j = nlohmann::json::parse(out_.toStdString());
  EXPECT_EQ(j.at("stop"), "repeat");
  EXPECT_EQ(j.at("passes").back().at("repeated"), 0);
}

}  // namespace
