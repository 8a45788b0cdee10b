#include "sim/model/store.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <cstdio>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace osim {

namespace {

struct FileStampData {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  bool operator==(const FileStampData &o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

bool Stat(const QString &path, FileStampData &id) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
  id = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  return true;
}

}  // namespace

struct Store::FileStamp : FileStampData {
  FileStamp() = default;
  FileStamp(const FileStampData &d) : FileStampData(d) {}
};

// Holds an exclusive flock on the port's lock file for its lifetime.
struct Store::Lock {
  int fd = -1;
  Lock(const QString &path) {
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw StateError("не удалось открыть " + path.toStdString() + ": " + std::strerror(errno));
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      throw StateError("не удалось заблокировать " + path.toStdString() + ": " + std::strerror(e));
    }
  }
  ~Lock() {
    if (fd >= 0) ::close(fd);  // closing releases the lock
  }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;
};

// The register as last read, with the identity of the file it came from; a
// file replaced by anyone gets a new inode, so a match means nothing changed.
struct Store::Cached {
  FileStamp id;
  Register reg;
};

QString Store::DefaultDir() {
  const QByteArray env = qgetenv("OSTREL_SIM_DIR");
  if (!env.isEmpty()) return QString::fromLocal8Bit(env);
  const QByteArray xdg = qgetenv("XDG_DATA_HOME");
  if (!xdg.isEmpty()) return QString::fromLocal8Bit(xdg) + QStringLiteral("/ostrel-sim");
  return QDir::homePath() + QStringLiteral("/.local/share/ostrel-sim");
}

Store::Store(QString dir) : dir_(dir.isEmpty() ? DefaultDir() : std::move(dir)) {
  if (!QDir().mkpath(dir_) || !QFileInfo(dir_).isDir())
    throw StateError("не удалось создать папку состояния " + dir_.toStdString());
}

Store::~Store() = default;

QString Store::StatePath(int port) const { return dir_ + QStringLiteral("/port%1.json").arg(port); }

Register &Store::Load(int port, bool &fromDisk) {
  fromDisk = false;
  const QString path = StatePath(port);
  FileStampData id;
  auto &slot = cache_[port];
  if (!Stat(path, id)) {
    auto c = std::make_unique<Cached>();
    c->reg = DefaultRegister(port);
    c->id = Save(port, c->reg);  // first use: the register exists from now on
    slot = std::move(c);
    return slot->reg;
  }
  if (slot && slot->id == id) return slot->reg;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) throw StateError("не удалось прочитать " + path.toStdString());
  const QByteArray data = f.readAll();
  auto c = std::make_unique<Cached>();
  try {
    c->reg = Register::FromJson(ojson::parse(data.constData(), data.constData() + data.size()));
  } catch (const std::exception &e) {
    throw StateError("файл состояния " + path.toStdString() + " повреждён: " + e.what());
  }
  c->reg.port = port;
  c->id = id;
  slot = std::move(c);
  fromDisk = true;
  return slot->reg;
}

Store::FileStamp Store::Save(int port, const Register &r) {
  const QString path = StatePath(port);
  const std::string text = r.ToText();
  // Long randomized runs ask for speed: no flush to disk; the replacement stays atomic.
  static const bool noSync = qEnvironmentVariableIsSet("OSTREL_SIM_FAST");
  if (noSync) {
    const QString tmp = path + QStringLiteral(".tmp");
    QFile t(tmp);
    if (!t.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        t.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()))
      throw StateError("не удалось записать " + tmp.toStdString() + ": " + t.errorString().toStdString());
    t.close();
    if (std::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path).constData()) != 0)
      throw StateError("не удалось записать " + path.toStdString());
    FileStampData id;
    if (!Stat(path, id)) id = {};
    return id;
  }
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
      !f.commit())
    throw StateError("не удалось записать " + path.toStdString() + ": " + f.errorString().toStdString());
  FileStampData id;
  if (!Stat(path, id)) id = {};
  return id;
}

void Store::Update(int port, const std::function<bool(Register &)> &fn) {
  Lock lock(dir_ + QStringLiteral("/port%1.lock").arg(port));
  bool fromDisk = false;
  Register &reg = Load(port, fromDisk);
  bool changed = false;
  try {
    changed = fn(reg);
    if (changed) cache_[port]->id = Save(port, reg);
  } catch (...) {
    cache_.erase(port);  // the copy in memory may be half-changed: read the file next time
    throw;
  }
}

QString Store::JournalPath(int port) const { return dir_ + QStringLiteral("/port%1.journal").arg(port); }

void Store::AppendJournal(int port, const ojson &entry) {
  QFile f(JournalPath(port));
  const std::string line = entry.dump() + "\n";
  if (!f.open(QIODevice::WriteOnly | QIODevice::Append) ||
      f.write(line.data(), static_cast<qint64>(line.size())) != static_cast<qint64>(line.size()))
    throw StateError("не удалось дописать журнал " + JournalPath(port).toStdString());
}

ojson Store::ReadJournal(int port) {
  Lock lock(dir_ + QStringLiteral("/port%1.lock").arg(port));
  ojson out = ojson::array();
  QFile f(JournalPath(port));
  if (!f.open(QIODevice::ReadOnly)) return out;
  while (!f.atEnd()) {
    const QByteArray line = f.readLine().trimmed();
    if (line.isEmpty()) continue;
    out.push_back(ojson::parse(line.constData(), line.constData() + line.size(), nullptr, false));
  }
  return out;
}

void Store::ClearJournal(int port) {
  Lock lock(dir_ + QStringLiteral("/port%1.lock").arg(port));
  QFile::remove(JournalPath(port));
}

Register Store::Read(int port) {
  Register r;
  Update(port, [&](Register &reg) {
    r = reg;
    return false;
  });
  return r;
}

void Store::Write(int port, const Register &r) {
  Update(port, [&](Register &reg) {
    reg = r;
    reg.port = port;
    return true;
  });
}

QString Store::Replace(int port, const Register &r) {
  Lock lock(dir_ + QStringLiteral("/port%1.lock").arg(port));
  const QString path = StatePath(port);
  QString kept;
  QFile f(path);
  if (f.open(QIODevice::ReadOnly)) {
    const QByteArray data = f.readAll();
    f.close();
    bool damaged = false;
    try {
      (void)Register::FromJson(ojson::parse(data.constData(), data.constData() + data.size()));
    } catch (const std::exception &) {
      damaged = true;
    }
    if (damaged) {
      kept = path + QStringLiteral(".damaged");
      QFile::remove(kept);
      if (!QFile::rename(path, kept))
        throw StateError("не удалось переименовать " + path.toStdString() + " в " + kept.toStdString());
    }
  }
  auto c = std::make_unique<Cached>();
  c->reg = r;
  c->reg.port = port;
  c->id = Save(port, c->reg);
  cache_[port] = std::move(c);
  return kept;
}

std::vector<int> Store::Ports() const {
  std::vector<int> ports;
  static const QRegularExpression re(QStringLiteral("^port(\\d+)\\.json$"));
  for (const QString &name : QDir(dir_).entryList({QStringLiteral("port*.json")}, QDir::Files, QDir::Name)) {
    const auto m = re.match(name);
    if (m.hasMatch()) ports.push_back(m.captured(1).toInt());
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

}  // namespace osim
