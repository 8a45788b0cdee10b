#pragma once
// Preparing an unpacked package: deciphering its members into the work folder.
#include <QString>
#include <QStringList>

// Deciphers the files matching "*.bin", then "*.exe", then "*.json" at the top
// of workFolder/encrypt into workFolder under the same names, replacing what is
// there; the password is set again before every file. Members in sub-folders
// and of other types stay enciphered. Deciphered ".exe" files are made
// executable for their owner. Returns the deciphered names in that order.
QStringList DecipherPackage(const QString &workFolder);
