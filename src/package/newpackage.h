#pragma once
// The start-up check for a package published on the package server.
#include <QString>

#include "package/inetutils.h"

// Asks the server for the package's date; when it names one, offers the
// download and on Yes fetches the package into ZipPath. True only when a
// usable archive is in place there; false sends the caller to the built-in
// package. progress follows the download and may cancel it (which, like any
// failed download, means the built-in package); checking does the same for
// the date request (a cancel there means no offer) and is told (-1, -1)
// once that request is over. A downloaded package is
// checked against the trusted keys (VerifyDownloadedPackage) before it is
// reported in place. Never raises.
// After Yes every failure but the operator's own cancel is shown
// (ReportNewPackageFailure); before the question failures only go to the log.
bool CheckNewPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress = {},
                     const DownloadProgress &checking = {});

// The error box for a package the operator asked for and did not get: "Не
// удалось получить новый пакет: <reason>. Будет использован встроенный пакет."
void ReportNewPackageFailure(const QString &reason);
