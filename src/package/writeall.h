#pragma once
// Writing a whole buffer to a file. A disk that fills up mid-write first shows
// as a short count with no error set (Qt then says only "Unknown error"); the
// rest is written again so that the failing call reports the system's reason.
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>

// Empty on success, else why the data did not reach the file.
inline QString WriteAllReason(QFile &file, const char *data, qint64 size) {
  while (size > 0) {
    file.unsetError();
    errno = 0;
    const qint64 done = file.write(data, size);
    if (done > 0) {
      data += done;
      size -= done;
      continue;
    }
    const int err = errno;
    if (done < 0 && file.error() != QFileDevice::UnspecifiedError && file.error() != QFileDevice::NoError &&
        file.errorString() != QFile().errorString())
      return file.errorString();
    // Nothing written and no reason given: the disk is full.
    return QString::fromLocal8Bit(std::strerror(err != 0 ? err : ENOSPC));
  }
  return QString();
}
