#include <gtest/gtest.h>

#include "ruledefs.h"
#include "rules/fwrules.h"

namespace {

struct FindCase {
  const char *name;
  TFWRules rules;
  TECRFwInfo info;
  int level;
  int want;
};

std::vector<FindCase> FindCases() {
  return {
      // Boot-loader level: exact version, or a range from 130 below blver.
      {"l1_range_below_blver", {L1(0, 200)}, Ecr("A.4", 1, 150), 1, 0},
      {"l1_range_not_at_blver", {L1(0, 150)}, Ecr("A.4", 1, 150), 1, -1},
      {"l1_exact_whatever_blver", {L1(150, 100)}, Ecr("A.4", 1, 150), 1, 0},
      {"l1_range_starts_at_130", {L1(0, 200)}, Ecr("A.4", 1, 130), 1, 0},
      {"l1_range_not_below_130", {L1(0, 200)}, Ecr("A.4", 1, 129), 1, -1},
      {"l1_other_exact_version", {L1(151, 300)}, Ecr("A.4", 1, 150), 1, -1},
      {"l1_first_in_file_wins", {L1(0, 300), L1(150, 400)}, Ecr("A.4", 1, 150), 1, 0},
      {"l1_skips_rules_that_do_not_apply", {L1(140, 300), L1(150, 400)}, Ecr("A.4", 1, 150), 1, 1},
      {"l1_unreadable_loader_matches_no_range", {L1(0, 200)}, Ecr("A.4", 1, -1), 1, -1},

      // Firmware level, build condition.
      {"l2_any_build_needs_higher_fwbuild", {L2("__", -1, 0, "B.1", 100)}, Ecr("A.4", 100, 150), 2,
       -1},
      {"l2_any_build_raises", {L2("__", -1, 0, "B.1", 100)}, Ecr("A.4", 99, 150), 2, 0},
      {"l2_c1_ignores_build", {L2("__", -1, 0, "B.1", 100)}, Ecr("C.1", 100, 150), 2, 0},
      {"l2_c3_ignores_build", {L2("__", -1, 0, "B.1", 100)}, Ecr("C.3", 500, 150), 2, 0},
      {"l2_c2_compares_build", {L2("__", -1, 0, "B.1", 100)}, Ecr("C.2", 500, 150), 2, -1},
      {"l2_c1_is_exact_text", {L2("__", -1, 0, "B.1", 100)}, Ecr("c.1", 500, 150), 2, -1},
      {"l2_downallowed_any_build", {L2("__", -1, 0, "B.1", 100, true)}, Ecr("A.4", 900, 150), 2, 0},
      {"l2_fixed_build_matches", {L2("__", 57, 0, "B.1", 100)}, Ecr("A.4", 57, 150), 2, 0},
      {"l2_fixed_build_only", {L2("__", 57, 0, "B.1", 100)}, Ecr("A.4", 56, 150), 2, -1},
      {"l2_fixed_build_ignores_downallowed", {L2("__", 57, 0, "B.1", 100, true)},
       Ecr("A.4", 58, 150), 2, -1},

      // Version condition.
      {"l2_version_exact", {L2("A.4", -1, 0, "B.1", 100)}, Ecr("A.4", 1, 150), 2, 0},
      {"l2_version_other", {L2("A.4", -1, 0, "B.1", 100)}, Ecr("A.40", 1, 150), 2, -1},
      {"l2_version_case", {L2("a.4", -1, 0, "B.1", 100)}, Ecr("A.4", 1, 150), 2, -1},

      // Boot-loader minimum; 1939 and up meets every minimum.
      {"l2_loader_at_minimum", {L2("__", -1, 150, "B.1", 100)}, Ecr("A.4", 1, 150), 2, 0},
      {"l2_loader_below_minimum", {L2("__", -1, 151, "B.1", 100)}, Ecr("A.4", 1, 150), 2, -1},
      {"l2_loader_1939_meets_5000", {L2("__", -1, 5000, "B.1", 100)}, Ecr("A.4", 1, 1939), 2, 0},
      {"l2_loader_1938_does_not", {L2("__", -1, 5000, "B.1", 100)}, Ecr("A.4", 1, 1938), 2, -1},

      // The first applicable rule decides, also when it installs what the register runs.
      {"l2_first_in_file_wins", {L2("__", -1, 0, "B.1", 100), L2("A.4", 1, 0, "B.2", 200)},
       Ecr("A.4", 1, 150), 2, 0},
      {"l2_already_installed_stops_search",
       {L2("A.4", -1, 0, "A.4", 100, true), L2("__", -1, 0, "B.2", 200)}, Ecr("A.4", 100, 150), 2,
       -1},
      {"l2_same_build_other_version_applies", {L2("__", -1, 0, "B.1", 100, true)},
       Ecr("A.4", 100, 150), 2, 0},

      // Levels never mix; other levels and empty sets find nothing.
      {"l1_rule_not_for_level2", {L1(150, 200)}, Ecr("A.4", 1, 150), 2, -1},
      {"l2_rule_not_for_level1", {L2("__", -1, 0, "B.1", 100)}, Ecr("A.4", 1, 150), 1, -1},
      {"l2_after_l1", {L1(150, 200), L2("__", -1, 0, "B.1", 100)}, Ecr("A.4", 1, 150), 2, 1},
      {"level3_rule_never_applies", {[] { TFWRule r = L1(150, 200); r.level = 3; return r; }()},
       Ecr("A.4", 1, 150), 3, -1},
      {"level0", {L1(150, 200)}, Ecr("A.4", 1, 150), 0, -1},
      {"empty_set_level1", {}, Ecr("A.4", 1, 150), 1, -1},
      {"empty_set_level2", {}, Ecr("A.4", 1, 150), 2, -1},
  };
}

TEST(FindFWRule, ChoosesTheFirstApplicableRule) {
  for (const FindCase &c : FindCases()) {
    EXPECT_EQ(FindFWRule(c.info, c.rules, c.level), c.want) << c.name;
  }
}

}  // namespace
