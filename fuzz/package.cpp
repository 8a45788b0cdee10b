// A package's bytes: unpacked into encrypt/ and deciphered into the folder as
// at start-up. A refused or damaged archive is an Exception; nothing may land
// outside the folder, and nothing else may go wrong.
#include <QDirIterator>
#include <QFileInfo>

#include "common/error.h"
#include "fuzzsupport.h"
#include "package/prepare.h"
#include "package/unpack.h"

namespace {

// Everything below root stays below it and holds no link.
void CheckTree(const QString &root) {
  const QString canonical = QFileInfo(root).canonicalFilePath();
  QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info(it.next());
    if (info.isSymLink()) std::abort();
    if (!info.canonicalFilePath().startsWith(canonical + QLatin1Char('/'))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QString &scratch = fuzz::Scratch();
  // The work folder sits one level down, so a member that escaped it would
  // show in the scratch folder.
  const QString work = scratch + QStringLiteral("work/");
  QDir(work).removeRecursively();
  QDir().mkpath(work);
  fuzz::WriteFile(work + QStringLiteral("arhive.zip"), fuzz::Bytes(data, size));
  try {
    UnpackPackage(work + QStringLiteral("arhive.zip"), work + QStringLiteral("encrypt"));
    DecipherPackage(work);
  } catch (const Exception &) {
  }
  CheckTree(work);
  const QStringList outside =
      QDir(scratch).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  for (const QString &name : outside)
    if (name != QStringLiteral("work")) std::abort();
  return 0;
}
