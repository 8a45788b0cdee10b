// A few seeds of the fleet's chaos (real programs, SIGKILL at drawn moments,
// two registers, the device list saved again); bench_killchaos runs many.
#include <gtest/gtest.h>

#include <QDir>

#include "killchaos.h"
#include "support/testpaths.h"

TEST(KillChaos, KilledProgramsNeverStrandARegisterOrLoseASetting) {
  const QString package = QDir::cleanPath(testpaths::BinDir() + QStringLiteral("/../package/arhive.zip"));
  int killed = 0;
  for (const std::uint64_t seed : {11u, 12u, 13u, 14u, 15u}) {
    const killchaos::Report r = killchaos::Run(seed, testpaths::BinDir(), package);
    EXPECT_TRUE(r.failures.isEmpty()) << r.Describe().toStdString();
    killed += r.killed;
  }
  // A program that ends before its drawn moment is not killed; most are.
  EXPECT_GT(killed, 0);
}
