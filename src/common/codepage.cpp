#include "common/codepage.h"

#include <iconv.h>

#include <array>
#include <stdexcept>
#include <unordered_map>

namespace {

// The upper half of the code page, read once from the C library's converter.
struct Table {
  std::array<char16_t, 256> toUnicode{};
  std::unordered_map<char16_t, unsigned char> fromUnicode;

  Table() {
    iconv_t cd = iconv_open("UTF-16LE", "WINDOWS-1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
      throw std::runtime_error("windows-1251 converter is not available");
    for (int b = 0; b < 256; ++b) {
      char in = static_cast<char>(b);
      char out[4] = {};
      char *pin = &in;
      char *pout = out;
      size_t inLeft = 1, outLeft = sizeof out;
      char16_t u = u'?';
      if (b < 0x80) {
        u = static_cast<char16_t>(b);
      } else if (iconv(cd, &pin, &inLeft, &pout, &outLeft) != static_cast<size_t>(-1) &&
                 outLeft == 2) {
        u = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                  (static_cast<unsigned char>(out[1]) << 8));
      } else {
        // 0x98 is unassigned in windows-1251.
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        u = u'\uFFFD';
      }
      toUnicode[b] = u;
      if (u != u'\uFFFD') fromUnicode.emplace(u, static_cast<unsigned char>(b));
    }
    iconv_close(cd);
  }
};

const Table &table() {
  static const Table t;
  return t;
}

}  // namespace

namespace codepage {

QByteArray FromUnicode(const QString &text) {
  const Table &t = table();
  QByteArray out;
  out.reserve(text.size());
  for (int i = 0; i < text.size(); ++i) {
    const char16_t c = text.at(i).unicode();
    if (c < 0x80) {
      out.append(static_cast<char>(c));
      continue;
    }
    // A surrogate pair is one character the code page cannot hold: one '?'.
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
    const auto it = t.fromUnicode.find(c);
    out.append(it == t.fromUnicode.end() ? '?' : static_cast<char>(it->second));
  }
  return out;
}

QString ToUnicode(const QByteArray &bytes) {
  const Table &t = table();
  QString out;
  out.reserve(bytes.size());
  for (char b : bytes) out.append(QChar(t.toUnicode[static_cast<unsigned char>(b)]));
  return out;
}

QString Narrow(const QString &text) { return ToUnicode(FromUnicode(text)); }

QString Short(const QString &text) { return ToUnicode(FromUnicode(text).left(255)); }

}  // namespace codepage
