#include "chaos.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QListWidget>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <tuple>
#include <set>
#include <algorithm>

#include "app/mainformunit.h"
#include "state/pending.h"
#include "app/runwindows.h"
#include "common/apppaths.h"
#include "common/msgbox_recorder.h"
#include "common/waits.h"
#include "forms/logformunit.h"
#include "forms/modal_recorder.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/updateformunit.h"
#include "sim/model/register.h"
#include "sim/model/store.h"

namespace chaos {

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");
const QString kDownloadFailed = QStringLiteral("Не удалось загрузить прошивку в ККТ.");
constexpr int kPort = 1;

QString BoxLine(const msgbox::Box &b) {
  static const char *kinds[] = {"error", "info", "question", "plain", "warning"};
  return QString::fromLatin1(kinds[int(b.kind)]) + QStringLiteral(": ") + b.text;
}

using Key = std::tuple<int, int, int>;

QString CellText(const osim::Field &f, const osim::Cell &c) {
  return f.text ? QString::fromStdString(c.s) : QString::number(c.i);
}

// A fault the run meets: applied before the run, at a moment of virtual
// time, or when the register is waited for after a transfer.
struct Fault {
  enum When { kBefore, kAtTime, kAtReboot } when = kBefore;
  std::uint64_t atMs = 0;  // kAtTime: virtual time after the start of the run
  int reboot = 0;          // kAtReboot: which reboot wait of the run (0 first)
  QString text;            // as ostrel-sim would be told
  std::function<void(osim::Faults &)> apply;
  bool applied = false;
};

// The program stops here, as under SIGKILL: nothing of it runs after that
// point but the unwinding of the stack up to the test.
struct Killed {};

// The virtual clock, which can also stop the program inside the set-up (the
// date and time it reads) and the restore (the messages it lets through).
class KillClock : public waits::VirtualClock {
 public:
  std::function<void()> onCall;
  void ProcessMessages() override {
    if (onCall) onCall();
    VirtualClock::ProcessMessages();
  }
  QDateTime Now() override {
    if (onCall) onCall();
    return VirtualClock::Now();
  }
};

bool PendingLeft() {
  return !QDir(pending::PendingRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty();
}

}  // namespace

QString Report::Describe() const {
  QString s = QStringLiteral("seed %1 (replay: --seed %1)\n").arg(seed);
  s += QStringLiteral("  cells changed: ") + changes.join(QStringLiteral(", ")) + QLatin1Char('\n');
  s += QStringLiteral("  faults: ") + (faults.isEmpty() ? QStringLiteral("none") : faults.join(QStringLiteral("; "))) +
       QLatin1Char('\n');
  if (!notReached.isEmpty()) s += QStringLiteral("  not reached: ") + notReached.join(QStringLiteral("; ")) + QLatin1Char('\n');
  for (const QString &b : boxes) s += QStringLiteral("  box ") + QString(b).replace(QStringLiteral("\r\n"), QStringLiteral(" / ")) + QLatin1Char('\n');
  if (killed) s += QStringLiteral("  the first program was killed\n");
  if (recoveryRun) s += QStringLiteral("  a second program finished the update\n");
  s += QStringLiteral("  claimed success: %1%2\n")
           .arg(claimedSuccess ? QStringLiteral("yes") : QStringLiteral("no"),
                restored ? QStringLiteral(", Ctrl+Alt+T restore done") : QString());
  if (!afterPrompt.isEmpty())
    s += QStringLiteral("  lost after an accepted driver prompt: ") + afterPrompt.join(QStringLiteral(", ")) + QLatin1Char('\n');
  for (const QString &f : failures) s += QStringLiteral("  FAILURE: ") + f + QLatin1Char('\n');
  return s;
}

struct Runner::Impl {
  QTemporaryDir root;
  QString appDir, tmpDir, simDir;
  std::unique_ptr<osim::Store> store;
  std::optional<apptest::RunWindows> windows;
  KillClock clock;
  msgbox::Recorder boxes;
  modal::Recorder dialogs;

  void Clean() {
    QDir(appDir + QStringLiteral("/ecrdata")).removeRecursively();
    QDir(pending::PendingRoot()).removeRecursively();
    for (const QString &e : QDir(tmpDir).entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot)) {
      const QString p = tmpDir + QLatin1Char('/') + e;
      if (QFileInfo(p).isDir())
        QDir(p).removeRecursively();
      else
        QFile::remove(p);
    }
  }

  void SetFaults(const std::function<void(osim::Faults &)> &fn) {
    store->Update(kPort, [&](osim::Register &r) {
      fn(r.faults);
      return true;
    });
  }
};

Runner::Runner(const QString &binDir) : d(std::make_unique<Impl>()) {
  d->appDir = d->root.filePath(QStringLiteral("app"));
  d->tmpDir = d->root.filePath(QStringLiteral("tmp"));
  d->simDir = d->root.filePath(QStringLiteral("sim"));
  for (const QString &p : {d->appDir, d->tmpDir, d->simDir}) QDir().mkpath(p);
  qputenv("TMPDIR", QFile::encodeName(d->tmpDir));
  qputenv("OSTREL_SIM_DIR", QFile::encodeName(d->simDir));
  // Runs side by side each have a register on port 1: their locks apart.
  QDir().mkpath(d->root.filePath(QStringLiteral("lock")));
  qputenv("TAVELIN_LOCK_DIR", QFile::encodeName(d->root.filePath(QStringLiteral("lock"))));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(d->root.filePath(QStringLiteral("config"))));
  qputenv("XDG_CONFIG_DIRS", QFile::encodeName(d->root.filePath(QStringLiteral("xdg"))));
  qputenv("XDG_STATE_HOME", QFile::encodeName(d->root.filePath(QStringLiteral("state"))));
  qputenv("OSTREL_DRIVER", QFile::encodeName(binDir + QStringLiteral("/libostrel-sim.so")));
  // The DFU stand-in is a child process; it must not stop at leaks either.
  qputenv("ASAN_OPTIONS", "detect_leaks=0");
  // Thousands of runs: no flushes to disk, no paced output of the DFU stand-in.
  qputenv("OSTREL_SIM_FAST", "1");
  apppaths::SetAppDirForTests(d->appDir);
  {
    // No package server: a closed port refuses at once; the built-in package is used.
    QFile url(d->appDir + QStringLiteral("/url.txt"));
    if (url.open(QIODevice::WriteOnly)) url.write("http://127.0.0.1:9/techno/arhive.zip\r\n");
  }
  d->store = std::make_unique<osim::Store>(d->simDir);
  waits::SetClock(&d->clock);
  d->windows.emplace();
}

Runner::~Runner() {
  d->clock.onSleep = nullptr;
  d->clock.onCall = nullptr;
  d->windows.reset();
  waits::SetClock(nullptr);
  apppaths::SetAppDirForTests(QString());
}

Report Runner::Run(std::uint64_t seed) {
  Report rep;
  rep.seed = seed;
  std::mt19937_64 rng(seed);
  auto uniform = [&rng](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  auto chance = [&](int percent) { return uniform(1, 100) <= percent; };

  d->Clean();
  d->store->Write(kPort, osim::DefaultRegister(kPort));
  d->boxes.boxes.clear();
  d->boxes.script.clear();
  d->dialogs.shown.clear();
  d->dialogs.script.clear();

  // Random settings: any cell but the serial number and the start counters.
  std::vector<osim::Table> defaults = d->store->Read(kPort).tables;
  std::map<Key, QString> changed;
  d->store->Update(kPort, [&](osim::Register &r) {
    static const char *texts[] = {"ЧЕКОМ", "ИП Петров", "Бакалея", "Kassa 7", "Спасибо за покупку!",
                                  "ООО \"Ромашка\"", "x", "Отдел №3", "Скидка 5%"};
    const int n = static_cast<int>(uniform(1, 12));
    for (int i = 0; i < n; ++i) {
      const int ti = static_cast<int>(uniform(0, static_cast<std::int64_t>(r.tables.size()) - 1));
      osim::Table &t = r.tables[static_cast<size_t>(ti)];
      if (t.rows < 1 || t.fields.empty()) continue;
      const int row = static_cast<int>(uniform(1, t.rows));
      const int fi = static_cast<int>(uniform(1, static_cast<std::int64_t>(t.fields.size())));
      const int tn = ti + 1;
      if ((tn == 18 && row == 1 && fi == 1) || (tn == 20 && row == 1 && (fi == 9 || fi == 10))) continue;
      const osim::Field &f = t.fields[static_cast<size_t>(fi - 1)];
      osim::Cell &c = t.at(row, fi);
      if (f.text) {
        std::string s = texts[uniform(0, std::size(texts) - 1)];
        if (osim::NarrowLength(s) > f.size) continue;
        if (s == c.s) continue;
        c.s = s;
      } else {
        if (f.max <= f.min) continue;
        std::int64_t v = uniform(f.min, f.max);
        if (v == c.i) continue;
        c.i = v;
      }
      changed[{tn, row, fi}] = CellText(f, c);
    }
    return true;
  });
  for (const auto &[k, v] : changed)
    rep.changes << QStringLiteral("%1/%2/%3=%4").arg(std::get<0>(k)).arg(std::get<1>(k)).arg(std::get<2>(k)).arg(v);
  const osim::Register before = d->store->Read(kPort);

  // Faults.
  std::vector<Fault> faults;
  auto anyCell = [&]() -> Key {
    if (!changed.empty() && chance(70)) {
      auto it = changed.begin();
      std::advance(it, uniform(0, static_cast<std::int64_t>(changed.size()) - 1));
      return it->first;
    }
    const int ti = static_cast<int>(uniform(0, static_cast<std::int64_t>(before.tables.size()) - 1));
    const osim::Table &t = before.tables[static_cast<size_t>(ti)];
    return {ti + 1, static_cast<int>(uniform(1, std::max(1, t.rows))),
            static_cast<int>(uniform(1, std::max<std::int64_t>(1, static_cast<std::int64_t>(t.fields.size()))))};
  };
  const int nFaults = static_cast<int>(uniform(0, 3));
  for (int i = 0; i < nFaults; ++i) {
    Fault f;
    switch (uniform(0, 9)) {
      case 0:
      case 1: {  // a cell that cannot be read or written
        const auto [t, r, fl] = anyCell();
        static const char *ways[] = {"read", "write", "both"};
        const int w = static_cast<int>(uniform(0, 2));
        const int code = chance(70) ? osim::kCellFault : -1;
        f.text = QStringLiteral("cell %1 %2 %3 %4 --code %5").arg(t).arg(r).arg(fl).arg(QString::fromLatin1(ways[w])).arg(code);
        f.apply = [=](osim::Faults &x) { x.cells.push_back({t, r, fl, w != 1, w != 0, code}); };
        break;
      }
      case 2: {  // GetTableStruct of one table
        const int t = chance(60) && !changed.empty() ? std::get<0>(anyCell()) : static_cast<int>(uniform(1, 20));
        f.text = QStringLiteral("table %1").arg(t);
        f.apply = [=](osim::Faults &x) { x.tables.push_back({t, osim::kCellFault}); };
        break;
      }
      case 3: {  // the status request fails, at some moment of the run
        const int times = static_cast<int>(uniform(1, 3));
        f.when = chance(30) ? Fault::kBefore : Fault::kAtTime;
        f.atMs = static_cast<std::uint64_t>(uniform(0, 120000));
        f.text = QStringLiteral("method GetECRStatus -1 --times %1 at %2 ms").arg(times).arg(f.atMs);
        f.apply = [=](osim::Faults &x) { x.methods.push_back({"GetECRStatus", osim::kNoLink, times}); };
        break;
      }
      case 4: {  // the link goes during the set-up after a transfer
        static const char *steps[] = {"ResetSettings", "SetDate", "ConfirmDate", "SetTime"};
        const std::string m = steps[uniform(0, 3)];
        const int code = static_cast<int>(uniform(0, 1) ? osim::kNoLink : osim::kBusy);
        f.when = Fault::kAtReboot;
        f.reboot = static_cast<int>(uniform(0, 2));
        f.text = QStringLiteral("restart-code 120; method %1 %2 at reboot %3")
                     .arg(QString::fromStdString(m)).arg(code).arg(f.reboot);
        f.apply = [=](osim::Faults &x) {
          x.restartCode = osim::kNeedsReset;
          x.methods.push_back({m, code, 1});
        };
        break;
      }
      case 5: {  // a slow or a failed reboot
        const bool dead = chance(30);
        f.when = Fault::kAtReboot;
        f.reboot = static_cast<int>(uniform(0, 2));
        f.text = QStringLiteral("method ReadSerialNumber -1 %1 at reboot %2")
                     .arg(dead ? QStringLiteral("--always") : QStringLiteral("--times 1"))
                     .arg(f.reboot);
        f.apply = [=](osim::Faults &x) { x.methods.push_back({"ReadSerialNumber", osim::kNoLink, dead ? -1 : 1}); };
        break;
      }
      case 6:
        f.text = QStringLiteral("dfu-refused");
        f.apply = [](osim::Faults &x) { x.dfuRefused = true; };
        break;
      case 7:
        f.text = QStringLiteral("download");
        f.apply = [](osim::Faults &x) { x.download = std::string(); };
        break;
      case 8: {  // the set-up asked for, with ResetSettings busy
        const int n = static_cast<int>(uniform(1, 2));
        f.when = Fault::kAtReboot;
        f.reboot = static_cast<int>(uniform(0, 2));
        f.text = QStringLiteral("restart-code 120; reset147 %1 at reboot %2").arg(n).arg(f.reboot);
        f.apply = [=](osim::Faults &x) {
          x.restartCode = osim::kNeedsReset;
          x.reset147 = n;
        };
        break;
      }
      default: {  // one table read or write fails at some moment
        const std::string m = chance(50) ? "ReadTable" : "WriteTable";
        f.when = Fault::kAtReboot;
        f.reboot = static_cast<int>(uniform(0, 2));
        f.text = QStringLiteral("method %1 166 --times 1 at reboot %2").arg(QString::fromStdString(m)).arg(f.reboot);
        f.apply = [=](osim::Faults &x) { x.methods.push_back({m, osim::kCellFault, 1}); };
        break;
      }
    }
    faults.push_back(std::move(f));
  }
  // The faults of the interrupted transfers, drawn from a stream of their
  // own so that every older seed still meets the faults it met before.
  std::mt19937_64 rng2(seed ^ 0x9e3779b97f4a7c15ULL);
  auto uniform2 = [&rng2](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng2);
  };
  if (uniform2(1, 100) <= 20) {
    Fault f;
    const int pc = static_cast<int>(uniform2(1, 99));
    f.text = QStringLiteral("dfu-cut %1").arg(pc);
    f.apply = [=](osim::Faults &x) { x.dfuCut = pc; };
    faults.push_back(std::move(f));
  }
  if (uniform2(1, 100) <= 10) {
    Fault f;
    f.text = QStringLiteral("unplug");
    f.apply = [](osim::Faults &x) { x.unplug = true; };
    faults.push_back(std::move(f));
  }
  // The program killed in the transfer (a sleep of the flashing or reboot
  // wait), the set-up (a reading of the clock) or the restore (a message
  // loop turn), counted from the first switch to DFU mode.
  enum class KillAt { None, Transfer, Setup, Restore } killAt = KillAt::None;
  int killTransfer = 0, killNth = 0;
  if (uniform2(1, 100) <= 25) {
    killAt = static_cast<KillAt>(uniform2(1, 3));
    killTransfer = static_cast<int>(uniform2(0, 2));
    killNth = static_cast<int>(killAt == KillAt::Transfer ? uniform2(1, 700)
                               : killAt == KillAt::Setup  ? uniform2(1, 4)
                                                          : uniform2(1, 400));
    static const char *where[] = {"", "transfer", "set-up", "restore"};
    rep.faults << QStringLiteral("kill in the %1 of transfer %2 at %3")
                      .arg(QString::fromLatin1(where[int(killAt)]))
                      .arg(killTransfer)
                      .arg(killNth);
  }

  // Random operator answers: boxes (Yes/No) and the update offer.
  if (chance(35)) {
    QString a;
    for (int i = 0; i < 8; ++i) {
      const bool yes = chance(60);
      d->boxes.script.push_back(yes);
      a += yes ? QLatin1Char('Y') : QLatin1Char('N');
    }
    rep.faults << QStringLiteral("answers %1").arg(a);
  }
  if (chance(15)) {
    QString a;
    for (int i = 0; i < 3; ++i) {
      const bool ok = chance(50);
      d->dialogs.script.push_back(ok ? modal::mrOk : modal::mrCancel);
      a += ok ? QLatin1Char('O') : QLatin1Char('C');
    }
    rep.faults << QStringLiteral("offers %1").arg(a);
  }
  const std::vector<bool> answers(d->boxes.script.begin(), d->boxes.script.end());
  for (Fault &f : faults) {
    if (f.when == Fault::kBefore) {
      d->SetFaults(f.apply);
      f.applied = true;
    }
  }

  // The virtual clock: timed faults, reboot faults and the limit of the run.
  const std::uint64_t start = d->clock.TickCount();
  int reboots = 0;
  bool inReboot = false, hung = false;
  int transfers = 0, killCount = 0;
  bool inTransfer = false, rebootSeen = false, afterReboot = false;
  // Follows the wait window: which transfer runs, and when its reboot wait is over.
  auto observe = [&]() {
    const bool shown = RebootForm && RebootForm->isVisible();
    const QString title = shown ? RebootForm->windowTitle() : QString();
    if (title == QStringLiteral("Прошивка") && !inTransfer) {
      inTransfer = true;
      rebootSeen = false;
      afterReboot = false;
      ++transfers;
    }
    if (inTransfer && title == QStringLiteral("Перезагрузка")) rebootSeen = true;
    if (inTransfer && rebootSeen && !shown) {
      inTransfer = false;
      afterReboot = transfers - 1 == killTransfer;
    }
    return shown;
  };
  auto kill = [&]() {
    if (++killCount >= killNth) {
      killAt = KillAt::None;
      throw Killed{};
    }
  };
  d->clock.onCall = [&]() {
    observe();
    if (afterReboot && (killAt == KillAt::Setup || killAt == KillAt::Restore)) kill();
  };
  d->clock.onSleep = [&](std::uint64_t now) {
    const bool waitShown = observe();
    if (killAt == KillAt::Transfer && waitShown && transfers - 1 == killTransfer) kill();
    const bool rebootShown = waitShown && RebootForm->windowTitle() == QStringLiteral("Перезагрузка");
    if (rebootShown && !inReboot) {
      inReboot = true;
      for (Fault &f : faults)
        if (!f.applied && f.when == Fault::kAtReboot && f.reboot == reboots) {
          d->SetFaults(f.apply);
          f.applied = true;
        }
      ++reboots;
    } else if (!rebootShown) {
      inReboot = false;
    }
    for (Fault &f : faults)
      if (!f.applied && f.when == Fault::kAtTime && now - start >= f.atMs) {
        d->SetFaults(f.apply);
        f.applied = true;
      }
    if (now - start > kRunLimitMs && !hung) {
      hung = true;
      rep.failures << QStringLiteral("hang: the run took more than %1 s of virtual time").arg(kRunLimitMs / 1000);
    }
    if (now - start > 5 * kRunLimitMs) {
      std::fprintf(stderr, "%s", rep.Describe().toLocal8Bit().constData());
      std::fflush(stderr);
      std::_Exit(3);
    }
  };

  // The run.
  apptest::LogWatch log;
  auto form = std::make_unique<TMainForm>();
  form->show();
  QStringList startBoxes;
  for (const auto &b : d->boxes.boxes) startBoxes << BoxLine(b);
  d->boxes.boxes.clear();
  if (!startBoxes.isEmpty()) rep.failures << QStringLiteral("boxes at start: ") + startBoxes.join(QStringLiteral(" | "));
  std::set<Key> ruleCells;
  for (const TFWRule &r : form->FRules)
    for (const TUpdateTable &c : r.updatetables) ruleCells.insert({c.table, c.row, c.field});

  try {
    form->CheckConnectButtonClick();
  } catch (const Killed &) {
    rep.killed = true;
  }
  d->clock.onSleep = nullptr;
  d->clock.onCall = nullptr;
  if (killAt != KillAt::None) rep.notReached << QStringLiteral("kill");
  // Faults whose moment never came are listed apart.
  for (const Fault &f : faults)
    if (f.applied) rep.faults << f.text;
  for (const Fault &f : faults)
    if (!f.applied) rep.notReached << f.text;

  for (const auto &b : d->boxes.boxes) rep.boxes << BoxLine(b);
  for (auto it = d->boxes.boxes.crbegin(); it != d->boxes.boxes.crend(); ++it)
    if (it->kind == msgbox::Kind::Information) {
      // What changed may follow on a second line.
      rep.claimedSuccess = it->text.section(QStringLiteral("\r\n"), 0, 0) == kLatest;
      break;
    }
  const bool downloadFailedShown = std::any_of(d->boxes.boxes.cbegin(), d->boxes.boxes.cend(), [](const msgbox::Box &b) {
    return b.text.startsWith(kDownloadFailed);
  });
  if (!rep.killed && (form->runInProgress() || !form->CheckConnectButton->isEnabled()))
    rep.failures << QStringLiteral("the run did not end: the connect button stays locked");

  // Whether the operator went on past a driver prompt (a box gets the
  // script's answer in turn, Yes once the script is spent).
  bool acceptedPrompt = false;
  for (qsizetype i = 0; i < d->boxes.boxes.size(); ++i) {
    const msgbox::Box &b = d->boxes.boxes[i];
    const bool yes = i < static_cast<qsizetype>(answers.size()) ? answers[static_cast<size_t>(i)] : true;
    if (b.kind == msgbox::Kind::Warning && b.caption == QStringLiteral("Драйвер ККТ") && yes) acceptedPrompt = true;
  }

  // What the operator was told.
  QStringList told;
  for (const auto &b : d->boxes.boxes) told << b.text;

  // The cable back in, the faults gone.
  d->SetFaults([](osim::Faults &x) { x = osim::Faults(); });
  osim::Register after = d->store->Read(kPort);
  if (rep.killed || after.dfu || after.cut || after.setupCode != 0 || PendingLeft()) {
    // A register left stranded: the operator starts the program again,
    // connects and answers Yes to everything.
    rep.recoveryRun = true;
    form.reset();
    d->boxes.boxes.clear();
    d->boxes.script.clear();
    d->dialogs.script.clear();
    const std::uint64_t start2 = d->clock.TickCount();
    bool hung2 = false;
    d->clock.onSleep = [&](std::uint64_t now) {
      if (now - start2 > kRunLimitMs && !hung2) {
        hung2 = true;
        rep.failures << QStringLiteral("hang: the recovery run took more than %1 s of virtual time").arg(kRunLimitMs / 1000);
      }
      if (now - start2 > 5 * kRunLimitMs) {
        std::fprintf(stderr, "%s", rep.Describe().toLocal8Bit().constData());
        std::fflush(stderr);
        std::_Exit(3);
      }
    };
    form = std::make_unique<TMainForm>();
    form->show();
    form->CheckConnectButtonClick();
    d->clock.onSleep = nullptr;
    for (const auto &b : d->boxes.boxes) {
      rep.boxes << QStringLiteral("(recovery) ") + BoxLine(b);
      told << b.text;
    }
    for (auto it = d->boxes.boxes.crbegin(); it != d->boxes.boxes.crend(); ++it)
      if (it->kind == msgbox::Kind::Information) {
        rep.claimedSuccess = it->text.section(QStringLiteral("\r\n"), 0, 0) == kLatest;
        break;
      }
    after = d->store->Read(kPort);
    if (PendingLeft()) rep.failures << QStringLiteral("a kept transfer was left after the recovery run");
  }
  if (after.dfu || after.cut || after.setupCode != 0) {
    rep.stranded = true;
    rep.failures << QStringLiteral("the register was left %1")
                        .arg(after.dfu || after.cut ? QStringLiteral("in DFU mode") : QStringLiteral("half set up"));
  }
  (void)downloadFailedShown;
  told << log.lines;
  const QString all = told.join(QLatin1Char('\n'));

  auto named = [&](int t, int r, int f) {
    const osim::Table &tb = before.tables[static_cast<size_t>(t - 1)];
    const QString tname = QString::fromStdString(tb.name);
    const QString fname = QString::fromStdString(tb.fields[static_cast<size_t>(f - 1)].name);
    return all.contains(QStringLiteral("Таблица: %1. Поле: %2.").arg(tname, fname)) ||
           all.contains(QStringLiteral("[%1]\r\nСтрока: %2 , столбец: %3").arg(t).arg(r).arg(f)) ||
           all.contains(QStringLiteral("Таблица %1, ряд %2, поле %3").arg(t).arg(r).arg(f));
  };

  // The snapshot as the program keeps it for this register.
  std::map<Key, QString> snapshot;
  {
    QFile sf(d->appDir + QStringLiteral("/ecrdata/") + QString::fromStdString(before.serial()) +
             QStringLiteral("/tables.json"));
    if (sf.open(QIODevice::ReadOnly)) {
      const QJsonObject top = QJsonDocument::fromJson(sf.readAll()).object();
      for (const auto &v : top.value(QStringLiteral("fields")).toArray()) {
        const QJsonObject o = v.toObject();
        const Key k{o.value(QStringLiteral("Table")).toInt(), o.value(QStringLiteral("Row")).toInt(),
                    o.value(QStringLiteral("Number")).toInt()};
        snapshot[k] = o.contains(QStringLiteral("StrValue")) ? o.value(QStringLiteral("StrValue")).toString()
                                                           : QString::number(o.value(QStringLiteral("IntValue")).toInteger());
      }
    }
  }

  std::vector<Key> toRestore;
  for (size_t ti = 0; ti < before.tables.size() && ti < after.tables.size(); ++ti) {
    const osim::Table &tb = before.tables[ti];
    const osim::Table &ta = after.tables[ti];
    const int t = static_cast<int>(ti) + 1;
    for (int r = 1; r <= tb.rows; ++r)
      for (int f = 1; f <= static_cast<int>(tb.fields.size()); ++f) {
        const osim::Field &fd = tb.fields[static_cast<size_t>(f - 1)];
        const QString was = CellText(fd, tb.at(r, f)), now = CellText(fd, ta.at(r, f));
        if (was == now) continue;
        if (t == 20 && r == 1 && (f == 9 || f == 10)) continue;
        if (ruleCells.count({t, r, f})) continue;
        if (named(t, r, f)) continue;
        auto snap = snapshot.find({t, r, f});
        // The 32-bit snapshot carries an unsigned four-byte value as its bit pattern.
        if (snap != snapshot.end() && !fd.text && fd.max > INT32_MAX && snap->second.toLongLong() < 0)
          snap->second = QString::number(snap->second.toLongLong() + (std::int64_t{1} << 32));
        if (!rep.claimedSuccess && snap != snapshot.end() && snap->second == was) {
          toRestore.push_back({t, r, f});
          continue;
        }
        if (acceptedPrompt && (snap == snapshot.end() || snap->second == now)) {
          // Left out of the snapshot after the operator went on past the
          // driver's prompt, whose text names no cell (a later pass may have
          // saved the loss since).
          rep.afterPrompt << QStringLiteral("%1/%2/%3").arg(t).arg(r).arg(f);
          continue;
        }
        ++rep.silentLosses;
        rep.failures << QStringLiteral("silent loss of %1/%2/%3 (%4 / %5): \"%6\" became \"%7\"%8")
                            .arg(t).arg(r).arg(f)
                            .arg(QString::fromStdString(tb.name), QString::fromStdString(fd.name), was, now,
                                 snap == snapshot.end() ? QStringLiteral(", not in the snapshot")
                                                        : QStringLiteral(", snapshot holds \"%1\"").arg(snap->second));
      }
  }

  if (!toRestore.empty()) {
    // The operator brings the register back to work, then restores.
    d->store->Update(kPort, [](osim::Register &r) {
      if (r.dfu) r.Restart();
      if (r.setupCode && r.setupDone != osim::kAllSteps) {
        r.setupCode = 0;
        r.setupDone = osim::kAllSteps;
      }
      return true;
    });
    rep.restored = true;
    d->boxes.boxes.clear();
    d->boxes.script.clear();
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    QApplication::sendEvent(form.get(), &release);
    const osim::Register restored = d->store->Read(kPort);
    // A cell the register refuses to take back is named by the restore's log.
    QStringList toldAll = told;
    toldAll << log.lines;
    for (const auto &b : d->boxes.boxes) toldAll << b.text;
    const QString toldNow = toldAll.join(QLatin1Char('\n'));
    for (const Key &k : toRestore) {
      const auto [t, r, f] = k;
      const osim::Field &fd = before.tables[static_cast<size_t>(t - 1)].fields[static_cast<size_t>(f - 1)];
      const QString was = CellText(fd, before.tables[static_cast<size_t>(t - 1)].at(r, f));
      const QString now = CellText(fd, restored.tables[static_cast<size_t>(t - 1)].at(r, f));
      const osim::Table &tb = before.tables[static_cast<size_t>(t - 1)];
      if (was != now && toldNow.contains(QStringLiteral("Таблица: %1. Поле: %2.")
                                             .arg(QString::fromStdString(tb.name), QString::fromStdString(fd.name))))
        continue;
      if (was != now)
        rep.failures << QStringLiteral("Ctrl+Alt+T did not bring back %1/%2/%3: \"%4\" is \"%5\"")
                            .arg(t).arg(r).arg(f).arg(was, now);
    }
    for (const auto &b : d->boxes.boxes) rep.boxes << QStringLiteral("(restore) ") + BoxLine(b);
  }

  form.reset();
  const QStringList left = QDir(d->tmpDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  if (!left.isEmpty()) rep.failures << QStringLiteral("folders left in the temporary folder: ") + left.join(QStringLiteral(", "));
  (void)hung;
  (void)defaults;
  return rep;
}

}  // namespace chaos
