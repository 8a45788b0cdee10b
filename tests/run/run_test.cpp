// The run's result, as the engine returns it to any view: how it ended, what
// it installed as read from the register, the settings it could not put
// back, and why it refused.
#include "runfixture.h"

using runtest::RunFixture;

namespace {

const QString kLatest = QStringLiteral("Установлена последняя версия ПО.");

}  // namespace

TEST_F(RunFixture, AWholeChainReportsWhatTheRegisterNowHas) {
  const TRunResult r = run.Run(view, TTransferMethod::Dfu);
  EXPECT_EQ(r.end, TRunEnd::Latest);
  EXPECT_EQ(r.installed, 3);
  EXPECT_EQ(r.serial, QStringLiteral("0000420150"));
  ASSERT_TRUE(r.identified);
  EXPECT_EQ(Text(r.before), QStringLiteral("A.4/1234/155"));
  EXPECT_EQ(Text(r.after), QStringLiteral("A.6/1410/160"));
  EXPECT_EQ(Text(r.after), Identity());
  EXPECT_EQ(r.changes, QStringLiteral("Загрузчик 155 → 160, ПО A.4 → A.6"));
  EXPECT_EQ(r.message, kLatest);
  EXPECT_FALSE(r.declined || r.failed || r.settingsLost());
  EXPECT_TRUE(r.warnings.isEmpty()) << r.warnings.join(QStringLiteral(" | ")).toStdString();
  // One offer, then the chain goes on without asking.
  EXPECT_EQ(view.shown, (QStringList{QStringLiteral("offer: Загрузчик. Версия: 160"),
                                     QStringLiteral("information: ") + kLatest}));
}

TEST_F(RunFixture, ACellTheRegisterRefusesToTakeBackIsNamedAndIsNoSuccess) {
  // The boot-loader rule keeps no settings; the firmware rules do.
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"),
                 QStringLiteral("500")}),
            0);
  Fault({QStringLiteral("cell"), QStringLiteral("9"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("write"),
         QStringLiteral("--code"), QStringLiteral("170")});
  const TRunResult r = run.Run(view, TTransferMethod::Dfu);
  EXPECT_EQ(r.end, TRunEnd::Error);
  EXPECT_EQ(Text(r.after), QStringLiteral("A.6/1410/160"));
  // Both firmware passes restore the settings; the cell is lost once.
  ASSERT_EQ(r.cellsNotRestored.size(), 1);
  const TCellNotRestored &c = r.cellsNotRestored.first();
  EXPECT_EQ(c.table, 9);
  EXPECT_EQ(c.row, 3);
  EXPECT_EQ(c.field, 2);
  EXPECT_TRUE(c.name.contains(QStringLiteral(" / "))) << c.name.toStdString();
  EXPECT_TRUE(c.answer.startsWith(QStringLiteral("(170) "))) << c.answer.toStdString();
  EXPECT_TRUE(r.message.startsWith(kLatest + QStringLiteral("\r\nНе восстановлены ячейки настроек")))
      << r.message.toStdString();
  // The history says the same: not restored, and which.
  bool listed = false;
  for (const QJsonObject &t : Records(QStringLiteral("tables"))) {
    const QJsonArray cells = t.value(QStringLiteral("not_restored")).toArray();
    if (cells.isEmpty()) continue;
    EXPECT_FALSE(t.value(QStringLiteral("restored")).toBool());
    EXPECT_EQ(cells.first().toObject().value(QStringLiteral("table")).toInt(), 9);
    listed = true;
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(Records(QStringLiteral("run-end")).value(0).value(QStringLiteral("result")).toString(),
            QStringLiteral("settings not restored"));
}

TEST_F(RunFixture, ARefusalCarriesItsReason) {
  struct Case {
    const char *name;
    QStringList fault;
    QStringList set;
    TRunEnd end;
    const char *reason;
  };
  const QList<Case> cases = {
      {"wrong mode", {QStringLiteral("mode"), QStringLiteral("2")}, {}, TRunEnd::Refused, "\r\nРежим: "},
      {"unsupported model", {}, {QStringLiteral("serial"), QStringLiteral("0000429990")}, TRunEnd::Refused,
       "Модель ККТ 9990 не поддерживается."},
      {"no boot-loader version", {QStringLiteral("loader-text"), QStringLiteral("x")}, {}, TRunEnd::Error,
       "'x' is not a valid integer value"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Sim({QStringLiteral("init")}), 0);
    if (!c.fault.isEmpty()) {
      Fault(c.fault);
    }
    if (!c.set.isEmpty()) {
      ASSERT_EQ(Sim(QStringList{QStringLiteral("set")} + c.set), 0);
    }
    const TRunResult r = run.Run(view, TTransferMethod::Dfu);
    EXPECT_EQ(r.end, c.end);
    EXPECT_TRUE(r.message.contains(QString::fromUtf8(c.reason))) << r.message.toStdString();
    EXPECT_EQ(r.installed, 0);
    // The history's end of a run that read the register keeps the reason too.
    if (r.identified) {
      EXPECT_EQ(Records(QStringLiteral("run-end")).last().value(QStringLiteral("message")).toString(), r.message);
    }
  }
}

TEST_F(RunFixture, AStopAfterATransferReportsTheIdentityTheRegisterNowHas) {
  // The signal arrives during the boot-loader's restart: the transfer and its
  // confirmation finish, no new pass starts.
  view.onWaitEnd = [this](const QString &caption) {
    if (caption == QStringLiteral("Перезагрузка")) run.RequestStop();
  };
  const TRunResult r = run.Run(view, TTransferMethod::Dfu);
  EXPECT_EQ(r.end, TRunEnd::Stopped);
  EXPECT_EQ(r.installed, 1);
  EXPECT_EQ(Text(r.before), QStringLiteral("A.4/1234/155"));
  EXPECT_EQ(Text(r.after), QStringLiteral("A.4/1234/160"));
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/160"));
  const QJsonObject end = Records(QStringLiteral("run-end")).value(0);
  EXPECT_EQ(end.value(QStringLiteral("identity")).toObject().value(QStringLiteral("bootloader")).toInt(), 160);
  EXPECT_FALSE(end.value(QStringLiteral("message")).toString().isEmpty());
}

TEST_F(RunFixture, OneTargetCheckForTheRunAndTheRecovery) {
  // The boot-loader version as some registers give it, with a leading zero.
  TFWRule loader;
  loader.level = 1;
  loader.blver = 155;
  Fault({QStringLiteral("loader-text"), QStringLiteral("0155")});
  EXPECT_TRUE(run.TargetReached(loader));
  loader.blver = 160;
  EXPECT_FALSE(run.TargetReached(loader));
  TFWRule firmware;
  firmware.level = 2;
  firmware.fwver = QStringLiteral("A.4");
  firmware.fwbuild = 1234;
  EXPECT_TRUE(run.TargetReached(firmware));
  firmware.fwbuild = 1300;
  EXPECT_FALSE(run.TargetReached(firmware));
}

TEST_F(RunFixture, ADeclinedOfferIsAPlanNotAFailure) {
  view.offer = false;
  const TRunResult r = run.Run(view, TTransferMethod::Dfu);
  EXPECT_EQ(r.end, TRunEnd::NotUpdated);
  EXPECT_TRUE(r.declined);
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(Text(r.after), QStringLiteral("A.4/1234/155"));
  EXPECT_EQ(Identity(), QStringLiteral("A.4/1234/155"));
}
