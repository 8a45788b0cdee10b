#pragma once
// The settings store the driver and the program share ("the registry"), and
// the application-data folders. This module alone knows where they lie.
//
// On Linux a key "Software\<Org>\<App>\<rest>" is the INI file
// <root>/<Org>/<App>.conf, group <rest> with "/" for "\". The per-user root is
// $XDG_CONFIG_HOME (default ~/.config), the machine-wide one the first entry of
// $XDG_CONFIG_DIRS (default /etc/xdg). Both are read anew on every use, so a
// test can point them elsewhere.
#include <QString>
#include <QStringList>
#include <memory>

#include "common/error.h"

class QSettings;

// A value of the wrong kind, or a store that cannot be written.
class RegistryError : public Exception {
 public:
  using Exception::Exception;
};

enum class RegistryRoot { CurrentUser, LocalMachine };

// The common (all users) and the per-user application-data folders.
QString CommonAppDataFolder();
QString UserAppDataFolder();

// One open key at a time, as the registry classes of the driver's world work.
class TRegistry {
 public:
  explicit TRegistry(RegistryRoot root);
  ~TRegistry();
  TRegistry(const TRegistry &) = delete;
  TRegistry &operator=(const TRegistry &) = delete;

  // Opens an existing key for reading; false when it is not there or cannot
  // be read.
  bool OpenKeyReadOnly(const QString &key);
  // Opens a key for writing, creating it when canCreate; false when it can be
  // neither opened nor created.
  bool OpenKey(const QString &key, bool canCreate);
  void CloseKey();

  bool KeyExists(const QString &key) const;
  // Removes the key with everything below it.
  bool DeleteKey(const QString &key);

  // On the open key.
  bool ValueExists(const QString &name) const;
  QString ReadString(const QString &name) const;
  // RegistryError when the stored text is not a decimal integer.
  int ReadInteger(const QString &name) const;
  void WriteString(const QString &name, const QString &value);
  void WriteInteger(const QString &name, int value);
  // Names of the subkeys of the open key.
  QStringList GetKeyNames() const;

  // The file that holds key (empty when the key has no place in the store).
  QString FileNameOf(const QString &key) const;

 private:
  struct Place {
    QString file;
    QString group;
  };
  bool Locate(const QString &key, Place &place) const;
  void Flush();

  RegistryRoot root_;
  std::unique_ptr<QSettings> settings_;
  bool writable_ = false;
};
