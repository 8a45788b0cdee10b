#include "common/registry.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace {

QString EnvPath(const char *name) { return QString::fromLocal8Bit(qgetenv(name)); }

QString RootFolder(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? CommonAppDataFolder() : UserAppDataFolder();
}

bool GroupHasContent(QSettings &s, const QString &group) {
  if (group.isEmpty()) return !s.allKeys().isEmpty();
  s.beginGroup(group);
  const bool any = !s.childKeys().isEmpty() || !s.childGroups().isEmpty();
  s.endGroup();
  return any;
}

}  // namespace

QString CommonAppDataFolder() {
  for (const QString &dir : EnvPath("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts))
    return QDir::cleanPath(dir);
  return QStringLiteral("/etc/xdg");
}

QString UserAppDataFolder() {
  const QString home = EnvPath("XDG_CONFIG_HOME");
  if (!home.isEmpty()) return QDir::cleanPath(home);
  return QDir::homePath() + QStringLiteral("/.config");
}

TRegistry::TRegistry(RegistryRoot root) : root_(root) {}

TRegistry::~TRegistry() = default;

bool TRegistry::Locate(const QString &key, Place &place) const {
  QStringList parts = QString(key).replace(QLatin1Char('/'), QLatin1Char('\\')).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
  if (parts.size() < 3 || parts[0].compare(QLatin1String("Software"), Qt::CaseInsensitive) != 0) return false;
  place.file = RootFolder(root_) + QLatin1Char('/') + parts[1] + QLatin1Char('/') + parts[2] + QStringLiteral(".conf");
  place.group = parts.mid(3).join(QLatin1Char('/'));
  return true;
}

QString TRegistry::FileNameOf(const QString &key) const {
  Place p;
  return Locate(key, p) ? p.file : QString();
}

bool TRegistry::KeyExists(const QString &key) const {
  Place p;
  if (!Locate(key, p) || !QFileInfo(p.file).isFile()) return false;
  QSettings s(p.file, QSettings::IniFormat);
  if (s.status() != QSettings::NoError) return false;
  return GroupHasContent(s, p.group);
}

bool TRegistry::OpenKeyReadOnly(const QString &key) {
  CloseKey();
  Place p;
  if (!KeyExists(key) || !Locate(key, p)) return false;
  auto s = std::make_unique<QSettings>(p.file, QSettings::IniFormat);
  if (s->status() != QSettings::NoError) return false;
  if (!p.group.isEmpty()) s->beginGroup(p.group);
  settings_ = std::move(s);
  writable_ = false;
  return true;
}

bool TRegistry::OpenKey(const QString &key, bool canCreate) {
  CloseKey();
  Place p;
  if (!Locate(key, p)) return false;
  if (!canCreate && !KeyExists(key)) return false;
  if (!QDir().mkpath(QFileInfo(p.file).absolutePath())) return false;
  auto s = std::make_unique<QSettings>(p.file, QSettings::IniFormat);
  if (s->status() != QSettings::NoError || !s->isWritable()) return false;
  if (!p.group.isEmpty()) s->beginGroup(p.group);
  settings_ = std::move(s);
  writable_ = true;
  return true;
}

void TRegistry::CloseKey() {
  if (settings_ && writable_) settings_->sync();
  settings_.reset();
  writable_ = false;
}

bool TRegistry::DeleteKey(const QString &key) {
  Place p;
  if (!Locate(key, p) || !QFileInfo(p.file).isFile()) return false;
  QSettings s(p.file, QSettings::IniFormat);
  if (!s.isWritable()) return false;
  s.remove(p.group);
  s.sync();
  return s.status() == QSettings::NoError;
}

bool TRegistry::ValueExists(const QString &name) const { return settings_ && settings_->contains(name); }

QString TRegistry::ReadString(const QString &name) const {
  if (!settings_) return QString();
  const QVariant v = settings_->value(name);
  // Unquoted text with commas comes back as a list; it was one string.
  if (v.metaType().id() == QMetaType::QStringList) return v.toStringList().join(QStringLiteral(", "));
  return v.toString();
}

int TRegistry::ReadInteger(const QString &name) const {
  if (!settings_) return 0;
  const QVariant v = settings_->value(name);
  static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
  bool ok = false;
  int n = 0;
  if (v.metaType().id() == QMetaType::Int) return v.toInt();
  if (v.metaType().id() == QMetaType::QString && decimal.match(v.toString()).hasMatch()) n = v.toString().toInt(&ok, 10);
  if (!ok) throw RegistryError(QStringLiteral("Неверный тип данных параметра \"%1\"").arg(name));
  return n;
}

void TRegistry::WriteString(const QString &name, const QString &value) {
  if (!settings_ || !writable_) throw RegistryError(QStringLiteral("Раздел реестра не открыт для записи"));
  settings_->setValue(name, value);
  Flush();
}

void TRegistry::WriteInteger(const QString &name, int value) {
  if (!settings_ || !writable_) throw RegistryError(QStringLiteral("Раздел реестра не открыт для записи"));
  settings_->setValue(name, value);
  Flush();
}

QStringList TRegistry::GetKeyNames() const { return settings_ ? settings_->childGroups() : QStringList(); }

void TRegistry::Flush() {
  settings_->sync();
  if (settings_->status() != QSettings::NoError)
    throw RegistryError(QStringLiteral("Не удалось записать %1").arg(settings_->fileName()));
}
