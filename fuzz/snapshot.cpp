// The tables snapshot read back, as the verification and the restore read
// it: the file's bytes against the simulated register (the simulator
// component loaded as the program loads its driver). A damaged snapshot is an
// Exception; nothing else may go wrong.
#include <QFile>

#include "common/apppaths.h"
#include "common/error.h"
#include "fuzzsupport.h"
#include "sim/model/register.h"
#include "sim/model/store.h"
#include "tables/tablesutils.h"

namespace {

// The simulator's register on port 1, in a state folder of the target's own.
osim::Store &Register() {
  static osim::Store *store = [] {
    const QString &dir = fuzz::Scratch();
    fuzz::CoreApp();
    qputenv("OSTREL_DRIVER", TAVELIN_SIM_COMPONENT);
    qputenv("OSTREL_SIM_DIR", QFile::encodeName(dir + QStringLiteral("sim")));
    qputenv("OSTREL_SIM_NO_DIALOG", "1");
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir + QStringLiteral("state")));
    apppaths::SetAppDirForTests(dir + QStringLiteral("app"));
    return new osim::Store(dir + QStringLiteral("sim"));
  }();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  osim::Store &store = Register();
  // Each input meets the same register: what a restore wrote is undone.
  static const osim::Register fresh = osim::DefaultRegister(1);
  static int writes = 0;
  if (writes) store.Write(1, fresh);
  const QString file = fuzz::Scratch() + QStringLiteral("tables.json");
  fuzz::WriteFile(file, fuzz::Bytes(data, size));
  try {
    TECRTables tables(nullptr);
    tables.setFileName(file);
    tables.Verify();
  } catch (const Exception &) {
  }
  try {
    TECRTables tables(nullptr);
    tables.setFileName(file);
    tables.setTablesData(QString());
    writes = 1;
  } catch (const Exception &) {
    writes = 1;
  }
  return 0;
}
