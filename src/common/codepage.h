#pragma once
// The 8-bit ("ANSI") code page of the program: windows-1251.
#include <QByteArray>
#include <QString>

namespace codepage {

// Text to windows-1251 bytes; a character the code page cannot hold becomes '?'.
QByteArray FromUnicode(const QString &text);
// windows-1251 bytes to text (every byte maps to a character).
QString ToUnicode(const QByteArray &bytes);
// Text as an 8-bit field holds it: what the code page cannot hold becomes '?'.
QString Narrow(const QString &text);
// Narrow, then cut to at most 255 single-byte characters (short-string fields).
QString Short(const QString &text);

}  // namespace codepage
