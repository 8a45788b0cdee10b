#pragma once
// A fresh simulated register per test: its own state folder, the simulator
// component named explicitly, helpers to run the stand-in and the tool.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "device/OstrelLib_TLB.h"
#include "sim/model/image.h"
#include "sim/model/store.h"
#include "support/testpaths.h"

// The built programs: TAVELIN_TEST_BIN when set, else the folder of this
// test program, which is the same bin/ folder.
inline QString BinPath(const QString &name) {
  const QString dir = testpaths::BinDir();
  return (dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir) + QLatin1Char('/') + name;
}

struct RunResult {
  int exitCode = -1;
  QString out, err;
};

inline RunResult RunProgram(const QString &name, const QStringList &args) {
  QProcess p;
  p.start(BinPath(name), args);
  RunResult r;
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    qputenv("OSTREL_SIM_DIR", dir_.path().toLocal8Bit());
    qputenv("OSTREL_DRIVER", BinPath(QStringLiteral("libostrel-sim.so")).toLocal8Bit());
    qputenv("OSTREL_SIM_NO_DIALOG", "1");
    store_ = std::make_unique<osim::Store>(dir_.path());
  }

  TOstrel &drv() {
    if (!drv_) drv_ = std::make_unique<TOstrel>();
    return *drv_;
  }
  osim::Store &store() { return *store_; }
  osim::Register reg() { return store_->Read(1); }
  void Change(const std::function<void(osim::Register &)> &fn) {
    store_->Update(1, [&](osim::Register &r) { fn(r); return true; });
  }
  QString Image(const osim::Image &img, qint64 size = osim::kDefaultImageSize) {
    const QString path = dir_.filePath(QStringLiteral("image%1.bin").arg(++images_));
    osim::WriteImage(path, img, size);
    return path;
  }
  static osim::Image Firmware(const char *ver = "A.5", int build = 1300, const char *date = "2022-01-20") {
    osim::Image i;
    i.level = 2;
    i.firmware = ver;
    i.build = build;
    i.date = date;
    return i;
  }
  static osim::Image Loader(int v) {
    osim::Image i;
    i.level = 1;
    i.bootloader = v;
    return i;
  }
  // Settings the register asks for after a firmware update, as the program does them.
  void SetUpRegister(double day) {
    ASSERT_EQ(drv().ResetSettings(), 0);
    drv().setDate(day);
    ASSERT_EQ(drv().SetDate(), 0);
    drv().setDate(day);
    ASSERT_EQ(drv().ConfirmDate(), 0);
    drv().setTime(0.5);
    ASSERT_EQ(drv().SetTime(), 0);
  }

  QTemporaryDir dir_;
  std::unique_ptr<osim::Store> store_;
  std::unique_ptr<TOstrel> drv_;
  int images_ = 0;
};
