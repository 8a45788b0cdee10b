#pragma once
// The two HTTP requests of the package download. Each call makes its own
// client for the one request and blocks until the request is over.
#include <QString>

#include <functional>

#include "common/datetime.h"

// HEAD: the "Last-Modified" date of the resource as the server wrote it, in
// days since 1899-12-30. 0 for a status other than 200, a missing header or a
// date that does not parse; the Unix epoch (or a date that would be 0) gives 1.
// Transport errors raise Exception. progress, when given, is called at least
// every 50 ms while the request waits (with 0 bytes) and may cancel it.
TDateTime GetRemoteFileDate(const QString &URL, const std::function<bool(qint64, qint64)> &progress = {});

// A "Last-Modified" value as GetRemoteFileDate reads it: 0 when it names no
// real date and time, 1 for the epoch (or a date that would be 0).
TDateTime ParseHttpDate(const QByteArray &value);

// Told of the bytes received so far and the size the server announced (-1:
// none) at least every 50 ms while a download runs; false cancels it.
using DownloadProgress = std::function<bool(qint64 received, qint64 total)>;

// No package is anywhere near this size: a larger body is refused, by its
// announced size before it is sent and by what arrives while it is.
constexpr qint64 kMaxDownloadBytes = qint64(1) << 30;

// Both requests: only http and https, for the URL and for every redirect;
// at most 5 redirects, never from https back to http; certificates and host
// names checked against the system's CA store (or CURL_CA_BUNDLE,
// SSL_CERT_FILE, SSL_CERT_DIR as the curl tool reads them); proxies from the
// usual environment variables. Transport failures also go to the log.

// GET into FileName, created or truncated before the request (a file that
// cannot be created raises Exception and nothing is sent). True exactly when
// the final status is 200. Transport errors, a cancel and a body over
// maxBytes raise Exception once the file is closed; the file then holds what
// had arrived. Status, when given, gets the final status code.
bool DownloadFile(const QString &URL, const QString &FileName, const DownloadProgress &progress = {},
                  qint64 maxBytes = kMaxDownloadBytes, long *Status = nullptr);
