// Window geometry kept per user across runs.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>

#include "common/registry.h"
#include "forms/SavedFormClassUnit.h"
#include "support/ldfixture.h"

using ldtest::ConfigFixture;

namespace {

class TTestForm : public TSavedForm {
 public:
  explicit TTestForm(const QString &name) {
    setObjectName(name);
    setGeometry(40, 50, 300, 200);
    FormCreated();
  }
};

QMap<QString, int> Stored(const QString &form) {
  QMap<QString, int> out;
  TRegistry reg(RegistryRoot::CurrentUser);
  if (!reg.OpenKeyReadOnly(QStringLiteral("Software\\Korvalis\\Tavelin\\") + form)) return out;
  for (const char *n : {"Left", "Top", "Width", "Height"})
    if (reg.ValueExists(QLatin1String(n))) out[QLatin1String(n)] = reg.ReadInteger(QLatin1String(n));
  return out;
}

void Store(const QString &form, const QMap<QString, int> &values) {
  TRegistry reg(RegistryRoot::CurrentUser);
  ASSERT_TRUE(reg.OpenKey(QStringLiteral("Software\\Korvalis\\Tavelin\\") + form, true));
  for (auto it = values.begin(); it != values.end(); ++it) reg.WriteInteger(it.key(), it.value());
}

using Geometry = ConfigFixture;

TEST_F(Geometry, FirstRunKeepsTheDesignAndStoresAllFourValuesAtExit) {
  {
    TTestForm form(QStringLiteral("FirstForm"));
    EXPECT_EQ(form.geometry(), QRect(40, 50, 300, 200));
    EXPECT_TRUE(Stored(QStringLiteral("FirstForm")).isEmpty());
    form.move(60, 70);
    form.resize(320, 210);
  }
  const QMap<QString, int> want = {{QStringLiteral("Left"), 60}, {QStringLiteral("Top"), 70},
                                   {QStringLiteral("Width"), 320}, {QStringLiteral("Height"), 210}};
  EXPECT_EQ(Stored(QStringLiteral("FirstForm")), want);
  // The per-user store, under the organisation and the program.
  EXPECT_TRUE(QFileInfo::exists(userRoot + QStringLiteral("/Korvalis/Tavelin.conf")));
}

TEST_F(Geometry, OnlyTheStoredValuesApply) {
  Store(QStringLiteral("WidthOnly"), {{QStringLiteral("Width"), 410}});
  TTestForm form(QStringLiteral("WidthOnly"));
  EXPECT_EQ(form.geometry(), QRect(40, 50, 410, 200));
}

TEST_F(Geometry, TwoFormsTwoKeys) {
  {
    TTestForm a(QStringLiteral("FormA"));
    TTestForm b(QStringLiteral("FormB"));
    a.resize(310, 200);
    b.resize(330, 200);
  }
  EXPECT_EQ(Stored(QStringLiteral("FormA")).value(QStringLiteral("Width")), 310);
  EXPECT_EQ(Stored(QStringLiteral("FormB")).value(QStringLiteral("Width")), 330);
  TTestForm again(QStringLiteral("FormB"));
  EXPECT_EQ(again.width(), 330);
}

TEST_F(Geometry, OffScreenOrOversizedGeometryComesBackOntoTheScreen) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  struct {
    const char *what;
    QMap<QString, int> stored;
  } cases[] = {
      {"far left and above", {{QStringLiteral("Left"), -5000}, {QStringLiteral("Top"), -5000}}},
      {"beyond the right edge", {{QStringLiteral("Left"), area.right() + 100}, {QStringLiteral("Top"), 10}}},
      {"title bar above the screen", {{QStringLiteral("Left"), 10}, {QStringLiteral("Top"), -150}}},
      {"larger than the screen", {{QStringLiteral("Width"), area.width() + 900}, {QStringLiteral("Height"), area.height() + 900}}},
  };
  for (const auto &c : cases) {
    Store(QStringLiteral("Lost"), c.stored);
    TTestForm form(QStringLiteral("Lost"));
    EXPECT_TRUE(area.contains(form.geometry())) << c.what << ": " << form.geometry().x() << "," << form.geometry().y()
                                                << " " << form.width() << "x" << form.height();
  }
  // A window partly off the edge but within reach stays where it was put.
  Store(QStringLiteral("Edge"), {{QStringLiteral("Left"), -100}, {QStringLiteral("Top"), 20}});
  TTestForm edge(QStringLiteral("Edge"));
  EXPECT_EQ(edge.pos(), QPoint(-100, 20));
}

TEST_F(Geometry, DamagedValueKeepsTheDesign) {
  {
    TRegistry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.OpenKey(QStringLiteral("Software\\Korvalis\\Tavelin\\Damaged"), true));
    reg.WriteString(QStringLiteral("Left"), QStringLiteral("wide"));
  }
  TTestForm form(QStringLiteral("Damaged"));
  EXPECT_EQ(form.geometry(), QRect(40, 50, 300, 200));
}

}  // namespace
