// ostrel-sim: look at and change the simulated registers, make simulator
// images. Every change goes through the same locked state files the
// component and the DFU stand-in use.
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <stdexcept>

#include "sim/model/device.h"
#include "sim/model/image.h"
#include "sim/model/ldlist.h"
#include "sim/model/store.h"

namespace {

using osim::ojson;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "Usage: ostrel-sim [--dir DIR] [--port N] COMMAND [ARGS]\n"
    "The simulated fiscal register behind the driver component libostrel-sim.so.\n\n"
    "Commands:\n"
    "  init      create the register afresh, with identity options\n"
    "  show      print the register (--json for machine use)\n"
    "  set       change one identity value or setting\n"
    "  cell      read or write one settings-table cell\n"
    "  fault     set, clear or list faults\n"
    "  journal   the journal of driver calls: print, clear, on, off\n"
    "  reset     the register back to its defaults\n"
    "  image     make a simulator image for a download\n"
    "  device    the driver's logical devices: list, add, remove, set, storage\n\n"
    "Common options:\n"
    "  --dir DIR   state folder (default: $OSTREL_SIM_DIR, else $XDG_DATA_HOME/ostrel-sim,\n"
    "              else ~/.local/share/ostrel-sim)\n"
    "  --port N    the register's serial port number (default 1)\n\n"
    "ostrel-sim COMMAND --help shows the command's own help.\n";

const char *CommandHelp(const QString &cmd) {
  if (cmd == QLatin1String("init"))
    return "Usage: ostrel-sim init [--serial S] [--firmware TEXT] [--build N] [--date YYYY-MM-DD]\n"
           "                       [--bootloader N] [--mode N]\n"
           "Creates the register with the default tables and the given identity\n"
           "(defaults: serial 0000420150, firmware A.4, build 1234, date 2021-03-15,\n"
           "boot-loader 155, mode 4). The model code is characters 7 to 10 of the serial.\n"
           "A damaged state file is replaced; it is kept beside as <name>.damaged.\n";
  if (cmd == QLatin1String("show"))
    return "Usage: ostrel-sim show [--json]\n"
           "Prints serial, model, mode, firmware, build, date, boot-loader, DFU mode,\n"
           "settings and faults of the register.\n";
  if (cmd == QLatin1String("set"))
    return "Usage: ostrel-sim set KEY VALUE\n"
           "Keys: serial, firmware, build, date (YYYY-MM-DD), bootloader, mode,\n"
           "      latency (ms per driver call), xmodem-speed (bytes/s), dfu (on|off)\n";
  if (cmd == QLatin1String("cell"))
    return "Usage: ostrel-sim cell TABLE ROW FIELD [VALUE]\n"
           "Without VALUE prints the cell's value; with VALUE stores it (range and size\n"
           "are checked, the password is not). Tables, rows and fields count from 1.\n";
  if (cmd == QLatin1String("fault"))
    return "Usage: ostrel-sim fault set KIND ARGS...\n"
           "       ostrel-sim fault clear [KIND|all]\n"
           "       ostrel-sim fault list [--json]\n"
           "Kinds:\n"
           "  method NAME CODE [--times N|--always]  the method answers CODE (once by default)\n"
           "  cell TABLE ROW FIELD [read|write|both] [--code N]  the cell's read/write fails\n"
           "  table TABLE [--code N]  GetTableStruct of that table fails (default code 166)\n"
           "  reset147 N              ResetSettings answers 147 N times\n"
           "  restart-code 116|120|121  ReadSerialNumber asks for set-up after the next restart\n"
           "  restart-serial SERIAL   another serial number after the next restart\n"
           "  download [MESSAGE]      the next download is refused\n"
           "  dfu-refused             SetDFUMode is refused\n"
           "  dfu-cut [PERCENT]       the next DFU download stops at PERCENT (default 40): the\n"
           "                          register stays in DFU mode with no valid firmware\n"
           "  unplug                  the USB cable is out: no DFU device is listed, downloads fail\n"
           "  loader-text TEXT        LoaderVersion answers TEXT\n"
           "  ecrstatus [CODE]        GetECRStatus always fails (default code -1, no link)\n"
           "  mode N                  the register reports mode N\n";
  if (cmd == QLatin1String("journal"))
    return "Usage: ostrel-sim journal [--json] [--clear]\n"
           "       ostrel-sim journal on|off\n"
           "When on, every driver call is recorded with the input properties set before it.\n";
  if (cmd == QLatin1String("reset"))
    return "Usage: ostrel-sim reset\nPuts the register back to its defaults (identity, tables, faults, journal).\n"
           "A damaged state file is replaced; it is kept beside as <name>.damaged.\n";
  if (cmd == QLatin1String("image"))
    return "Usage: ostrel-sim image OUT --level 1 --bootloader N [--size BYTES]\n"
           "       ostrel-sim image OUT --level 2 --firmware TEXT --build N --date YYYY-MM-DD [--size BYTES]\n"
           "Writes a simulator image that installs the given boot-loader or firmware\n"
           "(default size 65536 bytes).\n";
  if (cmd == QLatin1String("device"))
    return "Usage: ostrel-sim device list [--json]\n"
           "       ostrel-sim device add [--name TEXT] [--type 0-6] [--com N] [--baud 0-6]\n"
           "                             [--ip ADDRESS] [--host NAME] [--use-ip 0|1] [--tcp-port N]\n"
           "       ostrel-sim device remove NUMBER\n"
           "       ostrel-sim device set NUMBER KEY VALUE\n"
           "       ostrel-sim device storage [0|1]\n"
           "The driver's logical devices, numbered from 1 as the program activates them.\n"
           "Each reaches the simulated register on its port (--com; default: --port, else\n"
           "the first port no device uses); that register is created when missing.\n"
           "Types: 0 local, 1 KKM server (TCP), 2 KKM server (DCOM), 3 ESCAPE, 4 unused,\n"
           "5 emulator, 6 TCP socket. Speeds: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400,\n"
           "5 57600, 6 115200. Keys for set: name, type, com, baud, ip, host, use-ip, tcp-port.\n"
           "storage: 0 keeps the devices for all users ($XDG_CONFIG_DIRS), 1 for the\n"
           "current user ($XDG_CONFIG_HOME); the choice is written to Ostrel.xml.\n"
           "Until the first change the driver has one device, on port 1.\n";
  return nullptr;
}

std::string S(const QString &s) { return s.toStdString(); }

void Print(const std::string &s) { std::fputs(s.c_str(), stdout); }

// Arguments left to a command, with options taken out as they are read.
struct Args {
  QStringList a;

  std::optional<QString> Opt(const char *name) {
    const QString n = QLatin1String(name);
    for (qsizetype i = 0; i < a.size(); ++i) {
      if (a[i] == n) {
        if (i + 1 >= a.size()) throw UsageError(std::string(name) + " needs a value");
        QString v = a[i + 1];
        a.remove(i, 2);
        return v;
      }
      if (a[i].startsWith(n + QLatin1Char('='))) {
        QString v = a[i].mid(n.size() + 1);
        a.remove(i);
        return v;
      }
    }
    return std::nullopt;
  }
  bool Flag(const char *name) {
    const qsizetype i = a.indexOf(QLatin1String(name));
    if (i < 0) return false;
    a.remove(i);
    return true;
  }
  // The positional arguments; an option nobody took is an error.
  QStringList Rest(qsizetype min, qsizetype max, const char *what) {
    for (const QString &s : a)
      if (s.startsWith(QLatin1String("--"))) throw UsageError("unknown option " + S(s));
    if (a.size() < min) throw UsageError(std::string("missing ") + what);
    if (a.size() > max) throw UsageError("unexpected argument " + S(a[max]));
    return a;
  }
};

int Int(const QString &s, const char *what) {
  bool ok = false;
  const int v = s.toInt(&ok);
  if (!ok) throw UsageError(std::string("not a number for ") + what + ": " + S(s));
  return v;
}

std::string Date(const QString &s) {
  if (!osim::ValidIsoDate(S(s))) throw UsageError("not a date (YYYY-MM-DD): " + S(s));
  return S(s);
}

std::string Firmware(const QString &s) {
  osim::Image probe;
  probe.level = 2;
  probe.firmware = S(s);
  probe.date = "2000-01-01";
  if (!osim::CheckImage(probe).empty()) throw UsageError("not a firmware version (1-16 printable ASCII characters): " + S(s));
  return S(s);
}

std::string Serial(const QString &s) {
  if (s.isEmpty() || s.size() > 20) throw UsageError("a serial number has 1 to 20 characters");
  return S(s);
}

void Positive(int v, const char *what, int min = 1) {
  if (v < min) throw UsageError(std::string(what) + " must be at least " + std::to_string(min));
}

std::string Text(const osim::Register &r) {
  std::string s;
  auto line = [&](const char *k, const std::string &v) { s += std::string(k) + ": " + v + "\n"; };
  line("port", std::to_string(r.port));
  line("serial", r.serial());
  line("model", r.model());
  line("mode", std::to_string(r.reportedMode()) + " (" + osim::ModeDescription(r.reportedMode()) + ")");
  line("firmware", r.cut ? std::string("—") : r.firmware);
  line("build", std::to_string(r.build));
  line("date", r.date);
  line("bootloader", std::to_string(r.bootloader));
  line("dfu", r.dfu ? "yes" : "no");
  line("restarts", std::to_string(r.restarts));
  line("setup", r.setupCode ? "asks (" + std::to_string(r.setupCode) + ")" : "no");
  line("latency", std::to_string(r.latencyMs) + " ms");
  line("xmodem-speed", std::to_string(r.xmodemSpeed) + " bytes/s");
  line("xmodem", r.xmodem.running ? "running" : r.xmodem.message.empty() ? "idle" : r.xmodem.message);
  line("journal", r.journalOn ? "on" : "off");
  size_t cells = 0;
  for (const auto &t : r.tables) cells += t.cells.size();
  line("tables", std::to_string(r.tables.size()) + " (" + std::to_string(cells) + " cells)");
  const auto faults = osim::DescribeFaults(r.faults);
  line("faults", faults.empty() ? "none" : std::to_string(faults.size()));
  for (const auto &f : faults) s += "  " + f + "\n";
  return s;
}

// init and reset are the way out of a damaged state file: they replace it,
// keeping the damaged one beside for a look.
void ReplaceState(osim::Store &store, int port, const osim::Register &r) {
  const QString kept = store.Replace(port, r);
  if (!kept.isEmpty())
    std::fprintf(stderr, "ostrel-sim: файл состояния был повреждён; он сохранён как %s\n", S(kept).c_str());
}

int CmdInit(osim::Store &store, int port, Args &args) {
  osim::Register r = osim::DefaultRegister(port);
  if (auto v = args.Opt("--serial")) r.setSerial(Serial(*v));
  if (auto v = args.Opt("--firmware")) r.firmware = Firmware(*v);
  if (auto v = args.Opt("--build")) { r.build = Int(*v, "--build"); Positive(r.build, "--build", 0); }
  if (auto v = args.Opt("--date")) r.date = Date(*v);
  if (auto v = args.Opt("--bootloader")) { r.bootloader = Int(*v, "--bootloader"); Positive(r.bootloader, "--bootloader"); }
  if (auto v = args.Opt("--mode")) { r.mode = Int(*v, "--mode"); Positive(r.mode, "--mode"); }
  args.Rest(0, 0, "");
  // Tables that carry the serial number follow the chosen one.
  const std::string serial = r.serial();
  r.tables = osim::DefaultTables(serial);
  ReplaceState(store, port, r);
  store.ClearJournal(port);
  Print("register on port " + std::to_string(port) + " created: serial " + serial + ", firmware " + r.firmware + "\n");
  return 0;
}

int CmdSet(osim::Store &store, int port, Args &args) {
  const QStringList p = args.Rest(2, 2, "KEY VALUE");
  const QString key = p[0], val = p[1];
  std::function<void(osim::Register &)> apply;
  if (key == QLatin1String("serial")) { auto v = Serial(val); apply = [v](osim::Register &r) { r.setSerial(v); }; }
  else if (key == QLatin1String("firmware")) { auto v = Firmware(val); apply = [v](osim::Register &r) { r.firmware = v; }; }
  else if (key == QLatin1String("build")) { int v = Int(val, "build"); Positive(v, "build", 0); apply = [v](osim::Register &r) { r.build = v; }; }
  else if (key == QLatin1String("date")) { auto v = Date(val); apply = [v](osim::Register &r) { r.date = v; }; }
  else if (key == QLatin1String("bootloader")) { int v = Int(val, "bootloader"); Positive(v, "bootloader"); apply = [v](osim::Register &r) { r.bootloader = v; }; }
  else if (key == QLatin1String("mode")) { int v = Int(val, "mode"); Positive(v, "mode"); apply = [v](osim::Register &r) { r.mode = v; }; }
  else if (key == QLatin1String("latency")) { int v = Int(val, "latency"); Positive(v, "latency", 0); apply = [v](osim::Register &r) { r.latencyMs = v; }; }
  else if (key == QLatin1String("xmodem-speed")) { int v = Int(val, "xmodem-speed"); Positive(v, "xmodem-speed"); apply = [v](osim::Register &r) { r.xmodemSpeed = v; }; }
  else if (key == QLatin1String("dfu")) {
    bool on;
    if (val == QLatin1String("on") || val == QLatin1String("1")) on = true;
    else if (val == QLatin1String("off") || val == QLatin1String("0")) on = false;
    else throw UsageError("dfu takes on or off");
    apply = [on](osim::Register &r) { r.dfu = on; };
  } else {
    throw UsageError("unknown key " + S(key) + " (see ostrel-sim set --help)");
  }
  store.Update(port, [&](osim::Register &r) { apply(r); return true; });
  return 0;
}

int CmdCell(osim::Store &store, int port, Args &args) {
  const QStringList p = args.Rest(3, 4, "TABLE ROW FIELD");
  const int t = Int(p[0], "TABLE"), row = Int(p[1], "ROW"), f = Int(p[2], "FIELD");
  std::string out, error;
  store.Update(port, [&](osim::Register &r) {
    if (t < 1 || t > static_cast<int>(r.tables.size())) { error = "no table " + std::to_string(t); return false; }
    osim::Table &tb = r.tables[static_cast<size_t>(t - 1)];
    if (row < 1 || row > tb.rows) { error = "table " + std::to_string(t) + " has no row " + std::to_string(row); return false; }
    if (f < 1 || f > static_cast<int>(tb.fields.size())) { error = "table " + std::to_string(t) + " has no field " + std::to_string(f); return false; }
    const osim::Field &fd = tb.fields[static_cast<size_t>(f - 1)];
    osim::Cell &c = tb.at(row, f);
    if (p.size() == 3) {
      out = (fd.text ? c.s : std::to_string(c.i)) + "\n";
      return false;
    }
    if (fd.text) {
      const std::string v = S(p[3]);
      if (osim::NarrowLength(v) > fd.size) { error = "text longer than the field's " + std::to_string(fd.size) + " bytes"; return false; }
      c.s = osim::NarrowText(v);
    } else {
      bool ok = false;
      const qlonglong v = p[3].toLongLong(&ok);
      if (!ok || v < fd.min || v > fd.max) {
        error = "value must be a number from " + std::to_string(fd.min) + " to " + std::to_string(fd.max);
        return false;
      }
      c.i = v;
    }
    return true;
  });
  if (!error.empty()) throw UsageError(error);
  Print(out);
  return 0;
}

int CmdFault(osim::Store &store, int port, Args &args) {
  if (args.a.isEmpty()) throw UsageError("fault needs set, clear or list");
  const QString sub = args.a.takeFirst();
  if (sub == QLatin1String("list")) {
    const bool json = args.Flag("--json");
    args.Rest(0, 0, "");
    const osim::Register r = store.Read(port);
    if (json) {
      Print(r.FaultsJson().dump(2) + "\n");
    } else {
      const auto lines = osim::DescribeFaults(r.faults);
      if (lines.empty()) Print("no faults\n");
      for (const auto &l : lines) Print(l + "\n");
    }
    return 0;
  }
  if (sub == QLatin1String("clear")) {
    const QStringList p = args.Rest(0, 2, "");
    const QString kind = p.isEmpty() ? QStringLiteral("all") : p[0];
    std::function<void(osim::Faults &)> clear;
    if (kind == QLatin1String("all")) clear = [](osim::Faults &f) { f = osim::Faults(); };
    else if (kind == QLatin1String("method")) {
      const std::string name = p.size() > 1 ? S(p[1]) : std::string();
      clear = [name](osim::Faults &f) {
        std::erase_if(f.methods, [&](const osim::MethodFault &m) { return name.empty() || m.method == name; });
      };
    } else if (kind == QLatin1String("ecrstatus")) clear = [](osim::Faults &f) { std::erase_if(f.methods, [](const osim::MethodFault &m) { return m.method == "GetECRStatus"; }); };
    else if (kind == QLatin1String("cell")) clear = [](osim::Faults &f) { f.cells.clear(); };
    else if (kind == QLatin1String("table")) clear = [](osim::Faults &f) { f.tables.clear(); };
    else if (kind == QLatin1String("reset147")) clear = [](osim::Faults &f) { f.reset147 = 0; };
    else if (kind == QLatin1String("restart-code")) clear = [](osim::Faults &f) { f.restartCode = 0; };
    else if (kind == QLatin1String("restart-serial")) clear = [](osim::Faults &f) { f.restartSerial.clear(); };
    else if (kind == QLatin1String("download")) clear = [](osim::Faults &f) { f.download.reset(); };
    else if (kind == QLatin1String("dfu-refused")) clear = [](osim::Faults &f) { f.dfuRefused = false; };
    else if (kind == QLatin1String("loader-text")) clear = [](osim::Faults &f) { f.loaderText.reset(); };
    else if (kind == QLatin1String("mode")) clear = [](osim::Faults &f) { f.mode = 0; };
    else if (kind == QLatin1String("dfu-cut")) clear = [](osim::Faults &f) { f.dfuCut = 0; };
    else if (kind == QLatin1String("unplug")) clear = [](osim::Faults &f) { f.unplug = false; };
    else throw UsageError("unknown fault kind " + S(kind) + " (see ostrel-sim fault --help)");
    store.Update(port, [&](osim::Register &r) { clear(r.faults); return true; });
    return 0;
  }
  if (sub != QLatin1String("set")) throw UsageError("fault needs set, clear or list, not " + S(sub));
  if (args.a.isEmpty()) throw UsageError("fault set needs a kind (see ostrel-sim fault --help)");
  const QString kind = args.a.takeFirst();
  std::function<void(osim::Faults &)> set;
  if (kind == QLatin1String("method")) {
    const auto times = args.Opt("--times");
    const bool always = args.Flag("--always");
    const QStringList p = args.Rest(2, 2, "NAME CODE");
    osim::MethodFault m{S(p[0]), Int(p[1], "CODE"), 1};
    if (!osim::KnownMethod(m.method)) throw UsageError("the driver has no method " + m.method);
    if (m.code == 0) throw UsageError("CODE 0 is success, not a fault");
    if (times) { m.count = Int(*times, "--times"); Positive(m.count, "--times"); }
    if (always) m.count = -1;
    set = [m](osim::Faults &f) { f.methods.push_back(m); };
  } else if (kind == QLatin1String("ecrstatus")) {
    const QStringList p = args.Rest(0, 1, "");
    osim::MethodFault m{"GetECRStatus", p.isEmpty() ? int(osim::kNoLink) : Int(p[0], "CODE"), -1};
    if (m.code == 0) throw UsageError("CODE 0 is success, not a fault");
    set = [m](osim::Faults &f) { f.methods.push_back(m); };
  } else if (kind == QLatin1String("cell")) {
    const auto code = args.Opt("--code");
    const QStringList p = args.Rest(3, 4, "TABLE ROW FIELD");
    osim::CellFault c{Int(p[0], "TABLE"), Int(p[1], "ROW"), Int(p[2], "FIELD"), true, true, osim::kCellFault};
    if (p.size() == 4) {
      if (p[3] == QLatin1String("read")) c.write = false;
      else if (p[3] == QLatin1String("write")) c.read = false;
      else if (p[3] != QLatin1String("both")) throw UsageError("cell faults are read, write or both");
    }
    if (code) { c.code = Int(*code, "--code"); if (c.code == 0) throw UsageError("CODE 0 is success, not a fault"); }
    set = [c](osim::Faults &f) { f.cells.push_back(c); };
  } else if (kind == QLatin1String("table")) {
    const auto code = args.Opt("--code");
    osim::TableFault t{Int(args.Rest(1, 1, "TABLE")[0], "TABLE"), osim::kCellFault};
    if (code) { t.code = Int(*code, "--code"); if (t.code == 0) throw UsageError("CODE 0 is success, not a fault"); }
    set = [t](osim::Faults &f) { f.tables.push_back(t); };
  } else if (kind == QLatin1String("reset147")) {
    const int n = Int(args.Rest(1, 1, "N")[0], "N");
    Positive(n, "N", 0);
    set = [n](osim::Faults &f) { f.reset147 = n; };
  } else if (kind == QLatin1String("restart-code")) {
    const int c = Int(args.Rest(1, 1, "CODE")[0], "CODE");
    if (c != 116 && c != 120 && c != 121) throw UsageError("restart-code is 116, 120 or 121");
    set = [c](osim::Faults &f) { f.restartCode = c; };
  } else if (kind == QLatin1String("restart-serial")) {
    const std::string s = Serial(args.Rest(1, 1, "SERIAL")[0]);
    set = [s](osim::Faults &f) { f.restartSerial = s; };
  } else if (kind == QLatin1String("download")) {
    const QStringList p = args.Rest(0, 1, "");
    const std::string msg = p.isEmpty() ? std::string() : S(p[0]);
    set = [msg](osim::Faults &f) { f.download = msg; };
  } else if (kind == QLatin1String("dfu-refused")) {
    args.Rest(0, 0, "");
    set = [](osim::Faults &f) { f.dfuRefused = true; };
  } else if (kind == QLatin1String("dfu-cut")) {
    const QStringList p = args.Rest(0, 1, "PERCENT");
    const int pc = p.isEmpty() ? 40 : Int(p[0], "PERCENT");
    if (pc < 1 || pc > 99) throw UsageError("PERCENT is 1 to 99");
    set = [pc](osim::Faults &f) { f.dfuCut = pc; };
  } else if (kind == QLatin1String("unplug")) {
    args.Rest(0, 0, "");
    set = [](osim::Faults &f) { f.unplug = true; };
  } else if (kind == QLatin1String("loader-text")) {
    const std::string t = S(args.Rest(1, 1, "TEXT")[0]);
    set = [t](osim::Faults &f) { f.loaderText = t; };
  } else if (kind == QLatin1String("mode")) {
    const int m = Int(args.Rest(1, 1, "N")[0], "N");
    Positive(m, "N");
    set = [m](osim::Faults &f) { f.mode = m; };
  } else {
    throw UsageError("unknown fault kind " + S(kind) + " (see ostrel-sim fault --help)");
  }
  store.Update(port, [&](osim::Register &r) { set(r.faults); return true; });
  return 0;
}

std::string JournalLine(const ojson &e) {
  std::string s = e.value("method", std::string());
  for (const auto &kv : e.value("set", ojson::array())) {
    if (!kv.is_array() || kv.size() != 2) continue;
    s += " " + kv[0].get<std::string>() + "=" + (kv[1].is_string() ? kv[1].get<std::string>() : kv[1].dump());
  }
  return s + " -> " + std::to_string(e.value("result", 0));
}

int CmdJournal(osim::Store &store, int port, Args &args) {
  const bool json = args.Flag("--json");
  const bool clear = args.Flag("--clear");
  const QStringList p = args.Rest(0, 1, "");
  if (!p.isEmpty()) {
    bool on;
    if (p[0] == QLatin1String("on")) on = true;
    else if (p[0] == QLatin1String("off")) on = false;
    else throw UsageError("journal takes on or off, not " + S(p[0]));
    store.Update(port, [&](osim::Register &r) { r.journalOn = on; return true; });
    if (clear) store.ClearJournal(port);
    return 0;
  }
  const ojson journal = store.ReadJournal(port);
  if (clear) store.ClearJournal(port);
  if (json) {
    Print(journal.dump(2) + "\n");
  } else {
    for (const auto &e : journal) Print(JournalLine(e) + "\n");
  }
  return 0;
}

int CmdImage(Args &args) {
  const auto level = args.Opt("--level");
  const auto bl = args.Opt("--bootloader");
  const auto fw = args.Opt("--firmware");
  const auto build = args.Opt("--build");
  const auto date = args.Opt("--date");
  const auto size = args.Opt("--size");
  const QStringList p = args.Rest(1, 1, "OUT");
  if (!level) throw UsageError("--level 1 or --level 2 is required");
  osim::Image img;
  img.level = Int(*level, "--level");
  if (img.level == 1) {
    if (!bl) throw UsageError("--level 1 needs --bootloader N");
    if (fw || build || date) throw UsageError("--level 1 takes only --bootloader (and --size)");
    img.bootloader = Int(*bl, "--bootloader");
    Positive(img.bootloader, "--bootloader");
  } else if (img.level == 2) {
    if (!fw || !build || !date) throw UsageError("--level 2 needs --firmware, --build and --date");
    if (bl) throw UsageError("--level 2 does not take --bootloader");
    img.firmware = Firmware(*fw);
    img.build = Int(*build, "--build");
    Positive(img.build, "--build", 0);
    img.date = Date(*date);
  } else {
    throw UsageError("--level is 1 (boot-loader) or 2 (firmware)");
  }
  qint64 bytes = osim::kDefaultImageSize;
  if (size) {
    bool ok = false;
    bytes = size->toLongLong(&ok);
    if (!ok || bytes < 1 || bytes > (qint64(1) << 30)) throw UsageError("--size must be a byte count up to 1 GiB");
  }
  try {
    osim::WriteImage(p[0], img, bytes);
  } catch (const std::exception &e) {
    throw std::runtime_error("cannot write " + S(p[0]) + ": " + e.what());
  }
  return 0;
}

// One property of a logical device from the command line.
void SetDeviceValue(osim::LogicalDevice &d, const QString &key, const QString &val) {
  auto range = [](int v, int lo, int hi, const char *what) {
    if (v < lo || v > hi) throw UsageError(std::string(what) + " is " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
  };
  if (key == QLatin1String("name")) d.name = S(val);
  else if (key == QLatin1String("type")) d.connectionType = range(Int(val, "type"), 0, 6, "type");
  else if (key == QLatin1String("com")) d.comNumber = range(Int(val, "com"), 1, 255, "com");
  else if (key == QLatin1String("baud")) d.baudrate = range(Int(val, "baud"), 0, 6, "baud");
  else if (key == QLatin1String("ip")) d.ipAddress = S(val);
  else if (key == QLatin1String("host")) d.computerName = S(val);
  else if (key == QLatin1String("use-ip")) d.useIPAddress = range(Int(val, "use-ip"), 0, 1, "use-ip");
  else if (key == QLatin1String("tcp-port")) d.tcpPort = range(Int(val, "tcp-port"), 1, 65535, "tcp-port");
  else throw UsageError("unknown key " + S(key) + " (see ostrel-sim device --help)");
}

int DeviceNumber(const QString &text, size_t count) {
  const int n = Int(text, "NUMBER");
  if (n < 1 || n > static_cast<int>(count)) throw UsageError("no logical device " + S(text) + " (there are " + std::to_string(count) + ")");
  return n;
}

// The register behind a new logical device: made when its port has none,
// with a serial number no other register in the folder has (the program
// keeps its tables snapshots per serial number, so two registers sharing one
// would share a snapshot). The number part counts up from the default's by
// port; the model code stays the default's.
void MakeRegisterFor(osim::Store &store, int port) {
  if (QFileInfo::exists(store.StatePath(port))) return;
  std::set<std::string> taken;
  for (int p : store.Ports()) {
    try {
      taken.insert(store.Read(p).serial());
    } catch (const std::exception &) {
      // A damaged register file names no serial.
    }
  }
  const std::string def = osim::kDefaultSerial;
  const std::string model = def.substr(6);
  long number = std::stol(def.substr(0, 6)) + (port - 1);
  std::string serial;
  for (;; ++number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06ld", number % 1000000);
    serial = digits + model;
    if (!taken.count(serial)) break;
  }
  osim::Register r = osim::DefaultRegister(port);
  r.setSerial(serial);
  r.tables = osim::DefaultTables(serial);
  store.Write(port, r);
}

int CmdDevice(osim::Store &store, std::optional<int> port, Args &args) {
  if (args.a.isEmpty()) throw UsageError("device needs list, add, remove, set or storage");
  const QString sub = args.a.takeFirst();
  auto devices = osim::LogicalDevices::Load();
  if (sub == QLatin1String("list")) {
    const bool json = args.Flag("--json");
    args.Rest(0, 0, "");
    if (json) {
      ojson list = ojson::array();
      for (const auto &d : devices) list.push_back(osim::ToJson(d));
      Print(ojson{{"storage", osim::LogicalDevices::StorageType()},
                  {"configured", osim::LogicalDevices::Configured()},
                  {"devices", list}}
                .dump(2) +
            "\n");
      return 0;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      const auto &d = devices[i];
      Print(std::to_string(i + 1) + ": " + d.name + " | " + osim::ConnectionTypeName(d.connectionType) + " | " +
            osim::Describe(d) + " | register on port " + std::to_string(d.comNumber) + "\n");
    }
    if (devices.empty()) Print("no logical devices\n");
    return 0;
  }
  if (sub == QLatin1String("storage")) {
    const QStringList p = args.Rest(0, 1, "");
    if (p.isEmpty()) {
      const int t = osim::LogicalDevices::StorageType();
      Print(std::to_string(t) + (t == 0 ? " (all users)" : " (current user)") + ", " +
            S(osim::LogicalDevices::ParamsFile()) + "\n");
      return 0;
    }
    const int t = Int(p[0], "storage");
    if (t != 0 && t != 1) throw UsageError("storage is 0 (all users) or 1 (current user)");
    osim::LogicalDevices::Save(devices, t);
    return 0;
  }
  if (sub == QLatin1String("add")) {
    osim::LogicalDevice d;
    std::optional<int> com = port;
    if (!com) {
      int free = 1;
      while (std::any_of(devices.begin(), devices.end(), [&](const osim::LogicalDevice &x) { return x.comNumber == free; })) ++free;
      com = free;
    }
    if (auto v = args.Opt("--com")) com = Int(*v, "--com");
    d = osim::DefaultLogicalDevice(*com);
    SetDeviceValue(d, QStringLiteral("com"), QString::number(*com));
    for (const char *key : {"name", "type", "baud", "ip", "host", "use-ip", "tcp-port"})
      if (auto v = args.Opt((std::string("--") + key).c_str())) SetDeviceValue(d, QLatin1String(key), *v);
    args.Rest(0, 0, "");
    devices.push_back(d);
    osim::LogicalDevices::Save(devices);
    MakeRegisterFor(store, d.comNumber);  // its register exists from now on
    Print("logical device " + std::to_string(devices.size()) + " added: " + d.name + ", register on port " +
          std::to_string(d.comNumber) + ", serial " + store.Read(d.comNumber).serial() + "\n");
    return 0;
  }
  if (sub == QLatin1String("remove")) {
    const QStringList p = args.Rest(1, 1, "NUMBER");
    const int n = DeviceNumber(p[0], devices.size());
    devices.erase(devices.begin() + (n - 1));
    osim::LogicalDevices::Save(devices);
    return 0;
  }
  if (sub == QLatin1String("set")) {
    const QStringList p = args.Rest(3, 3, "NUMBER KEY VALUE");
    const int n = DeviceNumber(p[0], devices.size());
    SetDeviceValue(devices[static_cast<size_t>(n - 1)], p[1], p[2]);
    osim::LogicalDevices::Save(devices);
    if (p[1] == QLatin1String("com")) MakeRegisterFor(store, devices[static_cast<size_t>(n - 1)].comNumber);
    return 0;
  }
  throw UsageError("device needs list, add, remove, set or storage, not " + S(sub));
}

int Run(QStringList argv) {
  Args args{argv};
  std::optional<QString> dir, portText;
  // Common options may come before or after the command.
  dir = args.Opt("--dir");
  portText = args.Opt("--port");
  const bool help = args.Flag("--help") || args.Flag("-h");
  if (args.a.isEmpty() || args.a.first() == QLatin1String("help")) {
    Print(kUsage);
    return help || !args.a.isEmpty() ? 0 : 2;
  }
  const QString cmd = args.a.takeFirst();
  const char *text = CommandHelp(cmd);
  if (!text) throw UsageError("unknown command " + S(cmd) + " (see ostrel-sim --help)");
  if (help) {
    Print(text);
    return 0;
  }
  int port = 1;
  if (portText) {
    port = Int(*portText, "--port");
    Positive(port, "--port");
  }
  if (cmd == QLatin1String("image")) return CmdImage(args);
  osim::Store store(dir.value_or(QString()));
  if (cmd == QLatin1String("init")) return CmdInit(store, port, args);
  if (cmd == QLatin1String("show")) {
    const bool json = args.Flag("--json");
    args.Rest(0, 0, "");
    osim::Register r;
    store.Update(port, [&](osim::Register &reg) {
      const bool changed = reg.AdvanceXModem(osim::NowMs());
      r = reg;
      return changed;
    });
    Print(json ? r.Summary().dump(2) + "\n" : Text(r));
    return 0;
  }
  if (cmd == QLatin1String("set")) return CmdSet(store, port, args);
  if (cmd == QLatin1String("cell")) return CmdCell(store, port, args);
  if (cmd == QLatin1String("fault")) return CmdFault(store, port, args);
  if (cmd == QLatin1String("journal")) return CmdJournal(store, port, args);
  if (cmd == QLatin1String("device")) return CmdDevice(store, portText ? std::optional<int>(port) : std::nullopt, args);
  if (cmd == QLatin1String("reset")) {
    args.Rest(0, 0, "");
    ReplaceState(store, port, osim::DefaultRegister(port));
    store.ClearJournal(port);
    return 0;
  }
  throw UsageError("unknown command " + S(cmd));
}

}  // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  try {
    return Run(app.arguments().mid(1));
  } catch (const UsageError &e) {
    std::fprintf(stderr, "ostrel-sim: %s\n", e.what());
    return 2;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "ostrel-sim: %s\n", e.what());
    return 1;
  }
}
