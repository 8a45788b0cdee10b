#include "device/portlock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "device/XmlDriverParams.h"
#include "device/untDriver.h"

namespace {

QString Reason() { return QString::fromLocal8Bit(std::strerror(errno)); }

QString UserName(uid_t uid) {
  struct passwd pw {};
  struct passwd *found = nullptr;
  char buf[4096];
  if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) return QString::fromLocal8Bit(pw.pw_name);
  return QString::number(uid);
}

// "Файл блокировки PATH (владелец NAME) ..." for the operator, who must
// know whose file stands in the way.
QString LockFileText(const QByteArray &name, const struct stat &st) {
  return QStringLiteral("Файл блокировки %1 (владелец %2)").arg(QFile::decodeName(name), UserName(st.st_uid));
}

}  // namespace

QString TPortLock::LockDir() {
  QString dir = qEnvironmentVariable("TAVELIN_LOCK_DIR");
  if (dir.isEmpty()) dir = QFileInfo(QStringLiteral("/run/lock")).isDir() ? QStringLiteral("/run/lock")
                                                                          : QStringLiteral("/var/lock");
  return dir;
}

QString TPortLock::LockFileName(int port) {
  return LockDir() + QStringLiteral("/tavelin-port%1.lock").arg(port);
}

bool TPortLock::TryLock(int port) {
  if (Held() && FPort == port) return true;
  Release();
  const QByteArray name = QFile::encodeName(LockFileName(port));
  // The lock folder is shared and sticky: a file another user made may not
  // be opened with O_CREAT there (protected_regular), but reading it is
  // enough for flock. So open what is there, and make it only when missing.
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    // Non-blocking: a pipe someone put there must not hold the open.
    fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) break;
    fd = ::open(name.constData(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    // Made so that any user can read (and so lock) it, whatever the umask.
    if (fd >= 0) ::fchmod(fd, 0644);
    else if (errno != EEXIST) break;  // EEXIST: another copy made it just now
  }
  if (fd < 0)
    throw Exception(QStringLiteral("Не удалось открыть файл блокировки %1: %2")
                        .arg(QFile::decodeName(name), Reason()));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    throw Exception(QStringLiteral("Не удалось открыть файл блокировки %1: %2").arg(QFile::decodeName(name), Reason()));
  }
  FBusyText = PortBusyText(port);
  if (!S_ISREG(st.st_mode)) {
    // Something a local user put there: the register is kept from updates
    // until an administrator removes it, so say what and whose it is.
    ::close(fd);
    FBusyText = QStringLiteral("%1 — не обычный файл; ККТ на порту %2 не будет обновляться, пока его не уберут.")
                    .arg(LockFileText(name, st))
                    .arg(port);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      if (st.st_uid != ::geteuid()) FBusyText += QLatin1Char(' ') + LockFileText(name, st) + QLatin1Char('.');
      return false;
    }
    errno = err;
    throw Exception(QStringLiteral("Не удалось заблокировать файл %1: %2")
                        .arg(QFile::decodeName(name), Reason()));
  }
  FFd = fd;
  FPort = port;
  return true;
}

void TPortLock::Release() {
  if (FFd < 0) return;
  // The file stays: removing it would let a third copy lock a new file while
  // a second one still waits on the old one.
  ::close(FFd);
  FFd = -1;
  FPort = 0;
}

TDeviceConnection ReadDeviceConnection(int index) {
  CurrentLDIndex = index;
  TDeviceConnection c;
  c.type = ReadLDConnectionType();
  c.port = ReadLDInteger(QStringLiteral("ComNumber"));
  if (c.type == -1 && c.port == -1 && ReadLDName().isEmpty()) c = {0, 1};
  return c;
}

int ActiveDevicePort() {
  TDriver *drv = Driver();
  const int number = drv->LDNumber();
  if (number < 1) return 0;
  const TDeviceConnection c = ReadDeviceConnection(number - 1);
  return c.type == 0 && c.port > 0 ? c.port : 0;
}

QString PortBusyText(int port) {
  return QStringLiteral("ККТ на порту %1 уже обновляется другой программой.").arg(port);
}
