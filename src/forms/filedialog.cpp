#include "forms/filedialog.h"

#include <QFileDialog>

namespace filedialog {
namespace {
std::function<QString(const QString &)> g_answerer;
std::function<QString(const QString &)> g_saveAnswerer;
}

QString GetOpenFileName(QWidget *parent, const QString &initialFolder) {
  if (g_answerer) return g_answerer(initialFolder);
  // No filter: any file may be a rules file.
  return QFileDialog::getOpenFileName(parent, QString(), initialFolder);
}

void SetAnswerer(std::function<QString(const QString &)> answerer) { g_answerer = std::move(answerer); }

QString GetSaveFileName(QWidget *parent, const QString &suggestedPath) {
  if (g_saveAnswerer) return g_saveAnswerer(suggestedPath);
  return QFileDialog::getSaveFileName(parent, QString(), suggestedPath);
}

void SetSaveAnswerer(std::function<QString(const QString &)> answerer) { g_saveAnswerer = std::move(answerer); }

}  // namespace filedialog
