#include "sim/model/device.h"

#include <QFileInfo>
#include <QThread>
#include <QTime>
#include <cmath>

#include "sim/model/image.h"
#include "sim/model/ldlist.h"

namespace osim {

namespace {

const char *const kMethods[] = {"GetCountLD",   "SetActiveLD",    "ShowProperties", "GetECRStatus", "ReadLoaderVersion",
                                "ReadSerialNumber", "GetTableStruct", "ReadTable",   "WriteTable",   "SetDFUMode",
                                "UpdateFirmware", "ResetSettings",  "SetDate",       "ConfirmDate",  "SetTime"};

}  // namespace

bool KnownMethod(const std::string &m) {
  for (const char *k : kMethods)
    if (m == k) return true;
  return false;
}

Device::Device(QString dir, int port) : store_(std::move(dir)), port_(port) {
  // The driver starts on its first logical device.
  if (port_ < 1) port_ = LogicalDevices::PortOf(1).value_or(1);
  auto add = [this](const char *n, Type t, bool w) { props_.emplace(n, Prop{t, w, 0, 0, {}}); };
  for (const char *n : {"ResultCode", "LDCount", "ECRMode", "ECRBuild", "FieldSize", "FieldType", "MINValueOfField",
                        "MAXValueOfField", "UpdateFirmwareStatus"})
    add(n, Type::Int, false);
  for (const char *n : {"Password", "LDNumber", "TableNumber", "RowNumber", "FieldNumber", "ValueOfFieldInteger",
                        "UpdateFirmwareMethod"})
    add(n, Type::Int, true);
  add("ECRSoftDate", Type::Double, false);
  add("Date", Type::Double, true);
  add("Time", Type::Double, true);
  for (const char *n : {"ResultCodeDescription", "ECRModeDescription", "ECRSoftVersion", "SerialNumber", "LoaderVersion",
                        "TableName", "FieldName", "UpdateFirmwareStatusMessage"})
    add(n, Type::Str, false);
  add("ValueOfFieldString", Type::Str, true);
  add("FileName", Type::Str, true);
  I("LDNumber") = 1;
  I("LDCount") = static_cast<int>(LogicalDevices::Load().size());
  S("ResultCodeDescription") = CodeDescription(kOk);
  store_.Read(port_);  // the register exists, and its file reads, before the first call
}

Device::Prop *Device::Find(const std::string &name, Type type) {
  auto it = props_.find(name);
  if (it == props_.end() || it->second.type != type) return nullptr;
  return &it->second;
}

bool Device::GetInt(const std::string &name, int &v) {
  if (name == "UpdateFirmwareStatus") RefreshTransfer();
  Prop *p = Find(name, Type::Int);
  if (!p) return false;
  v = p->i;
  return true;
}

bool Device::SetInt(const std::string &name, int v) {
  Prop *p = Find(name, Type::Int);
  if (!p || !p->writable) return false;
  p->i = v;
  sets_.emplace_back(name, v);
  return true;
}

bool Device::GetDouble(const std::string &name, double &v) {
  Prop *p = Find(name, Type::Double);
  if (!p) return false;
  v = p->d;
  return true;
}

bool Device::SetDouble(const std::string &name, double v) {
  Prop *p = Find(name, Type::Double);
  if (!p || !p->writable) return false;
  p->d = v;
  sets_.emplace_back(name, v);
  return true;
}

bool Device::GetStr(const std::string &name, std::string &v) {
  if (name == "UpdateFirmwareStatusMessage") RefreshTransfer();
  Prop *p = Find(name, Type::Str);
  if (!p) return false;
  v = p->s;
  return true;
}

bool Device::SetStr(const std::string &name, const std::string &v) {
  Prop *p = Find(name, Type::Str);
  if (!p || !p->writable) return false;
  p->s = v;
  sets_.emplace_back(name, v);
  return true;
}

// The transfer runs by the wall clock; its status is worked out when asked.
void Device::RefreshTransfer() {
  try {
    store_.Update(port_, [this](Register &r) {
      const std::int64_t now = NowMs();
      const bool changed = r.AdvanceXModem(now);
      I("UpdateFirmwareStatus") = r.xmodem.running ? 1 : 0;
      S("UpdateFirmwareStatusMessage") =
          r.xmodem.running ? "Загрузка ПО в ККТ: " + std::to_string(r.xmodemPercent(now)) + "%" : r.xmodem.message;
      return changed;
    });
  } catch (const std::exception &e) {
    I("UpdateFirmwareStatus") = 0;
    S("UpdateFirmwareStatusMessage") = std::string("Нет связи с ККТ: ") + e.what();
  }
}

int Device::Invoke(const std::string &method) {
  if (!KnownMethod(method)) return kUnknownMember;
  int rc = kOk;
  int latency = 0;
  bool dialog = false;
  std::string extra;
  // Activation asks the register of the chosen device, which may refuse it
  // (a method fault on that register); later calls go to that register.
  int port = port_;
  if (method == "SetActiveLD") port = LogicalDevices::PortOf(I("LDNumber")).value_or(port_);
  try {
    store_.Update(port, [&](Register &r) {
      bool changed = r.AdvanceXModem(NowMs());
      rc = Dispatch(r, method, changed);
      dialog = method == "ShowProperties" && rc == kOk;
      if (r.journalOn) {
        ojson set = ojson::array();
        for (auto &[n, v] : sets_) set.push_back(ojson::array({n, v}));
        store_.AppendJournal(port, {{"method", method}, {"set", std::move(set)}, {"result", rc}});
      }
      latency = r.latencyMs;
      return changed;
    });
  } catch (const std::exception &e) {
    rc = kNoLink;
    extra = std::string(": ") + e.what();
  }
  sets_.clear();
  if (method == "SetActiveLD" && rc == kOk) port_ = port;
  I("ResultCode") = rc;
  S("ResultCodeDescription") = CodeDescription(rc) + extra;
  if (latency > 0) QThread::msleep(static_cast<unsigned long>(latency));
  // The dialog runs outside the lock: others may use the register meanwhile.
  if (dialog && showProperties) showProperties(*this);
  return rc;
}

int Device::Dispatch(Register &r, const std::string &m, bool &changed) {
  if (int code = r.TakeMethodFault(m)) {
    changed = true;
    return code;
  }
  if (m == "GetCountLD") {
    I("LDCount") = static_cast<int>(LogicalDevices::Load().size());
    return kOk;
  }
  if (m == "SetActiveLD") return LogicalDevices::PortOf(I("LDNumber")) ? kOk : kBadLogicalDevice;
  if (m == "ShowProperties") return kOk;
  // The rest asks the register itself.
  if (r.dfu || r.cut) return kNoLink;
  if (r.xmodem.running) return kBusy;

  if (m == "GetECRStatus") {
    I("ECRMode") = r.reportedMode();
    S("ECRModeDescription") = ModeDescription(r.reportedMode());
    S("ECRSoftVersion") = r.firmware;
    I("ECRBuild") = r.build;
    D("ECRSoftDate") = DayNumber(r.date).value_or(0);
    S("SerialNumber") = r.serial();
    return kOk;
  }
  if (m == "ReadLoaderVersion") {
    S("LoaderVersion") = r.faults.loaderText ? *r.faults.loaderText : std::to_string(r.bootloader);
    return kOk;
  }
  if (m == "ReadSerialNumber") {
    if (r.setupCode) return r.setupCode;
    S("SerialNumber") = r.serial();
    return kOk;
  }
  if (m == "GetTableStruct") {
    const int t = I("TableNumber");
    if (t < 1 || t > static_cast<int>(r.tables.size())) return kBadTable;
    if (const TableFault *tf = r.FindTableFault(t)) return tf->code;
    const Table &tb = r.tables[static_cast<size_t>(t - 1)];
    S("TableName") = tb.name;
    I("RowNumber") = tb.rows;
    I("FieldNumber") = static_cast<int>(tb.fields.size());
    return kOk;
  }
  if (m == "ReadTable") return ReadTable(r);
  if (m == "WriteTable") {
    const int rc = WriteTable(r);
    changed = changed || rc == kOk;
    return rc;
  }
  if (m == "SetDFUMode") {
    if (r.faults.dfuRefused) return kDfuRefused;
    r.dfu = true;
    changed = true;
    return kOk;
  }
  if (m == "UpdateFirmware") {
    const int rc = StartXModem(r);
    changed = changed || rc == kOk;
    return rc;
  }

  // Set-up after an update; each step counts towards the register's request.
  int rc = kOk;
  if (m == "ResetSettings") {
    if (r.faults.reset147 > 0) {
      --r.faults.reset147;
      changed = true;
      return kRepeat;
    }
    r.ResetTables();
    r.setupDone |= kStepReset;
  } else if (m == "SetDate") {
    const double d = D("Date");
    if (!(d >= 1 && d < 2958466)) return kBadDate;
    r.pendingDate = static_cast<int>(std::floor(d));
    r.setupDone |= kStepDate;
  } else if (m == "ConfirmDate") {
    const double d = D("Date");
    if (!r.pendingDate || !(d >= 1 && d < 2958466) || static_cast<int>(std::floor(d)) != *r.pendingDate)
      return kDateNotConfirmed;
    r.clockDate = IsoDate(*r.pendingDate);
    r.pendingDate.reset();
    r.setupDone |= kStepConfirm;
  } else if (m == "SetTime") {
    const double t = D("Time");
    if (!(t >= 0) || !std::isfinite(t)) return kBadTime;
    const int ms = static_cast<int>(std::llround((t - std::floor(t)) * 86400000.0)) % 86400000;
    r.clockTime = QTime::fromMSecsSinceStartOfDay(ms).toString(QStringLiteral("HH:mm:ss")).toStdString();
    r.setupDone |= kStepTime;
  }
  if (r.setupCode && (r.setupDone & kAllSteps) == kAllSteps) r.setupCode = 0;
  changed = true;
  return rc;
}

int Device::ReadTable(Register &r) {
  const int t = I("TableNumber"), row = I("RowNumber"), f = I("FieldNumber");
  if (t < 1 || t > static_cast<int>(r.tables.size())) return kBadTable;
  const Table &tb = r.tables[static_cast<size_t>(t - 1)];
  if (row < 1 || row > tb.rows) return kBadRow;
  if (f < 1 || f > static_cast<int>(tb.fields.size())) return kBadField;
  // Reads need no password, but a password given must be one the register knows.
  if (const int pw = I("Password"); pw != 0) {
    bool known = false;
    if (r.tables.size() >= 2)
      for (int i = 1; i <= r.tables[1].rows && !known; ++i) known = r.tables[1].at(i, 1).i == pw;
    if (!known) return kBadPassword;
  }
  if (const CellFault *cf = r.FindCellFault(t, row, f, false)) return cf->code;
  const Field &fd = tb.fields[static_cast<size_t>(f - 1)];
  const Cell &c = tb.at(row, f);
  S("FieldName") = fd.name;
  I("FieldSize") = fd.size;
  I("FieldType") = fd.text ? 1 : 0;
  I("MINValueOfField") = static_cast<int>(fd.min);
  I("MAXValueOfField") = static_cast<int>(fd.max);
  I("ValueOfFieldInteger") = fd.text ? 0 : static_cast<int>(c.i);
  S("ValueOfFieldString") = fd.text ? c.s : std::to_string(c.i);
  return kOk;
}

int Device::WriteTable(Register &r) {
  const int t = I("TableNumber"), row = I("RowNumber"), f = I("FieldNumber");
  if (t < 1 || t > static_cast<int>(r.tables.size())) return kBadTable;
  Table &tb = r.tables[static_cast<size_t>(t - 1)];
  if (row < 1 || row > tb.rows) return kBadRow;
  if (f < 1 || f > static_cast<int>(tb.fields.size())) return kBadField;
  // Settings are changed by the system administrator only.
  if (r.tables.size() < 2 || I("Password") != r.tables[1].at(r.tables[1].rows, 1).i) return kBadPassword;
  if (const CellFault *cf = r.FindCellFault(t, row, f, true)) return cf->code;
  const Field &fd = tb.fields[static_cast<size_t>(f - 1)];
  if (fd.readonly) return kReadOnly;
  Cell &c = tb.at(row, f);
  if (fd.text) {
    const std::string &v = S("ValueOfFieldString");
    if (NarrowLength(v) > fd.size) return kTooLong;
    c.s = NarrowText(v);
  } else {
    std::int64_t v = I("ValueOfFieldInteger");
    // The property is 32 bits wide: an unsigned four-byte field comes and
    // goes as its bit pattern, as ReadTable gives it.
    if (v < 0 && v < fd.min && fd.max > INT32_MAX) v += std::int64_t{1} << 32;
    if (v < fd.min || v > fd.max) return kOutOfRange;
    c.i = v;
  }
  return kOk;
}

int Device::StartXModem(Register &r) {
  if (I("UpdateFirmwareMethod") != 1) return kUnsupportedMethod;
  const QString path = QString::fromStdString(S("FileName"));
  const QFileInfo fi(path);
  if (path.isEmpty() || !fi.isFile() || !fi.isReadable()) return kNoFile;
  XModem x;
  x.running = true;
  x.startMs = NowMs();
  x.size = fi.size();
  x.durationMs = x.size * 1000 / std::max(1, r.xmodemSpeed);
  // The register checks the image once it has it all; until then it receives.
  try {
    x.image = ReadImage(path);
  } catch (const std::exception &e) {
    x.error = e.what();
  }
  x.message = "Загрузка ПО в ККТ: 0%";
  r.xmodem = x;
  return kOk;
}

std::vector<std::string> DescribeFaults(const Faults &f) {
  std::vector<std::string> out;
  for (const auto &m : f.methods)
    out.push_back("method " + m.method + " -> " + std::to_string(m.code) +
                  (m.count < 0 ? " (always)" : " (" + std::to_string(m.count) + " left)"));
  for (const auto &c : f.cells)
    out.push_back("cell " + std::to_string(c.table) + " " + std::to_string(c.row) + " " + std::to_string(c.field) + " " +
                  (c.read && c.write ? "both" : c.read ? "read" : "write") + " -> " + std::to_string(c.code));
  for (const auto &t : f.tables)
    out.push_back("table " + std::to_string(t.table) + " GetTableStruct -> " + std::to_string(t.code));
  if (f.reset147) out.push_back("reset147 " + std::to_string(f.reset147));
  if (f.restartCode) out.push_back("restart-code " + std::to_string(f.restartCode));
  if (!f.restartSerial.empty()) out.push_back("restart-serial " + f.restartSerial);
  if (f.download) out.push_back("download" + (f.download->empty() ? std::string() : " \"" + *f.download + "\""));
  if (f.dfuRefused) out.push_back("dfu-refused");
  if (f.loaderText) out.push_back("loader-text \"" + *f.loaderText + "\"");
  if (f.mode) out.push_back("mode " + std::to_string(f.mode));
  if (f.dfuCut) out.push_back("dfu-cut " + std::to_string(f.dfuCut) + "%");
  if (f.unplug) out.push_back("unplug");
  return out;
}

}  // namespace osim
