#pragma once
// A temporary folder for rules files and images.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

class RulesDir {
 public:
  QString path(const QString &name) const { return dir_.filePath(name); }
  // The folder with a trailing separator, as the files check takes it.
  QString folder() const { return dir_.path() + QLatin1Char('/'); }
  QString write(const QString &name, const QByteArray &bytes) const {
    QFile f(path(name));
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(bytes);
    return f.fileName();
  }
  // A rules file whose "RULES" array holds the given elements (UTF-8 JSON text).
  QString rules(const QByteArray &elements, const QString &name = QStringLiteral("rules.json")) const {
    return write(name, "{\"RULES\": [" + elements + "]}");
  }

 private:
  QTemporaryDir dir_;
};
