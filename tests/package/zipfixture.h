#pragma once
// Small archives for the unpacking tests, names set exactly as given.
#include <zip.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <list>
#include <vector>

namespace pkgtest {

struct ZipEntry {
  QByteArray name;
  QByteArray data;
  bool deflate = false;
  bool symlink = false;  // unix mode S_IFLNK, data is the link target
};

// Returns an empty string on success, else what went wrong.
inline QString MakeZip(const QString &path, const std::vector<ZipEntry> &entries) {
  int err = 0;
  zip_t *za = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (!za) return QStringLiteral("zip_open failed");
  for (const ZipEntry &e : entries) {
    zip_int64_t idx;
    if (e.name.endsWith('/')) {
      idx = zip_dir_add(za, e.name.constData(), ZIP_FL_ENC_RAW);
    } else {
      zip_source_t *src = zip_source_buffer(za, e.data.constData(), static_cast<zip_uint64_t>(e.data.size()), 0);
      idx = zip_file_add(za, e.name.constData(), src, ZIP_FL_ENC_RAW);
      if (idx < 0) zip_source_free(src);
    }
    if (idx < 0) {
      zip_discard(za);
      return QStringLiteral("cannot add ") + QString::fromUtf8(e.name);
    }
    zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), e.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    if (e.symlink)
      zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                       (0120777u) << 16);
  }
  if (zip_close(za) != 0) {
    zip_discard(za);
    return QStringLiteral("zip_close failed");
  }
  return QString();
}

}  // namespace pkgtest

#include <zlib.h>

#include <optional>

namespace pkgtest {

// A member written byte by byte, so that its entry may lie about its size.
struct RawEntry {
  QByteArray name;
  QByteArray data;                         // the inflated content
  bool deflate = true;
  std::optional<quint32> declaredSize = std::nullopt;  // the size the entries claim; default the true one
};

inline void PutLE(QByteArray &out, quint32 v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline QByteArray RawDeflate(const QByteArray &data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  QByteArray out(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(data.size()))), '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(static_cast<qsizetype>(z.total_out));
  deflateEnd(&z);
  return out;
}

// The bytes of a ZIP archive holding entries, with honest CRCs.
inline QByteArray RawZip(const std::vector<RawEntry> &entries) {
  QByteArray out, central;
  for (const RawEntry &e : entries) {
    const QByteArray stored = e.deflate ? RawDeflate(e.data) : e.data;
    const quint32 crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef *>(e.data.constData()), static_cast<uInt>(e.data.size())));
    const quint32 size = e.declaredSize.value_or(static_cast<quint32>(e.data.size()));
    const quint32 offset = static_cast<quint32>(out.size());
    auto common = [&](QByteArray &h) {
      PutLE(h, 20, 2);                  // version needed
      PutLE(h, 0, 2);                   // flags
      PutLE(h, e.deflate ? 8 : 0, 2);   // method
      PutLE(h, 0, 2);                   // time
      PutLE(h, 0x21, 2);                // date: 1980-01-01
      PutLE(h, crc, 4);
      PutLE(h, static_cast<quint32>(stored.size()), 4);
      PutLE(h, size, 4);
      PutLE(h, static_cast<quint32>(e.name.size()), 2);
      PutLE(h, 0, 2);                   // extra length
    };
    PutLE(out, 0x04034b50, 4);
    common(out);
    out += e.name;
    out += stored;
    PutLE(central, 0x02014b50, 4);
    PutLE(central, 20, 2);              // version made by
    common(central);
    PutLE(central, 0, 2);               // comment length
    PutLE(central, 0, 2);               // disk
    PutLE(central, 0, 2);               // internal attributes
    PutLE(central, 0, 4);               // external attributes
    PutLE(central, offset, 4);
    central += e.name;
  }
  const quint32 cdOffset = static_cast<quint32>(out.size());
  out += central;
  PutLE(out, 0x06054b50, 4);
  PutLE(out, 0, 4);
  PutLE(out, static_cast<quint32>(entries.size()), 2);
  PutLE(out, static_cast<quint32>(entries.size()), 2);
  PutLE(out, static_cast<quint32>(central.size()), 4);
  PutLE(out, cdOffset, 4);
  PutLE(out, 0, 2);
  return out;
}

}  // namespace pkgtest
