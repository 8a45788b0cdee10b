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

}  // namespace filedialog
