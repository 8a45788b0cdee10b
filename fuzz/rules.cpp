// The rules loader on a rules file's bytes (any encoding), then the files
// check and the choice of a rule on what it loaded.
#include "fuzzsupport.h"
#include "rules/fwrules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QString &dir = fuzz::Scratch();
  const QString file = dir + QStringLiteral("rules.json");
  fuzz::WriteFile(file, fuzz::Bytes(data, size));
  TFWRules rules;
  const bool loaded = LoadFWRules(file, rules);
  // A rejected element leaves no rules behind.
  if (!loaded && !FWRulesError.isEmpty() && !rules.isEmpty()) std::abort();
  FWFilesExist(dir, rules);
  TECRFwInfo info;
  info.firmware = QStringLiteral("A.4");
  info.build = 1234;
  info.bootloader = 155;
  for (int level : {1, 2}) {
    const int i = FindFWRule(info, rules, level);
    if (i < -1 || i >= rules.size()) std::abort();
  }
  return 0;
}
