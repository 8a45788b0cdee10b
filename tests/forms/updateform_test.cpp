// The update offer: titles, the window's width, the memo and the ways out.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include "common/datetime.h"
#include "forms/modal_recorder.h"
#include "forms/updateformunit.h"

namespace {

TFWRule BootRule(int blver) {
  TFWRule r;
  r.level = 1;
  r.blver = blver;
  r.info = QStringLiteral("Новый загрузчик");
  return r;
}

TFWRule FirmwareRule(const QString &fwver, int fwbuild, QDate fwdate) {
  TFWRule r;
  r.level = 2;
  r.fwver = fwver;
  r.fwbuild = fwbuild;
  r.fwdate = datetime::FromDate(fwdate);
  r.info = QStringLiteral("Исправления");
  return r;
}

struct OfferCase {
  const char *name;
  TFWRule rule;
  QString title;
  QString memo;
};

TEST(UpdateForm, OfferFillsTitleAndMemo) {
  const QDate date(2023, 4, 17);
  const QString shortDate = datetime::ShortDate(datetime::FromDate(date));
  // A rule as the loader leaves it when "fwver" and "info" are missing.
  TFWRule defaults = FirmwareRule(QStringLiteral("неизвестно"), 0, QDate(1899, 12, 30));
  defaults.info = QStringLiteral("нет данных");
  TFWRule lines = BootRule(7);
  lines.info = QStringLiteral("один\r\nдва\nтри\rчетыре");

  const OfferCase cases[] = {
      {"boot-loader", BootRule(155), QStringLiteral("Загрузчик. Версия: 155"),
       QStringLiteral("Новый загрузчик")},
      {"firmware", FirmwareRule(QStringLiteral("A.2"), 4187, date),
       QStringLiteral("Функциональное ПО. Версия: \"A.2\", сборка: 4187, дата: ") + shortDate,
       QStringLiteral("Исправления")},
      {"defaults", defaults,
       QStringLiteral("Функциональное ПО. Версия: \"неизвестно\", сборка: 0, дата: ") +
           datetime::ShortDate(0),
       QStringLiteral("нет данных")},
      {"line breaks of every kind", lines, QStringLiteral("Загрузчик. Версия: 7"),
       QStringLiteral("один\nдва\nтри\nчетыре")},
  };
  for (const OfferCase &c : cases) {
    SCOPED_TRACE(c.name);
    TUpdateForm form;
    modal::Recorder rec;
    QString title, memo;
    rec.onShow = [&](QDialog *) {
      title = form.TitleLabel->text();
      memo = form.InfoMemo->toPlainText();
    };
    EXPECT_TRUE(form.OfferUpdate(c.rule));
    ASSERT_EQ(rec.shown.size(), 1);
    EXPECT_EQ(rec.shown[0].className, QStringLiteral("TUpdateForm"));
    EXPECT_EQ(rec.shown[0].title, QStringLiteral("Доступно обновление"));
    EXPECT_EQ(title, c.title);
    EXPECT_EQ(memo, c.memo);
  }
}

TEST(UpdateForm, OtherLevelKeepsPreviousTitle) {
  TUpdateForm form;
  modal::Recorder rec;
  rec.script = {modal::mrOk, modal::mrCancel};
  EXPECT_TRUE(form.OfferUpdate(BootRule(155)));
  TFWRule odd = BootRule(1);
  odd.level = 3;
  odd.info = QStringLiteral("другое");
  EXPECT_FALSE(form.OfferUpdate(odd));
  EXPECT_EQ(form.TitleLabel->text(), QStringLiteral("Загрузчик. Версия: 155"));
  EXPECT_EQ(form.InfoMemo->toPlainText(), QStringLiteral("другое"));
}

TEST(UpdateForm, WideTitleWidensAndNeverNarrows) {
  TUpdateForm form;
  modal::Recorder rec;
  ASSERT_EQ(form.width(), 504);
  ASSERT_EQ(form.height(), 317);

  form.OfferUpdate(BootRule(155));
  EXPECT_EQ(form.width(), 504) << "a short title leaves the design width";

  const QString longVer(60, QLatin1Char('W'));
  form.OfferUpdate(FirmwareRule(longVer, 1, QDate(2024, 1, 2)));
  const int textWidth =
      QFontMetrics(form.TitleLabel->font()).horizontalAdvance(form.TitleLabel->text());
  ASSERT_GT(textWidth, 504);
  EXPECT_EQ(form.width(), textWidth + 50);
  EXPECT_EQ(form.height(), 317);

  form.OfferUpdate(BootRule(1));
  EXPECT_EQ(form.width(), textWidth + 50);
}

TEST(UpdateForm, LayoutAndButtonsFollowResize) {
  TUpdateForm form;
  EXPECT_EQ(form.Button2->geometry(), QRect(339, 9, 75, 25));
  EXPECT_EQ(form.Button1->geometry(), QRect(420, 9, 75, 25));
  EXPECT_EQ(form.TitleLabel->height(), 25);
  EXPECT_EQ(form.Panel2->height(), 41);
  for (QPushButton *b : {form.Button1, form.Button2}) {
    EXPECT_FALSE(b->isDefault());
    EXPECT_FALSE(b->autoDefault());
  }
  form.show();
  form.resize(704, 417);
  QCoreApplication::processEvents();
  EXPECT_EQ(form.Panel2->geometry(), QRect(0, 417 - 41, 704, 41));
  EXPECT_EQ(form.Button2->geometry(), QRect(539, 9, 75, 25));
  EXPECT_EQ(form.Button1->geometry(), QRect(620, 9, 75, 25));
  EXPECT_EQ(form.InfoMemo->height(), 417 - 25 - 41);
}

// The real modal loop, driven from a queued call once the window is up.
struct ExitCase {
  const char *name;
  std::function<void(TUpdateForm &)> act;
  bool accepted;
};

TEST(UpdateForm, WaysOutOfTheRealDialog) {
  const ExitCase cases[] = {
      {"Обновить", [](TUpdateForm &f) { QTest::mouseClick(f.Button2, Qt::LeftButton); }, true},
      {"Выйти", [](TUpdateForm &f) { QTest::mouseClick(f.Button1, Qt::LeftButton); }, false},
      {"frame close", [](TUpdateForm &f) { f.close(); }, false},
      {"Escape", [](TUpdateForm &f) { QTest::keyClick(&f, Qt::Key_Escape); }, false},
  };
  for (const ExitCase &c : cases) {
    SCOPED_TRACE(c.name);
    TUpdateForm form;
    bool wasVisible = false;
    QTimer::singleShot(0, &form, [&] {
      wasVisible = form.isVisible();
      c.act(form);
    });
    EXPECT_EQ(form.OfferUpdate(BootRule(155)), c.accepted);
    EXPECT_TRUE(wasVisible);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), c.accepted ? modal::mrOk : modal::mrCancel);
  }
}

TEST(UpdateForm, EnterInMemoAddsLineWithoutAccepting) {
  TUpdateForm form;
  TFWRule rule = BootRule(155);
  rule.info = QStringLiteral("строка");
  bool stillOpen = false;
  int blocks = 0;
  QTimer::singleShot(0, &form, [&] {
    form.InfoMemo->setFocus();
    form.InfoMemo->moveCursor(QTextCursor::End);
    QTest::keyClick(form.InfoMemo, Qt::Key_Return);
    QTest::keyClick(form.InfoMemo, Qt::Key_Enter);
    stillOpen = form.isVisible();
    blocks = form.InfoMemo->blockCount();
    QTest::mouseClick(form.Button1, Qt::LeftButton);
  });
  EXPECT_FALSE(form.OfferUpdate(rule));
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(blocks, 3);
}

}  // namespace
