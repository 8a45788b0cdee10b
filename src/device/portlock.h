#pragma once
// One register, one copy: every copy of the program (any user, window or
// command line) holds an advisory lock on a file named after the register's
// port for as long as it talks to that register. The lock files lie in a
// folder every user can write, as serial-port lock files do; a lock whose
// holder died is released by the system with its descriptor.
#include <QString>

class TPortLock {
 public:
  TPortLock() = default;
  ~TPortLock() { Release(); }
  TPortLock(const TPortLock &) = delete;
  TPortLock &operator=(const TPortLock &) = delete;

  // Tries to take the lock of port without waiting. True when this object now
  // holds it (or already did); false when another copy holds it, or when what
  // lies at the lock file's path is no regular file: BusyText() then says
  // which (with the file's path and owner where that is not this user). A
  // lock file that cannot be made or opened raises Exception with the reason.
  bool TryLock(int port);
  QString BusyText() const { return FBusyText; }
  void Release();
  bool Held() const { return FFd >= 0; }
  int Port() const { return FPort; }

  // The folder of the lock files: TAVELIN_LOCK_DIR when set, else /run/lock
  // (or /var/lock where there is no /run/lock).
  static QString LockDir();
  static QString LockFileName(int port);

 private:
  int FFd = -1;
  int FPort = 0;
  QString FBusyText;
};

// How logical device index (its registry key, the device number - 1) is
// connected: the connection type and the serial port, as the driver's
// settings say. A device with no saved settings at all is the driver's own
// default one, attached locally on the first serial port.
struct TDeviceConnection {
  int type = -1;
  int port = -1;
};
TDeviceConnection ReadDeviceConnection(int index);

// The serial port of the driver's active logical device, as its "ComNumber"
// in the driver's settings; 0 when it has none (no device, or a network one).
int ActiveDevicePort();

// The information text for a register another copy is updating.
QString PortBusyText(int port);
