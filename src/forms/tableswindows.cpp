#include "forms/tableswindows.h"

#include "forms/progressformunit.h"
#include "forms/visuallogger.h"
#include "tables/tablesview.h"

namespace tablesview {
namespace {

class TProgressWindow : public TProgress {
 public:
  void Show(QObject *sender, const QString &params) override { form.Do_Show(sender, params); }
  void Step(QObject *sender, const QString &params) override { form.DoProgress(sender, params); }
  void Hide(QObject *sender, const QString &params) override { form.Do_Hide(sender, params); }

 private:
  TProgressForm form{nullptr};
};

class TWindows : public TFactory {
 public:
  std::unique_ptr<TLog> MakeLog() override { return std::make_unique<TVisualLogger>(QStringLiteral("TECRTables")); }
  std::unique_ptr<TProgress> MakeProgress() override { return std::make_unique<TProgressWindow>(); }
};

}  // namespace

void InstallTablesWindows() {
  static TWindows windows;
  SetFactory(&windows);
}

}  // namespace tablesview
