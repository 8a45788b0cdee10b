// The progress texts a tables operation sends to its window.
#include "tables/tablesutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "common/privatefile.h"
#include "device/untDriver.h"
#include "tables/tablesinternal.h"
#include "tables/tablesview.h"

using namespace tablesdetail;

// ---------------------------------------------------------------------------
// Progress messages

QString TECRTables::BuildShowParams(const QString &caption) {
  const int tables = TablesCount();
  const int cells = DataCount();
  auto control = [](int left, int top, int width, int height) {
    return ojson{{"left", left}, {"top", top}, {"width", width}, {"height", height}};
  };
  ojson p1 = control(25, 25, -1, 17);
  p1["min"] = 1;
  p1["max"] = tables;
  p1["pos"] = 1;
  p1["name"] = "progress1";
  ojson p2 = control(25, 65, -1, 17);
  p2["min"] = 1;
  p2["max"] = cells;
  p2["pos"] = 1;
  p2["name"] = "progress2";
  ojson l1 = control(25, 3, -1, 17);
  l1["caption"] = "Таблица: %s";
  l1["name"] = "label1";
  ojson l2 = control(25, 45, -1, 17);
  l2["caption"] = "Поле %s";
  l2["pos"] = 1;
  l2["name"] = "label2";

  ojson form;
  form["caption"] = U8(caption);
  form["left"] = 3;
  form["top"] = 3;
  form["width"] = -2;
  form["height"] = -9;
  form["controls"]["progress"] = ojson::array({p1, p2});
  form["controls"]["label"] = ojson::array({l1, l2});
  ojson msg;
  msg["func"] = ojson{{"type", "notify"}, {"name", "showprogress"}};
  msg["form"] = std::move(form);
  return Q(msg.dump(-1, ' ', false, ojson::error_handler_t::replace));
}

void TECRTables::SendShow(const QString &caption) {
  if (OnShowProgress) OnShowProgress(this, BuildShowParams(caption));
}

void TECRTables::SendHide() {
  if (OnHideProgress) OnHideProgress(this, QString());
}

void TECRTables::SendProgress(int p1, int p2, const QString &l1, const QString &l2) {
  if (!OnProgress) return;
  ojson v;
  v["progress1"] = p1;
  v["progress2"] = p2;
  v["label1"] = U8(l1);
  v["label2"] = U8(l2);
  ojson msg;
  msg["progress"] = std::move(v);
  OnProgress(this, Q(msg.dump(-1, ' ', false, ojson::error_handler_t::replace)));
}
