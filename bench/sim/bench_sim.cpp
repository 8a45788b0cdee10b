// The simulator's own cost per ReadTable at latency 0, over every cell of the
// default register: once on the model directly and once through the loaded
// component, so the program's overhead on a table save can be measured
// against it.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "device/OstrelLib_TLB.h"
#include "device/XmlDriverParams.h"
#include "sim/model/ldlist.h"
#include "sim/model/device.h"

namespace {

struct Address {
  int table, row, field;
};

std::vector<Address> AllCells(const osim::Register &r) {
  std::vector<Address> out;
  for (size_t t = 0; t < r.tables.size(); ++t)
    for (size_t f = 1; f <= r.tables[t].fields.size(); ++f)
      for (int row = 1; row <= r.tables[t].rows; ++row) out.push_back({static_cast<int>(t) + 1, row, static_cast<int>(f)});
  return out;
}

void BM_ReadTableModel(benchmark::State &state) {
  QTemporaryDir dir;
  osim::Device dev(dir.path());
  const auto cells = AllCells(dev.store().Read(1));
  size_t i = 0;
  for (auto _ : state) {
    const Address &a = cells[i++ % cells.size()];
    dev.SetInt("TableNumber", a.table);
    dev.SetInt("RowNumber", a.row);
    dev.SetInt("FieldNumber", a.field);
    if (dev.Invoke("ReadTable") != 0) state.SkipWithError("ReadTable failed");
  }
  state.counters["cells"] = static_cast<double>(cells.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadTableModel);

// A cell write rewrites the register's state file; the tables restore pays
// this once per changed cell.
void BM_WriteTableModel(benchmark::State &state) {
  QTemporaryDir dir;
  osim::Device dev(dir.path());
  dev.SetInt("Password", kSysAdminPassword);
  dev.SetInt("TableNumber", 10);
  dev.SetInt("FieldNumber", 4);
  int i = 0;
  for (auto _ : state) {
    dev.SetInt("RowNumber", 1 + i % 300);
    dev.SetInt("ValueOfFieldInteger", i++ % 1000);
    if (dev.Invoke("WriteTable") != 0) state.SkipWithError("WriteTable failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteTableModel);

void BM_ReadTableComponent(benchmark::State &state) {
  QTemporaryDir dir;
  qputenv("OSTREL_SIM_DIR", dir.path().toLocal8Bit());
  const auto cells = AllCells(osim::Store(dir.path()).Read(1));
  TOstrel drv;
  size_t i = 0;
  for (auto _ : state) {
    const Address &a = cells[i++ % cells.size()];
    drv.setTableNumber(a.table);
    drv.setRowNumber(a.row);
    drv.setFieldNumber(a.field);
    if (drv.ReadTable() != 0) state.SkipWithError("ReadTable failed");
    benchmark::DoNotOptimize(drv.ValueOfFieldString());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadTableComponent);

// A driver with many logical devices: the settings store in a folder of its
// own, holding n devices.
struct ManyDevices {
  QTemporaryDir dir;
  explicit ManyDevices(int n) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/user")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(dir.path() + QStringLiteral("/system")));
    ResetStorageTypeForTests();
    std::vector<osim::LogicalDevice> devices;
    for (int i = 0; i < n; ++i) devices.push_back(osim::DefaultLogicalDevice(i + 1));
    osim::LogicalDevices::Save(devices);
  }
};

// The simulator's listing of its devices (each driver call that names a
// device reads it).
void BM_LogicalDevicesLoad(benchmark::State &state) {
  ManyDevices many(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(osim::LogicalDevices::Load());
}
BENCHMARK(BM_LogicalDevicesLoad)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

// The device dialog's reading of every device's values, as FillEcrList does.
void BM_DeviceDialogValues(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  ManyDevices many(n);
  for (auto _ : state) {
    const TLDListing listing;
    for (int i = 0; i < n; ++i) {
      CurrentLDIndex = i;
      benchmark::DoNotOptimize(ReadLDName());
      benchmark::DoNotOptimize(ReadLDConnectionType());
      benchmark::DoNotOptimize(LDComSettingsText());
    }
  }
}
BENCHMARK(BM_DeviceDialogValues)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);  // the component is found beside the program
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
