// tavelin-pack: builds and inspects firmware packages the way the updater
// reads them. Exit 0 on success; on failure one line on stderr and non-zero.
#include <sys/stat.h>
#include <zip.h>

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextStream>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/error.h"
#include "common/msgbox.h"
#include "package/cipher.h"
#include "package/prepare.h"
#include "package/signature.h"
#include "package/unpack.h"
#include "rules/fwrules.h"

#ifdef TAVELIN_PACK_HAVE_PLAN
#include "plan.h"
#endif

namespace {

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

const char kToolUsage[] =
    "Usage: tavelin-pack COMMAND ARGS...\n"
    "Builds and inspects the firmware packages of Tavelin.\n\n"
    "Commands:\n"
    "  encrypt PLAIN OUT            encipher one file with the package password\n"
    "  decrypt IN PLAIN             decipher one package member as the updater does\n"
    "  build FOLDER OUT.zip [--sign SECRETKEY]\n"
    "                               encipher every file at the top of FOLDER into a package\n"
    "                               (and sign it with minisign)\n"
    "  verify PACKAGE [--sig FILE] [--key FILE]...\n"
    "                               check a package's minisign signature against trusted keys\n"
    "  extract PACKAGE.zip FOLDER   unpack and decipher a package as the updater does,\n"
    "                               then check its rules.json and images\n"
    "  plan RULES.json ...          show which rules apply to a register identity\n\n"
    "tavelin-pack COMMAND --help shows the command's own help.\n";

struct Command {
  const char *name;
  const char *operands;
  const char *help;
};

const Command kCommands[] = {
    {"encrypt", "PLAIN OUT",
     "Enciphers PLAIN into OUT with the package password and a random nonce.\n"},
    {"decrypt", "IN PLAIN",
     "Deciphers the package member IN into PLAIN exactly as the updater does.\n"},
    {"build", "FOLDER OUT.zip [--sign SECRETKEY]",
     "Enciphers every regular file at the top of FOLDER and stores them, deflated, in a\n"
     "new package OUT.zip. The package is written to a temporary file and renamed, so a\n"
     "failure never leaves half a package.\n"
     "With --sign, the package is then signed by the minisign tool with the secret key\n"
     "SECRETKEY (minisign asks for its password), which writes OUT.zip.minisig beside it.\n"
     "Its trusted comment is \"date:<the build's UTC time> file:OUT.zip\": the updater refuses a\n"
     "package older than one it has already taken from the same address.\n"
     "Without minisign: minisign -S -s SECRETKEY -m OUT.zip does the same.\n"},
    {"extract", "PACKAGE.zip FOLDER",
     "Unpacks PACKAGE.zip into FOLDER/encrypt/, deciphers its .bin, .exe and .json members\n"
     "into FOLDER as the updater does at start, then loads FOLDER/rules.json and checks\n"
     "that every image it names is present.\n"},
};

// One line: the message as the updater would show it, line breaks flattened.
QString OneLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text;
}

// The rules loader reports unreadable values in message boxes; the tool has
// no windows, so they become warning lines, shown once the command succeeds
// (a failure is reported by its one line).
class WarningLines : public msgbox::Answerer {
 public:
  WarningLines() { msgbox::SetAnswerer(this); }
  ~WarningLines() override { msgbox::SetAnswerer(nullptr); }
  WarningLines(const WarningLines &) = delete;
  WarningLines &operator=(const WarningLines &) = delete;
  bool answer(const msgbox::Box &box) override {
    lines_ << OneLine(box.text);
    return false;
  }
  const QStringList &lines() const { return lines_; }

 private:
  QStringList lines_;
};

// Checked before the cipher runs, which would create the target first.
void RequireReadable(const QString &path) {
  QFile f(path);
  if (QFileInfo(path).isDir())
    throw Exception(QStringLiteral("Cannot open file \"%1\". It is a folder.").arg(path));
  if (!f.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
}

void Encrypt(const QString &plain, const QString &out, QTextStream &) {
  RequireReadable(plain);
  TCodec codec;
  codec.setPassword(kPackagePassword);
  codec.EncryptFile(out, plain);
}

void Decrypt(const QString &in, const QString &plain, QTextStream &) {
  RequireReadable(in);
  TCodec codec;
  codec.setPassword(kPackagePassword);
  codec.DecryptFile(plain, in);
}

struct ZipDiscard {
  void operator()(zip_t *z) const { zip_discard(z); }
};

QString ZipError(int code) {
  zip_error_t ze;
  zip_error_init_with_code(&ze, code);
  const QString text = QString::fromLocal8Bit(zip_error_strerror(&ze));
  zip_error_fini(&ze);
  return text;
}

void Build(const QString &folderPath, const QString &outPath, QTextStream &out) {
  const QDir folder(folderPath);
  if (!QFileInfo(folderPath).isDir())
    throw Exception(QStringLiteral("Cannot read folder \"%1\". It does not exist.").arg(folderPath));
  const QString outCanonical = QFileInfo(outPath).canonicalFilePath();
  QStringList names;
  for (const QFileInfo &fi : folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name)) {
    if (!fi.isFile()) continue;  // regular files only: a pipe or device would block or never end
    if (!outCanonical.isEmpty() && fi.canonicalFilePath() == outCanonical) continue;
    names << fi.fileName();
  }
  if (names.isEmpty())
    throw Exception(QStringLiteral("Folder \"%1\" holds no files to pack.").arg(folderPath));

  QTemporaryDir stage;
  if (!stage.isValid())
    throw Exception(QStringLiteral("Cannot create a temporary folder. %1").arg(stage.errorString()));
  TCodec codec;
  for (const QString &name : names) {
    codec.setPassword(kPackagePassword);
    codec.EncryptFile(stage.filePath(name), folder.filePath(name));
  }

  // Beside the target, so the final rename stays on one file system.
  QTemporaryFile temp(QFileInfo(outPath).absoluteFilePath() + QStringLiteral(".XXXXXX"));
  if (!temp.open())
    throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(outPath, temp.errorString()));
  temp.close();
  const QByteArray tempName = QFile::encodeName(temp.fileName());

  int code = 0;
  std::unique_ptr<zip_t, ZipDiscard> za(zip_open(tempName.constData(), ZIP_CREATE | ZIP_TRUNCATE, &code));
  if (!za) throw Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(outPath, ZipError(code)));
  for (const QString &name : names) {
    const QByteArray source = QFile::encodeName(stage.filePath(name));
    zip_source_t *src = zip_source_file(za.get(), source.constData(), 0, -1);
    zip_int64_t index = -1;
    if (src) {
      index = zip_file_add(za.get(), name.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8);
      if (index < 0) zip_source_free(src);
    }
    if (index >= 0) {
      // The member carries the time of the plain file, not of its staged copy.
      const QDateTime modified = QFileInfo(folder.filePath(name)).lastModified();
      zip_file_set_mtime(za.get(), static_cast<zip_uint64_t>(index),
                         static_cast<time_t>(modified.toSecsSinceEpoch()), 0);
    }
    if (index < 0 || zip_set_file_compression(za.get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0)
      throw Exception(QStringLiteral("Cannot add \"%1\" to \"%2\". %3")
                          .arg(name, outPath, QString::fromLocal8Bit(zip_strerror(za.get()))));
  }
  if (zip_close(za.get()) != 0)
    throw Exception(QStringLiteral("Cannot write file \"%1\". %2")
                        .arg(outPath, QString::fromLocal8Bit(zip_strerror(za.get()))));
  za.release();  // closed

  // The temporary file is private to its owner; the package is an ordinary file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(tempName.constData(), 0666 & ~mask);
  if (std::rename(tempName.constData(), QFile::encodeName(outPath).constData()) != 0)
    throw Exception(QStringLiteral("Cannot write file \"%1\". %2")
                        .arg(outPath, QString::fromLocal8Bit(std::strerror(errno))));
  temp.setAutoRemove(false);

  for (const QString &name : names)
    out << "packed " << name << " (" << QFileInfo(folder.filePath(name)).size() << " bytes)\n";
  out << "wrote " << outPath << " with " << names.size() << " members\n";
}

void Extract(const QString &packagePath, const QString &folderPath, QTextStream &out, QTextStream &err) {
  const QDir folder(folderPath);
  UnpackPackage(packagePath, folder.filePath(QStringLiteral("encrypt")));
  const QStringList names = DecipherPackage(folderPath);
  for (const QString &name : names)
    out << "deciphered " << name << " (" << QFileInfo(folder.filePath(name)).size() << " bytes)\n";

  const QString rulesPath = folder.filePath(QStringLiteral("rules.json"));
  if (!QFileInfo::exists(rulesPath))
    throw Exception(QStringLiteral("File: %1 not found.").arg(rulesPath));
  TFWRules rules;
  WarningLines warnings;
  const bool loaded = LoadFWRules(rulesPath, rules);
  if (!loaded)
    throw Exception(FWRulesError.isEmpty() ? QStringLiteral("File \"%1\" is rejected.").arg(rulesPath)
                                           : FWRulesError);
  const QString base = folder.absolutePath() + QLatin1Char('/');
  if (!FWFilesExist(base, rules)) {
    for (int i = 0; i < rules.size(); ++i) {
      if (!QFileInfo(base + rules.at(i).filename).isFile())
        throw Exception(QStringLiteral("Image \"%1\" named by rule %2 of \"%3\" is missing.")
                            .arg(base + rules.at(i).filename)
                            .arg(i)
                            .arg(rulesPath));
    }
    throw Exception(QStringLiteral("Недостаточно файлов для работы."));
  }
  for (const QString &line : warnings.lines()) err << "tavelin-pack extract: warning: " << line << Qt::endl;
  out << "rules.json: " << rules.size() << " rules, every image present\n";
}

bool WantsHelp(const QStringList &args) {
  return args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"));
}

// Signing is minisign's job: the secret key and its password never pass
// through this tool. The trusted comment carries the package's date (the
// moment it was built), which the updater compares with the newest package it
// has taken from the same address: an older one replayed is refused.
void Sign(const QString &package, const QString &secretKey, QTextStream &out) {
  const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
  if (minisign.isEmpty())
    throw Exception(QStringLiteral("minisign was not found; the package \"%1\" is built but not signed "
                                   "(install minisign, or sign with: minisign -S -s %2 -m %1)")
                        .arg(package, secretKey));
  out.flush();
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedChannels);
  p.setInputChannelMode(QProcess::ForwardedInputChannel);
  const QString comment = QStringLiteral("date:%1 file:%2")
                              .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate), QFileInfo(package).fileName());
  p.start(minisign, {QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"), package,
                     QStringLiteral("-t"), comment});
  if (!p.waitForStarted(-1) || !p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit ||
      p.exitCode() != 0)
    throw Exception(QStringLiteral("minisign could not sign \"%1\"; the package is built but not signed").arg(package));
  out << "signed " << package << " into " << package << ".minisig\n";
}

const char kVerifyUsage[] =
    "Usage: tavelin-pack verify PACKAGE [--sig FILE] [--key FILE]...\n"
    "Checks PACKAGE against its minisign signature (PACKAGE.minisig unless --sig names\n"
    "another file) with the given public keys, or, with no --key, with the keys the\n"
    "updater trusts (every *.pub in its trusted-keys folders). Prints the key id and\n"
    "the trusted comment. Exit 0: valid; 1: not valid; 2: wrong arguments.\n";

int VerifyCommand(const QStringList &args, QTextStream &out, QTextStream &err) {
  if (WantsHelp(args)) {
    out << kVerifyUsage;
    return 0;
  }
  QString package, sigPath;
  QStringList keyFiles;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString &a = args.at(i);
    if (a == QStringLiteral("--sig") || a == QStringLiteral("--key")) {
      if (i + 1 >= args.size()) {
        err << "tavelin-pack verify: " << a << " needs a file (tavelin-pack verify --help)" << Qt::endl;
        return kBadArguments;
      }
      if (a == QStringLiteral("--sig"))
        sigPath = args.at(++i);
      else
        keyFiles << args.at(++i);
    } else if (package.isEmpty() && !a.startsWith(QStringLiteral("--"))) {
      package = a;
    } else {
      err << "tavelin-pack verify: unexpected \"" << a << "\" (tavelin-pack verify --help)" << Qt::endl;
      return kBadArguments;
    }
  }
  if (package.isEmpty()) {
    err << kVerifyUsage;
    return kBadArguments;
  }
  if (sigPath.isEmpty()) sigPath = package + QStringLiteral(".minisig");

  const signature::KeyRing ring =
      keyFiles.isEmpty() ? signature::LoadTrustedKeys() : signature::LoadKeys(keyFiles);
  for (const QString &e : ring.errors) err << "tavelin-pack verify: key file skipped: " << e << Qt::endl;
  if (ring.keys.isEmpty()) {
    err << "tavelin-pack verify: no usable public key";
    if (keyFiles.isEmpty()) err << " in " << signature::TrustedKeyDirs().join(QStringLiteral(", "));
    err << Qt::endl;
    return kFailed;
  }
  if (!QFileInfo(package).isFile()) {
    err << "tavelin-pack verify: cannot read \"" << package << "\"" << Qt::endl;
    return kFailed;
  }
  QByteArray text;
  QFile f(sigPath);
  if (f.open(QIODevice::ReadOnly)) text = f.read(signature::kMaxSignatureBytes + 1);
  const signature::Verdict v = signature::VerifyFile(package, text, ring.keys);
  if (!v.ok) {
    err << "tavelin-pack verify: " << package << ": " << v.reason << Qt::endl;
    return kFailed;
  }
  out << "valid signature by key " << v.keyId << '\n' << "trusted comment: " << v.trustedComment << '\n';
  return 0;
}


int Run(const QStringList &args, QTextStream &out, QTextStream &err) {
  if (args.size() < 2 || (args.size() == 2 && WantsHelp(args.mid(1)))) {
    if (args.size() < 2) {
      err << "tavelin-pack: no command given (tavelin-pack --help lists them)" << Qt::endl;
      return kBadArguments;
    }
    out << kToolUsage;
    return 0;
  }
  const QString command = args.at(1);
  const QStringList operands = args.mid(2);

  if (command == QStringLiteral("plan")) {
#ifdef TAVELIN_PACK_HAVE_PLAN
    return PlanCommand(operands, out, err);
#else
    err << "tavelin-pack: the plan command is not part of this build" << Qt::endl;
    return kBadArguments;
#endif
  }

  if (command == QStringLiteral("verify")) return VerifyCommand(operands, out, err);
  QStringList plain = operands;
  QString secretKey;
  if (command == QStringLiteral("build")) {
    const qsizetype at = plain.indexOf(QStringLiteral("--sign"));
    if (at >= 0) {
      if (at + 1 >= plain.size()) {
        err << "tavelin-pack build: --sign needs the secret key file" << Qt::endl;
        return kBadArguments;
      }
      secretKey = plain.at(at + 1);
      plain.remove(at, 2);
    }
  }

  for (const Command &c : kCommands) {
    if (command != QLatin1String(c.name)) continue;
    if (WantsHelp(operands)) {
      out << "Usage: tavelin-pack " << c.name << ' ' << c.operands << '\n' << c.help;
      return 0;
    }
    if (plain.size() != 2) {
      err << "tavelin-pack " << c.name << ": expected " << c.operands << " (tavelin-pack " << c.name
          << " --help)" << Qt::endl;
      return kBadArguments;
    }
    try {
      const QString &a = plain.at(0), &b = plain.at(1);
      if (command == QStringLiteral("encrypt")) Encrypt(a, b, out);
      else if (command == QStringLiteral("decrypt")) Decrypt(a, b, out);
      else if (command == QStringLiteral("build")) {
        Build(a, b, out);
        if (!secretKey.isEmpty()) Sign(b, secretKey, out);
      } else Extract(a, b, out, err);
    } catch (const std::exception &e) {
      out.flush();
      err << "tavelin-pack " << c.name << ": " << OneLine(ExceptionMessage(e)) << Qt::endl;
      return kFailed;
    }
    return 0;
  }
  err << "tavelin-pack: unknown command \"" << command << "\" (tavelin-pack --help lists them)" << Qt::endl;
  return kBadArguments;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  QTextStream out(stdout);
  QTextStream err(stderr);
  const int rc = Run(QCoreApplication::arguments(), out, err);
  out.flush();
  err.flush();
  return rc;
}
