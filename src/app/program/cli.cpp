#include "app/program/cli.h"

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QEventLoop>
#include <QProcess>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <cstring>
#include <memory>

#include "app/program/consoleview.h"
#include "common/signals.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/waits.h"
#include "device/OstrelLib_TLB.h"
#include "device/XmlDriverParams.h"
#include "device/portlock.h"
#include "device/untDriver.h"
#include "package/inetutils.h"
#include "package/packageverify.h"
#include "package/signature.h"
#include "rules/fwplan.h"
#include "run/runjournal.h"
#include "run/startup.h"
#include "run/updaterun.h"
#include "state/history.h"
#include "state/pending.h"

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

QString IdentityText(const TECRFwInfo &id) {
  return QStringLiteral("%1/%2/%3").arg(id.firmware).arg(id.build).arg(id.bootloader);
}

// The same from a record's "before" or "after"; "?" when the record has none.
QString IdentityText(const QJsonObject &id) {
  if (id.isEmpty()) return QStringLiteral("?");
  return IdentityText(TECRFwInfo{id.value(QStringLiteral("firmware")).toString(), id.value(QStringLiteral("build")).toInt(),
                                 id.value(QStringLiteral("bootloader")).toInt()});
}

// The package given on the command line, or named in url.txt, is checked as
// the window checks a downloaded one. file: the copy that will be used.
// Raises with the reason.
void CheckPackage(const QString &file, const packagecheck::TSource &source, const DownloadProgress &progress = {}) {
  const packagecheck::TVerdict v = packagecheck::Check(file, source, progress);
  if (!v.ok) throw Exception(packagecheck::RefusalText(v.reason));
}

class TUpdateCommand {
 public:
  TUpdateCommand(const TUpdateOptions &opt, QTextStream &out, QTextStream &err)
      : o(opt), out(out), err(err), view(err, opt.yes) {
    view.onRecord = [this](const QJsonObject &r) { Print(r); };
    // The register's own waits (seconds to half a minute) are not silent: a
    // live line on a terminal, one plain line a wait otherwise; nothing in
    // --json.
    if (!opt.json) {
      const bool terminal = ::isatty(STDOUT_FILENO) == 1;
      view.onWait = [this, terminal](const QString &line, bool first) {
        if (terminal) {
          this->out << (line.isEmpty() ? QStringLiteral("\r\033[K") : QStringLiteral("\r\033[K  ") + line);
        } else if (first) {
          this->out << "  " << line.section(QStringLiteral(" — "), 0, 0) << " ("
                    << line.section(QStringLiteral("осталось "), 1) << ")\n";
        }
        this->out.flush();
      };
    }
    // The first signal finishes the step under way, as in the window; the
    // second ends the program at once, its working folder removed.
    SetTerminationHandler([this](int sig, int count) {
      if (count >= 2) {
        startup::RemoveWorkFolder(run.FTempPath);
        ExitForSignal(sig);
      }
      run.RequestStop();
    });
  }
  ~TUpdateCommand() {
    SetTerminationHandler({});
    startup::RemoveWorkFolder(run.FTempPath);
  }

  int Run();

 private:
  // A record of the command line's own: printed (--json: as it is), and with
  // journal also written into the update history.
  void Record(const QString &event, QJsonObject fields, const QString &readable, bool journal = false);
  // A record as written: one JSON line, or a readable line of the run's steps.
  void Print(const QJsonObject &r);
  int Fail(int code, const QString &message);
  void PreparePackage();
  int UpdateOne(const TLogicalDevice *device);
  // Every device in a process of its own (this program with --device K), at
  // most o.parallel at once; their records relayed as they come.
  int UpdateInParallel(const QList<const TLogicalDevice *> &devices);
  int ExitCode(const TRunResult &r) const;
  void PrintPlan(const TRunResult &r);
  void PrintRegisterState();

  const TUpdateOptions &o;
  QTextStream &out;
  QTextStream &err;
  TConsoleView view;
  TUpdateRun run;
  int lastInstalled = 0;
  // The device of the run under way, for the command line's own records.
  QJsonObject device;
};

void TUpdateCommand::Print(const QJsonObject &r) {
  const QString event = r.value(QStringLiteral("event")).toString();
  if (o.json) {
    out << QString::fromUtf8(QJsonDocument(r).toJson(QJsonDocument::Compact)) << '\n';
  } else if (!event.startsWith(QStringLiteral("unattended-"))) {
    // Those have readable lines of their own.
    out << "  " << history::EventLabel(event) << ": " << history::Summary(r).simplified() << '\n';
  }
  out.flush();
}

void TUpdateCommand::Record(const QString &event, QJsonObject fields, const QString &readable, bool journal) {
  QJsonObject rec;
  rec.insert(QStringLiteral("event"), event);
  if (!device.isEmpty()) rec.insert(QStringLiteral("device"), device);
  for (auto it = fields.begin(); it != fields.end(); ++it) rec.insert(it.key(), it.value());
  if (journal) {
    rec = history::Append(rec);
  } else {
    QJsonObject timed{{QStringLiteral("time"), QDateTime::currentDateTime().toOffsetFromUtc(
                                                   QDateTime::currentDateTime().offsetFromUtc())
                                                   .toString(Qt::ISODateWithMs)}};
    for (auto it = rec.begin(); it != rec.end(); ++it) timed.insert(it.key(), it.value());
    rec = timed;
  }
  if (o.json) {
    out << QString::fromUtf8(QJsonDocument(rec).toJson(QJsonDocument::Compact)) << '\n';
  } else if (!readable.isEmpty()) {
    out << readable << '\n';
  }
  out.flush();
}

int TUpdateCommand::Fail(int code, const QString &message) {
  err << "tavelin: " << message << '\n';
  err.flush();
  Record(QStringLiteral("unattended-end"), {{QStringLiteral("code"), code}, {QStringLiteral("message"), message}},
         QString());
  return code;
}

void TUpdateCommand::PreparePackage() {
  // The package asked for, else the one url.txt names; the built-in one only
  // when neither is given, or when it is asked for by name. A package that
  // cannot be had is an error: a fleet must never report the built-in
  // package's versions as the server's.
  QString source = o.package;
  if (source.isEmpty()) source = startup::ConfiguredPackageUrl();
  run.FTempPath = startup::MakeWorkFolder();
  const QString zip = run.FTempPath + QStringLiteral("arhive.zip");
  const QUrl url(source);
  if (source.isEmpty() || source == QStringLiteral("builtin")) {
    signature::Log(QStringLiteral("Используется встроенный пакет (часть программы, подпись не проверяется)."));
    startup::CopyPackage(startup::BuiltInPackagePath(), run.FTempPath);
  } else if (url.scheme() == QStringLiteral("http") || url.scheme() == QStringLiteral("https")) {
    // A signal stops a download that hangs on a silent server as it stops a
    // run: the termination handler is reached from the progress calls.
    const DownloadProgress stoppable = [this](qint64, qint64) {
      QCoreApplication::processEvents();
      return !run.stopRequested();
    };
    long status = 0;
    bool got = false;
    try {
      got = DownloadFile(source, zip, stoppable, kMaxDownloadBytes, &status);
    } catch (const std::exception &e) {
      if (run.stopRequested()) throw Exception(QStringLiteral("stopped by a signal"));
      throw Exception(QStringLiteral("the package %1 could not be downloaded: %2").arg(source, ExceptionMessage(e)));
    }
    if (!got)
      throw Exception(
          QStringLiteral("the package %1 could not be downloaded: the server answered %2").arg(source).arg(status));
    CheckPackage(zip, {source, source + QStringLiteral(".minisig"), true}, stoppable);
  } else if (!url.isLocalFile() && url.scheme().size() > 1) {
    throw Exception(QStringLiteral("the package %1: only http and https addresses, or a file, can be given").arg(source));
  } else {
    // Copied once into the private working folder: what is checked is what
    // is unpacked, whatever happens to the file afterwards.
    const QString file = url.isLocalFile() ? url.toLocalFile() : source;
    if (!QFileInfo(file).isFile() || !QFileInfo(file).isReadable())
      throw Exception(QStringLiteral("the package %1 cannot be read").arg(file));
    startup::CopyPackage(file, run.FTempPath);
    CheckPackage(zip, {file, file + QStringLiteral(".minisig"), false});
  }
  try {
    startup::UnpackAndDecipher(run.FTempPath);
  } catch (const std::exception &e) {
    throw Exception(QStringLiteral("the package is not usable: ") + ExceptionMessage(e));
  }
  const startup::TRulesLoad load = startup::LoadPackageRules(run.FTempPath);
  if (!load.problem.isEmpty()) throw Exception(QStringLiteral("the package is not usable: ") + load.problem.trimmed());
  if (load.filesMissing) throw Exception(QStringLiteral("the package is not usable: Недостаточно файлов для работы."));
  run.FRules = load.rules;
}

int TUpdateCommand::Run() {
  try {
    PreparePackage();
  } catch (const std::exception &e) {
    if (run.stopRequested()) return Fail(kExitFailed, QStringLiteral("stopped by a signal"));
    return Fail(kExitUsage, ExceptionMessage(e));
  }
  if (run.stopRequested()) return Fail(kExitFailed, QStringLiteral("stopped by a signal"));

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
    chosen.append(static_cast<const TLogicalDevice *>(nullptr));  // the driver's current device
  } else {
    return Fail(kExitUsage,
                devices.isEmpty()
                    ? QStringLiteral("the driver knows no logical device")
                    : QStringLiteral("the driver knows several logical devices; choose one with --device N "
                                     "or take all with --all-local:\n") +
                          DeviceListText(devices));
  }

  if (o.parallel > 0) return UpdateInParallel(chosen);

  int worst = kExitLatest;
  int installed = 0;
  for (const TLogicalDevice *d : chosen) {
    worst = Worse(worst, UpdateOne(d));
    installed += lastInstalled;
    if (run.stopRequested()) break;
  }
  device = QJsonObject();
  Record(QStringLiteral("summary"),
         {{QStringLiteral("code"), worst}, {QStringLiteral("installed"), installed},
          {QStringLiteral("devices"), static_cast<int>(chosen.size())}},
         QStringLiteral("Result: %1 (exit code %2)")
             .arg(installed > 0 ? QStringLiteral("%1 update(s) installed").arg(installed)
                                : QStringLiteral("nothing installed"))
             .arg(worst));
  return worst;
}

int TUpdateCommand::ExitCode(const TRunResult &r) const {
  int code = kExitFailed;
  switch (r.end) {
    case TRunEnd::Latest: code = kExitLatest; break;
    case TRunEnd::NotUpdated:
      // Offers declined and nothing else wrong: the plan.
      code = !o.yes && r.declined && !r.failed ? kExitNothing : kExitFailed;
      break;
    case TRunEnd::Refused: code = kExitRefused; break;
    case TRunEnd::Busy: code = kExitBusy; break;
    case TRunEnd::NotChosen: code = kExitUsage; break;
    default: code = kExitFailed; break;
  }
  // The plan of a register in its boot-loader is the recovery it would do.
  if (!o.yes)
    for (const TRecoveryOutcome &rec : r.recoveries)
      if (rec.asked && !rec.accepted) return kExitNothing;
  // Settings the update could not put back are no success.
  if (r.settingsLost() && (code == kExitLatest || code == kExitNothing)) code = kExitFailed;
  return code;
}

int TUpdateCommand::UpdateOne(const TLogicalDevice *d) {
  TDriver *drv = Driver();
  lastInstalled = 0;
  if (d) {
    drv->setLDNumber(d->number);
    if (drv->SetActiveLD() != 0) {
      device = QJsonObject{{QStringLiteral("number"), d->number}, {QStringLiteral("name"), d->name},
                           {QStringLiteral("port"), d->port}, {QStringLiteral("connection"), QString()}};
      const QString why = QStringLiteral("logical device %1 could not be activated: %2")
                              .arg(d->number)
                              .arg(drv->ResultCodeDescription());
      err << "tavelin: " << why << '\n';
      Record(QStringLiteral("unattended-end"), {{QStringLiteral("code"), kExitFailed}, {QStringLiteral("message"), why}},
             why, true);
      return kExitFailed;
    }
  }
  const pending::TDeviceRef ref = CurrentDeviceRef();
  device = ref.ToJson();
  Record(QStringLiteral("unattended-start"), {{QStringLiteral("plan"), !o.yes}},
         QStringLiteral("Device %1 (port %2):").arg(ref.number).arg(ref.port), true);

  const TRunResult r = run.Run(view, TTransferMethod::Dfu);
  lastInstalled = r.installed;
  const int code = ExitCode(r);
  if (code == kExitNothing) PrintPlan(r);

  // Every cell the update could not put back, by name.
  QJsonArray cells;
  for (const TCellNotRestored &c : r.cellsNotRestored) {
    cells.append(CellJson(c));
    err << "tavelin: not restored: table " << c.table << ", row " << c.row << ", field " << c.field << " (" << c.name
        << "): " << c.answer << '\n';
  }
  err.flush();
  QJsonObject end{{QStringLiteral("code"), code},
                  {QStringLiteral("result"), RunEndName(r.end)},
                  {QStringLiteral("installed"), r.installed},
                  {QStringLiteral("serial"), r.serial},
                  {QStringLiteral("message"), code == kExitLatest || code == kExitNothing ? QString() : r.message},
                  {QStringLiteral("restored"), !r.settingsLost()},
                  {QStringLiteral("not_restored"), cells}};
  if (r.identified) {
    end.insert(QStringLiteral("before"), IdentityJson(r.before));
    end.insert(QStringLiteral("after"), IdentityJson(r.after));
  }
  QString readable = QStringLiteral("Device %1: %2 (exit code %3)").arg(ref.number).arg(RunEndName(r.end)).arg(code);
  if (r.identified)
    readable += QStringLiteral("\n  %1 → %2").arg(IdentityText(r.before), IdentityText(r.after));
  if (r.settingsLost()) readable += QStringLiteral("\n  настройки восстановлены: нет");
  Record(QStringLiteral("unattended-end"), end, readable, true);
  if (code == kExitFailed) PrintRegisterState();
  return code;
}

int TUpdateCommand::UpdateInParallel(const QList<const TLogicalDevice *> &devices) {
  struct Child {
    const TLogicalDevice *device = nullptr;
    std::unique_ptr<QProcess> process;
    QByteArray pendingOut, pendingErr;
    QJsonObject end;  // its unattended-end record
    int code = -1;
    bool done = false;
  };
  std::vector<Child> children(static_cast<size_t>(devices.size()));
  for (qsizetype i = 0; i < devices.size(); ++i) children[static_cast<size_t>(i)].device = devices[i];

  QEventLoop loop;
  int running = 0, next = 0, finished = 0;
  bool stopping = false;
  const auto relayLines = [this](Child &c, QByteArray &pending, bool isErr) {
    qsizetype nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
      const QByteArray line = pending.left(nl);
      pending.remove(0, nl + 1);
      if (isErr) {
        err << QStringLiteral("[%1] ").arg(c.device->number) << QString::fromUtf8(line) << '\n';
        err.flush();
        continue;
      }
      const QJsonObject r = QJsonDocument::fromJson(line).object();
      const QString event = r.value(QStringLiteral("event")).toString();
      if (event == QLatin1String("unattended-end")) c.end = r;
      if (event == QLatin1String("summary")) continue;  // the parent's own summary stands for them
      if (o.json) {
        out << QString::fromUtf8(line) << '\n';
      } else if (!event.isEmpty() && !event.startsWith(QStringLiteral("unattended-")) && event != QLatin1String("plan") &&
                 event != QLatin1String("state")) {
        out << QStringLiteral("[%1] ").arg(c.device->number) << history::EventLabel(event) << ": "
            << history::Summary(r).simplified() << '\n';
      }
      out.flush();
    }
  };
  std::function<void()> startMore = [&] {
    while (!stopping && running < o.parallel && next < static_cast<int>(children.size())) {
      Child &c = children[static_cast<size_t>(next++)];
      QStringList args{QStringLiteral("--update"), QStringLiteral("--device"), QString::number(c.device->number),
                       QStringLiteral("--json")};
      if (o.yes) args << QStringLiteral("--yes");
      if (!o.package.isEmpty()) args << QStringLiteral("--package") << o.package;
      c.process = std::make_unique<QProcess>();
      QProcess *p = c.process.get();
      QObject::connect(p, &QProcess::readyReadStandardOutput, [&, p] {
        c.pendingOut += p->readAllStandardOutput();
        relayLines(c, c.pendingOut, false);
      });
      QObject::connect(p, &QProcess::readyReadStandardError, [&, p] {
        c.pendingErr += p->readAllStandardError();
        relayLines(c, c.pendingErr, true);
      });
      QObject::connect(p, &QProcess::finished, [&, p](int exitCode, QProcess::ExitStatus status) {
        c.pendingOut += p->readAllStandardOutput() + '\n';
        c.pendingErr += p->readAllStandardError();
        if (!c.pendingErr.isEmpty() && !c.pendingErr.endsWith('\n')) c.pendingErr += '\n';
        relayLines(c, c.pendingOut, false);
        relayLines(c, c.pendingErr, true);
        c.code = status == QProcess::NormalExit && exitCode >= 0 && exitCode <= 5 ? exitCode : kExitFailed;
        c.done = true;
        --running;
        ++finished;
        startMore();
        if (finished == static_cast<int>(children.size()) || (stopping && running == 0)) loop.quit();
      });
      p->start(QCoreApplication::applicationFilePath(), args);
      ++running;
    }
  };
  // A signal reaches every child; each finishes its step as a single run does.
  SetTerminationHandler([&](int sig, int) {
    stopping = true;
    run.RequestStop();
    for (Child &c : children)
      if (c.process && c.process->state() != QProcess::NotRunning) ::kill(static_cast<pid_t>(c.process->processId()), sig);
    if (running == 0) loop.quit();
  });
  startMore();
  if (running > 0) loop.exec();
  SetTerminationHandler({});

  // The summary: one line a register, and the worst code.
  int worst = kExitLatest;
  int installed = 0;
  if (!o.json) out << "\nDevice  Port  Serial      Before → after                  Settings  Result\n";
  for (const Child &c : children) {
    const int code = c.done ? c.code : kExitFailed;
    worst = Worse(worst, code);
    installed += c.end.value(QStringLiteral("installed")).toInt();
    const QString change = IdentityText(c.end.value(QStringLiteral("before")).toObject()) + QStringLiteral(" → ") +
                           IdentityText(c.end.value(QStringLiteral("after")).toObject());
    const bool restored = c.end.value(QStringLiteral("restored")).toBool(true);
    const QString result = !c.done ? QStringLiteral("not started")
                                   : c.end.value(QStringLiteral("result")).toString(QStringLiteral("exit %1").arg(code));
    if (!o.json)
      out << QStringLiteral("%1 %2 %3 %4 %5 %6 (exit %7)\n")
                 .arg(c.device->number, 6)
                 .arg(c.device->port, 5)
                 .arg(c.end.value(QStringLiteral("serial")).toString(), -11)
                 .arg(change, -31)
                 .arg(restored ? QStringLiteral("kept") : QStringLiteral("LOST"), -9)
                 .arg(result)
                 .arg(code);
  }
  device = QJsonObject();
  Record(QStringLiteral("summary"),
         {{QStringLiteral("code"), worst}, {QStringLiteral("installed"), installed},
          {QStringLiteral("devices"), static_cast<int>(children.size())}},
         QStringLiteral("Result: %1 (exit code %2)")
             .arg(installed > 0 ? QStringLiteral("%1 update(s) installed").arg(installed)
                                : QStringLiteral("nothing installed"))
             .arg(worst));
  return worst;
}

void TUpdateCommand::PrintPlan(const TRunResult &r) {
  QJsonArray steps;
  QStringList words;
  QJsonObject fields;
  for (const TRecoveryOutcome &rec : r.recoveries)
    if (rec.asked && !rec.accepted) {
      fields.insert(QStringLiteral("recovery"), QJsonObject{{QStringLiteral("kind"), rec.kind},
                                                            {QStringLiteral("serial"), rec.serial},
                                                            {QStringLiteral("title"), rec.title},
                                                            {QStringLiteral("target"), rec.target}});
      words << (rec.kind == QStringLiteral("dfu")
                    ? QStringLiteral("recovery of %1 left in its boot-loader: %2 (%3) again").arg(rec.serial, rec.title, rec.target)
                    : QStringLiteral("the set-up of %1 after an interrupted update (%2)").arg(rec.serial, rec.title));
    }
  QString stop = QStringLiteral("nothing");
  if (r.identified) {
    const TPlan plan = PlanPasses(r.before, run.FRules);
    stop = PlanStopName(plan.stop);
    for (const TPlanPass &p : plan.passes)
      for (int index : {p.bootloaderRule, p.firmwareRule}) {
        if (index < 0) continue;
        const TFWRule &rule = run.FRules.at(index);
        const QString target = RuleTarget(rule);
        steps.append(QJsonObject{{QStringLiteral("level"), rule.level},
                                 {QStringLiteral("file"), rule.filename},
                                 {QStringLiteral("target"), target}});
        words << QStringLiteral("%1 %2 (%3)")
                     .arg(rule.level == 1 ? QStringLiteral("boot-loader") : QStringLiteral("firmware"), target,
                          rule.filename);
      }
  }
  fields.insert(QStringLiteral("steps"), steps);
  fields.insert(QStringLiteral("stop"), stop);
  Record(QStringLiteral("plan"), fields,
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
  // Every word of the program's own is the command line's, a wrong one too:
  // it gets the usage and exit code 4 with or without a display, never a
  // window that ignores it. Qt's own options (-platform, -style, ...) stay
  // the window's.
  static const char *const qtOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                          "qwindowtitle", "qwindowicon", "style", "stylesheet", "widgetcount",
                                          "reverse", "session", "display", "geometry", "name", "title", "qmljsdebugger",
                                          "nograb", "dograb", "sync"};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0) return true;
    if (std::strncmp(argv[i], "--", 2) != 0) continue;
    const char *word = argv[i] + 2;
    bool qt = false;
    for (const char *o : qtOptions) {
      const size_t n = std::strlen(o);
      if (std::strncmp(word, o, n) == 0 && (word[n] == '\0' || word[n] == '=')) qt = true;
    }
    if (!qt) return true;
  }
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
    else if (word == QStringLiteral("--parallel")) {
      // A number may follow; without one, every register at once.
      opt.parallel = kMaxParallel;
      if (!inlineValue && i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1Char('-'))) {
        value = args.at(++i);
        inlineValue = true;
      }
      if (inlineValue) {
        bool ok = false;
        const int n = value.toInt(&ok, 10);
        if (!ok || n < 1) {
          error = QStringLiteral("--parallel needs a number of registers (1, 2, ...), not '%1'").arg(value);
          return false;
        }
        opt.parallel = std::min(n, kMaxParallel);
      }
    }
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
  if (opt.parallel > 0 && !opt.allLocal) {
    error = QStringLiteral("--parallel goes with --all-local");
    return false;
  }
  return true;
}

QString UpdateUsage() {
  return QStringLiteral(
      "Usage: tavelin                     the window\n"
      "       tavelin --update [--device N | --all-local [--parallel [N]]] [--yes] [--json]\n"
      "                        [--package URL|FILE|builtin]\n"
      "       tavelin --history [--json] [--serial S]\n"
      "       tavelin --help | --version\n"
      "\n"
      "Updates registers from the command line with the window's own update run; no\n"
      "window is shown and no display is needed.\n"
      "\n"
      "  --update          update a register (without --yes: print the plan only)\n"
      "  --device N        the logical device numbered N, as the device dialog numbers\n"
      "                    them; without it the only logical device\n"
      "  --all-local       every logical device attached locally, in turn; goes on\n"
      "                    after a failure and exits with the worst code\n"
      "  --parallel [N]    with --all-local: every register in a process of its own\n"
      "                    (this program with --device K), at most N at once (without\n"
      "                    N: all of them, at most 16); their steps are printed as they\n"
      "                    come, then one line a register; a signal reaches every one\n"
      "  --yes             install what the plan shows (the update offer is accepted)\n"
      "  --json            one JSON object a line on standard output for every step\n"
      "  --package SOURCE  this package: an http(s) URL, a file, or \"builtin\" for the\n"
      "                    one inside the program. Without it the package url.txt\n"
      "                    names, else the built-in one. A package that cannot be had\n"
      "                    or used is an error (exit code 4), never replaced.\n"
      "  --history         print the update history (--json: its records as they are;\n"
      "                    --serial S: one register's only); exit code 1 when a\n"
      "                    history file is there but cannot be read (it is named)\n"
      "  --help, --version\n"
      "\n"
      "Questions are answered the safe way: the offer only with --yes; the driver's\n"
      "\"Продолжить выполнение ?\" after a failed call: No; overwriting settings someone\n"
      "entered after an interrupted update: No. Every box is printed on standard error\n"
      "and acknowledged.\n"
      "\n"
      "Exit codes:\n"
      "  0  the register is on the newest firmware the package allows (updated or already)\n"
      "  1  the update failed, or settings were not put back (each cell is named)\n"
      "  2  nothing done: the plan was printed (no --yes)\n"
      "  3  refused: unsupported model, wrong mode, unreadable boot-loader version\n"
      "  4  usage or configuration error (arguments, devices, package)\n"
      "  5  the register is busy: another copy of the program is updating it, or\n"
      "     something not its own lies at its lock file's path\n"
      "With --all-local the worst code wins, in this order: 1, 4, 3, 5, 2, 0.\n"
      "\n"
      "Files:\n"
      "  url.txt                 the package's address: beside the program, in\n"
      "                          $XDG_CONFIG_HOME/Korvalis/Tavelin/ or /etc/xdg/Korvalis/Tavelin/\n"
      "  $XDG_STATE_HOME/Korvalis/Tavelin/   tavelin.log (the log), history.jsonl (the\n"
      "                          history), pending/ (images of transfers under way),\n"
      "                          package-dates.json (the newest signed package taken per address)\n"
      "  /etc/xdg/Korvalis/Tavelin/trusted-keys/*.pub   trusted package keys (also\n"
      "                          share/tavelin/trusted-keys/ beside the program)\n"
      "  /etc/xdg/Korvalis/Tavelin/tavelin.conf   allow-unsigned-http = yes (administrator)\n"
      "  /run/lock/tavelin-port<N>.lock   one copy per register\n"
      "  ecrdata/<serial>/tables.json   the settings snapshot, beside the program or in\n"
      "                          the per-user data folder\n"
      "\n"
      "Environment:\n"
      "  SSL_CERT_FILE, SSL_CERT_DIR, CURL_CA_BUNDLE   the CA certificates for https\n"
      "  http_proxy, https_proxy, no_proxy             proxies for the downloads\n"
      "  TAVELIN_LOCK_DIR        the folder of the port locks instead of /run/lock\n"
      "  OSTREL_DRIVER           another driver component to load\n"
      "  XDG_STATE_HOME, XDG_CONFIG_HOME, TMPDIR      where state, settings and the\n"
      "                          working folder go\n");
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
