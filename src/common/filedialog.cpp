#include "common/filedialog.h"

#include <QFileDialog>

namespace filedialog {
namespace {
std::function<QString(const QString &)> g_answerer;
}

QString GetOpenFileName(QWidget *parent, const QString &initialFolder) {
  if (g_answerer) return g_answerer(initialFolder);
  // No filter: any file may be a rules file.
  return QFileDialog::getOpenFileName(parent, QString(), initialFolder);
}

void SetAnswerer(std::function<QString(const QString &)> answerer) { g_answerer = std::move(answerer); }

}  // namespace filedialog
