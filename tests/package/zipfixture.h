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
