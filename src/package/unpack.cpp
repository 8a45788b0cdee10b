#include "package/unpack.h"

#include <zip.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <memory>

#include "common/error.h"
#include "package/writeall.h"

namespace {

// A package is a few firmware images; anything that inflates further than
// this is refused before a byte of it is written (a ZIP bomb).
constexpr zip_uint64_t kMaxRatio = 1000;
constexpr zip_uint64_t kMaxTotal = zip_uint64_t{1} << 30;  // 1 GiB

struct ZipClose {
  void operator()(zip_t *z) const { zip_discard(z); }  // read-only: nothing to write back
};
struct ZipFileClose {
  void operator()(zip_file_t *f) const { zip_fclose(f); }
};

QString ZipErrorText(int code) {
  zip_error_t ze;
  zip_error_init_with_code(&ze, code);
  const QString text = QString::fromLocal8Bit(zip_error_strerror(&ze));
  zip_error_fini(&ze);
  return text;
}

struct Member {
  zip_uint64_t index = 0;
  QString name;      // as stored, for messages
  QString relative;  // cleaned path under the folder
  bool folder = false;
  zip_uint64_t size = 0;  // inflated size the archive declares
};

[[noreturn]] void Refuse(const QString &zipPath, const QString &name, const QString &why) {
  throw Exception(QStringLiteral("Archive \"%1\": member \"%2\" is refused: %3")
                      .arg(zipPath, name, why));
}

// A name from the archive, checked and cleaned. Backslashes count as separators,
// as they do for the Windows tools that make such archives.
Member CheckMember(zip_t *za, zip_uint64_t index, const QString &zipPath) {
  Member m;
  m.index = index;
  const char *raw = zip_get_name(za, index, 0);
  if (!raw)
    throw Exception(QStringLiteral("Archive \"%1\": cannot read member %2: %3")
                        .arg(zipPath).arg(index).arg(QString::fromLocal8Bit(zip_strerror(za))));
  m.name = QString::fromUtf8(raw);
  QString n = m.name;
  n.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (n.startsWith(QLatin1Char('/')) || (n.size() >= 2 && n.at(1) == QLatin1Char(':')))
    Refuse(zipPath, m.name, QStringLiteral("its path is absolute."));
  QStringList parts;
  for (const QString &p : n.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (p == QLatin1String(".."))
      Refuse(zipPath, m.name, QStringLiteral("its path leads out of the folder."));
    if (p != QLatin1String(".")) parts << p;
  }
  if (parts.isEmpty()) Refuse(zipPath, m.name, QStringLiteral("its path is empty."));
  m.relative = parts.join(QLatin1Char('/'));
  m.folder = n.endsWith(QLatin1Char('/'));

  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) == 0 &&
      opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & 0170000) == 0120000)
    Refuse(zipPath, m.name, QStringLiteral("it is a symbolic link."));

  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(za, index, 0, &st) != 0)
    throw Exception(QStringLiteral("Archive \"%1\": cannot read member \"%2\": %3")
                        .arg(zipPath, m.name, QString::fromLocal8Bit(zip_strerror(za))));
  if ((st.valid & ZIP_STAT_SIZE) == 0 || (st.valid & ZIP_STAT_COMP_SIZE) == 0)
    Refuse(zipPath, m.name, QStringLiteral("its size is unknown."));
  m.size = st.size;
  // Deflate itself cannot do much better than about 1030:1; more is a bomb.
  if (st.comp_size <= kMaxTotal && st.size > st.comp_size * kMaxRatio)
    Refuse(zipPath, m.name,
           QStringLiteral("it would inflate to %1 bytes from %2, more than %3 times its stored size.")
               .arg(st.size).arg(st.comp_size).arg(kMaxRatio));
  return m;
}

// No step of the path below root may be a link that leads elsewhere.
void RefuseLinksOnPath(const QString &root, const Member &m, const QString &zipPath) {
  QString p = root;
  for (const QString &part : m.relative.split(QLatin1Char('/'))) {
    p += QLatin1Char('/') + part;
    if (QFileInfo(p).isSymLink())
      Refuse(zipPath, m.name, QStringLiteral("\"%1\" is a symbolic link.").arg(p));
  }
}

void Extract(zip_t *za, const Member &m, const QString &root, const QString &zipPath) {
  const QString dest = root + QLatin1Char('/') + m.relative;
  RefuseLinksOnPath(root, m, zipPath);
  if (m.folder) {
    if (!QDir().mkpath(dest))
      throw Exception(QStringLiteral("Cannot create folder \"%1\".").arg(dest));
    return;
  }
  const QString parent = QFileInfo(dest).path();
  if (!QDir().mkpath(parent))
    throw Exception(QStringLiteral("Cannot create folder \"%1\".").arg(parent));

  std::unique_ptr<zip_file_t, ZipFileClose> zf(zip_fopen_index(za, m.index, 0));
  if (!zf)
    throw Exception(QStringLiteral("Archive \"%1\": cannot read member \"%2\": %3")
                        .arg(zipPath, m.name, QString::fromLocal8Bit(zip_strerror(za))));
  QFile out(dest);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
    throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(dest, out.errorString()));

  QByteArray buf(64 * 1024, Qt::Uninitialized);
  zip_uint64_t total = 0;
  for (;;) {
    const zip_int64_t got = zip_fread(zf.get(), buf.data(), static_cast<zip_uint64_t>(buf.size()));
    if (got < 0) {
      // Damaged data or a CRC mismatch: leave no partial member behind.
      const QString why = QString::fromLocal8Bit(zip_file_strerror(zf.get()));
      out.remove();
      throw Exception(QStringLiteral("Archive \"%1\": member \"%2\" is damaged: %3")
                          .arg(zipPath, m.name, why));
    }
    if (got == 0) break;
    // The limits were checked against the declared size; data beyond it is
    // only noticed by the library at the end, after it has all been written.
    total += static_cast<zip_uint64_t>(got);
    if (total > m.size) {
      out.remove();
      Refuse(zipPath, m.name,
             QStringLiteral("it inflates past the %1 bytes its entry declares.").arg(m.size));
    }
    const QString why = WriteAllReason(out, buf.constData(), got);
    if (!why.isEmpty()) {
      out.remove();
      throw Exception(QStringLiteral("Cannot write file \"%1\". %2").arg(dest, why));
    }
  }
  out.close();
}

}  // namespace

void UnpackPackage(const QString &zipPath, const QString &targetFolder) {
  int code = 0;
  std::unique_ptr<zip_t, ZipClose> za(
      // No ZIP_CHECKCONS: it refuses sound archives whose local headers leave
      // the sizes to a data descriptor (streamed writes). Names, links, sizes
      // and CRCs are checked here and while reading.
      zip_open(QFile::encodeName(zipPath).constData(), ZIP_RDONLY, &code));
  if (!za)
    throw Exception(QStringLiteral("Cannot open archive \"%1\": %2").arg(zipPath, ZipErrorText(code)));

  const zip_int64_t count = zip_get_num_entries(za.get(), 0);
  QList<Member> members;
  zip_uint64_t total = 0;
  for (zip_int64_t i = 0; i < count; ++i) {
    members << CheckMember(za.get(), static_cast<zip_uint64_t>(i), zipPath);
    total += std::min(members.back().size, kMaxTotal + 1);  // no wrap-around
    if (total > kMaxTotal)
      throw Exception(QStringLiteral("Archive \"%1\" is refused: its members would inflate past 1 GiB.")
                          .arg(zipPath));
  }

  if (!QDir().mkpath(targetFolder))
    throw Exception(QStringLiteral("Cannot create folder \"%1\".").arg(targetFolder));
  const QString root = QDir(targetFolder).absolutePath();
  for (const Member &m : members) Extract(za.get(), m, root, zipPath);
}
