#include "app/program/cli.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>
#include <cstring>
#include <functional>
#include <memory>

#include "app/history.h"
#include "app/mainformunit.h"
#include "app/program/cli_policy.h"
#include "app/workfolders.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/waits.h"
#include "device/OstrelLib_TLB.h"
#include "device/XmlDriverParams.h"
#include "device/portlock.h"
#include "device/untDriver.h"
#include "forms/msgformunit.h"
#include "forms/progresstformunit.h"
#include "forms/rebootformunit.h"
#include "forms/selectldformunit.h"
#include "forms/updateformunit.h"
#include "package/inetutils.h"
#include "package/signature.h"
#include "rules/fwplan.h"

namespace {

// Only against the simulator: the prescribed waits after a transfer stand
// for a real register's restart, which a simulated one does at once.
const char kNoWaitsVariable[] = "TAVELIN_SIM_NO_WAITS";

class TNoWaitClock : public waits::Clock {
 public:
  std::uint64_t TickCount() override { return ticks_; }
  void Sleep(int ms) override { ticks_ += static_cast<std::uint64_t>(ms); }
  void ProcessMessages() override { QCoreApplication::processEvents(); }
  QDateTime Now() override { return QDateTime::currentDateTime(); }

 private:
  std::uint64_t ticks_ = 1000;
};

// One logical device of the driver, as the device dialog lists it.
struct TLogicalDevice {
  int number;  // LDNumber: registry key + 1
  QString name;
  int type;
  int port;
};

QList<TLogicalDevice> ListDevices(TDriver *drv) {
  QList<TLogicalDevice> list;
  if (drv->GetCountLD() != 0)
    throw Exception(QStringLiteral("the driver did not list its logical devices: ") + drv->ResultCodeDescription());
  const int n = drv->LDCount();
  for (int i = 0; i < n; ++i) {
    const TDeviceConnection c = ReadDeviceConnection(i);
    list.append({i + 1, ReadLDName(), c.type, c.type == 0 ? c.port : 0});
  }
  return list;
}

QString DeviceListText(const QList<TLogicalDevice> &list) {
  QString text;
  for (const TLogicalDevice &d : list)
    text += QStringLiteral("  %1  %2  %3\n")
                .arg(d.number)
                .arg(d.type == 0 ? QStringLiteral("local, port %1").arg(d.port)
                                 : QStringLiteral("not local (type %1)").arg(d.type),
                     d.name);
  return text;
}

int Worse(int a, int b) {
  // Ordered by how much the operator has to do about it.
  static const int rank[] = {/*0*/ 0, /*1*/ 5, /*2*/ 1, /*3*/ 3, /*4*/ 4, /*5*/ 2};
  return rank[b] > rank[a] ? b : a;
}

QString RunEndName(TRunEnd end) {
  switch (end) {
    case TRunEnd::None: return QStringLiteral("none");
    case TRunEnd::Latest: return QStringLiteral("latest");
    case TRunEnd::NotUpdated: return QStringLiteral("not-updated");
    case TRunEnd::NoLink: return QStringLiteral("no-link");
    case TRunEnd::NotChosen: return QStringLiteral("not-chosen");
    case TRunEnd::Busy: return QStringLiteral("busy");
    case TRunEnd::Refused: return QStringLiteral("refused");
    case TRunEnd::Error: return QStringLiteral("error");
    case TRunEnd::Stopped: return QStringLiteral("stopped");
  }
  return {};
}

// Every record of the update history as it is written.
class TRecordSink : public history::Sink {
 public:
  explicit TRecordSink(std::function<void(const QJsonObject &)> f) : f(std::move(f)) { history::AddSink(this); }
  ~TRecordSink() override { history::RemoveSink(this); }
  void Record(const QJsonObject &record) override { f(record); }

 private:
  std::function<void(const QJsonObject &)> f;
};

class TUpdateCommand {
 public:
  TUpdateCommand(const TUpdateOptions &opt, QTextStream &out, QTextStream &err)
      : o(opt), out(out), err(err), policy(err, opt.yes),
        sink([this](const QJsonObject &r) { HistoryRecord(r); }) {}

  int Run();

 private:
  // Output: a JSON record a line, or a readable line. journal: the record
  // also goes into the update history (and from there to the output).
  void Record(const QString &event, QJsonObject fields, const QString &readable, bool journal = false);
  int Fail(int code, const QString &message);
  bool PreparePackage(QString &file);
  int UpdateOne(const TLogicalDevice *device);
  void PrintPlan(const TECRFwInfo &identity);
  void PrintRegisterState();
  // A record of the update history: printed (--json: as it is; otherwise
  // the run's own steps as readable lines), and the first identity kept.
  void HistoryRecord(const QJsonObject &r);

  const TUpdateOptions &o;
  QTextStream &out;
  QTextStream &err;
  TUnattendedPolicy policy;
  std::unique_ptr<TMainForm> form;
  QTemporaryDir downloads;
  // Marked in use like the working folder, so that a copy killed during the
  // download leaves nothing for good: the next start removes it.
  struct TDownloadsMark {
    QTemporaryDir &dir;
    QString path = dir.path();
    explicit TDownloadsMark(QTemporaryDir &d) : dir(d) { workfolders::Claim(path); }
    ~TDownloadsMark() {
      dir.remove();
      workfolders::Release(path);
    }
  } downloadsMark{downloads};
  TRecordSink sink;
  TECRFwInfo firstIdentity{QString(), -1, -1, -1.0};
  bool identified = false;
  int deviceNumber = 0;  // of the device under way, for the records
  int devicePort = 0;
  QString deviceName;
};

void TUpdateCommand::HistoryRecord(const QJsonObject &r) {
  const QString event = r.value(QStringLiteral("event")).toString();
  if (event == QStringLiteral("run-start") && !identified) {
    identified = true;
    const QJsonObject id = r.value(QStringLiteral("identity")).toObject();
    firstIdentity.firmware = id.value(QStringLiteral("firmware")).toString();
    firstIdentity.build = id.value(QStringLiteral("build")).toInt();
    firstIdentity.bootloader = id.value(QStringLiteral("bootloader")).toInt();
  }
  if (o.json) {
    out << QString::fromUtf8(QJsonDocument(r).toJson(QJsonDocument::Compact)) << '\n';
  } else if (!event.startsWith(QStringLiteral("unattended-"))) {
    // Those have readable lines of their own.
    out << "  " << event << ": " << history::Summary(r).simplified() << '\n';
  }
  out.flush();
}

void TUpdateCommand::Record(const QString &event, QJsonObject fields, const QString &readable, bool journal) {
  QJsonObject rec;
  rec.insert(QStringLiteral("event"), event);
  if (deviceNumber > 0) {
    QJsonObject device{{QStringLiteral("number"), deviceNumber}};
    if (!deviceName.isEmpty()) device.insert(QStringLiteral("name"), deviceName);
    if (devicePort > 0) device.insert(QStringLiteral("port"), devicePort);
    rec.insert(QStringLiteral("device"), device);
  }
  for (auto it = fields.begin(); it != fields.end(); ++it) rec.insert(it.key(), it.value());
  if (journal) {
    history::Append(rec);  // printed by the sink with --json
  } else if (o.json) {
    QJsonObject timed{{QStringLiteral("time"), QDateTime::currentDateTime().toOffsetFromUtc(
                                                   QDateTime::currentDateTime().offsetFromUtc())
                                                   .toString(Qt::ISODateWithMs)}};
    for (auto it = rec.begin(); it != rec.end(); ++it) timed.insert(it.key(), it.value());
    out << QString::fromUtf8(QJsonDocument(timed).toJson(QJsonDocument::Compact)) << '\n';
  }
  if (!o.json && !readable.isEmpty()) out << readable << '\n';
  out.flush();
}

int TUpdateCommand::Fail(int code, const QString &message) {
  err << "tavelin: " << message << '\n';
  err.flush();
  Record(QStringLiteral("unattended-end"), {{QStringLiteral("code"), code}, {QStringLiteral("message"), message}},
         QString());
  return code;
}

namespace {

// The package given on the command line is checked as a downloaded one is:
// with trusted keys on this machine, its signature (FILE.minisig beside it, or
// URL.minisig) must be valid. Raises with the reason.
void CheckPackageSignature(const QString &file, const QString &signatureSource, bool remote) {
  const signature::KeyRing ring = signature::LoadTrustedKeys();
  for (const QString &e : ring.errors) signature::Log(QStringLiteral("Файл ключа пропущен: %1").arg(e));
  const QString refused = QStringLiteral("Пакет обновлений не прошёл проверку подлинности: %1.");
  if (ring.keys.isEmpty()) {
    if (!ring.errors.isEmpty())
      throw Exception(refused.arg(QStringLiteral("ошибка файла ключа %1").arg(ring.errors.first())));
    if (signature::SignedPackagesRequired()) throw Exception(refused.arg(QStringLiteral("нет доверенных ключей")));
    signature::Log(QStringLiteral("Подпись пакета %1 не проверялась: доверенных ключей нет.").arg(signatureSource));
    return;
  }
  QString sigPath = file + QStringLiteral(".minisig");
  if (remote) {
    try {
      if (!DownloadFile(signatureSource + QStringLiteral(".minisig"), sigPath, {}, signature::kMaxSignatureBytes))
        throw Exception(refused.arg(QStringLiteral("нет подписи")));
    } catch (const Exception &) {
      throw;
    } catch (const std::exception &e) {
      throw Exception(refused.arg(QStringLiteral("нет подписи (%1)").arg(ExceptionMessage(e))));
    }
  }
  QFile f(sigPath);
  const QFileInfo info(sigPath);
  if (!info.isFile() || !f.open(QIODevice::ReadOnly)) throw Exception(refused.arg(QStringLiteral("нет подписи")));
  const QByteArray text = f.read(signature::kMaxSignatureBytes + 1);
  const signature::Verdict v = signature::VerifyFile(file, text, ring.keys);
  if (!v.ok) throw Exception(refused.arg(v.reason));
  signature::Log(QStringLiteral("Подпись пакета %1 верна: ключ %2, доверенный комментарий: %3")
                     .arg(signatureSource, v.keyId, v.trustedComment));
}

}  // namespace

bool TUpdateCommand::PreparePackage(QString &file) {
  const QString given = o.package;
  const QUrl url(given);
  if (url.scheme() == QStringLiteral("http") || url.scheme() == QStringLiteral("https")) {
    if (!downloads.isValid()) throw Exception(QStringLiteral("no temporary folder for the download"));
    file = downloads.filePath(QStringLiteral("arhive.zip"));
    if (!DownloadFile(given, file, {}))
      throw Exception(QStringLiteral("the package %1 could not be downloaded").arg(given));
    CheckPackageSignature(file, given, true);
  } else {
    file = url.isLocalFile() ? url.toLocalFile() : given;
    if (!QFileInfo(file).isFile() || !QFileInfo(file).isReadable())
      throw Exception(QStringLiteral("the package %1 cannot be read").arg(file));
    CheckPackageSignature(file, file, false);
  }
  return true;
}

int TUpdateCommand::Run() {
  if (o.package.isEmpty() == false) {
    QString file;
    try {
      PreparePackage(file);
    } catch (const std::exception &e) {
      return Fail(kExitUsage, ExceptionMessage(e));
    }
    TMainForm::UsePackageFile(file);
  }

  // The forms of the run, as the program start makes them; never shown.
  form = std::make_unique<TMainForm>();
  struct Forms {
    explicit Forms(QWidget *owner) {
      // Those a caller made already are kept.
      if (!SelectLDForm) made.select = SelectLDForm = new TSelectLDForm(owner);
      if (!UpdateForm) made.update = UpdateForm = new TUpdateForm(owner);
      if (!RebootForm) made.reboot = RebootForm = new TRebootForm(owner);
      if (!ProrgessTForm) made.progress = ProrgessTForm = new TProrgessTForm(owner);
      if (!MsgForm) made.msg = MsgForm = new TMsgForm(owner);
    }
    // The forms go with their owner, the main window.
    ~Forms() {
      if (made.select) SelectLDForm = nullptr;
      if (made.update) UpdateForm = nullptr;
      if (made.reboot) RebootForm = nullptr;
      if (made.progress) ProrgessTForm = nullptr;
      if (made.msg) MsgForm = nullptr;
    }
    struct {
      QWidget *select = nullptr, *update = nullptr, *reboot = nullptr, *progress = nullptr, *msg = nullptr;
    } made;
  } forms(form.get());
  if (form->stopRequested()) return Fail(kExitFailed, QStringLiteral("stopped by a signal"));
  form->ShowWithoutWindow();
  // A package that did not prepare would leave no rules, and an empty rules
  // set reads as "nothing to update".
  if (policy.errors > 0) return Fail(kExitUsage, QStringLiteral("the package is not usable: ") + policy.lastMessage);

  // The device is activated before the run; the run goes on with it.
  form->ChooseDeviceHook = [] { return true; };

  QList<TLogicalDevice> devices;
  try {
    devices = ListDevices(Driver());
  } catch (const std::exception &e) {
    return Fail(kExitUsage, ExceptionMessage(e));
  }

  QList<const TLogicalDevice *> chosen;
  if (o.allLocal) {
    for (const TLogicalDevice &d : devices)
      if (d.type == 0) chosen.append(&d);
    if (chosen.isEmpty())
      return Fail(kExitUsage, QStringLiteral("no logical device is attached locally\n") + DeviceListText(devices));
  } else if (o.device > 0) {
    if (o.device > devices.size())
      return Fail(kExitUsage,
                  QStringLiteral("no logical device %1; the driver knows:\n").arg(o.device) + DeviceListText(devices));
    const TLogicalDevice &d = devices.at(o.device - 1);
    if (d.type != 0)
      return Fail(kExitUsage, QStringLiteral("logical device %1 is not attached locally").arg(o.device));
    chosen.append(&d);
  } else if (devices.size() == 1) {
    chosen.append(static_cast<const TLogicalDevice *>(nullptr));  // the driver's current device, as the window goes on with it
  } else {
    return Fail(kExitUsage,
                devices.isEmpty()
                    ? QStringLiteral("the driver knows no logical device")
                    : QStringLiteral("the driver knows several logical devices; choose one with --device N "
                                     "or take all with --all-local:\n") +
                          DeviceListText(devices));
  }

  int worst = kExitLatest;
  int installed = 0;
  for (const TLogicalDevice *d : chosen) {
    const int code = UpdateOne(d);
    installed += form->FInstalled;
    worst = Worse(worst, code);
    if (form->stopRequested()) break;
  }
  deviceNumber = devicePort = 0;
  deviceName.clear();
  Record(QStringLiteral("summary"),
         {{QStringLiteral("code"), worst}, {QStringLiteral("installed"), installed},
          {QStringLiteral("devices"), static_cast<int>(chosen.size())}},
         QStringLiteral("Result: %1 (exit code %2)")
             .arg(installed > 0 ? QStringLiteral("%1 update(s) installed").arg(installed)
                                : QStringLiteral("nothing installed"))
             .arg(worst));
  return worst;
}

int TUpdateCommand::UpdateOne(const TLogicalDevice *device) {
  TDriver *drv = Driver();
  policy.Reset();
  form->FInstalled = 0;
  deviceNumber = device ? device->number : qMax(1, drv->LDNumber());
  devicePort = device ? device->port : ActiveDevicePort();
  deviceName = device ? device->name : QString();
  if (!device && devicePort > 0) deviceName = ReadLDName();  // ActiveDevicePort chose the key
  Record(QStringLiteral("unattended-start"), {{QStringLiteral("plan"), !o.yes}},
         QStringLiteral("Device %1 (port %2):").arg(deviceNumber).arg(devicePort), true);
  if (device) {
    drv->setLDNumber(device->number);
    if (drv->SetActiveLD() != 0) {
      const QString why = QStringLiteral("logical device %1 could not be activated: %2")
                              .arg(device->number)
                              .arg(drv->ResultCodeDescription());
      err << "tavelin: " << why << '\n';
      Record(QStringLiteral("unattended-end"), {{QStringLiteral("code"), kExitFailed}, {QStringLiteral("message"), why}},
             why, true);
      return kExitFailed;
    }
  }

  identified = false;
  form->CheckConnectButtonClick();

  int code = kExitFailed;
  switch (form->FRunEnd) {
    case TRunEnd::Latest: code = kExitLatest; break;
    case TRunEnd::NotUpdated:
      // Offers declined and nothing else wrong: the plan.
      code = !o.yes && policy.declined > 0 && policy.errors == 0 ? kExitNothing : kExitFailed;
      break;
    case TRunEnd::Refused: code = kExitRefused; break;
    case TRunEnd::Busy: code = kExitBusy; break;
    case TRunEnd::NotChosen: code = kExitUsage; break;
    default: code = kExitFailed; break;
  }
  if (code == kExitNothing && identified) PrintPlan(firstIdentity);

  QJsonObject end{{QStringLiteral("code"), code},
                  {QStringLiteral("result"), RunEndName(form->FRunEnd)},
                  {QStringLiteral("installed"), form->FInstalled}};
  if (!form->FSerial.isEmpty()) {
    end.insert(QStringLiteral("serial"), form->FSerial);
  }
  if (code != kExitLatest && code != kExitNothing && !policy.lastMessage.isEmpty())
    end.insert(QStringLiteral("message"), policy.lastMessage);
  Record(QStringLiteral("unattended-end"), end,
         QStringLiteral("Device %1: %2 (exit code %3)").arg(deviceNumber).arg(RunEndName(form->FRunEnd)).arg(code),
         true);
  if (code == kExitFailed) PrintRegisterState();
  return code;
}

void TUpdateCommand::PrintPlan(const TECRFwInfo &identity) {
  const TPlan plan = PlanPasses(identity, form->FRules);
  QJsonArray steps;
  QStringList words;
  for (const TPlanPass &p : plan.passes)
    for (int index : {p.bootloaderRule, p.firmwareRule}) {
      if (index < 0) continue;
      const TFWRule &r = form->FRules.at(index);
      const QString target = r.level == 1 ? QString::number(r.blver)
                                          : r.fwver + QLatin1Char('/') + QString::number(r.fwbuild);
      steps.append(QJsonObject{{QStringLiteral("level"), r.level},
                               {QStringLiteral("file"), r.filename},
                               {QStringLiteral("target"), target}});
      words << QStringLiteral("%1 %2 (%3)")
                   .arg(r.level == 1 ? QStringLiteral("boot-loader") : QStringLiteral("firmware"), target,
                        r.filename);
    }
  Record(QStringLiteral("plan"), {{QStringLiteral("steps"), steps}, {QStringLiteral("stop"), PlanStopName(plan.stop)}},
         QStringLiteral("Would install: ") + words.join(QStringLiteral("; ")) +
             QStringLiteral("\nRun again with --yes to install."));
}

void TUpdateCommand::PrintRegisterState() {
  try {
    TDriver *drv = Driver();
    QString state;
    if (drv->GetECRStatus() == 0)
      state = QStringLiteral("answers: firmware %1, build %2, mode %3 (%4)")
                  .arg(codepage::Narrow(drv->ECRSoftVersion()))
                  .arg(drv->ECRBuild())
                  .arg(drv->ECRMode())
                  .arg(drv->ECRModeDescription());
    else
      state = QStringLiteral("does not answer: (%1) %2").arg(drv->ResultCode()).arg(drv->ResultCodeDescription());
    err << "tavelin: the register " << state << '\n';
    err.flush();
    Record(QStringLiteral("state"), {{QStringLiteral("state"), state}}, QString());
  } catch (const std::exception &e) {
    err << "tavelin: the register's state is unknown: " << ExceptionMessage(e) << '\n';
  }
}

}  // namespace

bool WantsCommandLine(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    for (const char *w : {"--update", "--help", "-h", "--version"})
      if (std::strcmp(argv[i], w) == 0) return true;
  return false;
}

bool ParseUpdateArgs(const QStringList &args, TUpdateOptions &opt, QString &error) {
  for (int i = 0; i < args.size(); ++i) {
    QString word = args.at(i);
    QString value;
    bool inlineValue = false;
    if (word.startsWith(QStringLiteral("--")) && word.contains(QLatin1Char('='))) {
      value = word.mid(word.indexOf(QLatin1Char('=')) + 1);
      word = word.left(word.indexOf(QLatin1Char('=')));
      inlineValue = true;
    }
    auto takeValue = [&]() {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        error = word + QStringLiteral(" needs a value");
        return false;
      }
      value = args.at(++i);
      return true;
    };
    const bool flag = !inlineValue;
    if (word == QStringLiteral("--update") && flag) opt.update = true;
    else if ((word == QStringLiteral("--help") || word == QStringLiteral("-h")) && flag) opt.help = true;
    else if (word == QStringLiteral("--version") && flag) opt.version = true;
    else if (word == QStringLiteral("--all-local") && flag) opt.allLocal = true;
    else if (word == QStringLiteral("--yes") && flag) opt.yes = true;
    else if (word == QStringLiteral("--json") && flag) opt.json = true;
    else if (word == QStringLiteral("--device")) {
      if (!takeValue()) return false;
      bool ok = false;
      opt.device = value.toInt(&ok, 10);
      if (!ok || opt.device < 1) {
        error = QStringLiteral("--device needs a device number (1, 2, ...), not '%1'").arg(value);
        return false;
      }
    } else if (word == QStringLiteral("--package")) {
      if (!takeValue()) return false;
      if (value.isEmpty()) {
        error = QStringLiteral("--package needs a URL or a file");
        return false;
      }
      opt.package = value;
    } else {
      error = QStringLiteral("unknown argument '%1'").arg(args.at(i));
      return false;
    }
  }
  if (opt.help || opt.version) return true;
  if (!opt.update) {
    error = QStringLiteral("--update is not given");
    return false;
  }
  if (opt.allLocal && opt.device > 0) {
    error = QStringLiteral("--device and --all-local exclude each other");
    return false;
  }
  return true;
}

QString UpdateUsage() {
  return QStringLiteral(
      "Usage: tavelin                     the window\n"
      "       tavelin --update [--device N | --all-local] [--yes] [--json] [--package URL|FILE]\n"
      "\n"
      "Updates registers from the command line with the window's own update run; no\n"
      "window is shown and no display is needed.\n"
      "\n"
      "  --update          update a register (without --yes: print the plan only)\n"
      "  --device N        the logical device numbered N, as the device dialog numbers\n"
      "                    them; without it the only logical device\n"
      "  --all-local       every logical device attached locally, in turn; goes on\n"
      "                    after a failure and exits with the worst code\n"
      "  --yes             install what the plan shows (the update offer is accepted)\n"
      "  --json            one JSON object a line on standard output for every step\n"
      "  --package SOURCE  this package (http(s) URL or file) instead of url.txt's or\n"
      "                    the built-in one\n"
      "  --help, --version\n"
      "\n"
      "Questions are answered the safe way: the offer only with --yes; the driver's\n"
      "\"Продолжить выполнение ?\" after a failed call: No. Every box is printed on\n"
      "standard error and acknowledged.\n"
      "\n"
      "Exit codes:\n"
      "  0  the register is on the newest firmware the package allows (updated or already)\n"
      "  1  the update failed (the message and the register's state are printed)\n"
      "  2  nothing done: the plan was printed (no --yes)\n"
      "  3  refused: unsupported model, wrong mode, unreadable boot-loader version\n"
      "  4  usage or configuration error (arguments, devices, package)\n"
      "  5  the register is busy: another copy of the program is updating it\n");
}

int RunUpdateCommand(const TUpdateOptions &opt, QTextStream &out, QTextStream &err) {
  std::unique_ptr<TNoWaitClock> noWaits;
  if (qEnvironmentVariableIsSet(kNoWaitsVariable) &&
      QFileInfo(TOstrel::ComponentPath()).fileName() == QStringLiteral("libostrel-sim.so")) {
    noWaits = std::make_unique<TNoWaitClock>();
    waits::SetClock(noWaits.get());
  }
  struct RestoreClock {
    bool set;
    ~RestoreClock() {
      if (set) waits::SetClock(nullptr);
    }
  } restore{noWaits != nullptr};
  TUpdateCommand command(opt, out, err);
  return command.Run();
}

int RunCommandLine(const QStringList &args, QTextStream &out, QTextStream &err) {
  TUpdateOptions opt;
  QString error;
  if (!ParseUpdateArgs(args, opt, error)) {
    err << "tavelin: " << error << "\n\n" << UpdateUsage();
    return kExitUsage;
  }
  if (opt.help) {
    out << UpdateUsage();
    return 0;
  }
  if (opt.version) {
    out << "tavelin " << TAVELIN_VERSION_MAJOR << '.' << TAVELIN_VERSION_MINOR << '.' << TAVELIN_VERSION_PATCH
        << '.' << TAVELIN_VERSION_TWEAK << '\n';
    return 0;
  }
  return RunUpdateCommand(opt, out, err);
}
