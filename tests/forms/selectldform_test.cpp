// The device choice dialog on the real widgets, over the simulator component.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>

#include <QApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "common/msgbox_recorder.h"
#include "device/untDriver.h"
#include "forms/modal_recorder.h"
#include "forms/selectldformunit.h"
#include "support/ldfixture.h"

using ldtest::SimConfigFixture;

namespace {

const QColor kTomato(255, 99, 71);

osim::LogicalDevice Local(const char *name, int com, int baud) {
  osim::LogicalDevice d = osim::DefaultLogicalDevice(com);
  d.name = name;
  d.baudrate = baud;
  return d;
}

osim::LogicalDevice TcpSocket(const char *name, int com) {
  osim::LogicalDevice d = osim::DefaultLogicalDevice(com);
  d.name = name;
  d.connectionType = 6;
  d.useIPAddress = 1;
  d.ipAddress = "10.0.0.7";
  d.tcpPort = 7778;
  return d;
}

class SelectLD : public SimConfigFixture {
 protected:
  void SetUp() override {
    SimConfigFixture::SetUp();
    MakeRegister(5, "0000500150");
    MakeRegister(6, "0000600150");
    osim::LogicalDevices::Save({Local("Касса у окна", 5, 3), TcpSocket("Касса в зале", 6)});
    form = std::make_unique<TSelectLDForm>();
    // Start every test on the first device.
    Driver()->setLDNumber(1);
    ASSERT_EQ(Driver()->SetActiveLD(), 0);
  }
  void TearDown() override {
    form.reset();
    SimConfigFixture::TearDown();
  }

  void Fill() {
    form->PrepareGrid();
    form->FillEcrList();
  }

  QStringList Row(int r) const {
    QStringList cells;
    for (int c = 1; c <= 4; ++c) cells << form->Cell(c, r);
    return cells;
  }

  // The serial number of the register the driver talks to now.
  QString ActiveSerial() {
    EXPECT_EQ(Driver()->GetECRStatus(), 0);
    return Driver()->SerialNumber();
  }

  QColor CellColour(int row, int col) {
    const QImage img = form->LDGrid->viewport()->grab().toImage();
    const QRect r = form->LDGrid->visualRect(form->LDGrid->model()->index(row - 1, col));
    return img.pixelColor(r.left() + 1, r.bottom() - 1);
  }

  // Shows the dialog for real and runs step while it is open; the modal result.
  int ShowAndDo(const std::function<void()> &step) {
    QTimer::singleShot(0, form.get(), [&] {
      step();
      if (form->isVisible()) QTimer::singleShot(0, form.get(), [&] { form->CancelButton->click(); });
    });
    return modal::ShowModal(form.get());
  }

  std::unique_ptr<TSelectLDForm> form;
  msgbox::Recorder boxes;
};

TEST_F(SelectLD, ListsLocalAndSocketDevicesAndOnlyTheLocalOneCanBeChosen) {
  form->show();
  Fill();
  EXPECT_EQ(form->RowCount(), 3);
  EXPECT_EQ(Row(0), (QStringList{QStringLiteral("Наименование"), QStringLiteral("Тип подключения"),
                                 QStringLiteral("Настройки COM порта"), QStringLiteral("Настройки TCP соединения")}));
  EXPECT_EQ(Row(1), (QStringList{QStringLiteral("Касса у окна"), QStringLiteral("Локально"), QStringLiteral("COM:5 19200 бит/с"),
                                 QString()}));
  EXPECT_EQ(Row(2), (QStringList{QStringLiteral("Касса в зале"), QStringLiteral("Подключение через TCP-сокет"), QString(),
                                 QStringLiteral("10.0.0.7:7778")}));
  EXPECT_EQ(form->FEnabled, (QVector<bool>{true, false}));
  EXPECT_EQ(form->Row(), 1);

  // The grid and the window follow the columns.
  int sum = 0;
  for (int c = 0; c < 5; ++c) sum += form->ColWidth(c);
  EXPECT_EQ(form->ColWidth(0), 20);
  EXPECT_EQ(form->LDGrid->geometry(), QRect(8, 8, sum + 5, 209));
  for (QPushButton *b : {form->OkButton, form->CancelButton, form->SetupButton}) EXPECT_EQ(b->x(), sum + 19);
  EXPECT_EQ(form->width(), sum + 19 + 75 + 14);
  EXPECT_FALSE(form->OkButton->isDefault() || form->OkButton->autoDefault());

  QApplication::processEvents();
  EXPECT_EQ(CellColour(2, 1), kTomato);
  EXPECT_EQ(CellColour(1, 1), form->palette().color(QPalette::Highlight));

  // The socket device is refused by the button and by a double click.
  form->SetRow(2);
  QApplication::processEvents();
  EXPECT_EQ(CellColour(2, 1), kTomato);
  form->OkButton->click();
  const QRect cell = form->LDGrid->visualRect(form->LDGrid->model()->index(1, 1));
  QTest::mouseDClick(form->LDGrid->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(form->result(), 0);
  EXPECT_EQ(ActiveSerial(), QStringLiteral("0000500150"));
  EXPECT_TRUE(boxes.boxes.isEmpty());

  // A shorter list later does not narrow the columns.
  QList<int> widths;
  for (int c = 0; c < 5; ++c) widths << form->ColWidth(c);
  osim::LogicalDevices::Save({Local("К", 5, 0)});
  Fill();
  EXPECT_EQ(form->RowCount(), 2);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(form->ColWidth(c), widths[c]) << c;
}

TEST_F(SelectLD, ChoosingActivatesDeviceNumberRow) {
  osim::LogicalDevices::Save({TcpSocket("Сеть", 6), Local("Первая", 5, 6), Local("Вторая", 6, 6)});
  Fill();
  form->SetRow(3);
  form->OkButton->click();
  EXPECT_EQ(form->result(), modal::mrOk);
  EXPECT_EQ(Driver()->LDNumber(), 3);
  EXPECT_EQ(ActiveSerial(), QStringLiteral("0000600150"));

  // A double click on a row chooses it too.
  form->setResult(0);
  const int r = ShowAndDo([&] {
    const QRect cell = form->LDGrid->visualRect(form->LDGrid->model()->index(1, 2));
    QTest::mouseClick(form->LDGrid->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(form->LDGrid->viewport(), Qt::LeftButton, {}, cell.center());
  });
  EXPECT_EQ(r, modal::mrOk);
  EXPECT_EQ(ActiveSerial(), QStringLiteral("0000500150"));
}

TEST_F(SelectLD, RefusedActivationKeepsTheDialogOpen) {
  Fill();
  ASSERT_EQ(Tool({QStringLiteral("--port"), QStringLiteral("5"), QStringLiteral("fault"), QStringLiteral("set"),
                  QStringLiteral("method"), QStringLiteral("SetActiveLD"), QStringLiteral("-8")}),
            0);
  bool openAfterRefusal = false;
  static QStringList logged;
  logged.clear();
  const QtMessageHandler old = qInstallMessageHandler(
      [](QtMsgType, const QMessageLogContext &, const QString &m) { logged << m; });
  const int r = ShowAndDo([&] {
    form->OkButton->click();  // refused once
    openAfterRefusal = form->isVisible();
    form->OkButton->click();
  });
  qInstallMessageHandler(old);
  EXPECT_TRUE(openAfterRefusal);
  EXPECT_EQ(r, modal::mrOk);
  // Nothing on screen, as before; the refusal is logged.
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_EQ(logged.filter(QStringLiteral("SetActiveLD")).size(), 1) << logged.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(logged.filter(QStringLiteral("SetActiveLD")).value(0).contains(QStringLiteral("(-8)")));
}

TEST_F(SelectLD, CancelEscapeAndTheCloseBox) {
  Fill();
  EXPECT_EQ(ShowAndDo([&] { form->CancelButton->click(); }), modal::mrCancel);
  EXPECT_EQ(ShowAndDo([&] { form->close(); }), modal::mrCancel);
  // Escape and Enter are bound to no button: the dialog stays until cancelled.
  bool stillOpen = false;
  EXPECT_EQ(ShowAndDo([&] {
              QTest::keyClick(form.get(), Qt::Key_Escape);
              QTest::keyClick(form->LDGrid, Qt::Key_Return);
              stillOpen = form->isVisible();
            }),
            modal::mrCancel);
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(ActiveSerial(), QStringLiteral("0000500150"));
}

TEST_F(SelectLD, SetupOpensTheDriverSettingsAndReReadsTheList) {
  Fill();
  ASSERT_EQ(form->RowCount(), 3);
  qunsetenv("OSTREL_SIM_NO_DIALOG");
  bool sawSettings = false;
  QTimer::singleShot(0, [&] {
    QWidget *w = QApplication::activeModalWidget();
    auto *table = w ? w->findChild<QTableWidget *>(QStringLiteral("LDTable")) : nullptr;
    auto *remove = w ? w->findChild<QPushButton *>(QStringLiteral("LDRemove")) : nullptr;
    if (table && remove) {
      sawSettings = table->rowCount() == 2;
      table->setCurrentCell(0, 1);  // the first device goes
      remove->click();
    }
    if (w) w->close();
  });
  form->SetupButton->click();
  EXPECT_TRUE(sawSettings);
  EXPECT_EQ(form->RowCount(), 2);
  EXPECT_EQ(form->Cell(1, 1), QStringLiteral("Касса в зале"));
  EXPECT_EQ(form->FEnabled, QVector<bool>{false});
}

TEST_F(SelectLD, AValueOfTheWrongKindStopsBeforeTheDialog) {
  ldtest::WriteDevice(RegistryRoot::CurrentUser, 1, {{QStringLiteral("ConnectionType"), QStringLiteral("сеть")}});
  SelectLDForm = form.get();
  modal::Recorder dialogs;
  // The message names the device whose value is wrong.
  try {
    ChooseLogicalDevice();
    ADD_FAILURE() << "no error";
  } catch (const RegistryError &e) {
    EXPECT_EQ(e.message(), QStringLiteral("Логическое устройство 2 «Касса в зале»: Неверный тип данных параметра "
                                          "\"ConnectionType\""));
  }
  EXPECT_TRUE(dialogs.shown.isEmpty());
  SelectLDForm = nullptr;
}

TEST_F(SelectLD, ALongNameNeverPushesTheButtonsOffTheScreen) {
  const QString longName = QString(130, QLatin1Char('Ж'));
  osim::LogicalDevices::Save({Local(longName.toUtf8().constData(), 5, 3), TcpSocket("Касса в зале", 6)});
  Fill();
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(form->width(), screen.width());
  EXPECT_LE(form->OkButton->geometry().right(), form->width());
  EXPECT_EQ(form->LDGrid->item(0, 1)->toolTip(), longName);  // whole in its tooltip
  // Filled again (the driver's settings changed), it stays on the screen.
  Fill();
  EXPECT_LE(form->width(), screen.width());
}

TEST_F(SelectLD, ReopensAtTheSizeItWasLeft) {
  Fill();
  form->setFixedHeight(260);
  const QSize left = form->size();
  form.reset();
  form = std::make_unique<TSelectLDForm>();
  Fill();
  EXPECT_EQ(form->size(), left);
}

}  // namespace
