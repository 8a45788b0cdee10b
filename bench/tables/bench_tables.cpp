// What the tables backup costs beyond the driver calls themselves: save,
// verify and restore of the default register through the simulator
// component with the progress window attached, beside a bare loop of the
// same driver calls with no window and no file. Also the snapshot's write
// and parse times. Run: QT_QPA_PLATFORM=offscreen bin/bench_tables [rounds]
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "common/apppaths.h"
#include "device/untDriver.h"
#include "forms/progressformunit.h"
#include "tables/tablesutils.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process's peak resident size so far.
long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

double Seconds(const std::function<void()> &fn) {
  const auto t0 = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The best of several rounds, in seconds: the least disturbed by the machine.
double Best(int rounds, const std::function<void()> &fn) {
  double best = 1e100;
  for (int i = 0; i < rounds; ++i) best = std::min(best, Seconds(fn));
  return best;
}

// Two measurements taken in turns, so a busy spell of the machine falls on both.
std::pair<double, double> BestOfPairs(int rounds, const std::function<void()> &a, const std::function<void()> &b) {
  double ba = 1e100, bb = 1e100;
  for (int i = 0; i < rounds; ++i) {
    ba = std::min(ba, Seconds(a));
    bb = std::min(bb, Seconds(b));
  }
  return {ba, bb};
}

struct Cell {
  int table, row, field;
  bool text;
};

// The structure and the cells, in the order the save reads them.
std::vector<Cell> Walk(TDriver &d) {
  std::vector<Cell> cells;
  d.GetECRStatus();
  for (int t = 1;; ++t) {
    d.setTableNumber(t);
    if (d.GetTableStruct() != 0) break;
    const int rows = d.RowNumber(), fields = d.FieldNumber();
    for (int f = 1; f <= fields; ++f)
      for (int r = 1; r <= rows; ++r) cells.push_back({t, r, f, false});
  }
  for (Cell &c : cells) {
    d.setTableNumber(c.table);
    d.setRowNumber(c.row);
    d.setFieldNumber(c.field);
    d.ReadTable();
    c.text = d.FieldType();
  }
  return cells;
}

// The save's driver calls: structure, then every cell with its attributes.
void BareSave(TDriver &d) {
  d.setTableNumber(18);
  d.setRowNumber(1);
  d.setFieldNumber(1);
  d.ReadTable();
  d.GetECRStatus();
  std::vector<std::pair<int, std::pair<int, int>>> tables;
  for (int t = 1;; ++t) {
    d.setTableNumber(t);
    if (d.GetTableStruct() != 0) break;
    (void)d.TableName();
    tables.push_back({t, {d.RowNumber(), d.FieldNumber()}});
  }
  for (const auto &[t, size] : tables) {
    d.setTableNumber(t);
    for (int f = 1; f <= size.second; ++f) {
      d.setFieldNumber(f);
      for (int r = 1; r <= size.first; ++r) {
        d.setRowNumber(r);
        if (d.ReadTable() != 0) continue;
        (void)d.TableNumber();
        (void)d.FieldName();
        (void)d.FieldSize();
        const bool text = d.FieldType();
        (void)d.MINValueOfField();
        (void)d.MAXValueOfField();
        (void)d.ValueOfFieldString();
        if (!text) (void)d.ValueOfFieldInteger();
      }
    }
  }
}

// Verify's and an unchanged restore's driver calls: a read per cell.
void BareCompare(TDriver &d, const std::vector<Cell> &cells) {
  for (const Cell &c : cells) {
    d.setPassword(kSysAdminPassword);
    d.setTableNumber(c.table);
    d.setRowNumber(c.row);
    d.setFieldNumber(c.field);
    d.ReadTable();
    if (c.text)
      (void)d.ValueOfFieldString();
    else
      (void)d.ValueOfFieldInteger();
  }
}

// A tables object with its progress window, as the program makes them.
struct WithWindow {
  std::unique_ptr<TProgressForm> form = std::make_unique<TProgressForm>(nullptr);
  std::unique_ptr<TECRTables> tables;
  explicit WithWindow(TDriver *d) : tables(std::make_unique<TECRTables>(d)) {
    TProgressForm *f = form.get();
    tables->OnShowProgress = [f](QObject *s, const QString &p) { f->Do_Show(s, p); };
    tables->OnProgress = [f](QObject *s, const QString &p) { f->DoProgress(s, p); };
    tables->OnHideProgress = [f](QObject *s, const QString &p) { f->Do_Hide(s, p); };
  }
  ~WithWindow() {
    tables.reset();
    form.reset();
  }
};

void Row(const char *name, double tool, double bare, size_t cells) {
  const double n = static_cast<double>(cells);
  std::printf("%-8s %12.0f %12.0f %14.2f %14.2f %12.2f\n", name, n / tool, n / bare, tool / n * 1e6, bare / n * 1e6,
              (tool - bare) / n * 1e6);
}

}  // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  QTemporaryDir dir;
  qputenv("OSTREL_SIM_DIR", QFile::encodeName(dir.filePath(QStringLiteral("sim"))));
  qputenv("OSTREL_SIM_NO_DIALOG", "1");
  if (qEnvironmentVariableIsEmpty("OSTREL_DRIVER"))
    qputenv("OSTREL_DRIVER", QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/libostrel-sim.so")));
  apppaths::SetAppDirForTests(dir.filePath(QStringLiteral("app")));
  QDir().mkpath(dir.filePath(QStringLiteral("app")));

  TDriver drv;
  const std::vector<Cell> cells = Walk(drv);
  std::printf("default register: %zu cells, %d rounds (best of)\n\n", cells.size(), rounds);

  QString text;
  const auto [toolSave, bareSave] = BestOfPairs(
      rounds,
      [&] {
        WithWindow w(&drv);
        text = w.tables->TablesData();
      },
      [&] { BareSave(drv); });
  bool ok = true;
  const auto [toolVerify, bareVerify] = BestOfPairs(
      rounds,
      [&] {
        WithWindow w(&drv);
        ok = w.tables->Verify() && ok;
      },
      [&] { BareCompare(drv, cells); });
  const auto [toolRestore, bareRestore] = BestOfPairs(
      rounds,
      [&] {
        WithWindow w(&drv);
        w.tables->setTablesData(QString());
      },
      [&] { BareCompare(drv, cells); });
  if (!ok) std::printf("warning: the verification failed\n");

  std::printf("%-8s %12s %12s %14s %14s %12s\n", "", "cells/s", "bare cells/s", "us/cell", "bare us/cell",
              "own us/cell");
  Row("save", toolSave, bareSave, cells.size());
  Row("verify", toolVerify, bareVerify, cells.size());
  Row("restore", toolRestore, bareRestore, cells.size());
  std::printf("\nown cost goal: below 20 us per cell\n");

  // The snapshot alone: building and writing the file, reading it back.
  TFieldsData data;
  {
    TECRTables t(&drv);
    (void)t.TablesData();
    data = t.FieldsData();
  }
  const QString file = dir.filePath(QStringLiteral("app/bench.json"));
  const double write = Best(rounds, [&] {
    const QString s = TECRTables::FieldsDataToJSON(QStringLiteral("0000420150"), data);
    QFile f(file);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(s.toLatin1());
  });
  const double parse = Best(rounds, [&] {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return;
    const TSnapshot s = ParseSnapshot(f.readAll(), file);
    if (s.fields.size() != data.size()) std::printf("warning: parse lost records\n");
  });
  std::printf("snapshot: %zu records, %lld bytes; write %.2f ms, parse %.2f ms\n", data.size(),
              static_cast<long long>(QFileInfo(file).size()), write * 1e3, parse * 1e3);

  // A hostile file at the size limit: 64 MiB of empty records. It must be
  // refused at once, without memory growing with the file (goal: the peak
  // grows by less than the file itself).
  QByteArray hostile = R"({"ecrSerial":"0000420150","fields":[)";
  hostile.reserve(kMaxSnapshotBytes);
  while (hostile.size() < kMaxSnapshotBytes - 16) hostile += "{},";
  hostile += "{}]}";
  const long before = PeakKiB();
  QString refused;
  const double hostileParse = Seconds([&] {
    try {
      ParseSnapshot(hostile, file);
    } catch (const std::exception &e) {
      refused = QString::fromUtf8(e.what());
    }
  });
  const long grown = PeakKiB() - before;
  std::printf("hostile snapshot: %lld bytes of empty records; refused in %.1f ms, peak grew by %ld KiB (%s)\n",
              static_cast<long long>(hostile.size()), hostileParse * 1e3, grown,
              grown < hostile.size() / 1024 ? "within the goal" : "OVER the goal");
  if (refused.isEmpty()) std::printf("warning: the hostile snapshot was not refused\n");
  return 0;
}
