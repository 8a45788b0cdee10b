#pragma once
// Where the simulated registers live: one JSON file per port in the state
// folder. Every change is a read-modify-write under an exclusive file lock
// with atomic replacement, so the component inside the program, the DFU
// stand-in and ostrel-sim can work on one register at the same time.
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "sim/model/register.h"

namespace osim {

class StateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Store {
 public:
  // dir empty: the default folder (OSTREL_SIM_DIR, else $XDG_DATA_HOME/ostrel-sim,
  // else ~/.local/share/ostrel-sim). The folder is created when missing.
  explicit Store(QString dir = {});
  ~Store();
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;

  static QString DefaultDir();
  const QString &dir() const { return dir_; }
  QString StatePath(int port) const;

  // Runs fn on the register under the lock, creating it with the defaults on
  // first use; saves when fn returns true.
  void Update(int port, const std::function<bool(Register &)> &fn);
  // The register as stored now (created when missing).
  Register Read(int port);
  // Replaces the register with r.
  void Write(int port, const Register &r);
  // Replaces the register with r even when its file is damaged (does not
  // parse): that file is kept beside as "<name>.damaged", whose path is
  // returned (empty when the file was sound or missing).
  QString Replace(int port, const Register &r);
  // The journal of driver calls: one JSON object per line in its own file,
  // so recording a call does not rewrite the register. AppendJournal is for
  // use inside Update (under the lock); the others take the lock themselves.
  QString JournalPath(int port) const;
  void AppendJournal(int port, const ojson &entry);
  ojson ReadJournal(int port);
  void ClearJournal(int port);

  // Ports that have a register file.
  std::vector<int> Ports() const;

 private:
  struct Lock;
  struct Cached;
  struct FileStamp;
  QString dir_;
  std::map<int, std::unique_ptr<Cached>> cache_;

  Register &Load(int port, bool &fromDisk);
  FileStamp Save(int port, const Register &r);
};

}  // namespace osim
