#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QStringEncoder>

#include <functional>
#include <vector>

#include "common/codepage.h"
#include "common/msgbox_recorder.h"
#include "rules/fwrules.h"
#include "rulesfile.h"

namespace {

const TDateTime k2021_03_15 = datetime::FromDate(QDate(2021, 3, 15));

void ExpectRule(const TFWRule &got, const TFWRule &want) {
  EXPECT_EQ(got.level, want.level);
  EXPECT_EQ(got.filename, want.filename);
  EXPECT_EQ(got.savesetting, want.savesetting);
  EXPECT_EQ(got.bootloader, want.bootloader);
  EXPECT_EQ(got.firmware, want.firmware);
  EXPECT_EQ(got.build, want.build);
  EXPECT_EQ(got.date, want.date);
  EXPECT_EQ(got.info, want.info);
  EXPECT_EQ(got.blver, want.blver);
  EXPECT_EQ(got.fwver, want.fwver);
  EXPECT_EQ(got.fwbuild, want.fwbuild);
  EXPECT_EQ(got.fwdate, want.fwdate);
  EXPECT_EQ(got.downallowed, want.downallowed);
  ASSERT_EQ(got.updatetables.size(), want.updatetables.size());
  for (int i = 0; i < got.updatetables.size(); ++i) {
    const TUpdateTable &g = got.updatetables[i], &w = want.updatetables[i];
    EXPECT_EQ(g.table, w.table) << "cell " << i;
    EXPECT_EQ(g.row, w.row) << "cell " << i;
    EXPECT_EQ(g.field, w.field) << "cell " << i;
    EXPECT_EQ(g._type, w._type) << "cell " << i;
    EXPECT_EQ(g.intvalue, w.intvalue) << "cell " << i;
    EXPECT_EQ(g.strvalue, w.strvalue) << "cell " << i;
  }
}

// A rule as the loader leaves it when only the required members are given.
TFWRule Defaults(int level, int bootloader, const QString &file) {
  TFWRule r;
  r.level = level;
  r.bootloader = bootloader;
  r.filename = file;
  r.build = level == 2 ? -1 : 0;
  r.firmware = QStringLiteral("__");
  r.blver = -1;
  r.fwver = QStringLiteral("неизвестно");
  r.fwbuild = -1;
  r.info = QStringLiteral("нет данных");
  return r;
}

struct LoadCase {
  const char *name;
  QByteArray element;
  TFWRule want;
};

TFWRule With(TFWRule r, const std::function<void(TFWRule &)> &f) {
  f(r);
  return r;
}

std::vector<LoadCase> LoadCases() {
  return {
      {"level2_defaults", R"({"level":2,"bootloader":100,"file":"fw.bin"})",
       Defaults(2, 100, QStringLiteral("fw.bin"))},
      {"level1_defaults", R"({"level":1,"bootloader":0,"file":"bl.bin"})",
       Defaults(1, 0, QStringLiteral("bl.bin"))},
      {"level1_ignores_build_and_tables",
       R"({"level":1,"bootloader":150,"file":"bl.bin","build":77,
           "updatetables":[{"table":1,"row":1,"field":1,"type":0,"value":7}]})",
       Defaults(1, 150, QStringLiteral("bl.bin"))},
      {"other_level_ignores_build", R"({"level":3,"bootloader":1,"file":"x","build":5})",
       Defaults(3, 1, QStringLiteral("x"))},
      {"downallowed_without_savesetting",
       R"({"level":2,"bootloader":1,"file":"f","downallowed":true})",
       With(Defaults(2, 1, QStringLiteral("f")), [](TFWRule &r) { r.downallowed = true; })},
      {"updatetables_is_not_an_array",
       R"({"level":2,"bootloader":1,"file":"f","updatetables":{"table":1}})",
       Defaults(2, 1, QStringLiteral("f"))},
      {"number_as_text", R"({"level":2,"bootloader":1,"file":"f","firmware":3,"fwver":4.5})",
       With(Defaults(2, 1, QStringLiteral("f")),
            [](TFWRule &r) {
              r.firmware = QStringLiteral("3");
              r.fwver = QStringLiteral("4.5");
            })},
      // 8-bit text fields hold only what windows-1251 can; the file name is full text.
      {"eight_bit_text",
       R"({"level":2,"bootloader":1,"file":"прошивка✓.bin","info":"Версия ✓ €","fwver":"Б.2"})",
       With(Defaults(2, 1, QStringLiteral("прошивка✓.bin")),
            [](TFWRule &r) {
              r.info = QStringLiteral("Версия ? €");
              r.fwver = QStringLiteral("Б.2");
            })},
      {"every_member",
       R"({"level":2,"bootloader":140,"file":"fw/A5.bin","build":1234,"savesetting":true,
           "firmware":"A.4","date":"2020-01-02","blver":200,"fwver":"A.5","fwbuild":1300,
           "fwdate":"2021-03-15","info":"Новая версия","downallowed":false,"other":[1,2],
           "updatetables":[{"table":1,"row":2,"field":3,"type":0,"value":7},
                           {"table":17,"row":1,"field":4,"type":1,"value":"ОФД"}]})",
       With(Defaults(2, 140, QStringLiteral("fw/A5.bin")),
            [](TFWRule &r) {
              r.build = 1234;
              r.savesetting = true;
              r.firmware = QStringLiteral("A.4");
              r.date = datetime::FromDate(QDate(2020, 1, 2));
              r.blver = 200;
              r.fwver = QStringLiteral("A.5");
              r.fwbuild = 1300;
              r.fwdate = k2021_03_15;
              r.info = QStringLiteral("Новая версия");
              r.updatetables = {{1, 2, 3, 0, 7, {}}, {17, 1, 4, 1, 0, QStringLiteral("ОФД")}};
            })},
  };
}

TEST(LoadFWRules, ReadsMembersAndDefaults) {
  RulesDir dir;
  for (const LoadCase &c : LoadCases()) {
    SCOPED_TRACE(c.name);
    msgbox::Recorder boxes;
    TFWRules rules;
    ASSERT_TRUE(LoadFWRules(dir.rules(c.element), rules)) << FWRulesError.toStdString();
    EXPECT_TRUE(FWRulesError.isEmpty());
    EXPECT_TRUE(boxes.boxes.isEmpty());
    ASSERT_EQ(rules.size(), 1);
    ExpectRule(rules[0], c.want);
  }
}

TEST(LoadFWRules, KeepsFileOrderAndAcceptsAnEmptyArray) {
  RulesDir dir;
  TFWRules rules;
  ASSERT_TRUE(LoadFWRules(dir.rules(R"({"level":1,"bootloader":1,"file":"a"},
                                        {"level":2,"bootloader":2,"file":"b"},
                                        {"level":1,"bootloader":3,"file":"c"})"),
                          rules));
  ASSERT_EQ(rules.size(), 3);
  EXPECT_EQ(rules[0].filename, QStringLiteral("a"));
  EXPECT_EQ(rules[1].filename, QStringLiteral("b"));
  EXPECT_EQ(rules[2].filename, QStringLiteral("c"));

  TFWRules none;
  EXPECT_TRUE(LoadFWRules(dir.rules(""), none));
  EXPECT_TRUE(none.isEmpty());
}

TEST(LoadFWRules, MissingRequiredMemberRejectsTheWholeSet) {
  struct Case {
    const char *name;
    QByteArray elements;
    QString error;
  };
  const QByteArray good = R"({"level":2,"bootloader":1,"file":"f"})";
  const Case cases[] = {
      {"third_without_level",
       good + "," + good + R"(,{"bootloader":1,"file":"f"})",
       QStringLiteral("Ошибка. Отсутствует поле \"level\". Элемент: 2.")},
      {"first_without_bootloader", R"({"level":1,"file":"f"})",
       QStringLiteral("Ошибка. Отсутствует поле \"bootloader\". Элемент: 0.")},
      {"second_without_file", good + R"(,{"level":1,"bootloader":1})",
       QStringLiteral("Ошибка. Отсутствует поле \"file\". Элемент: 1.")},
      // Keys are matched exactly.
      {"key_case_differs", R"({"Level":2,"bootloader":1,"file":"f"})",
       QStringLiteral("Ошибка. Отсутствует поле \"level\". Элемент: 0.")},
      {"element_not_an_object", good + ",7",
       QStringLiteral("Ошибка. Отсутствует поле \"level\". Элемент: 1.")},
  };
  RulesDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    msgbox::Recorder boxes;
    TFWRules rules;
    EXPECT_FALSE(LoadFWRules(dir.rules(c.elements), rules));
    EXPECT_TRUE(rules.isEmpty());
    EXPECT_EQ(FWRulesError, c.error);
    EXPECT_TRUE(boxes.boxes.isEmpty());
  }
  // The next successful load clears the message.
  TFWRules rules;
  EXPECT_TRUE(LoadFWRules(dir.rules(good), rules));
  EXPECT_TRUE(FWRulesError.isEmpty());
}

TEST(LoadFWRules, UnreadableValueShowsTheReadersBoxAndKeepsTheRule) {
  struct Case {
    const char *name;
    QByteArray members;  // added to a good level-2 rule
    QStringList boxes;   // expected box texts; a text ending in "\r\n" is a prefix
    std::function<void(const TFWRule &)> check;
  };
  const QString invalid = QStringLiteral("Параметр fwdate не найден.\r\nInvalid date 2021/03/15");
  auto prefix = [](const char *key) {
    return QStringLiteral("Параметр %1 не найден.\r\n").arg(QString::fromLatin1(key));
  };
  const Case cases[] = {
      {"date_with_slashes", R"("fwdate":"2021/03/15")", {invalid},
       [](const TFWRule &r) { EXPECT_EQ(r.fwdate, 0); }},
      {"build_not_integer", R"("build":1.5)", {prefix("build")},
       [](const TFWRule &r) { EXPECT_EQ(r.build, 0); }},
      {"build_as_string", R"("build":"57")", {prefix("build")},
       [](const TFWRule &r) { EXPECT_EQ(r.build, 0); }},
      {"fwbuild_past_32_bits", R"("fwbuild":2147483648)", {prefix("fwbuild")},
       [](const TFWRule &r) { EXPECT_EQ(r.fwbuild, 0); }},
      {"blver_below_32_bits", R"("blver":-2147483649)", {prefix("blver")},
       [](const TFWRule &r) { EXPECT_EQ(r.blver, 0); }},
      {"savesetting_not_boolean", R"("savesetting":"yes","downallowed":1)",
       {prefix("savesetting"), prefix("downallowed")},
       [](const TFWRule &r) {
         EXPECT_FALSE(r.savesetting);
         EXPECT_FALSE(r.downallowed);
       }},
      {"info_not_text", R"("info":{"a":1})", {prefix("info")},
       [](const TFWRule &r) { EXPECT_EQ(r.info, QString()); }},
      {"cell_without_value", R"("updatetables":[{"table":1,"row":2,"field":3,"type":0}])",
       {prefix("value")},
       [](const TFWRule &r) {
         ASSERT_EQ(r.updatetables.size(), 1);
         EXPECT_EQ(r.updatetables[0].field, 3);
         EXPECT_EQ(r.updatetables[0].intvalue, 0);
       }},
      {"cell_not_an_object", R"("updatetables":[5])",
       {prefix("table"), prefix("row"), prefix("field"), prefix("type"), prefix("value")},
       [](const TFWRule &r) {
         ASSERT_EQ(r.updatetables.size(), 1);
         EXPECT_EQ(r.updatetables[0]._type, 0);
       }},
      {"text_cell_with_number_value",
       R"("updatetables":[{"table":1,"row":1,"field":1,"type":2,"value":15}])", {},
       [](const TFWRule &r) {
         ASSERT_EQ(r.updatetables.size(), 1);
         EXPECT_EQ(r.updatetables[0].strvalue, QStringLiteral("15"));
       }},
  };
  RulesDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    msgbox::Recorder boxes;
    TFWRules rules;
    ASSERT_TRUE(LoadFWRules(dir.rules(R"({"level":2,"bootloader":1,"file":"f",)" + c.members + "}"),
                            rules));
    EXPECT_TRUE(FWRulesError.isEmpty());
    ASSERT_EQ(rules.size(), 1);
    EXPECT_EQ(rules[0].filename, QStringLiteral("f"));
    c.check(rules[0]);
    const QList<QString> shown = boxes.texts(msgbox::Kind::Error);
    ASSERT_EQ(shown.size(), c.boxes.size()) << shown.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(boxes.boxes.size(), shown.size());
    for (int i = 0; i < shown.size(); ++i) {
      if (c.boxes[i].endsWith(QStringLiteral("\r\n"))) {
        EXPECT_TRUE(shown[i].startsWith(c.boxes[i])) << shown[i].toStdString();
        EXPECT_GT(shown[i].size(), c.boxes[i].size()) << "the reason is missing";
      } else {
        EXPECT_EQ(shown[i], c.boxes[i]);
      }
    }
  }
}

TEST(LoadFWRules, ReadsTheFileEncodings) {
  const QString text = QStringLiteral(
      "{\"RULES\":[{\"level\":2,\"bootloader\":1,\"file\":\"ф.bin\",\"info\":\"Прошивка № 5\"}]}");
  auto encode = [&](QStringConverter::Encoding e, bool bom) {
    QStringEncoder enc(e, bom ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
    return QByteArray(enc(text));
  };
  struct Case {
    const char *name;
    QByteArray bytes;
  };
  const Case cases[] = {
      {"utf8", encode(QStringConverter::Utf8, false)},
      {"utf8_bom", encode(QStringConverter::Utf8, true)},
      {"utf16le_bom", encode(QStringConverter::Utf16LE, true)},
      {"utf16be_bom", encode(QStringConverter::Utf16BE, true)},
      {"windows1251", codepage::FromUnicode(text)},
  };
  RulesDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TFWRules rules;
    ASSERT_TRUE(LoadFWRules(dir.write(QStringLiteral("r.json"), c.bytes), rules))
        << FWRulesError.toStdString();
    ASSERT_EQ(rules.size(), 1);
    EXPECT_EQ(rules[0].filename, QStringLiteral("ф.bin"));
    EXPECT_EQ(rules[0].info, QStringLiteral("Прошивка № 5"));
  }
}

// Nothing the file holds may crash the loader; a rejected file leaves the
// array as it was and says which file and why.
TEST(LoadFWRules, RejectsBadFilesWithAMessage) {
  RulesDir dir;
  struct Case {
    const char *name;
    QByteArray bytes;  // empty name below: no file at all
    bool write;
    const char *reason;  // a part of the message
  };
  const QByteArray deep(200000, '[');
  const Case cases[] = {
      {"missing_file", {}, false, "файл не найден"},
      {"empty_file", "", true, "не является JSON"},
      {"not_json", "RULES: []", true, "не является JSON"},
      {"truncated", R"({"RULES":[{"level":2,)", true, "не является JSON"},
      {"number_too_large_for_json", R"({"RULES":[{"level":1e400}]})", true, "вне допустимого"},
      {"top_level_array", R"([{"RULES":[]}])", true, "RULES"},
      {"no_rules_member", R"({"rules":[]})", true, "RULES"},
      {"rules_not_array", R"({"RULES":{"level":1}})", true, "RULES"},
      {"deep_garbage", deep, true, "вложенность"},
      {"deep_inside_a_rule", R"({"RULES":[{"level":2,"bootloader":1,"file":"f","info":)" + deep,
       true, "вложенность"},
      {"nested_deep_but_closed",
       R"({"RULES":[{"info":)" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}]}", true,
       "вложенность"},
      {"utf8_bom_then_bad_bytes", "\xEF\xBB\xBF{\"RULES\":[\xFF]}", true, "UTF-8"},
      {"utf16_odd_length", "\xFF\xFE{\0\"", true, "UTF-16"},
      {"nul_byte", QByteArray("{\"RULES\":[\0]}", 13), true, "не является JSON"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    msgbox::Recorder boxes;
    const QString file = dir.path(QString::fromLatin1(c.name) + QStringLiteral(".json"));
    if (c.write) dir.write(QString::fromLatin1(c.name) + QStringLiteral(".json"), c.bytes);
    TFWRules rules{Defaults(1, 1, QStringLiteral("kept"))};
    EXPECT_FALSE(LoadFWRules(file, rules));
    ASSERT_EQ(rules.size(), 1);
    EXPECT_EQ(rules[0].filename, QStringLiteral("kept"));
    EXPECT_TRUE(FWRulesError.startsWith(QStringLiteral("Файл правил %1 не прочитан: ").arg(file)))
        << FWRulesError.toStdString();
    EXPECT_TRUE(FWRulesError.contains(QString::fromUtf8(c.reason))) << FWRulesError.toStdString();
    EXPECT_TRUE(boxes.boxes.isEmpty());
  }
  TFWRules rules;
  EXPECT_FALSE(LoadFWRules(dir.folder(), rules));
  EXPECT_TRUE(FWRulesError.contains(QStringLiteral("это не файл"))) << FWRulesError.toStdString();
}

TEST(FWFilesExist, StopsAtTheFirstMissingFile) {
  RulesDir dir;
  dir.write(QStringLiteral("a.bin"), "a");
  dir.write(QStringLiteral("c.bin"), "c");
  QFile::link(dir.path(QStringLiteral("a.bin")), dir.path(QStringLiteral("link.bin")));
  QFile::link(dir.path(QStringLiteral("gone.bin")), dir.path(QStringLiteral("broken.bin")));
  QDir(dir.folder()).mkdir(QStringLiteral("sub"));
  dir.write(QStringLiteral("sub/d.bin"), "d");
  // A file beside the folder, reachable by climbing out of it.
  QTemporaryFile outside(dir.folder() + QStringLiteral("../XXXXXX.bin"));
  ASSERT_TRUE(outside.open());
  QFile::link(outside.fileName(), dir.path(QStringLiteral("out.bin")));
  const QString outsideName = QFileInfo(outside.fileName()).fileName();

  struct Case {
    const char *name;
    QStringList files;
    bool exist;
  };
  const Case cases[] = {
      {"no_rules", {}, true},
      {"all_present", {QStringLiteral("a.bin"), QStringLiteral("c.bin")}, true},
      {"second_of_three_missing",
       {QStringLiteral("a.bin"), QStringLiteral("b.bin"), QStringLiteral("c.bin")}, false},
      {"link_to_a_file", {QStringLiteral("link.bin")}, true},
      {"broken_link", {QStringLiteral("a.bin"), QStringLiteral("broken.bin")}, false},
      // A folder is no image (an empty "file" names the package folder itself).
      {"folder", {QStringLiteral("sub")}, false},
      {"empty_name", {QString()}, false},
      // Only a plain file name in the folder is an image: a rule must not
      // hand the register a file from elsewhere.
      {"in_a_sub_folder", {QStringLiteral("sub/d.bin")}, false},
      {"climbs_out", {QStringLiteral("../") + outsideName}, false},
      {"climbs_out_backslash", {QStringLiteral("..\\") + outsideName}, false},
      {"absolute", {outside.fileName()}, false},
      {"dot_dot", {QStringLiteral("..")}, false},
      {"link_leading_out", {QStringLiteral("out.bin")}, false},
      {"drive_or_stream", {QStringLiteral("a.bin:x")}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TFWRules rules;
    for (const QString &f : c.files) rules.append(Defaults(2, 1, f));
    EXPECT_EQ(FWFilesExist(dir.folder(), rules), c.exist);
  }
}

}  // namespace
