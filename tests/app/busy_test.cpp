// The busy window while the flashing tool runs: painted before the wait, and
// its animation moving during it.
#include <QGuiApplication>
#include <QMovie>
#include <QScreen>
#include <QSet>

#include "appfixture.h"
#include "forms/painted.h"
#include "package/execproc.h"

using apptest::AppFixture;

TEST_F(AppFixture, TheBusyWindowIsPaintedAndAnimatesWhileAChildRuns) {
  TProrgessTForm &busy = *ProrgessTForm;
  ShowPainted(&busy);
  EXPECT_EQ(busy.size(), QSize(68, 68));

  // What the screen shows where the window is, is the window's own picture,
  // already before anything lets messages through.
  const QRect at = busy.geometry();
  const QImage screen = busy.screen()->grabWindow(0, at.x(), at.y(), at.width(), at.height()).toImage();
  const QImage own = busy.grab().toImage();
  ASSERT_FALSE(screen.isNull());
  const QRegion shape = busy.mask();
  ASSERT_FALSE(shape.isEmpty());
  int compared = 0, differing = 0;
  for (int y = 0; y < own.height(); ++y)
    for (int x = 0; x < own.width(); ++x) {
      if (!shape.contains(QPoint(x, y))) continue;
      ++compared;
      if (screen.pixelColor(x, y).rgb() != own.pixelColor(x, y).rgb()) ++differing;
    }
  EXPECT_GT(compared, 100);
  EXPECT_EQ(differing, 0);

  // A slow child: the animation keeps moving while the caller waits for it.
  QSet<int> frames;
  QObject::connect(busy.Movie, &QMovie::frameChanged, [&](int n) { frames << n; });
  QString out;
  const int code = ExecuteAndCapture(QStringLiteral("/bin/sh"),
                                     QStringList{QStringLiteral("-c"), QStringLiteral("sleep 1; echo done; exit 3")}, out);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(out, QStringLiteral("done\n"));
  EXPECT_GE(frames.size(), 4);
}
