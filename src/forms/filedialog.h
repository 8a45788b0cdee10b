#pragma once
// The open-file dialog, behind a seam so tests can answer it.
#include <QString>
#include <functional>

class QWidget;

namespace filedialog {

// Returns the chosen file, or empty when the operator cancelled.
QString GetOpenFileName(QWidget *parent, const QString &initialFolder);

// Tests: answer every open-file dialog with this function (receives the
// initial folder). An empty function restores the real dialog.
void SetAnswerer(std::function<QString(const QString &initialFolder)> answerer);

// The save-file dialog: the chosen path, or empty when the operator cancelled.
QString GetSaveFileName(QWidget *parent, const QString &suggestedPath);

// Tests: answer every save-file dialog with this function (receives the
// suggested path). An empty function restores the real dialog.
void SetSaveAnswerer(std::function<QString(const QString &suggestedPath)> answerer);

}  // namespace filedialog
