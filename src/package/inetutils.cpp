#include "package/inetutils.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <curl/curl.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/error.h"
#include "package/signature.h"

namespace {

const char kUserAgent[] = "Mozilla/5.0";

struct CurlDeleter {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// One easy handle with the settings both requests share. The error buffer
// must outlive the handle's use, so it travels with it.
struct Request {
  CurlHandle handle;
  char error[CURL_ERROR_SIZE] = {};
  CURLcode code = CURLE_OK;  // how the transfer ended
};

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Only the web's own schemes: a package URL (or a redirect) naming file:,
// ftp: or anything else libcurl speaks is refused.
bool IsWebScheme(const QString &scheme) {
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString SchemeOf(const QString &URL) { return QUrl(URL).scheme().toLower(); }

void CheckScheme(const QString &URL) {
  if (!IsWebScheme(SchemeOf(URL)))
    throw Exception(QStringLiteral("адрес %1 не является адресом http или https").arg(URL));
}

// Certificate and host-name checks stay on. The CA store is the system's;
// CURL_CA_BUNDLE, SSL_CERT_FILE and SSL_CERT_DIR replace it as they do for
// the curl tool (the library itself does not read them).
void ApplyTlsSettings(CURL *h) {
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  const QByteArray bundle = qgetenv("CURL_CA_BUNDLE");
  const QByteArray file = qgetenv("SSL_CERT_FILE");
  const QByteArray dir = qgetenv("SSL_CERT_DIR");
  if (!bundle.isEmpty())
    curl_easy_setopt(h, CURLOPT_CAINFO, bundle.constData());
  else if (!file.isEmpty())
    curl_easy_setopt(h, CURLOPT_CAINFO, file.constData());
  if (!dir.isEmpty()) curl_easy_setopt(h, CURLOPT_CAPATH, dir.constData());
}

void NewRequest(Request &r, const QString &URL) {
  CheckScheme(URL);
  InitCurlOnce();
  r.handle.reset(curl_easy_init());
  if (!r.handle) throw Exception(QStringLiteral("Cannot create the HTTP client."));
  CURL *h = r.handle.get();
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, r.error);
  curl_easy_setopt(h, CURLOPT_URL, URL.toUtf8().constData());
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  // No signals: time-outs must not rely on SIGALRM in a GUI program.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects are followed by RunFollowingRedirects, hop by hop.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  ApplyTlsSettings(h);
}

// Runs the request; a transport failure becomes an Exception with curl's text.
void Perform(Request &r) {
  const CURLcode rc = curl_easy_perform(r.handle.get());
  r.code = rc;
  if (rc == CURLE_OK) return;
  throw Exception(r.error[0] ? QString::fromUtf8(r.error) : QString::fromUtf8(curl_easy_strerror(rc)));
}

long ResponseCode(Request &r) {
  long code = 0;
  curl_easy_getinfo(r.handle.get(), CURLINFO_RESPONSE_CODE, &code);
  return code;
}

// curl's date parser rolls impossible dates over ("31 Feb" becomes 3 March)
// and takes a missing time as midnight. Such a value names no real moment, so
// it is refused: the text must carry a time, and the day written next to the
// month name must be the day curl arrived at (give or take the one day a zone
// offset can move it).
bool WrittenDayMatches(const QString &text, const QDateTime &utc) {
  if (!text.contains(QLatin1Char(':'))) return false;
  static const QRegularExpression separators(QStringLiteral("[\\s,\\-]+"));
  static const QStringList months = {
      QStringLiteral("jan"), QStringLiteral("feb"), QStringLiteral("mar"), QStringLiteral("apr"),
      QStringLiteral("may"), QStringLiteral("jun"), QStringLiteral("jul"), QStringLiteral("aug"),
      QStringLiteral("sep"), QStringLiteral("oct"), QStringLiteral("nov"), QStringLiteral("dec")};
  const QStringList tokens = text.split(separators, Qt::SkipEmptyParts);
  const auto dayNumber = [&](qsizetype i) -> int {
    if (i < 0 || i >= tokens.size() || tokens[i].size() > 2) return 0;
    bool ok = false;
    const int v = tokens[i].toInt(&ok);
    return ok ? v : 0;
  };
  for (qsizetype i = 0; i < tokens.size(); ++i) {
    if (!months.contains(tokens[i].left(3).toLower())) continue;
    // "06 Nov 1994" and "06-Nov-94" put the day first, "Nov  6" after.
    int day = dayNumber(i - 1);
    if (day == 0) day = dayNumber(i + 1);
    if (day == 0) return false;
    for (int shift : {0, -1, 1})
      if (utc.addDays(shift).date().day() == day) return true;
    return false;
  }
  return false;
}

}  // namespace

TDateTime ParseHttpDate(const QByteArray &value) {
  const time_t t = curl_getdate(value.constData(), nullptr);
  if (t == -1) return 0;
  if (t == 0) return 1;  // the epoch: 0 would read as "no date"
  const QDateTime utc = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t), Qt::UTC);
  if (!WrittenDayMatches(QString::fromLatin1(value), utc)) return 0;
  // The UTC fields as they stand: the date the server wrote, not our local time.
  const TDateTime days = datetime::FromDateTime(QDateTime(utc.date(), utc.time()));
  return days == 0 ? 1 : days;
}

namespace {

struct Sink {
  FILE *file = nullptr;
  qint64 received = 0;
  qint64 limit = kMaxDownloadBytes;
  bool tooLarge = false;
};

size_t WriteToFile(char *data, size_t size, size_t count, void *user) {
  auto *sink = static_cast<Sink *>(user);
  const qint64 n = static_cast<qint64>(size * count);
  // A short count makes curl stop with a write error, which is then raised.
  if (sink->received + n > sink->limit) {
    sink->tooLarge = true;
    return 0;
  }
  sink->received += n;
  return std::fwrite(data, size, count, sink->file) * size;
}

QString TooLargeText(qint64 limit) {
  if (limit >= (qint64(1) << 20)) return QStringLiteral("Пакет на сервере больше %1 МиБ.").arg(limit >> 20);
  return QStringLiteral("Файл на сервере больше %1 КиБ.").arg(limit >> 10);
}

QString TransferError(const Request &r, CURLcode rc) {
  return r.error[0] ? QString::fromUtf8(r.error) : QString::fromUtf8(curl_easy_strerror(rc));
}

// Runs the request through a multi handle so that control comes back every
// 50 ms, whatever the server does, to report progress and hear a cancel.
void PerformWithProgress(Request &r, const Sink &sink, const DownloadProgress &progress, const QString &cancelled) {
  struct MultiDeleter {
    void operator()(CURLM *m) const { curl_multi_cleanup(m); }
  };
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi) throw Exception(QStringLiteral("Cannot create the HTTP client."));
  CURL *h = r.handle.get();
  curl_multi_add_handle(multi.get(), h);
  struct Remove {
    CURLM *m;
    CURL *h;
    ~Remove() { curl_multi_remove_handle(m, h); }
  } remove{multi.get(), h};

  int running = 1;
  for (;;) {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    if (!running) break;
    curl_off_t total = -1;
    curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
    if (!progress(sink.received, total < 0 ? -1 : static_cast<qint64>(total)))
      throw Exception(cancelled);
    curl_multi_poll(multi.get(), nullptr, 0, 50, nullptr);
  }
  CURLcode rc = CURLE_OK;
  int left = 0;
  while (CURLMsg *msg = curl_multi_info_read(multi.get(), &left))
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) rc = msg->data.result;
  r.code = rc;
  if (rc == CURLE_OK) return;
  throw Exception(TransferError(r, rc));
}

// A server behind an http-to-https redirect or a CDN must work, a redirect
// must not lead the program anywhere else: at most kMaxRedirects hops, each
// to http or https, and never back from https to http.
constexpr int kMaxRedirects = 5;

// Sends the request and follows redirects itself, so that every hop is
// checked. restart is called before each new hop (the body of the redirect
// answer is not the file). Returns the final status code.
long RunFollowingRedirects(Request &r, const QString &URL, const Sink &sink, const DownloadProgress &progress,
                           const QString &cancelled, const std::function<void()> &restart) {
  CURL *h = r.handle.get();
  QString url = URL;
  bool secure = SchemeOf(url) == QLatin1String("https");
  for (int hop = 0;; ++hop) {
    curl_easy_setopt(h, CURLOPT_URL, url.toUtf8().constData());
    // Once on https, libcurl itself refuses anything else too.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
    r.error[0] = 0;
    if (progress)
      PerformWithProgress(r, sink, progress, cancelled);
    else
      Perform(r);
    const long code = ResponseCode(r);
    char *location = nullptr;
    if (code / 100 != 3 || curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location)
      return code;
    const QString next = QString::fromUtf8(location);
    if (hop + 1 > kMaxRedirects)
      throw Exception(QStringLiteral("слишком много перенаправлений (больше %1)").arg(kMaxRedirects));
    const QString scheme = SchemeOf(next);
    if (!IsWebScheme(scheme))
      throw Exception(QStringLiteral("перенаправление на %1 отклонено: только http и https").arg(next));
    if (secure && scheme != QLatin1String("https"))
      throw Exception(QStringLiteral("перенаправление с https на http (%1) отклонено").arg(next));
    secure = secure || scheme == QLatin1String("https");
    url = next;
    if (restart) restart();
  }
}

// How long a connection may take to open, and how long a transfer may stall
// (no byte at all) before it is given up.
void SetTimeouts(CURL *h, long connectMs, long stallSeconds) {
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
}

// Transport failures of the requests go to the log with the address: before
// the download question they are not shown to the operator.
[[noreturn]] void LogAndRethrow(const char *method, const QString &URL, const std::exception &e) {
  signature::Log(QStringLiteral("%1 %2: %3").arg(QLatin1String(method), URL, ExceptionMessage(e)));
  throw;
}

}  // namespace

TDateTime GetRemoteFileDate(const QString &URL, const DownloadProgress &progress) {
  try {
    Request r;
    NewRequest(r, URL);
    CURL *h = r.handle.get();
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    SetTimeouts(h, 60000L, 60L);
    Sink none;
    if (RunFollowingRedirects(r, URL, none, progress, QStringLiteral("Проверка наличия нового пакета отменена."), {}) != 200) return 0;

    curl_header *header = nullptr;
    if (curl_easy_header(h, "Last-Modified", 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header) return 0;
    return ParseHttpDate(QByteArray(header->value));
  } catch (const std::exception &e) {
    LogAndRethrow("HEAD", URL, e);
  }
}

bool DownloadFile(const QString &URL, const QString &FileName, const DownloadProgress &progress, qint64 maxBytes,
                  long *Status) {
  // The file first: when it cannot be made, no request goes out.
  FileHandle file(std::fopen(QFile::encodeName(FileName).constData(), "wb"));
  if (!file) {
    const int err = errno;
    throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, QString::fromLocal8Bit(std::strerror(err))));
  }

  long code = 0;
  Sink sink;
  sink.file = file.get();
  sink.limit = maxBytes;
  {
    Request r;
    try {
      NewRequest(r, URL);
      CURL *h = r.handle.get();
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      SetTimeouts(h, 3000L, 30L);
      // Larger receive blocks than curl's 16 KiB default: fewer callbacks and
      // writes for a package of many megabytes (the curl tool does the same).
      curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteToFile);
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
      // Refused by the announced size before the body is sent.
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
      // The body of a redirect answer is not the file.
      const auto restart = [&sink] {
        std::fflush(sink.file);
        if (::ftruncate(::fileno(sink.file), 0) != 0) throw Exception(QStringLiteral("Cannot truncate the file."));
        std::rewind(sink.file);
        sink.received = 0;
      };
      try {
        code = RunFollowingRedirects(r, URL, sink, progress, QStringLiteral("Загрузка пакета отменена."), restart);
      } catch (const Exception &) {
        if (sink.tooLarge || r.code == CURLE_FILESIZE_EXCEEDED) throw Exception(TooLargeText(maxBytes));
        throw;
      }
    } catch (const std::exception &e) {
      file.reset();  // closed before the caller hears of the failure
      LogAndRethrow("GET", URL, e);
    }
  }
  if (Status) *Status = code;

  // Data still buffered may fail to reach the disk; a package cut short there
  // must not be reported as downloaded.
  FILE *f = file.release();
  if (std::fclose(f) != 0) {
    const int err = errno;
    throw Exception(QStringLiteral("Cannot write file \"%1\". %2").arg(FileName, QString::fromLocal8Bit(std::strerror(err))));
  }
  return code == 200;
}
