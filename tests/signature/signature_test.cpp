// Package signatures in minisign's formats, checked against the minisign
// tool itself: keys and signatures are made with it at test time.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/apppaths.h"
#include "package/packageverify.h"
#include "package/signature.h"
#include "support/testpaths.h"
#include "support/webserver.h"

using webtest::MinisignKey;

namespace {

using webtest::MinisignKeyId;

QByteArray Read(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys = new QTemporaryDir;
    publisher = new MinisignKey(webtest::MakeMinisignKey(keys->path(), QStringLiteral("publisher")));
    stranger = new MinisignKey(webtest::MakeMinisignKey(keys->path(), QStringLiteral("stranger")));
  }
  static void TearDownTestSuite() {
    delete publisher;
    delete stranger;
    delete keys;
  }

  QString MakeFile(const QString &name, const QByteArray &data) {
    const QString path = dir.filePath(name);
    webtest::WriteText(path, data);
    return path;
  }

  QList<signature::PublicKey> Trusted() {
    const signature::KeyRing ring = signature::LoadKeys({publisher->pub});
    EXPECT_TRUE(ring.errors.isEmpty()) << ring.errors.join(QLatin1Char('\n')).toStdString();
    return ring.keys;
  }

  static QTemporaryDir *keys;
  static MinisignKey *publisher, *stranger;
  QTemporaryDir dir;
};

QTemporaryDir *SignatureTest::keys = nullptr;
MinisignKey *SignatureTest::publisher = nullptr;
MinisignKey *SignatureTest::stranger = nullptr;


}  // namespace

TEST_F(SignatureTest, MinisignSignaturesVerifyAndEveryTamperingIsRefusedWithItsReason) {
  const QByteArray content = QByteArray("PK\x03\x04 a package ") + QByteArray(100000, 'z');
  const QString keyId = MinisignKeyId(publisher->pub);
  ASSERT_EQ(keyId.size(), 16);

  // Each case: how the file and its signature are changed after signing.
  const struct {
    const char *name;
    std::function<void(QString &file, QByteArray &sig)> tamper;
    QString reason;  // empty: valid
  } cases[] = {
      {"as signed", [](QString &, QByteArray &) {}, QString()},
      {"one byte of the file changed",
       [](QString &file, QByteArray &) {
         QByteArray d = Read(file);
         d[50000] = static_cast<char>(d[50000] ^ 1);
         webtest::WriteText(file, d);
       },
       QStringLiteral("подпись не совпадает")},
      {"one byte appended",
       [](QString &file, QByteArray &) { webtest::WriteText(file, Read(file) + "x"); },
       QStringLiteral("подпись не совпадает")},
      {"a signature for another file",
       [this](QString &, QByteArray &sig) {
         const QString other = MakeFile(QStringLiteral("other.zip"), "another file");
         webtest::MinisignSign(*publisher, other, false, QStringLiteral("other"));
         sig = Read(other + QStringLiteral(".minisig"));
       },
       QStringLiteral("подпись не совпадает")},
      {"signed by another key",
       [this](QString &file, QByteArray &sig) {
         webtest::MinisignSign(*stranger, file, false, QStringLiteral("t"), file + QStringLiteral(".s2"));
         sig = Read(file + QStringLiteral(".s2"));
       },
       QStringLiteral("неизвестный ключ ") + MinisignKeyId(stranger->pub)},
      {"trusted comment swapped",
       [](QString &, QByteArray &sig) {
         QList<QByteArray> lines = sig.split('\n');
         lines[2] = "trusted comment: timestamp:1 file:firmware-Z.9.zip";
         sig = lines.join('\n');
       },
       QStringLiteral("доверенный комментарий не совпадает с подписью")},
      {"truncated", [](QString &, QByteArray &sig) { sig.truncate(sig.size() / 2); },
       QStringLiteral("подпись повреждена")},
      {"a character of the signature line lost",
       [](QString &, QByteArray &sig) {
         const qsizetype at = sig.indexOf('\n') + 5;
         sig.remove(at, 1);
       },
       QStringLiteral("подпись повреждена")},
      {"empty", [](QString &, QByteArray &sig) { sig.clear(); }, QStringLiteral("нет подписи")},
  };
  for (const bool legacy : {false, true}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(legacy ? "legacy Ed: " : "prehashed ED: ") + c.name);
      QString file = MakeFile(QStringLiteral("arhive.zip"), content);
      webtest::MinisignSign(*publisher, file, legacy, QStringLiteral("timestamp:1765360000 file:arhive.zip"));
      QByteArray sig = Read(file + QStringLiteral(".minisig"));
      c.tamper(file, sig);
      const signature::Verdict v = signature::VerifyFile(file, sig, Trusted());
      EXPECT_EQ(v.ok, c.reason.isEmpty()) << v.reason.toStdString();
      EXPECT_EQ(v.reason, c.reason);
      if (v.ok) {
        EXPECT_EQ(v.keyId, keyId);
        EXPECT_EQ(v.trustedComment, QStringLiteral("timestamp:1765360000 file:arhive.zip"));
      }
    }
  }
}

TEST_F(SignatureTest, TheAlgorithmIsReadFromTheSignature) {
  const QString file = MakeFile(QStringLiteral("a.zip"), "data");
  for (const bool legacy : {false, true}) {
    webtest::MinisignSign(*publisher, file, legacy, QStringLiteral("c"));
    const signature::Signature s = signature::ParseSignature(Read(file + QStringLiteral(".minisig")));
    EXPECT_EQ(s.prehashed, !legacy);
  }
  // An empty file signs and verifies like any other.
  const QString empty = MakeFile(QStringLiteral("empty.zip"), "");
  webtest::MinisignSign(*publisher, empty, false, QStringLiteral("c"));
  EXPECT_TRUE(signature::VerifyFile(empty, Read(empty + QStringLiteral(".minisig")), Trusted()).ok);
}

TEST_F(SignatureTest, KeyFilesThatDoNotParseAreListedAndSkipped) {
  const QString folder = dir.filePath(QStringLiteral("keys"));
  QDir().mkpath(folder);
  QFile::copy(publisher->pub, folder + QStringLiteral("/maker.pub"));
  webtest::WriteText(folder + QStringLiteral("/broken.pub"), "untrusted comment: x\nnot base64 at all!\n");
  webtest::WriteText(folder + QStringLiteral("/short.pub"), "RWQ=\n");
  // The secret key is no public key; other names are not looked at.
  QFile::copy(publisher->sec, folder + QStringLiteral("/secret.pub"));
  webtest::WriteText(folder + QStringLiteral("/README"), "not a key");
  const signature::KeyRing ring = signature::LoadKeys({folder});
  EXPECT_EQ(ring.files, 4);
  ASSERT_EQ(ring.keys.size(), 1);
  EXPECT_EQ(ring.keys.first().idText(), MinisignKeyId(publisher->pub));
  EXPECT_EQ(ring.errors.size(), 3) << ring.errors.join(QLatin1Char('\n')).toStdString();
  // The bare base64 line is a key as well (minisign -P takes it so).
  const QByteArray line = Read(publisher->pub).split('\n').at(1);
  EXPECT_EQ(signature::ParsePublicKey(line).id, ring.keys.first().id);
}

TEST_F(SignatureTest, TrustedKeysComeFromTheProgramsFoldersAndTheSystemConfigurationOnly) {
  const QString app = dir.filePath(QStringLiteral("prefix/bin"));
  const QString sys1 = dir.filePath(QStringLiteral("xdg1")), sys2 = dir.filePath(QStringLiteral("xdg2"));
  const QString user = dir.filePath(QStringLiteral("user"));
  apppaths::SetAppDirForTests(app);
  qputenv("XDG_CONFIG_DIRS", QFile::encodeName(sys1 + QLatin1Char(':') + sys2 + QStringLiteral(":relative")));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(user));
  const QString tail = QStringLiteral("/Korvalis/Tavelin/trusted-keys/");
  const QStringList dirs = signature::TrustedKeyDirs();
  // The system folder is the one the build fixed, whatever the environment says.
  EXPECT_EQ(dirs, (QStringList{app + QStringLiteral("/share/tavelin/trusted-keys/"),
                               dir.filePath(QStringLiteral("prefix/share/tavelin/trusted-keys/")),
                               QStringLiteral("/etc/xdg") + tail}));
  // A key in the user's own folder, or in a folder of XDG_CONFIG_DIRS (which
  // any user sets), counts for nothing.
  for (const QString &d : {user, sys2}) {
    QDir().mkpath(d + tail);
    QFile::copy(publisher->pub, d + tail + QStringLiteral("mine.pub"));
  }
  EXPECT_TRUE(signature::LoadTrustedKeys().keys.isEmpty());
  // Beside the program: trusted.
  const QString beside = dir.filePath(QStringLiteral("prefix/share/tavelin/trusted-keys/"));
  QDir().mkpath(beside);
  QFile::copy(publisher->pub, beside + QStringLiteral("maker.pub"));
  EXPECT_EQ(signature::LoadTrustedKeys().keys.size(), 1);
  apppaths::SetAppDirForTests(QString());
}

// tavelin-pack verify and build --sign, against minisign both ways.
TEST_F(SignatureTest, PackToolVerifiesAndSigns) {
  const QString pack = testpaths::Bin(QStringLiteral("tavelin-pack"));
  const QString stage = dir.filePath(QStringLiteral("stage"));
  webtest::WriteText(stage + QStringLiteral("/rules.json"), R"({"RULES":[]})");
  const QString zip = dir.filePath(QStringLiteral("pkg.zip"));
  QString out;
  ASSERT_EQ(webtest::Run(pack, {QStringLiteral("build"), stage, zip, QStringLiteral("--sign"), publisher->sec}, &out), 0)
      << out.toStdString();
  ASSERT_TRUE(QFile::exists(zip + QStringLiteral(".minisig"))) << out.toStdString();
  // What the tool signed, minisign accepts.
  EXPECT_EQ(webtest::Run(webtest::Tool(QStringLiteral("minisign")),
                         {QStringLiteral("-V"), QStringLiteral("-p"), publisher->pub, QStringLiteral("-m"), zip}, &out),
            0)
      << out.toStdString();

  const struct {
    const char *name;
    QStringList args;
    int exit;
    QString output;  // a part of what it prints
  } cases[] = {
      {"valid", {zip, QStringLiteral("--key"), publisher->pub}, 0, MinisignKeyId(publisher->pub)},
      {"two keys, one fits",
       {zip, QStringLiteral("--key"), stranger->pub, QStringLiteral("--key"), publisher->pub}, 0,
       QStringLiteral("trusted comment: ")},
      {"another key", {zip, QStringLiteral("--key"), stranger->pub}, 1, QStringLiteral("неизвестный ключ")},
      {"no signature file",
       {zip, QStringLiteral("--sig"), dir.filePath(QStringLiteral("nosuch.minisig")), QStringLiteral("--key"),
        publisher->pub},
       1, QStringLiteral("нет подписи")},
      {"a key file that is none", {zip, QStringLiteral("--key"), zip}, 1, QStringLiteral("pkg.zip")},
      {"no package", {}, 2, QStringLiteral("Usage")},
      {"--key without a file", {zip, QStringLiteral("--key")}, 2, QString()},
      {"two packages", {zip, zip}, 2, QString()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(webtest::Run(pack, QStringList{QStringLiteral("verify")} + c.args, &out), c.exit) << out.toStdString();
    EXPECT_TRUE(out.contains(c.output)) << out.toStdString();
  }

  // The trusted comment dates the package: the moment it was built.
  ASSERT_EQ(webtest::Run(pack, {QStringLiteral("verify"), zip, QStringLiteral("--key"), publisher->pub}, &out), 0);
  const qsizetype at = out.indexOf(QStringLiteral("trusted comment: "));
  ASSERT_GE(at, 0) << out.toStdString();
  const QString comment = out.mid(at + 17).section(QLatin1Char('\n'), 0, 0);
  EXPECT_TRUE(comment.endsWith(QStringLiteral(" file:pkg.zip"))) << comment.toStdString();
  const QDateTime date = packagecheck::CommentDate(comment);
  ASSERT_TRUE(date.isValid()) << comment.toStdString();
  EXPECT_LE(qAbs(date.secsTo(QDateTime::currentDateTimeUtc())), 600);

  // Tampered after signing: invalid.
  QByteArray d = Read(zip);
  d[d.size() / 2] = static_cast<char>(d[d.size() / 2] ^ 0x40);
  webtest::WriteText(zip, d);
  EXPECT_EQ(webtest::Run(pack, {QStringLiteral("verify"), zip, QStringLiteral("--key"), publisher->pub}, &out), 1);
  EXPECT_TRUE(out.contains(QStringLiteral("подпись не совпадает"))) << out.toStdString();
}
