// The progress window built from its JSON messages: sizes, controls, label
// patterns and the faulty messages.
#include <gtest/gtest.h>

#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTest>

#include "common/msgbox_recorder.h"
#include "common/waits.h"
#include "forms/progressformunit.h"

namespace {

// The show message of the tables backup, as its producer writes it.
const QString kTablesShow = QStringLiteral(
    R"({"func":{"type":"notify","name":"showprogress"},"form":{"caption":"Сохранение таблиц.",)"
    R"("left":3,"top":3,"width":-2,"height":-9,"controls":{"progress":[)"
    R"({"left":25,"top":25,"width":-1,"height":17,"min":1,"max":93,"pos":1,"name":"progress1"},)"
    R"({"left":25,"top":65,"width":-1,"height":17,"min":1,"max":4000,"pos":1,"name":"progress2"}],)"
    R"("label":[{"left":25,"top":3,"width":-1,"height":17,"caption":"Таблица: %s","name":"label1"},)"
    R"({"left":25,"top":45,"width":-1,"height":17,"caption":"Поле %s","pos":1,"name":"label2"}]}}})");

QString Show(const QString &form) {
  return QStringLiteral(R"({"func":{"type":"notify","name":"showprogress"},"form":)") + form +
         QLatin1Char('}');
}

// What one control shows: a bar's position or a label's text.
struct Control {
  QString name;
  QRect geometry;
  QString shows;
};

struct Case {
  const char *name;
  QString show;
  QString progress;  // applied after the show when not empty
  bool shown;
  QString caption;
  QSize size;  // client size of a window that had not been on screen
  QList<Control> controls;
  QStringList boxes;  // beginnings of the box texts, in order
};

// Named by its case in the test list.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

QString Shows(QWidget *c) {
  if (auto *bar = qobject_cast<QProgressBar *>(c)) return QString::number(bar->value());
  if (auto *label = qobject_cast<QLabel *>(c)) return label->text();
  return QStringLiteral("?");
}

QString Step(int cells) {
  return QStringLiteral(R"({"progress":{"progress1":1,"progress2":%1,"label1":"a","label2":"b"}})").arg(cells);
}

const QString kMissing = QStringLiteral("Параметр %1 не найден.\r\n");

class ProgressFormSizes : public ::testing::TestWithParam<Case> {};

TEST_P(ProgressFormSizes, BuildsAndUpdates) {
  const Case &c = GetParam();
  // The expected sizes below are worked out for the offscreen screen.
  TProgressForm form;
  ASSERT_EQ(form.screen()->availableGeometry().size(), QSize(800, 800));
  msgbox::Recorder boxes;

  form.Do_Show(nullptr, c.show);
  if (!c.progress.isEmpty()) form.DoProgress(nullptr, c.progress);

  EXPECT_EQ(form.isVisible(), c.shown);
  EXPECT_EQ(form.windowTitle(), c.caption);
  EXPECT_EQ(form.size(), c.size);
  ASSERT_EQ(form.FormControls().size(), c.controls.size());
  for (qsizetype i = 0; i < c.controls.size(); ++i) {
    QWidget *w = form.FormControls()[i].Control;
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), &form);
    EXPECT_EQ(w->objectName(), c.controls[i].name) << i;
    EXPECT_EQ(w->geometry(), c.controls[i].geometry) << i;
    EXPECT_EQ(Shows(w), c.controls[i].shows) << i;
  }
  ASSERT_EQ(boxes.boxes.size(), c.boxes.size());
  for (qsizetype i = 0; i < c.boxes.size(); ++i)
    EXPECT_TRUE(boxes.boxes[i].text.startsWith(c.boxes[i])) << boxes.boxes[i].text.toStdString();

  // Hiding takes the controls down; the window can be built again.
  form.Do_Hide(nullptr, QString());
  EXPECT_FALSE(form.isVisible());
  EXPECT_TRUE(form.FormControls().isEmpty());
  EXPECT_TRUE(form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly).isEmpty());
}

const QString kBar = QStringLiteral(R"({"left":%1,"top":%2,"width":%3,"height":%4,"min":0,"max":100,"pos":5,"name":"b"})");

std::vector<Case> Cases() {
  return {
        // Half the screen wide, a ninth high; bars and labels of -1 width span
        // the client width less twice their left.
        Case{"TablesWindow", kTablesShow,
             QStringLiteral(R"({"progress":{"progress1":7,"progress2":250,"label1":"Тип и режим кассы","label2":"Номер в зале"}})"),
             true, QStringLiteral("Сохранение таблиц."), QSize(400, 88),
             {{QStringLiteral("progress1"), QRect(25, 25, 350, 17), QStringLiteral("7")},
              {QStringLiteral("progress2"), QRect(25, 65, 350, 17), QStringLiteral("250")},
              {QStringLiteral("label1"), QRect(25, 3, 350, 17), QStringLiteral("Таблица: Тип и режим кассы")},
              {QStringLiteral("label2"), QRect(25, 45, 350, 17), QStringLiteral("Поле Номер в зале")}},
             {}},
        // Before the first update a label shows its pattern; integer division.
        Case{"PatternUntilFirstUpdate", QString(kTablesShow).replace(QStringLiteral("\"width\":-2"), QStringLiteral("\"width\":-7")), {},
             true, QStringLiteral("Сохранение таблиц."), QSize(114, 88),
             {{QStringLiteral("progress1"), QRect(25, 25, 64, 17), QStringLiteral("1")},
              {QStringLiteral("progress2"), QRect(25, 65, 64, 17), QStringLiteral("1")},
              {QStringLiteral("label1"), QRect(25, 3, 64, 17), QStringLiteral("Таблица: %s")},
              {QStringLiteral("label2"), QRect(25, 45, 64, 17), QStringLiteral("Поле %s")}},
             {}},
        // -10 is the last fraction; -1 and -11 are pixel sizes (nothing below 0).
        Case{"FractionLimits",
             Show(QStringLiteral(R"({"caption":"a","left":0,"top":0,"width":-10,"height":-3,"controls":{}})")), {},
             true, QStringLiteral("a"), QSize(80, 266), {}, {}},
        Case{"MinusOneIsPixels",
             Show(QStringLiteral(R"({"caption":"a","left":0,"top":0,"width":-1,"height":-11,"controls":{}})")), {},
             true, QStringLiteral("a"), QSize(0, 0), {}, {}},
        // Plain pixels; a bar of -1 height fills the client height less twice
        // its top; a number is also a label's text.
        Case{"PixelsAndMinusOneHeight",
             Show(QStringLiteral(R"({"caption":"b","left":0,"top":0,"width":300,"height":200,"controls":{"progress":[)") +
                  kBar.arg(10).arg(20).arg(100).arg(-1) +
                  QStringLiteral(R"x(],"label":[{"left":1,"top":2,"width":3,"height":4,"caption":"%s из 9 (100%%)","name":"n"}]}})x")),
             QStringLiteral(R"({"progress":{"b":42,"n":3}})"),
             true, QStringLiteral("b"), QSize(300, 200),
             {{QStringLiteral("b"), QRect(10, 20, 100, 160), QStringLiteral("42")},
              {QStringLiteral("n"), QRect(1, 2, 3, 4), QStringLiteral("3 из 9 (100%)")}},
             {}},
        // A description without "min" and "name": the readers' boxes, 0 and an
        // empty name, under which progress messages then address the bar.
        Case{"MissingKeysOfADescription",
             Show(QStringLiteral(R"({"caption":"c","left":0,"top":0,"width":300,"height":100,"controls":{"progress":[)"
                                 R"({"left":5,"top":5,"width":50,"height":10,"max":10,"pos":2}]}})")),
             QStringLiteral(R"({"progress":{"":7}})"),
             true, QStringLiteral("c"), QSize(300, 100),
             {{QString(), QRect(5, 5, 50, 10), QStringLiteral("7")}},
             {kMissing.arg(QStringLiteral("min")), kMissing.arg(QStringLiteral("name"))}},
        // A progress message without a control's key: the box, and 0 (the
        // bar's minimum here).
        Case{"MissingKeyOfAProgressMessage",
             Show(QStringLiteral(R"({"caption":"d","left":0,"top":0,"width":300,"height":100,"controls":{"progress":[)") +
                  kBar.arg(0).arg(0).arg(10).arg(10) + QStringLiteral("]}}")),
             QStringLiteral(R"({"progress":{"other":7}})"),
             true, QStringLiteral("d"), QSize(300, 100),
             {{QStringLiteral("b"), QRect(0, 0, 10, 10), QStringLiteral("0")}},
             {kMissing.arg(QStringLiteral("b"))}},
        // Progress texts that do not parse, or carry no "progress" object, are
        // ignored without a word.
        Case{"BadProgressTextIgnored",
             Show(QStringLiteral(R"({"caption":"e","left":0,"top":0,"width":300,"height":100,"controls":{"progress":[)") +
                  kBar.arg(0).arg(0).arg(10).arg(10) + QStringLiteral("]}}")),
             QStringLiteral(R"({"progress":[1,2]})"),
             true, QStringLiteral("e"), QSize(300, 100),
             {{QStringLiteral("b"), QRect(0, 0, 10, 10), QStringLiteral("5")}}, {}},
        Case{"ProgressNotJsonIgnored",
             Show(QStringLiteral(R"({"caption":"e","left":0,"top":0,"width":300,"height":100,"controls":{"progress":[)") +
                  kBar.arg(0).arg(0).arg(10).arg(10) + QStringLiteral("]}}")),
             QStringLiteral(R"({"progress":{"b":)"),
             true, QStringLiteral("e"), QSize(300, 100),
             {{QStringLiteral("b"), QRect(0, 0, 10, 10), QStringLiteral("5")}}, {}},
        // No "controls": caption and size are taken, the window stays hidden.
        Case{"NoControlsNotShown",
             Show(QStringLiteral(R"({"caption":"f","left":0,"top":0,"width":-2,"height":200})")), {},
             false, QStringLiteral("f"), QSize(400, 200), {}, {}},
        // A show text that is not JSON, or has no "form": the window is left
        // as it was.
        Case{"ShowNotJson", QStringLiteral("{oops"), {}, false, QStringLiteral("ProgressForm"), QSize(268, 62), {},
             {QStringLiteral("Invalid params: {oops")}},
        Case{"ShowWithoutForm", QStringLiteral(R"({"func":{}})"), {}, false, QStringLiteral("ProgressForm"),
             QSize(268, 62), {}, {QStringLiteral(R"(Invalid params: {"func":{}})")}},
        // A missing key of "form": its box, and the window keeps that value.
        Case{"MissingWidthKeepsWidth",
             Show(QStringLiteral(R"({"caption":"g","left":0,"top":0,"height":100,"controls":{}})")), {},
             true, QStringLiteral("g"), QSize(268, 100), {}, {kMissing.arg(QStringLiteral("width"))}}};
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressFormSizes, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// The window is painted when shown and on every step, not only once the
// producer's loop is over.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  int lastValue = -1;

 protected:
  bool eventFilter(QObject *o, QEvent *e) override {
    if (e->type() == QEvent::Paint) {
      ++paints;
      lastValue = static_cast<QProgressBar *>(o)->value();
    }
    return false;
  }
};

TEST(ProgressForm, PaintedOnEachStep) {
  waits::VirtualClock clock;
  waits::SetClock(&clock);
  TProgressForm form;
  form.Do_Show(nullptr, kTablesShow);
  ASSERT_TRUE(form.isVisible());
  auto *bar = static_cast<QProgressBar *>(form.FormControls()[1].Control);
  PaintCounter counter;
  bar->installEventFilter(&counter);
  for (int step = 2; step <= 4; ++step) {
    const int before = counter.paints;
    form.DoProgress(nullptr, Step(step * 1000));
    EXPECT_GT(counter.paints, before) << step;
    EXPECT_EQ(counter.lastValue, step * 1000);
    waits::Sleep(TProgressForm::kRefreshMs);
  }
}

// Steps faster than the refresh are kept; the last one reaches the screen
// even when no further step comes.
TEST(ProgressForm, QuickStepsEndOnTheLastOne) {
  waits::VirtualClock clock;
  waits::SetClock(&clock);
  TProgressForm form;
  form.Do_Show(nullptr, kTablesShow);
  auto *bar = static_cast<QProgressBar *>(form.FormControls()[1].Control);
  for (int n = 1; n <= 3; ++n) form.DoProgress(nullptr, Step(n * 100));
  EXPECT_EQ(bar->value(), 100);
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() == 300; }));
  // A hide drops a step still kept.
  form.DoProgress(nullptr, Step(400));
  form.Do_Hide(nullptr, QString());
  form.Do_Show(nullptr, kTablesShow);
  bar = static_cast<QProgressBar *>(form.FormControls()[1].Control);
  QTest::qWait(3 * TProgressForm::kRefreshMs);
  EXPECT_EQ(bar->value(), 1);
}

// A second show before the hide adds its controls to those there are.
TEST(ProgressForm, SecondShowAddsControls) {
  TProgressForm form;
  form.Do_Show(nullptr, kTablesShow);
  form.Do_Show(nullptr, kTablesShow);
  EXPECT_EQ(form.FormControls().size(), 8);
  // Closing with the frame's button only hides; progress still reaches the controls.
  form.close();
  EXPECT_FALSE(form.isVisible());
  form.DoProgress(nullptr, QStringLiteral(R"({"progress":{"progress1":9,"progress2":9,"label1":"x","label2":"y"}})"));
  EXPECT_EQ(static_cast<QLabel *>(form.FormControls()[6].Control)->text(), QStringLiteral("Таблица: x"));
}

}  // namespace
