#pragma once
// The authenticity check of a downloaded package, between the download and
// the unpacking.
#include <QString>

#include "package/inetutils.h"

// With trusted keys on this machine (or in a build that requires signed
// packages), fetches URL + ".minisig" and checks the file at ZipPath against
// it. True: the package may be unpacked. False: an error box has named the
// reason, the downloaded files are gone, and the built-in package is to be
// used. Without keys the package is let through and the log says it was not
// checked. progress follows the signature's download. Never raises.
bool VerifyDownloadedPackage(const QString &URL, const QString &ZipPath, const DownloadProgress &progress = {});
