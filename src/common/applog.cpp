#include "common/applog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <cstdio>
#include <cstring>
#include <deque>

#include "common/apppaths.h"
#include "common/privatefile.h"
#include "common/waits.h"

namespace applog {
namespace {

constexpr qint64 kRotateSize = 1024 * 1024;
constexpr int kKeptFiles = 3;
constexpr int kSessionEntries = 1000;
const char kFileName[] = "tavelin.log";
// Further lines of one entry.
const char kContinuation[] = "    ";

qint64 g_rotateSize = kRotateSize;

// The entries of this run, for when the file cannot be read.
std::deque<QString> &Session() {
  static std::deque<QString> entries;
  return entries;
}

// The open log file, reopened when the state folder moves (tests change
// XDG_STATE_HOME) or another copy of the program has rotated it.
struct LogFileState {
  QByteArray key;  // the environment the path was found from
  QString path;
  int fd = -1;
  ~LogFileState() {
    if (fd >= 0) ::close(fd);
  }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

LogFileState &State() {
  static LogFileState state;
  return state;
}

QString ResolvePath() {
  LogFileState &s = State();
  const QByteArray key = qgetenv("XDG_STATE_HOME") + '\0' + qgetenv("HOME");
  if (key != s.key || s.path.isEmpty()) {
    s.Close();
    s.key = key;
    const QString dir = apppaths::StateDir();
    s.path = dir.isEmpty() ? QString() : dir + QString::fromLatin1(kFileName);
  }
  return s.path;
}

int OpenLog(const QString &path) { return privatefile::OpenAppend(path); }

QString Rotated(const QString &path, int n) { return path + QLatin1Char('.') + QString::number(n); }

void Rotate(const QString &path) {
  for (int n = kKeptFiles - 1; n >= 1; --n)
    ::rename(QFile::encodeName(Rotated(path, n)).constData(), QFile::encodeName(Rotated(path, n + 1)).constData());
  ::rename(QFile::encodeName(path).constData(), QFile::encodeName(Rotated(path, 1)).constData());
}

bool SameFile(int fd, const QString &path) {
  struct stat a {}, b {};
  return ::fstat(fd, &a) == 0 && ::stat(QFile::encodeName(path).constData(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

void AppendToFile(const QByteArray &entry) {
  const QString path = ResolvePath();
  if (path.isEmpty()) return;
  LogFileState &s = State();
  // Several copies of the program may share the file: the lock covers the
  // size check, the rotation and the write.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (s.fd < 0) s.fd = OpenLog(path);
    if (s.fd < 0) return;
    ::flock(s.fd, LOCK_EX);
    if (!SameFile(s.fd, path)) {  // rotated or removed meanwhile
      ::flock(s.fd, LOCK_UN);
      s.Close();
      continue;
    }
    struct stat st {};
    if (::fstat(s.fd, &st) == 0 && st.st_size > 0 && st.st_size + entry.size() > g_rotateSize) {
      Rotate(path);
      ::flock(s.fd, LOCK_UN);
      s.Close();
      continue;
    }
    privatefile::WriteAll(s.fd, entry);
    ::flock(s.fd, LOCK_UN);
    return;
  }
}

void Write(const QString &entry) {
  const QString line = WithoutSecrets(entry);
  auto &session = Session();
  session.push_back(line);
  if (session.size() > kSessionEntries) session.pop_front();
  // One entry a line: a message's own line breaks start indented lines.
  QString text = line;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  while (text.endsWith(QLatin1Char('\n'))) text.chop(1);
  text.replace(QLatin1Char('\n'), QLatin1Char('\n') + QString::fromLatin1(kContinuation));
  AppendToFile(text.toUtf8() + '\n');
}

QByteArray ReadTail(const QString &path, qint64 bytes, bool *cut) {
  QFile f(path);
  *cut = false;
  if (!f.open(QIODevice::ReadOnly)) return {};
  const qint64 size = f.size();
  if (size > bytes) {
    f.seek(size - bytes);
    *cut = true;
  }
  return f.read(bytes);
}

}  // namespace

void Info(const QString &message) { Write(FormatLine(QStringLiteral("[INFO ]"), message)); }

void Warn(const QString &message) { Write(FormatLine(QStringLiteral("[WARN ]"), message)); }

void Error(const QString &message) { Write(FormatLine(QStringLiteral("[ERROR]"), message)); }

void Debug(const QString &message) { Write(FormatLine(QStringLiteral("[DEBUG]"), message)); }

namespace {

void RouteMessage(QtMsgType type, const QMessageLogContext &context, const QString &message) {
  static thread_local bool inside = false;
  const char *category = context.category ? context.category : "default";
  // The program's own messages have categories of their own: the default
  // one is Qt's (QStandardPaths, the platform plugins).
  const bool ours = std::strncmp(category, "tavelin", 7) == 0;
  const bool severe = type == QtCriticalMsg || type == QtFatalMsg;
  const bool asked = qEnvironmentVariableIsSet("QT_LOGGING_RULES");
  if (!ours && !severe && !asked) return;
  // The program's own notes (info, debug) are the log's: what the operator
  // must read is said once, by the program itself.
  const bool note = ours && (type == QtInfoMsg || type == QtDebugMsg);
  if (!note) {
    const QByteArray text = message.toLocal8Bit();
    if (std::strcmp(category, "default") == 0)
      std::fprintf(stderr, "%s\n", text.constData());
    else
      std::fprintf(stderr, "%s: %s\n", category, text.constData());
  }
  if (inside) return;  // the log's own trouble is not logged again
  inside = true;
  const QString line = ours ? message : QStringLiteral("Qt (%1): %2").arg(QLatin1String(category), message);
  if (severe) Error(line);
  else if (!ours) Debug(line);
  else if (type == QtWarningMsg) Warn(line);
  else if (type == QtDebugMsg) Debug(line);
  else Info(line);
  inside = false;
}

}  // namespace

void InstallMessageHandler() { qInstallMessageHandler(RouteMessage); }

void WriteLine(const QString &line) { Write(line); }

QString FormatLine(const QString &tag, const QString &message) {
  // Built by concatenation: the message may hold anything, "%1" included.
  return QLatin1Char('[') + TimeStamp(waits::Now()) + QStringLiteral("] ") + tag + QLatin1Char(' ') + message;
}

QString TimeSeparator() {
  // Qt gives no separator of its own: take what follows the hours in the
  // locale's short time format.
  const QString fmt = QLocale::system().timeFormat(QLocale::ShortFormat);
  qsizetype i = 0;
  while (i < fmt.size() && fmt[i] != QLatin1Char('h') && fmt[i] != QLatin1Char('H')) ++i;
  while (i < fmt.size() && (fmt[i] == QLatin1Char('h') || fmt[i] == QLatin1Char('H'))) ++i;
  QString sep;
  for (; i < fmt.size() && !fmt[i].isLetter(); ++i)
    if (fmt[i] != QLatin1Char('\'')) sep += fmt[i];
  return sep.isEmpty() ? QStringLiteral(":") : sep;
}

QString TimeStamp(const QDateTime &at) {
  const QString sep = TimeSeparator();
  const QDate d = at.date();
  const QTime t = at.time();
  auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return QStringLiteral("%1-%2-%3 ").arg(d.year(), 4, 10, QLatin1Char('0')).arg(two(d.month()), two(d.day())) +
         two(t.hour()) + sep + two(t.minute()) + sep + two(t.second()) + QLatin1Char('.') +
         QStringLiteral("%1").arg(t.msec(), 3, 10, QLatin1Char('0'));
}

QString LogFile() { return ResolvePath(); }

QStringList LastEntries(int count) {
  QStringList entries;
  if (count <= 0) return entries;
  const QString path = ResolvePath();
  bool cut = false;
  const QByteArray tail = path.isEmpty() ? QByteArray() : ReadTail(path, 512 * 1024, &cut);
  if (tail.isEmpty()) {
    const auto &session = Session();
    const size_t from = session.size() > static_cast<size_t>(count) ? session.size() - count : 0;
    for (size_t i = from; i < session.size(); ++i) entries << session[i];
    return entries;
  }
  QStringList lines = QString::fromUtf8(tail).split(QLatin1Char('\n'));
  if (cut && !lines.isEmpty()) lines.removeFirst();  // begun in the middle of a line
  const QString continuation = QString::fromLatin1(kContinuation);
  for (const QString &line : lines) {
    if (line.isEmpty()) continue;
    if (line.startsWith(continuation) && !entries.isEmpty())
      entries.last() += QStringLiteral("\r\n") + line.mid(continuation.size());
    else
      entries << line;
  }
  if (entries.size() > count) entries = entries.mid(entries.size() - count);
  return entries;
}

QString SaveCopy(const QString &target) {
  const QString path = ResolvePath();
  if (path.isEmpty()) return QStringLiteral("папка журнала недоступна");
  QByteArray all;
  for (int n = kKeptFiles; n >= 1; --n) {
    QFile f(Rotated(path, n));
    if (f.open(QIODevice::ReadOnly)) all += f.readAll();
  }
  QFile current(path);
  if (current.open(QIODevice::ReadOnly)) all += current.readAll();
  QSaveFile out(target);
  if (!out.open(QIODevice::WriteOnly)) return out.errorString();
  // Whatever it names stays the operator's: no wider than the log itself.
  out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  if (out.write(all) != all.size()) return out.errorString();
  if (!out.commit()) return out.errorString();
  return {};
}

QString CellValueForLog(int table, const QString &value) {
  return table == 2 ? QStringLiteral("***") : value;
}

QString WithoutSecrets(const QString &text) {
  // The verification box: "... таблицы: <name> [2]\r\nСтрока: ...\r\nЗначение из таблицы: <a>, значение из файла: <b>".
  static const QRegularExpression verify(
      QStringLiteral("(таблицы: [^\\r\\n]*\\[2\\]\\r?\\n[^\\r\\n]*\\r?\\nЗначение из таблицы: ).*"),
      QRegularExpression::DotMatchesEverythingOption);
  QString out = text;
  out.replace(verify, QStringLiteral("\\1***, значение из файла: ***"));
  return out;
}

void SetRotateSizeForTests(qint64 bytes) { g_rotateSize = bytes > 0 ? bytes : kRotateSize; }

}  // namespace applog
