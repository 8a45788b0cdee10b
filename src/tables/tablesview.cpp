#include "tables/tablesview.h"

#include "common/applog.h"

namespace tablesview {
namespace {

TFactory *g_factory = nullptr;

// Without a window the lines stay in the program's log.
class TFileLog : public TLog {
 public:
  void Info(const QString &line) override { applog::Info(line); }
};

}  // namespace

void SetFactory(TFactory *factory) { g_factory = factory; }

std::unique_ptr<TLog> MakeLog() {
  if (g_factory) return g_factory->MakeLog();
  return std::make_unique<TFileLog>();
}

std::unique_ptr<TProgress> MakeProgress() { return g_factory ? g_factory->MakeProgress() : nullptr; }

}  // namespace tablesview
