// dfu-util-sim: stands in for dfu-util 0.11 on the simulated registers. It
// lists the registers in DFU mode and downloads simulator images into them,
// printing what dfu-util prints, so the program reads the same markers.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/model/image.h"
#include "sim/model/store.h"

namespace {

constexpr int kExitUsage = 64;  // EX_USAGE
constexpr int kExitIo = 74;     // EX_IOERR, as dfu-util exits on device and file errors

const char kBanner[] =
    "dfu-util 0.11\n\n"
    "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
    "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
    "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
    "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n";

const char kDeviceId[] = "0483:df11";

void Out(const std::string &s) {
  std::fputs(s.c_str(), stdout);
  std::fflush(stdout);
}

int Fail(const std::string &s, int code = kExitIo) {
  std::fflush(stdout);
  std::fputs(("dfu-util: " + s + "\n").c_str(), stderr);
  return code;
}

void Usage(FILE *to) {
  std::fputs(
      "Usage: dfu-util [options] ...\n"
      "  -h --help\t\t\tPrint this help message\n"
      "  -V --version\t\t\tPrint the version number\n"
      "  -l --list\t\t\tList currently attached DFU capable devices\n"
      "  -S --serial <serial>\t\tSpecify the serial number of the DFU device\n"
      "  -D --download <file>\t\tWrite firmware from <file> into device\n"
      "\nThis dfu-util works on the simulated registers of the state folder\n"
      "(OSTREL_SIM_DIR, else $XDG_DATA_HOME/ostrel-sim).\n",
      to);
}

struct Found {
  int port;
  std::string serial;
};

std::vector<Found> DfuDevices(osim::Store &store) {
  std::vector<Found> out;
  for (int port : store.Ports()) {
    const osim::Register r = store.Read(port);
    // An unplugged cable hides the register from the bus.
    if (r.dfu && !r.faults.unplug) out.push_back({port, r.serial()});
  }
  return out;
}

std::string FoundLine(const Found &f) {
  return "Found DFU: [" + std::string(kDeviceId) + "] ver=2200, devnum=" + std::to_string(f.port + 4) +
         ", cfg=1, intf=0, path=\"1-" + std::to_string(f.port) +
         "\", alt=0, name=\"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg\", serial=\"" + f.serial + "\"\n";
}

void Progress(int upto, int of25) {
  static const bool fast = qEnvironmentVariableIsSet("OSTREL_SIM_FAST");
  for (int i = 0; i < upto; ++i) {
    Out("=");
    if (!fast) QThread::msleep(8);
  }
  (void)of25;
}

// serial non-empty: only the device with that serial (as dfu-util's -S).
int Download(osim::Store &store, const QString &file, const std::string &serial) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly))
    return Fail("Cannot open file " + file.toStdString() + " for reading: " + f.errorString().toStdString());
  const qint64 size = f.size();
  f.close();
  std::fputs("Warning: Invalid DFU suffix signature\nA valid DFU suffix will be required in a future dfu-util release\n",
             stderr);
  auto devices = DfuDevices(store);
  if (!serial.empty())
    std::erase_if(devices, [&](const Found &d) { return d.serial != serial; });
  if (devices.empty()) return Fail("No DFU capable USB device available");
  if (devices.size() > 1)
    return Fail("More than one DFU capable USB device found! Try `--list' and specify the serial number or disconnect all but one device");
  const Found dev = devices.front();
  Out(std::string("Opening DFU capable USB device...\n") + "Device ID " + kDeviceId + "\n" +
      "Device DFU version 011a\n"
      "Claiming USB DFU Interface...\n"
      "Setting Alternate Interface #0 ...\n"
      "Determining device status...\n"
      "DFU state(2) = dfuIDLE, status(0) = No error condition is present\n"
      "DFU mode device DFU version 011a\n"
      "Device returned transfer size 2048\n"
      "Copying data from PC to DFU device\n"
      "Download\t[");

  // The cable or the power goes part-way: the flash holds half an image.
  int cutAt = 0;
  store.Update(dev.port, [&](osim::Register &r) {
    if (!r.dfu || r.faults.dfuCut <= 0) return false;
    cutAt = r.faults.dfuCut;
    r.faults.dfuCut = 0;
    r.cut = true;
    return true;
  });
  if (cutAt > 0) {
    Progress(25 * cutAt / 100, 25);
    Out("\n");
    return Fail("Error during download get_status: LIBUSB_ERROR_NO_DEVICE");
  }

  std::string refused;
  osim::Image img;
  try {
    img = osim::ReadImage(file);
  } catch (const std::exception &e) {
    refused = e.what();
  }
  if (!refused.empty()) {
    Progress(3, 25);
    Out("\n");
    return Fail("Error during download get_status: " + refused);
  }
  Progress(25, 25);
  char tail[64];
  std::snprintf(tail, sizeof tail, "] 100%% %12lld bytes\n", static_cast<long long>(size));
  Out(tail);

  std::string error;
  store.Update(dev.port, [&](osim::Register &r) {
    if (!r.dfu) {
      error = "Lost device after RESET?";
      return false;
    }
    if (auto err = r.Install(img)) error = *err;
    return true;  // a failed install still uses up its fault
  });
  if (!error.empty()) return Fail("Error during download get_status: " + error);
  Out("Download done.\n"
      "DFU state(7) = dfuMANIFEST, status(0) = No error condition is present\n"
      "DFU state(2) = dfuIDLE, status(0) = No error condition is present\n"
      "Done!\n");
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  for (QString &a : args) a = a.trimmed();  // the program passes " -l"
  args.removeAll(QString());

  bool list = false;
  QString download;
  std::string serial;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString &a = args[i];
    if (a == QStringLiteral("-l") || a == QStringLiteral("--list")) {
      list = true;
    } else if (a == QStringLiteral("-D") || a == QStringLiteral("--download")) {
      if (i + 1 >= args.size()) {
        std::fputs(kBanner, stdout);
        return Fail("option requires an argument -- 'D'", kExitUsage);
      }
      download = args[++i];
    } else if (a == QStringLiteral("-S") || a == QStringLiteral("--serial")) {
      if (i + 1 >= args.size()) {
        std::fputs(kBanner, stdout);
        return Fail("option requires an argument -- 'S'", kExitUsage);
      }
      serial = args[++i].toStdString();
    } else if (a.startsWith(QStringLiteral("-D")) && a.size() > 2) {
      download = a.mid(2);
    } else if (a == QStringLiteral("-V") || a == QStringLiteral("--version")) {
      std::fputs(kBanner, stdout);
      return 0;
    } else if (a == QStringLiteral("-h") || a == QStringLiteral("--help")) {
      Usage(stdout);
      return 0;
    } else {
      std::fputs(kBanner, stdout);
      Usage(stderr);
      return kExitUsage;
    }
  }
  Out(kBanner);
  if (!list && download.isEmpty()) {
    Fail("You need to specify one of -D or -U", kExitUsage);
    Usage(stderr);
    return kExitUsage;
  }
  try {
    osim::Store store;
    if (list) {
      for (const Found &f : DfuDevices(store)) Out(FoundLine(f));
      return 0;
    }
    return Download(store, download, serial);
  } catch (const std::exception &e) {
    return Fail(e.what());
  }
}
