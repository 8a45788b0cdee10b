#pragma once
// The driver's settings in folders of the test's own: the per-user and the
// machine-wide configuration roots, the simulator's registers and component.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "common/registry.h"
#include "device/XmlDriverParams.h"
#include "sim/model/ldlist.h"
#include "sim/model/store.h"
#include "support/testpaths.h"

namespace ldtest {

inline QString Bin(const QString &name) {
  const QString dir = testpaths::BinDir();
  return (dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir) + QLatin1Char('/') + name;
}

// Keeps an environment variable's value and puts it back.
class EnvGuard {
 public:
  explicit EnvGuard(const char *name) : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {}
  ~EnvGuard() {
    if (had_) qputenv(name_, old_);
    else qunsetenv(name_);
  }
  EnvGuard(const EnvGuard &) = delete;
  EnvGuard &operator=(const EnvGuard &) = delete;

 private:
  const char *name_;
  bool had_;
  QByteArray old_;
};

inline void WriteFile(const QString &path, const QByteArray &data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  f.write(data);
}

// One logical device's values as the driver stores them.
using Values = QList<QPair<QString, QVariant>>;

inline void WriteDevice(RegistryRoot root, int index, const Values &values) {
  TRegistry reg(root);
  ASSERT_TRUE(reg.OpenKey(LDKeyName(index), true));
  for (const auto &[name, v] : values) {
    if (v.metaType().id() == QMetaType::Int) reg.WriteInteger(name, v.toInt());
    else reg.WriteString(name, v.toString());
  }
}

class ConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    userRoot = root.filePath(QStringLiteral("user"));
    commonRoot = root.filePath(QStringLiteral("system"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(userRoot));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(commonRoot) + ":/nowhere/else");
    ResetStorageTypeForTests();
    CurrentLDIndex = 0;
  }
  void TearDown() override { ResetStorageTypeForTests(); }

  QString UserXml() const { return userRoot + QStringLiteral("/Korvalis/Ostrel/Ostrel.xml"); }
  QString CommonXml() const { return commonRoot + QStringLiteral("/Korvalis/Ostrel/Ostrel.xml"); }

  EnvGuard home_{"XDG_CONFIG_HOME"};
  EnvGuard dirs_{"XDG_CONFIG_DIRS"};
  QTemporaryDir root;
  QString userRoot, commonRoot;
};

// The simulator component as the program's driver, over registers in one
// state folder for the whole process (the driver instance lives as long).
class SimConfigFixture : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    static QTemporaryDir simRoot;
    simDir = simRoot.path();
    qputenv("OSTREL_SIM_DIR", QFile::encodeName(simDir));
    qputenv("OSTREL_DRIVER", QFile::encodeName(Bin(QStringLiteral("libostrel-sim.so"))));
    qputenv("OSTREL_SIM_NO_DIALOG", "1");
    store = std::make_unique<osim::Store>(simDir);
  }

  // A register of its own serial number on port.
  void MakeRegister(int port, const std::string &serial) {
    osim::Register r = osim::DefaultRegister(port);
    r.setSerial(serial);
    r.tables = osim::DefaultTables(serial);
    store->Write(port, r);
    store->ClearJournal(port);
  }

  int Tool(QStringList args, QString *out = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    args = QStringList{QStringLiteral("--dir"), simDir} + args;
    p.start(Bin(QStringLiteral("ostrel-sim")), args);
    p.waitForFinished(60000);
    if (out) *out = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }

  EnvGuard simDirEnv_{"OSTREL_SIM_DIR"};
  EnvGuard driverEnv_{"OSTREL_DRIVER"};
  EnvGuard noDialogEnv_{"OSTREL_SIM_NO_DIALOG"};
  QString simDir;
  std::unique_ptr<osim::Store> store;
};

}  // namespace ldtest
