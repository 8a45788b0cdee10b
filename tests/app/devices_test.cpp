// Two registers on one workstation: the update run asks which one, and only
// that one is touched.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTableWidget>

#include "appfixture.h"
#include "device/XmlDriverParams.h"
#include "device/untDriver.h"
#include "forms/selectldformunit.h"

using apptest::AppFixture;

namespace {

class TwoRegisters : public AppFixture, public modal::Answerer {
 protected:
  void SetUp() override {
    oldHome = qgetenv("XDG_CONFIG_HOME");
    oldDirs = qgetenv("XDG_CONFIG_DIRS");
    AppFixture::SetUp();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.filePath(QStringLiteral("config-system"))));
    ResetStorageTypeForTests();
    // The second register, then the driver's two devices.
    ASSERT_EQ(Sim({QStringLiteral("--port"), QStringLiteral("2"), QStringLiteral("init"), QStringLiteral("--serial"),
                   QStringLiteral("0000430150")}),
              0);
    QString out;
    ASSERT_EQ(Sim({QStringLiteral("device"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Касса 2")}, &out), 0)
        << out.toStdString();
    for (const char *port : {"1", "2"})
      ASSERT_EQ(Sim({QStringLiteral("--port"), QLatin1String(port), QStringLiteral("journal"), QStringLiteral("on")}), 0);
    SelectLDForm = new TSelectLDForm;
    modal::SetAnswerer(this);
  }

  void TearDown() override {
    modal::SetAnswerer(&dialogs);
    delete SelectLDForm;
    // The driver lives on: back to the first register for the next test.
    Driver()->setLDNumber(1);
    Driver()->SetActiveLD();
    qputenv("XDG_CONFIG_HOME", oldHome);
    qputenv("XDG_CONFIG_DIRS", oldDirs);
    ResetStorageTypeForTests();
    AppFixture::TearDown();
  }

  // The device dialog is worked by its widgets; the others are recorded.
  int answer(QDialog *dlg) override {
    auto *select = qobject_cast<TSelectLDForm *>(dlg);
    if (!select) return dialogs.answer(dlg);
    ++selectShown;
    rowsShown.clear();
    for (int r = 1; r < select->RowCount(); ++r) rowsShown << select->Cell(1, r) + QStringLiteral(" | ") + select->Cell(3, r);
    if (!choose) return modal::mrCancel;
    select->SetRow(choose);
    select->OkButton->click();
    return select->result();
  }

  QString Identity(int port) {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("--port"), QString::number(port), QStringLiteral("show"), QStringLiteral("--json")}, &out), 0);
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    return QStringLiteral("%1/%2/%3")
        .arg(o.value(QStringLiteral("firmware")).toString())
        .arg(o.value(QStringLiteral("build")).toInt())
        .arg(o.value(QStringLiteral("bootloader")).toInt());
  }

  QStringList Methods(int port) {
    QString out;
    EXPECT_EQ(Sim({QStringLiteral("--port"), QString::number(port), QStringLiteral("journal"), QStringLiteral("--json")}, &out), 0);
    QStringList m;
    for (const auto &e : QJsonDocument::fromJson(out.toUtf8()).array())
      m << e.toObject().value(QStringLiteral("method")).toString();
    return m;
  }

  QByteArray oldHome, oldDirs;
  int choose = 0;
  int selectShown = 0;
  QStringList rowsShown;
};

TEST_F(TwoRegisters, TheChosenRegisterIsUpdatedAndTheOtherUntouched) {
  TMainForm &f = Start();
  boxes.boxes.clear();
  const QByteArray firstBefore = apptest::ReadFile(simDir + QStringLiteral("/port1.json"));
  choose = 2;
  f.CheckConnectButton->click();

  EXPECT_EQ(rowsShown, (QStringList{QStringLiteral("ККТ 1 | COM:1 115200 бит/с"), QStringLiteral("Касса 2 | COM:2 115200 бит/с")}));
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].text,
            QStringLiteral("Установлена последняя версия ПО.\r\nЗагрузчик 155 → 160, ПО A.4 → A.6"));
  EXPECT_TRUE(f.windowTitle().startsWith(QStringLiteral("S/N: 0000430150,"))) << f.windowTitle().toStdString();
  EXPECT_EQ(Identity(2), QStringLiteral("A.6/1410/160"));
  EXPECT_EQ(Identity(1), QStringLiteral("A.4/1234/155"));
  EXPECT_EQ(apptest::ReadFile(simDir + QStringLiteral("/port1.json")), firstBefore);
  // The first register was only asked for the device count.
  for (const QString &m : Methods(1)) EXPECT_EQ(m, QStringLiteral("GetCountLD"));
  const QStringList second = Methods(2);
  ASSERT_FALSE(second.isEmpty());
  EXPECT_EQ(second.first(), QStringLiteral("SetActiveLD"));
  EXPECT_TRUE(second.contains(QStringLiteral("SetDFUMode")));
}

TEST_F(TwoRegisters, CancelStopsTheRunSilently) {
  TMainForm &f = Start();
  boxes.boxes.clear();
  choose = 0;
  f.CheckConnectButton->click();
  EXPECT_EQ(rowsShown.size(), 2);
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_FALSE(Methods(1).contains(QStringLiteral("GetECRStatus")));
  EXPECT_TRUE(Methods(2).isEmpty());
  EXPECT_TRUE(f.CheckConnectButton->isEnabled());
}

TEST_F(TwoRegisters, OneDeviceLeftOpensNoDialog) {
  // The dialog is there to be shown; with one device it must not be.
  ASSERT_NE(SelectLDForm, nullptr);
  ASSERT_EQ(Sim({QStringLiteral("device"), QStringLiteral("remove"), QStringLiteral("2")}), 0);
  TMainForm &f = Start();
  boxes.boxes.clear();
  choose = 1;
  f.CheckConnectButton->click();
  EXPECT_EQ(selectShown, 0);
  EXPECT_FALSE(SelectLDForm->isVisible());
  ASSERT_EQ(boxes.boxes.size(), 1);
  // What changed follows the closing message.
  EXPECT_EQ(boxes.boxes[0].text.section(QStringLiteral("\r\n"), 0, 0), QStringLiteral("Установлена последняя версия ПО."));
  EXPECT_EQ(Identity(1), QStringLiteral("A.6/1410/160"));
  EXPECT_TRUE(Methods(2).isEmpty());
}

}  // namespace
