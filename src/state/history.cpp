#include "state/history.h"

#include <QHash>
#include <QLoggingCategory>
#include <QSet>

#include "common/apppaths.h"
#include "common/privatefile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTextStream>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace history {

namespace {

// A record is a few hundred bytes; a line longer than this is no record.
constexpr qint64 kMaxLineBytes = 1024 * 1024;

QList<Sink *> &Sinks() {
  static QList<Sink *> s;
  return s;
}

QString Text(const QJsonObject &o, const char *key) { return o.value(QLatin1String(key)).toString(); }

QString Identity(const QJsonObject &id) {
  if (id.isEmpty()) return QString();
  return QStringLiteral("ПО %1, сборка %2, загрузчик %3")
      .arg(id.value(QStringLiteral("firmware")).toString())
      .arg(id.value(QStringLiteral("build")).toInt())
      .arg(id.value(QStringLiteral("bootloader")).toInt());
}

// The stable English words of the file, as people read them.
QString ResultLabel(const QString &result) {
  static const QHash<QString, QString> labels{
      {QStringLiteral("latest"), QStringLiteral("установлена последняя версия")},
      {QStringLiteral("not updated"), QStringLiteral("не обновлено")},
      {QStringLiteral("settings not restored"), QStringLiteral("настройки не восстановлены")},
      {QStringLiteral("error"), QStringLiteral("ошибка")},
      {QStringLiteral("ended"), QStringLiteral("завершён")},
      {QStringLiteral("interrupted"), QStringLiteral("прерван")},
      {QStringLiteral("plan"), QStringLiteral("только план")},
      {QStringLiteral("done"), QStringLiteral("выполнено")},
      {QStringLiteral("failed"), QStringLiteral("не выполнено")},
      {QStringLiteral("not asked"), QStringLiteral("не требовалась")},
      {QStringLiteral("removed"), QStringLiteral("удалено")},
      {QStringLiteral("image damaged"), QStringLiteral("образ повреждён")},
      {QStringLiteral("yes"), QStringLiteral("да")},
      {QStringLiteral("no"), QStringLiteral("нет")},
      {QStringLiteral("dfu"), QStringLiteral("загрузка прошивки заново")},
      {QStringLiteral("finish"), QStringLiteral("завершение настройки")},
      {QStringLiteral("not started"), QStringLiteral("не начиналось")},
  };
  return labels.value(result, result);
}

}  // namespace

QString EventLabel(const QString &event) {
  static const QHash<QString, QString> labels{
      {QStringLiteral("run-start"), QStringLiteral("начало")},
      {QStringLiteral("pass"), QStringLiteral("проход")},
      {QStringLiteral("transfer-start"), QStringLiteral("передача")},
      {QStringLiteral("transfer-end"), QStringLiteral("передача окончена")},
      {QStringLiteral("setup"), QStringLiteral("настройка")},
      {QStringLiteral("tables"), QStringLiteral("таблицы")},
      {QStringLiteral("recovery"), QStringLiteral("прерванное обновление")},
      {QStringLiteral("run-end"), QStringLiteral("итог")},
      {QStringLiteral("unattended-start"), QStringLiteral("командная строка: начало")},
      {QStringLiteral("unattended-end"), QStringLiteral("командная строка: итог")},
  };
  return labels.value(event, event);
}

QString LocalTime(const QString &iso) {
  const QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
  return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : iso;
}

namespace {

Q_LOGGING_CATEGORY(lcHistory, "tavelin.history")

// Why a history file cannot be opened; err 0: something other than a regular file is there.
QString NotReadableReason(const QString &path, int err) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) return QStringLiteral("это символическая ссылка");
    if (!S_ISREG(st.st_mode)) return QStringLiteral("это не обычный файл");
  }
  return err == 0 ? QStringLiteral("это не обычный файл") : QString::fromLocal8Bit(std::strerror(err));
}

}  // namespace

QString StateDir() { return apppaths::StateDir(); }

QString JournalPath() {
  // No state folder: no journal, rather than one wherever the program was started.
  const QString dir = StateDir();
  return dir.isEmpty() ? QString() : dir + QStringLiteral("history.jsonl");
}

void AddSink(Sink *sink) {
  if (sink && !Sinks().contains(sink)) Sinks().append(sink);
}

void RemoveSink(Sink *sink) { Sinks().removeAll(sink); }

QJsonObject Append(QJsonObject record) {
  QJsonObject r;
  r.insert(QStringLiteral("time"), QDateTime::currentDateTime().toOffsetFromUtc(
                                       QDateTime::currentDateTime().offsetFromUtc()).toString(Qt::ISODateWithMs));
  for (auto it = record.begin(); it != record.end(); ++it) r.insert(it.key(), it.value());
  for (Sink *s : Sinks()) s->Record(r);

  const QString path = JournalPath();
  if (path.isEmpty()) return r;
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::stat(name.constData(), &st) == 0 && st.st_size >= kRotateBytes) {
    const QByteArray old = QFile::encodeName(path + QStringLiteral(".1"));
    ::rename(name.constData(), old.constData());
  }
  const int fd = privatefile::OpenAppend(path);
  if (fd < 0) {
    const int err = errno;
    static QSet<QString> said;
    if (!said.contains(path)) {
      said.insert(path);
      qCWarning(lcHistory).noquote() << QStringLiteral(
                                            "История обновлений не записывается: файл %1 не открыть для записи (%2); "
                                            "записи этой программы в неё не попадут.")
                                            .arg(path, NotReadableReason(path, err));
    }
    return r;
  }
  // One write of the whole line: a reader never sees half of it unless the
  // machine stops in the middle, and then only this line is torn.
  QByteArray line = QJsonDocument(r).toJson(QJsonDocument::Compact);
  line.append('\n');
  // A torn line left by a crash would swallow this one: start on a new line.
  if (const off_t end = ::lseek(fd, 0, SEEK_END); end > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, end - 1) == 1 && last != '\n') line.prepend('\n');
  }
  if (privatefile::WriteAll(fd, line)) ::fsync(fd);
  ::close(fd);
  return r;
}

QList<QJsonObject> Read(const QString &path, const QString &serial, QString *error) {
  QList<QJsonObject> out;
  if (path.isEmpty()) return out;
  for (const QString &p : {path + QStringLiteral(".1"), path}) {
    // Only a regular file of ours, never through a link, never a pipe.
    int err = 0;
    const int fd = privatefile::OpenRegular(p, false, &err);
    if (fd < 0) {
      if (err != ENOENT && error)
        *error = QStringLiteral("Не удалось прочитать историю обновлений %1: %2.").arg(p, NotReadableReason(p, err));
      continue;
    }
    QFile f;
    if (!f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
      ::close(fd);
      continue;
    }
    while (!f.atEnd()) {
      QByteArray line = f.readLine(kMaxLineBytes + 1);
      // No record is that long: a line that is, is skipped whole.
      if (line.size() > kMaxLineBytes && !line.endsWith('\n')) {
        while (!f.atEnd() && !f.readLine(64 * 1024).endsWith('\n')) {
        }
        continue;
      }
      line = line.trimmed();
      if (line.isEmpty()) continue;
      QJsonParseError err{};
      const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
      if (err.error != QJsonParseError::NoError || !doc.isObject()) continue;
      const QJsonObject o = doc.object();
      if (!serial.isEmpty() && o.value(QStringLiteral("serial")).toString() != serial) continue;
      out.append(o);
    }
  }
  return out;
}

QList<QJsonObject> CloseInterrupted(int port) {
  QList<QJsonObject> written;
  if (port <= 0 || JournalPath().isEmpty()) return written;
  // The starts on this port still open, by their time, oldest first.
  QList<QJsonObject> open;
  for (const QJsonObject &r : Read()) {
    if (r.value(QStringLiteral("device")).toObject().value(QStringLiteral("port")).toInt() != port) continue;
    const QString ev = r.value(QStringLiteral("event")).toString();
    if (ev == QLatin1String("run-start")) {
      open.append(r);
    } else if (ev == QLatin1String("run-end")) {
      const QString started = r.value(QStringLiteral("started")).toString();
      if (started.isEmpty()) {
        if (!open.isEmpty()) open.removeLast();  // a run's own end: the latest start's
      } else {
        open.removeIf([&](const QJsonObject &s) { return s.value(QStringLiteral("time")).toString() == started; });
      }
    }
  }
  for (const QJsonObject &start : open) {
    QJsonObject end{{QStringLiteral("event"), QStringLiteral("run-end")},
                    {QStringLiteral("device"), start.value(QStringLiteral("device"))},
                    {QStringLiteral("serial"), start.value(QStringLiteral("serial"))},
                    {QStringLiteral("model"), start.value(QStringLiteral("model"))},
                    {QStringLiteral("result"), QStringLiteral("interrupted")},
                    {QStringLiteral("message"),
                     QStringLiteral("Программа завершилась, не закончив запуск, начатый %1.")
                         .arg(start.value(QStringLiteral("time")).toString())},
                    {QStringLiteral("started"), start.value(QStringLiteral("time"))}};
    written << Append(end);
  }
  return written;
}

QString Summary(const QJsonObject &o) {
  const QString ev = Text(o, "event");
  if (ev == QLatin1String("run-start")) return Identity(o.value(QStringLiteral("identity")).toObject());
  if (ev == QLatin1String("pass"))
    return QStringLiteral("уровень %1: %2; %3 (%4), SHA-256 %5")
        .arg(o.value(QStringLiteral("level")).toInt())
        .arg(Text(o, "title"), Text(o, "file"), Text(o, "method"), Text(o, "sha256").left(16));
  if (ev == QLatin1String("transfer-start")) return Text(o, "file");
  if (ev == QLatin1String("transfer-end"))
    return ResultLabel(Text(o, "result")) +
           (Text(o, "verdict").isEmpty() ? QString() : QStringLiteral(": ") + Text(o, "verdict"));
  if (ev == QLatin1String("setup")) return ResultLabel(Text(o, "result"));
  if (ev == QLatin1String("tables"))
    return QStringLiteral("сохранено ячеек: %1, проверено: %2, восстановлено: %3")
        .arg(o.contains(QStringLiteral("saved")) ? QString::number(o.value(QStringLiteral("saved")).toInt())
                                                 : QStringLiteral("не сохранялись"))
        .arg(o.value(QStringLiteral("verified")).toBool() ? QStringLiteral("да") : QStringLiteral("нет"))
        .arg(o.value(QStringLiteral("restored")).toBool() ? QStringLiteral("да") : QStringLiteral("нет"));
  if (ev == QLatin1String("run-end")) {
    QString s = ResultLabel(Text(o, "result"));
    if (!Text(o, "message").isEmpty()) s += QStringLiteral(": ") + Text(o, "message");
    const QString after = Identity(o.value(QStringLiteral("identity")).toObject());
    if (!after.isEmpty()) s += QStringLiteral("; ") + after;
    return s;
  }
  if (ev == QLatin1String("unattended-start"))
    return o.value(QStringLiteral("plan")).toBool() ? QStringLiteral("только план (без --yes)")
                                                    : QStringLiteral("с установкой (--yes)");
  if (ev == QLatin1String("unattended-end")) {
    QString s = QStringLiteral("код выхода %1").arg(o.value(QStringLiteral("code")).toInt());
    const QString before = Identity(o.value(QStringLiteral("before")).toObject());
    const QString after = Identity(o.value(QStringLiteral("after")).toObject());
    if (!before.isEmpty() && !after.isEmpty() && before != after) s += QStringLiteral("; %1 → %2").arg(before, after);
    if (!Text(o, "message").isEmpty()) s += QStringLiteral("; ") + Text(o, "message");
    return s;
  }
  if (ev == QLatin1String("recovery"))
    return ResultLabel(Text(o, "kind")) + QStringLiteral(": ") + ResultLabel(Text(o, "answer")) +
           (Text(o, "result").isEmpty() ? QString() : QStringLiteral(", ") + ResultLabel(Text(o, "result")));
  return QString();
}

QStringList TableHeader() {
  return {QStringLiteral("Время"), QStringLiteral("Устройство"), QStringLiteral("ККТ"), QStringLiteral("Событие"),
          QStringLiteral("Подробности")};
}

QStringList TableRow(const QJsonObject &o) {
  const QJsonObject dev = o.value(QStringLiteral("device")).toObject();
  QString device = dev.value(QStringLiteral("name")).toString();
  if (dev.contains(QStringLiteral("number")))
    device = QString::number(dev.value(QStringLiteral("number")).toInt()) +
             (device.isEmpty() ? QString() : QStringLiteral(" ") + device);
  QString summary = Summary(o);
  summary.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return {LocalTime(Text(o, "time")), device, Text(o, "serial"), EventLabel(Text(o, "event")), summary};
}

int PrintHistory(const QStringList &args) {
  bool json = false;
  QString serial;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString &a = args[i];
    if (a == QLatin1String("--history")) continue;
    if (a == QLatin1String("--json")) {
      json = true;
    } else if (a == QLatin1String("--serial")) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tavelin: --serial needs a value\nUsage: tavelin --history [--json] [--serial S]\n");
        return 4;
      }
      serial = args[++i];
    } else if (a.startsWith(QLatin1String("--serial="))) {
      serial = a.mid(9);
    } else {
      std::fprintf(stderr, "tavelin: unknown argument %s\nUsage: tavelin --history [--json] [--serial S]\n",
                   a.toLocal8Bit().constData());
      return 4;  // a usage error, as for every other command
    }
  }
  QString error;
  const QList<QJsonObject> records = Read(JournalPath(), serial, &error);
  // What could be read is printed; a file that could not is said, and the
  // exit code tells a script the history is not whole.
  const auto done = [&] {
    if (error.isEmpty()) return 0;
    std::fprintf(stderr, "tavelin: %s\n", error.toLocal8Bit().constData());
    return 1;
  };
  QTextStream out(stdout);
  if (json) {
    for (const QJsonObject &o : records) out << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) << '\n';
    out.flush();
    return done();
  }
  QList<QStringList> rows{TableHeader()};
  for (const QJsonObject &o : records) rows << TableRow(o);
  QList<int> widths(rows.front().size(), 0);
  for (const QStringList &r : rows)
    for (qsizetype c = 0; c + 1 < r.size(); ++c) widths[c] = std::max<int>(widths[c], static_cast<int>(r[c].size()));
  for (const QStringList &r : rows) {
    QString line;
    for (qsizetype c = 0; c < r.size(); ++c)
      line += c + 1 < r.size() ? r[c].leftJustified(widths[c]) + QStringLiteral("  ") : r[c];
    out << line.trimmed() << '\n';
  }
  out.flush();
  return done();
}

}  // namespace history
