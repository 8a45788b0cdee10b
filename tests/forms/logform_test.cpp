// The log window and its writer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>

#include "common/waits.h"
#include "forms/logformunit.h"
#include "forms/visuallogger.h"

namespace {

int VisibleLogWindows() {
  int n = 0;
  for (QWidget *w : QApplication::topLevelWidgets())
    if (qobject_cast<TLogForm *>(w) && w->isVisible()) ++n;
  return n;
}

struct LogTest : ::testing::Test {
  LogTest() { waits::SetClock(&clock); }
  // Its clock reads a second past its start.
  waits::VirtualClock clock{QDateTime(QDate(2024, 3, 5), QTime(14, 7, 8, 42))};
};

TEST_F(LogTest, LinesShowTheWindowOnce) {
  TVisualLogger log(QStringLiteral("TECRTables"));
  TLogForm *form = log.Form();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->windowTitle(), QStringLiteral("LogForm"));
  EXPECT_EQ(form->size(), QSize(852, 411));
  EXPECT_EQ(form->AutoScrollChB->text(), QStringLiteral("Автопрокрутка"));
  EXPECT_TRUE(form->AutoScrollChB->isChecked());
  EXPECT_EQ(form->LogLB->font().pixelSize(), 13);
  EXPECT_TRUE(QFontInfo(form->LogLB->font()).fixedPitch());

  const QString sep = visuallogger::TimeSeparator();
  ASSERT_FALSE(sep.isEmpty());
  log.Info(QStringLiteral("1 Ошибка: %1. Таблица: a. Поле: b."));
  EXPECT_TRUE(form->isVisible());
  waits::Sleep(1001);
  log.Debug(QStringLiteral("строка\r\nвторая"));  // several lines stay one item
  EXPECT_EQ(VisibleLogWindows(), 1);
  ASSERT_EQ(form->LogLB->count(), 2);
  EXPECT_EQ(form->LogLB->item(0)->text(),
            QStringLiteral("[2024-03-05 14") + sep + QStringLiteral("07") + sep +
                QStringLiteral("09.042] [INFO ] 1 Ошибка: %1. Таблица: a. Поле: b."));
  EXPECT_EQ(form->LogLB->item(1)->text(),
            QStringLiteral("[2024-03-05 14") + sep + QStringLiteral("07") + sep +
                QStringLiteral("10.043] [DEBUG] строка\r\nвторая"));
}

TEST_F(LogTest, AutoScrollOffKeepsTheRows) {
  TVisualLogger log(QStringLiteral("TECRTables"));
  QListWidget *lb = log.Form()->LogLB;
  for (int i = 0; i < 100; ++i) log.Info(QString::number(i));
  QScrollBar *sb = lb->verticalScrollBar();
  ASSERT_GT(sb->maximum(), 0);
  EXPECT_EQ(sb->value(), sb->maximum());

  log.Form()->AutoScrollChB->setChecked(false);
  const int top = sb->value();
  for (int i = 0; i < 20; ++i) log.Info(QStringLiteral("more"));
  EXPECT_EQ(lb->count(), 120);
  EXPECT_EQ(sb->value(), top);
  EXPECT_LT(sb->value(), sb->maximum());

  // Checked again: the next line brings the newest into view.
  log.Form()->AutoScrollChB->setChecked(true);
  log.Info(QStringLiteral("last"));
  EXPECT_EQ(sb->value(), sb->maximum());
}

TEST_F(LogTest, CloseHidesDestroyRemoves) {
  QPointer<TLogForm> form;
  {
    TVisualLogger log(QStringLiteral("TECRTables"));
    form = log.Form();
    log.Info(QStringLiteral("a"));
    // The operator's close only hides; the next line shows it again.
    form->close();
    EXPECT_FALSE(form->isVisible());
    ASSERT_FALSE(form.isNull());
    log.Info(QStringLiteral("b"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->LogLB->count(), 2);
  }
  EXPECT_TRUE(form.isNull());
  EXPECT_EQ(VisibleLogWindows(), 0);
}

}  // namespace

TEST_F(LogTest, AnOpenLogNeverOutlivesTheMainWindow) {
  QWidget main;
  main.show();
  TVisualLogger log(QStringLiteral("TECRTables"));
  log.Info(QStringLiteral("Не восстановлено: Таблица 9, ряд 1, поле 2"));
  ASSERT_TRUE(log.Form()->isVisible());
  // The program's loop ends with its main window; were the log to keep it
  // running, the guard would end it instead.
  QApplication::setQuitOnLastWindowClosed(true);
  bool kept = false;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    kept = true;
    QApplication::quit();
  });
  guard.start(30000);
  QTimer::singleShot(0, &main, &QWidget::close);
  QApplication::exec();
  EXPECT_FALSE(kept);
}

TEST_F(LogTest, ALineLongerThanTheWindowWraps) {
  TVisualLogger log(QStringLiteral("TECRTables"));
  log.Info(QStringLiteral("Не восстановлено: Таблица 9, ряд 1, поле 2 (Параметры обмена / Тайм-аут, мс), должно быть: ") +
           QStringLiteral("«ООО Ромашка и партнёры» ").repeated(12));
  log.Info(QStringLiteral("коротко"));
  TLogForm *form = log.Form();
  QApplication::processEvents();
  QListWidget *list = form->LogLB;
  const QRect longRow = list->visualItemRect(list->item(0));
  const QRect shortRow = list->visualItemRect(list->item(1));
  EXPECT_GT(longRow.height(), 2 * shortRow.height());
  EXPECT_LE(longRow.width(), list->viewport()->width());
}

