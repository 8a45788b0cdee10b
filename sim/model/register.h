#pragma once
// The simulated register: identity, settings tables, set-up and transfer
// state, faults and the call journal. Plain data plus the operations the
// component, the DFU stand-in and ostrel-sim share.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace osim {

using ojson = nlohmann::ordered_json;

// Result codes of the register and the driver.
enum Code : int {
  kOk = 0,
  kNoLink = -1,
  kBadLogicalDevice = -8,
  kUnsupportedMethod = 55,
  kBadPassword = 79,
  kBadTable = 93,
  kBadRow = 94,
  kBadField = 95,
  kOutOfRange = 96,
  kTooLong = 97,
  kReadOnly = 100,
  kDfuRefused = 115,
  kMemoryDamaged = 116,
  kNeedsReset = 120,
  kNeedsDateTime = 121,
  kDateNotConfirmed = 122,
  kBadDate = 123,
  kBadTime = 124,
  kRepeat = 147,
  kBusy = 157,
  kNoFile = 160,
  kCellFault = 166,
};

std::string CodeDescription(int code);
std::string ModeDescription(int mode);

struct Field {
  std::string name;
  int size = 1;         // bytes
  bool text = false;    // false: integer
  std::int64_t min = 0, max = 0;
  bool readonly = false;
};

struct Cell {
  std::int64_t i = 0;
  std::string s;  // UTF-8; only what the 8-bit code page holds
};

struct Table {
  std::string name;
  int rows = 0;
  std::vector<Field> fields;
  std::vector<Cell> cells;  // row-major: (row-1) * fields + (field-1)

  Cell &at(int row, int field) { return cells[static_cast<size_t>((row - 1) * fields.size() + (field - 1))]; }
  const Cell &at(int row, int field) const {
    return cells[static_cast<size_t>((row - 1) * fields.size() + (field - 1))];
  }
};

struct MethodFault {
  std::string method;
  int code = 0;
  int count = 1;  // calls left; negative: always
};

struct CellFault {
  int table = 0, row = 0, field = 0;
  bool read = true, write = true;
  int code = kCellFault;
};

// GetTableStruct of one table fails.
struct TableFault {
  int table = 0;
  int code = kCellFault;
};

struct Faults {
  std::vector<MethodFault> methods;
  std::vector<CellFault> cells;
  std::vector<TableFault> tables;
  int reset147 = 0;                    // ResetSettings answers 147 this many times
  int restartCode = 0;                 // 116/120/121 asked after the next restart
  std::string restartSerial;           // serial number after the next restart
  std::optional<std::string> download; // a failing download, with its message
  bool dfuRefused = false;
  std::optional<std::string> loaderText;  // LoaderVersion as given, not a number
  int mode = 0;                        // reported instead of the real mode when non-zero
  int dfuCut = 0;                      // the next download stops at this percent (1..99); 0: none
  bool unplug = false;                 // the USB cable is out: no DFU device is seen

  bool empty() const;
};

// What a simulator image installs.
struct Image {
  int level = 0;           // 1 boot-loader, 2 firmware
  int bootloader = 0;
  std::string firmware;
  int build = 0;
  std::string date;        // YYYY-MM-DD
  std::int64_t size = 0;
};

struct XModem {
  bool running = false;
  std::int64_t startMs = 0;     // wall clock, ms since the Unix epoch
  std::int64_t durationMs = 0;
  std::int64_t size = 0;
  std::optional<Image> image;   // empty: the image was refused, see error
  std::string error;
  std::string message;          // the last status text
};

// The set-up steps a register asks for after a firmware update.
enum SetupStep : unsigned { kStepReset = 1, kStepDate = 2, kStepConfirm = 4, kStepTime = 8, kAllSteps = 15 };

struct Register {
  int port = 1;
  std::string firmware = "A.4";
  int build = 1234;
  std::string date = "2021-03-15";
  int bootloader = 155;
  int mode = 4;
  int latencyMs = 0;
  int xmodemSpeed = 16384;   // bytes per second
  bool dfu = false;
  // A download stopped part-way: no valid firmware until a complete one.
  // The register then answers no driver call, whatever else is set.
  bool cut = false;
  int restarts = 0;
  int setupCode = 0;         // ReadSerialNumber answers it until set-up is done
  unsigned setupDone = 0;
  std::optional<int> pendingDate;  // day number given to SetDate, awaiting ConfirmDate
  std::string clockDate, clockTime;
  std::vector<Table> tables;
  Faults faults;
  XModem xmodem;
  bool journalOn = false;  // the entries live in their own file, see Store

  std::string serial() const;
  void setSerial(const std::string &s);
  std::string model() const;  // characters 7 to 10 of the serial number
  int reportedMode() const { return faults.mode ? faults.mode : mode; }

  // The register restarts: counters in table 20 move, restart faults apply.
  void Restart();
  // Installs an image; the error text when it is refused (nothing changes then).
  std::optional<std::string> Install(const Image &img);
  // Settings tables back to their defaults; the serial number stays.
  void ResetTables();
  // Completes an XModem transfer whose time is up. True when state changed.
  bool AdvanceXModem(std::int64_t nowMs);
  int xmodemPercent(std::int64_t nowMs) const;
  // A method fault for this call, consumed; 0 when none.
  int TakeMethodFault(const std::string &method);
  const CellFault *FindCellFault(int table, int row, int field, bool write) const;
  const TableFault *FindTableFault(int table) const;

  ojson FaultsJson() const;
  ojson HeadJson() const;      // everything but the tables
  std::string ToText() const;  // the whole state as JSON text
  static Register FromJson(const ojson &j);  // throws std::exception on a malformed state
  ojson Summary() const;                      // what `show --json` prints
};

inline constexpr const char *kDefaultSerial = "0000420150";

Register DefaultRegister(int port = 1);
std::vector<Table> DefaultTables(const std::string &serial);

// Dates as the driver carries them: days since 1899-12-30.
std::optional<int> DayNumber(const std::string &isoDate);
std::string IsoDate(int dayNumber);
bool ValidIsoDate(const std::string &s);
std::int64_t NowMs();

// How many bytes the register's 8-bit code page needs for text, and the text
// as the register would hold it.
std::string NarrowText(const std::string &utf8);
int NarrowLength(const std::string &utf8);

}  // namespace osim
