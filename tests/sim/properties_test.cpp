// The component's own settings dialog, inside the program's application.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include "device/OstrelLib_TLB.h"
#include "sim/model/store.h"
#include "support/testpaths.h"

TEST(SimProperties, ShowsTheRegisterItsFolderAndFaultsModally) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  qputenv("OSTREL_SIM_DIR", dir.path().toLocal8Bit());
  const QString bin = testpaths::BinDir().isEmpty() ? QCoreApplication::applicationDirPath() : testpaths::BinDir();
  qputenv("OSTREL_DRIVER", (bin + QStringLiteral("/libostrel-sim.so")).toLocal8Bit());
  qunsetenv("OSTREL_SIM_NO_DIALOG");
  osim::Store(dir.path()).Update(1, [](osim::Register &r) {
    r.faults.dfuRefused = true;
    return true;
  });

  TOstrel drv;
  QString shown;
  bool wasModal = false;
  QTimer::singleShot(0, [&] {
    QWidget *w = QApplication::activeModalWidget();
    if (!w) return;
    wasModal = true;
    if (auto *label = w->findChild<QLabel *>(QStringLiteral("SimInfo"))) shown = label->text();
    w->close();
  });
  EXPECT_EQ(drv.ShowProperties(), 0);
  EXPECT_TRUE(wasModal);
  EXPECT_TRUE(shown.contains(QStringLiteral("0000420150"))) << shown.toStdString();
  EXPECT_TRUE(shown.contains(dir.path())) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QStringLiteral("dfu-refused"))) << shown.toStdString();
}
