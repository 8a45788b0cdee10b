// ostrel-sim as a user or a test script runs it.
#include <QJsonDocument>
#include <QJsonObject>

#include "simfixture.h"

namespace {

RunResult Sim(const QStringList &args) { return RunProgram(QStringLiteral("ostrel-sim"), args); }

}  // namespace

TEST_F(SimTest, ToolInitShowAndSet) {
  ASSERT_EQ(Sim({QStringLiteral("init"), QStringLiteral("--serial"), QStringLiteral("0000990220"), QStringLiteral("--firmware"),
                 QStringLiteral("B.2"), QStringLiteral("--bootloader"), QStringLiteral("140")})
                .exitCode,
            0);
  ASSERT_EQ(Sim({QStringLiteral("set"), QStringLiteral("latency"), QStringLiteral("5")}).exitCode, 0);
  const RunResult show = Sim({QStringLiteral("show"), QStringLiteral("--json")});
  ASSERT_EQ(show.exitCode, 0);
  const QJsonObject j = QJsonDocument::fromJson(show.out.toUtf8()).object();
  for (const char *key : {"serial", "model", "mode", "firmware", "build", "date", "bootloader", "dfu"})
    EXPECT_TRUE(j.contains(QLatin1String(key))) << key;
  EXPECT_EQ(j[QStringLiteral("serial")].toString(), QStringLiteral("0000990220"));
  EXPECT_EQ(j[QStringLiteral("model")].toString(), QStringLiteral("0220"));
  EXPECT_EQ(j[QStringLiteral("firmware")].toString(), QStringLiteral("B.2"));
  EXPECT_EQ(j[QStringLiteral("bootloader")].toInt(), 140);
  EXPECT_EQ(j[QStringLiteral("latency")].toInt(), 5);
  drv().setTableNumber(18);
  drv().setRowNumber(1);
  drv().setFieldNumber(1);
  ASSERT_EQ(drv().ReadTable(), 0);
  EXPECT_EQ(drv().ValueOfFieldString(), QStringLiteral("0000990220"));
}

TEST_F(SimTest, ToolCellFaultJournalAndImage) {
  ASSERT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("7"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("Касса")}).exitCode, 0);
  EXPECT_EQ(Sim({QStringLiteral("cell"), QStringLiteral("7"), QStringLiteral("1"), QStringLiteral("1")}).out, QStringLiteral("Касса\n"));
  ASSERT_EQ(Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("method"), QStringLiteral("GetECRStatus"),
                 QStringLiteral("-1"), QStringLiteral("--times"), QStringLiteral("2")})
                .exitCode,
            0);
  EXPECT_TRUE(Sim({QStringLiteral("fault"), QStringLiteral("list")}).out.contains(QStringLiteral("GetECRStatus")));
  ASSERT_EQ(Sim({QStringLiteral("journal"), QStringLiteral("on")}).exitCode, 0);
  EXPECT_EQ(drv().GetECRStatus(), -1);
  drv().setTableNumber(93);
  drv().GetTableStruct();
  EXPECT_EQ(Sim({QStringLiteral("journal")}).out,
            QStringLiteral("GetECRStatus -> -1\nGetTableStruct TableNumber=93 -> 93\n"));
  ASSERT_EQ(Sim({QStringLiteral("fault"), QStringLiteral("clear")}).exitCode, 0);
  EXPECT_EQ(drv().GetECRStatus(), 0);

  const QString image = dir_.filePath(QStringLiteral("bl.bin"));
  ASSERT_EQ(Sim({QStringLiteral("image"), image, QStringLiteral("--level"), QStringLiteral("1"), QStringLiteral("--bootloader"),
                 QStringLiteral("160"), QStringLiteral("--size"), QStringLiteral("2048")})
                .exitCode,
            0);
  const osim::Image img = osim::ReadImage(image);
  EXPECT_EQ(img.level, 1);
  EXPECT_EQ(img.bootloader, 160);
  EXPECT_EQ(QFileInfo(image).size(), 2048);
}

TEST_F(SimTest, ToolRefusesBadArgumentsWithOneLine) {
  const QStringList cases[] = {
      {QStringLiteral("frobnicate")},
      {QStringLiteral("set"), QStringLiteral("build"), QStringLiteral("many")},
      {QStringLiteral("set"), QStringLiteral("colour"), QStringLiteral("red")},
      {QStringLiteral("init"), QStringLiteral("--date"), QStringLiteral("2021-02-30")},
      {QStringLiteral("cell"), QStringLiteral("99"), QStringLiteral("1"), QStringLiteral("1")},
      {QStringLiteral("cell"), QStringLiteral("10"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("-5")},
      {QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("method"), QStringLiteral("Print"), QStringLiteral("5")},
      {QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("restart-code"), QStringLiteral("117")},
      {QStringLiteral("image"), QStringLiteral("/tmp/x.bin"), QStringLiteral("--level"), QStringLiteral("1")},
      {QStringLiteral("image"), QStringLiteral("/tmp/x.bin"), QStringLiteral("--level"), QStringLiteral("2"), QStringLiteral("--firmware"),
       QStringLiteral("A.5"), QStringLiteral("--build"), QStringLiteral("1"), QStringLiteral("--date"), QStringLiteral("2022-01-01"),
       QStringLiteral("--size"), QStringLiteral("10")},
      {QStringLiteral("show"), QStringLiteral("--port"), QStringLiteral("0")},
  };
  for (const QStringList &args : cases) {
    const RunResult r = Sim(args);
    EXPECT_NE(r.exitCode, 0) << args.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(r.err.startsWith(QStringLiteral("ostrel-sim: "))) << r.err.toStdString();
    EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
  }
  EXPECT_EQ(reg().firmware, "A.4");
  for (const char *cmd : {"init", "show", "set", "cell", "fault", "journal", "reset", "image"}) {
    const RunResult r = Sim({QLatin1String(cmd), QStringLiteral("--help")});
    EXPECT_EQ(r.exitCode, 0) << cmd;
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("Usage: ostrel-sim ") + QLatin1String(cmd))) << cmd;
  }
}
