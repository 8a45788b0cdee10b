// The main window's context menu, the key commands sent as one chord, and the
// log a run leaves: the real window, the simulator, the DFU stand-in.
#include <QAction>
#include <QContextMenuEvent>
#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "appfixture.h"
#include "common/applog.h"
#include "forms/logformunit.h"

using apptest::AppFixture;

namespace {

const QStringList kEntries = {QStringLiteral("Загрузить правила…\tCtrl+Alt+O"),
                              QStringLiteral("Восстановить таблицы\tCtrl+Alt+T"), QStringLiteral("Журнал"),
                              QStringLiteral("Сохранить журнал…"), QStringLiteral("История обновлений")};

class MenuTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    savedState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(root.filePath(QStringLiteral("state"))));
    logFile = root.filePath(QStringLiteral("state/Korvalis/Tavelin/tavelin.log"));
    filedialog::SetAnswerer([this](const QString &folder) {
      opened << folder;
      return QString();
    });
  }
  void TearDown() override {
    if (QWidget *popup = QApplication::activePopupWidget()) popup->close();
    filedialog::SetSaveAnswerer({});
    qputenv("XDG_STATE_HOME", savedState);
    AppFixture::TearDown();
  }

  enum class Via { Background, Button, MenuKey, KeyboardRequest };

  // Opens the menu as the operator does: a right click on the window or on
  // one of its controls, the Menu key, or the context-menu request some
  // platforms make of that key for the control that has the focus. nullptr
  // when no menu appeared.
  QMenu *OpenMenu(Via via = Via::Background) {
    if (QWidget *popup = QApplication::activePopupWidget()) popup->close();
    QWidget *button = form->CheckConnectButton;
    switch (via) {
      case Via::Background:
        QTest::mouseClick(form->windowHandle(), Qt::RightButton, {}, QPoint(20, 45));
        break;
      case Via::Button:
        QTest::mouseClick(form->windowHandle(), Qt::RightButton, {}, button->geometry().center());
        break;
      case Via::MenuKey:
        QTest::keyClick(button, Qt::Key_Menu);
        break;
      case Via::KeyboardRequest: {
        QContextMenuEvent e(QContextMenuEvent::Keyboard, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(button, &e);
        break;
      }
    }
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
  }

  static QStringList Captions(QMenu *menu) {
    QStringList out;
    for (QAction *a : menu->actions()) out << a->text();
    return out;
  }

  static QList<bool> Enabled(QMenu *menu) {
    QList<bool> out;
    for (QAction *a : menu->actions()) out << a->isEnabled();
    return out;
  }

  void Choose(QMenu *menu, int entry) {
    QAction *a = menu->actions().value(entry);
    ASSERT_NE(a, nullptr);
    menu->close();
    a->trigger();
  }

  QByteArray savedState;
  QString logFile;
  QStringList opened;  // initial folders of the open-file dialogs shown
};

TEST_F(MenuTest, RightClickAndMenuKeyOfferTheCommands) {
  TMainForm &f = Start();
  boxes.boxes.clear();
  for (Via via : {Via::Background, Via::Button, Via::MenuKey, Via::KeyboardRequest}) {
    SCOPED_TRACE(int(via));
    QMenu *menu = OpenMenu(via);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(Captions(menu), kEntries);
    EXPECT_EQ(Enabled(menu), QList<bool>(kEntries.size(), true));
    menu->close();
  }

  // The rules command opens the same dialog as Ctrl+Alt+O.
  Choose(OpenMenu(), 0);
  EXPECT_EQ(opened, QStringList{f.FTempPath});

  // The tables command runs the Ctrl+Alt+T restore, as a run: the menu is
  // disabled inside it.
  int restores = 0;
  QList<bool> enabledInside;
  f.RestoreTablesHook = [&] {
    ++restores;
    QMenu *inside = OpenMenu();
    ASSERT_NE(inside, nullptr);
    enabledInside = Enabled(inside);
    // Chosen anyway: nothing happens.
    Choose(inside, 0);
    Choose(OpenMenu(Via::MenuKey), 1);
  };
  Choose(OpenMenu(Via::MenuKey), 1);
  EXPECT_EQ(restores, 1);
  EXPECT_EQ(enabledInside, QList<bool>(kEntries.size(), false));
  EXPECT_EQ(opened.size(), 1);
  EXPECT_TRUE(boxes.boxes.isEmpty());
}

TEST_F(MenuTest, DisabledWhileARunIsInProgress) {
  TMainForm &f = Start();
  QList<bool> enabled;
  int offers = 0;
  dialogs.onShow = [&](QDialog *) {
    if (offers++) return;
    QMenu *menu = OpenMenu();
    ASSERT_NE(menu, nullptr);
    enabled = Enabled(menu);
    Choose(menu, 0);
  };
  f.CheckConnectButton->click();
  EXPECT_GE(offers, 1);
  EXPECT_EQ(enabled, QList<bool>(kEntries.size(), false));
  EXPECT_TRUE(opened.isEmpty());
  // After the run it is there again.
  QMenu *menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Enabled(menu), QList<bool>(kEntries.size(), true));
}

TEST_F(MenuTest, AChordSentAtOnceRunsItsCommandOnce) {
  TMainForm &f = Start();
  int restores = 0;
  f.RestoreTablesHook = [&] { ++restores; };
  const Qt::KeyboardModifiers chord = Qt::ControlModifier | Qt::AltModifier;
  auto send = [](QWidget *w, QEvent::Type type, Qt::Key key, Qt::KeyboardModifiers mods, bool repeat = false) {
    QKeyEvent e(type, key, mods, QString(), repeat);
    QApplication::sendEvent(w, &e);
  };
  const struct {
    const char *name;
    std::function<void(QWidget *, Qt::Key)> keys;
    int runs;
  } cases[] = {
      {"press and release", [&](QWidget *w, Qt::Key k) { QTest::keyClick(w, k, chord); }, 1},
      // The release of a chord sent at once may come after the modifiers went.
      {"press, release without the modifiers",
       [&](QWidget *w, Qt::Key k) {
         send(w, QEvent::KeyPress, k, chord);
         send(w, QEvent::KeyRelease, k, Qt::NoModifier);
       },
       1},
      {"release only (its press went elsewhere)", [&](QWidget *w, Qt::Key k) { send(w, QEvent::KeyRelease, k, chord); },
       1},
      {"held: repeated presses",
       [&](QWidget *w, Qt::Key k) {
         send(w, QEvent::KeyPress, k, chord);
         for (int i = 0; i < 3; ++i) send(w, QEvent::KeyPress, k, chord, true);
         send(w, QEvent::KeyRelease, k, chord);
       },
       1},
      {"without Alt", [&](QWidget *w, Qt::Key k) { QTest::keyClick(w, k, Qt::ControlModifier); }, 0},
  };
  for (const auto &c : cases) {
    for (QWidget *w : {static_cast<QWidget *>(&f), static_cast<QWidget *>(f.CheckConnectButton)}) {
      SCOPED_TRACE(std::string(c.name) + (w == &f ? " to the window" : " to the button"));
      opened.clear();
      restores = 0;
      c.keys(w, Qt::Key_O);
      EXPECT_EQ(opened.size(), c.runs);
      c.keys(w, Qt::Key_T);
      EXPECT_EQ(restores, c.runs);
    }
  }
}

TEST_F(MenuTest, TheLogOfARunIsShownAndSaved) {
  TMainForm &f = Start();
  // A cell the rule writes is refused: the driver's code goes to the log.
  ASSERT_EQ(Sim({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("cell"), QStringLiteral("13"),
                 QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("write")}),
            0);
  f.CheckConnectButton->click();
  ASSERT_FALSE(boxes.boxes.isEmpty());

  const QString log = QString::fromUtf8(apptest::ReadFile(logFile));
  for (const QString &want :
       {QStringLiteral("[INFO ] Проверка соединения с ККТ"), QStringLiteral("[INFO ] ККТ: S/N: 0000420150"),
        QStringLiteral("Драйвер: SetDFUMode: 0"), QStringLiteral("dfu-util-static.exe -D "),
        QStringLiteral("Download done."), QStringLiteral("Драйвер: WriteTable: код "),
        QStringLiteral("(таблица 13, ряд 2, поле 1)"), QStringLiteral("Новая версия подтверждена"),
        // The closing box: a warning, since it names the cell the rule could not write.
        QStringLiteral("Предупреждение: ") + boxes.boxes.last().text.section(QStringLiteral("\r\n"), 0, 0)})
    EXPECT_TRUE(log.contains(want)) << want.toStdString() << "\n" << log.toStdString();

  // "Журнал": the window with the newest lines, the last one in view.
  QMenu *menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  Choose(menu, 2);
  TLogForm *journal = f.JournalForm();
  ASSERT_NE(journal, nullptr);
  EXPECT_TRUE(journal->isVisible());
  const int n = journal->LogLB->count();
  ASSERT_GT(n, 5);
  EXPECT_EQ(journal->LogLB->item(n - 1)->text(), applog::LastEntries(1).value(0));
  EXPECT_TRUE(journal->LogLB->item(n - 1)->text().contains(boxes.boxes.last().text.left(20)));

  // "Сохранить журнал…" in the menu and the window's button: the whole file
  // where the operator chooses; a place that cannot be written says so.
  QStringList suggested;
  QString target = root.filePath(QStringLiteral("saved.log"));
  filedialog::SetSaveAnswerer([&](const QString &path) {
    suggested << path;
    return target;
  });
  Choose(OpenMenu(), 3);
  ASSERT_EQ(suggested.size(), 1);
  EXPECT_TRUE(suggested[0].endsWith(QStringLiteral(".log")));
  EXPECT_TRUE(apptest::ReadFile(target).startsWith(apptest::ReadFile(logFile).left(200)));
  EXPECT_TRUE(apptest::ReadFile(target).contains("Download done."));

  boxes.boxes.clear();
  target = root.filePath(QStringLiteral("no/such/folder/saved.log"));
  journal->SaveButton->click();
  EXPECT_EQ(suggested.size(), 2);
  ASSERT_EQ(boxes.texts(msgbox::Kind::Error).size(), 1);
  EXPECT_TRUE(boxes.texts(msgbox::Kind::Error)[0].startsWith(
      QStringLiteral("Не удалось сохранить журнал в файл ") + target));
}

}  // namespace
