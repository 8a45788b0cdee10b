#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDate>
#include <QProcess>
#include <QTimer>

#include <cstdio>

#include <functional>

#include "common/codepage.h"
#include "common/datetime.h"
#include "common/jutils.h"
#include "common/msgbox_recorder.h"
#include "common/waits.h"

namespace {

// One reader call: its result as text, and the box it showed (empty: none).
struct ReaderCase {
  const char *name;
  std::function<QString()> read;
  QString want;
  QString box;  // a text ending in "\r\n" is a prefix followed by the reason
};

QString N(qint64 v) { return QString::number(v); }
QString B(bool v) { return v ? QStringLiteral("true") : QStringLiteral("false"); }

TEST(JsonReaders, ReadOneValueOrShowWhyNot) {
  const QString obj = QStringLiteral(
      R"({"s":"Текст","n":12,"f":1.5,"max":2147483647,"min":-2147483648,"over":2147483648,)"
      R"("under":-2147483649,"t":true,"z":false,"d":"2021-03-15","slash":"2021/03/15",)"
      R"("feb30":"2021-02-30","null":null,"one":1})");
  auto missing = [](const char *key) {
    return QStringLiteral("Параметр %1 не найден.\r\n").arg(QString::fromLatin1(key));
  };
  const ReaderCase cases[] = {
      {"str", [&] { return GetJSONStr(QStringLiteral("s"), obj); }, QStringLiteral("Текст"), {}},
      {"str_from_integer", [&] { return GetJSONStr(QStringLiteral("n"), obj); },
       QStringLiteral("12"), {}},
      {"str_from_float", [&] { return GetJSONStr(QStringLiteral("f"), obj); }, QStringLiteral("1.5"),
       {}},
      {"str_from_bool", [&] { return GetJSONStr(QStringLiteral("t"), obj); }, QString(),
       missing("t")},
      {"str_missing_key", [&] { return GetJSONStr(QStringLiteral("S"), obj); }, QString(),
       missing("S")},
      {"str_not_json", [&] { return GetJSONStr(QStringLiteral("s"), QStringLiteral("{\"s\":")); },
       QString(), missing("s")},
      {"str_not_object", [&] { return GetJSONStr(QStringLiteral("s"), QStringLiteral("[1]")); },
       QString(), missing("s")},
      {"int_max", [&] { return N(GetJSONInt(QStringLiteral("max"), obj)); }, N(2147483647), {}},
      {"int_min", [&] { return N(GetJSONInt(QStringLiteral("min"), obj)); }, N(-2147483648LL), {}},
      {"int_over", [&] { return N(GetJSONInt(QStringLiteral("over"), obj)); }, N(0), missing("over")},
      {"int_under", [&] { return N(GetJSONInt(QStringLiteral("under"), obj)); }, N(0),
       missing("under")},
      {"int_float", [&] { return N(GetJSONInt(QStringLiteral("f"), obj)); }, N(0), missing("f")},
      {"int_text", [&] { return N(GetJSONInt(QStringLiteral("s"), obj)); }, N(0), missing("s")},
      {"int_null", [&] { return N(GetJSONInt(QStringLiteral("null"), obj)); }, N(0), missing("null")},
      {"bool_true", [&] { return B(GetJSONBool(QStringLiteral("t"), obj)); }, B(true), {}},
      {"bool_false", [&] { return B(GetJSONBool(QStringLiteral("z"), obj)); }, B(false), {}},
      {"bool_from_number", [&] { return B(GetJSONBool(QStringLiteral("one"), obj)); }, B(false),
       missing("one")},
      {"date", [&] { return N(qint64(GetJSONDate(QStringLiteral("d"), obj))); }, N(44270), {}},
      {"date_with_slashes", [&] { return N(qint64(GetJSONDate(QStringLiteral("slash"), obj))); },
       N(0), QStringLiteral("Параметр slash не найден.\r\nInvalid date 2021/03/15")},
      {"date_not_in_calendar", [&] { return N(qint64(GetJSONDate(QStringLiteral("feb30"), obj))); },
       N(0), QStringLiteral("Параметр feb30 не найден.\r\nInvalid date 2021-02-30")},
      {"date_missing", [&] { return N(qint64(GetJSONDate(QStringLiteral("x"), obj))); }, N(0),
       missing("x")},
  };
  for (const ReaderCase &c : cases) {
    SCOPED_TRACE(c.name);
    msgbox::Recorder boxes;
    EXPECT_EQ(c.read(), c.want);
    if (c.box.isEmpty()) {
      EXPECT_TRUE(boxes.boxes.isEmpty());
      continue;
    }
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, msgbox::Kind::Error);
    const QString &text = boxes.boxes[0].text;
    if (c.box.endsWith(QStringLiteral("\r\n")))
      EXPECT_TRUE(text.startsWith(c.box) && text.size() > c.box.size()) << text.toStdString();
    else
      EXPECT_EQ(text, c.box);
  }
}

TEST(JsonReaders, ParseTheGivenTextEachCall) {
  msgbox::Recorder boxes;
  EXPECT_EQ(GetJSONInt(QStringLiteral("a"), QStringLiteral(R"({"a":1})")), 1);
  EXPECT_EQ(GetJSONInt(QStringLiteral("a"), QStringLiteral(R"({"a":2})")), 2);
  EXPECT_EQ(GetJSONInt(QStringLiteral("a"), QStringLiteral(R"({"b":2})")), 0);
  EXPECT_EQ(boxes.boxes.size(), 1);
}

TEST(Codepage, RoundTripsWindows1251AndMarksTheRest) {
  QByteArray all;
  for (int b = 1; b < 256; ++b)
    if (b != 0x98) all.append(static_cast<char>(b));  // 0x98 is unassigned
  EXPECT_EQ(codepage::FromUnicode(codepage::ToUnicode(all)), all);

  struct Case {
    QString in;
    QString narrow;
  };
  const Case cases[] = {
      {QStringLiteral("Прошивка ёЁ №5 €"), QStringLiteral("Прошивка ёЁ №5 €")},
      {QStringLiteral("A✓B"), QStringLiteral("A?B")},
      {QStringLiteral("Ω"), QStringLiteral("?")},
      {QString::fromUtf8("x\xF0\x9F\x98\x80y"), QStringLiteral("x?y")},  // one '?' for a pair
      {QString(), QString()},
  };
  for (const Case &c : cases) EXPECT_EQ(codepage::Narrow(c.in), c.narrow) << c.in.toStdString();
  EXPECT_EQ(codepage::FromUnicode(QStringLiteral("Ая")), QByteArray("\xC0\xFF"));

  const QString longText = QString(300, QChar(0x0416));  // Ж
  EXPECT_EQ(codepage::Short(longText), QString(255, QChar(0x0416)));
}

TEST(VirtualClock, SleepsCostNothingAndRunPendingMessages) {
  waits::VirtualClock clock(QDateTime(QDate(2021, 3, 15), QTime(12, 0)));
  waits::SetClock(&clock);
  const auto start = waits::TickCount();
  std::uint64_t seen = 0;
  clock.onSleep = [&](std::uint64_t t) { seen = t; };

  waits::Sleep(15000);
  waits::Sleep(50);
  EXPECT_EQ(waits::TickCount() - start, 15050u);
  EXPECT_EQ(clock.slept(), 15050u);
  EXPECT_EQ(seen, waits::TickCount());
  EXPECT_EQ(waits::Now(), QDateTime(QDate(2021, 3, 15), QTime(12, 0, 16, 50)));

  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  waits::ProcessMessages();
  EXPECT_TRUE(ran);
  waits::SetClock(nullptr);
}

}  // namespace

// The date as the operator sees it under the locale the environment names.
// The system locale is read once per process, so the test runs itself again
// with each environment and reads the date its copy prints.
TEST(ShortDate, FollowsTheSystemLocaleAndIsRussianWithoutOne) {
  if (qEnvironmentVariableIsSet("TAVELIN_PRINT_DATE")) {
    std::printf("DATE=%s\n", qPrintable(datetime::ShortDate(datetime::FromDate(QDate(2022, 5, 20)))));
    return;
  }
  const struct {
    const char *lcAll;
    const char *want;
  } cases[] = {
      {"C", "20.05.2022"},          // no locale at all: Russian
      {"POSIX", "20.05.2022"},
      {"ru_RU.UTF-8", "20.05.2022"},
      {"en_US.UTF-8", "5/20/22"},   // a locale the system names is followed
  };
  for (const auto &c : cases) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *v : {"LANG", "LANGUAGE", "LC_TIME", "LC_MESSAGES"}) env.remove(QString::fromLatin1(v));
    env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(c.lcAll));
    env.insert(QStringLiteral("TAVELIN_PRINT_DATE"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=ShortDate.FollowsTheSystemLocaleAndIsRussianWithoutOne")});
    ASSERT_TRUE(p.waitForFinished(60000)) << c.lcAll;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const qsizetype at = out.indexOf(QStringLiteral("DATE="));
    ASSERT_GE(at, 0) << c.lcAll << ": " << out.toStdString();
    EXPECT_EQ(out.mid(at + 5).section(QLatin1Char('\n'), 0, 0).trimmed(), QString::fromLatin1(c.want)) << c.lcAll;
  }
}
