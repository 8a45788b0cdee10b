// The package cipher against vectors made outside this code: CBC and CFB-8 by
// the openssl command line, stealing by hand from single AES-256 blocks
// (openssl enc -aes-256-ecb), the key by `openssl sha1`.
#include <gtest/gtest.h>

#include <QFile>

#include <random>

#include "common/error.h"
#include "fixture.h"
#include "package/cipher.h"

using pkgtest::Pattern;
using pkgtest::ReadAll;
using pkgtest::WriteAll;

namespace {

class CipherTest : public pkgtest::TempFolder {
 protected:
  TCodec codec_;
  void SetUp() override { codec_.setPassword(kPackagePassword); }
};

TEST(CipherKey, DerivedFromPassword) {
  struct Case {
    const char16_t *password;
    const char *keyHex;
  } cases[] = {
      // SHA-1 of the ASCII bytes, then its first 12 bytes again.
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF",
       "6421eeafe37da35b1fa3d2ff267158850a7a14f36421eeafe37da35b1fa3d2ff"},
      // Hashed in windows-1251, not UTF-8.
      {u"Пароль", "61dcc579bf37324826fd5151361ad9487108fd2761dcc579bf37324826fd5151"},
      {u"", "da39a3ee5e6b4b0d3255bfef95601890afd80709da39a3ee5e6b4b0d3255bfef"},
      // Exactly 16 characters: the UTF-16LE bytes are the key.
      {u"Abcdefgh12345678",
       "4100620063006400650066006700680031003200330034003500360037003800"},
  };
  for (const Case &c : cases) {
    TCodec codec;
    EXPECT_FALSE(codec.hasKey());
    codec.setPassword(QString::fromUtf16(c.password));
    EXPECT_EQ(codec.key().toHex(), QByteArray(c.keyHex)) << QString::fromUtf16(c.password).toStdString();
  }
}

TEST(CipherKey, NewPasswordReplacesKey) {
  TCodec codec;
  codec.setPassword(QStringLiteral("Abcdefgh12345678"));
  codec.setPassword(kPackagePassword);
  EXPECT_EQ(codec.key().toHex().left(8), QByteArray("6421eeaf"));
}

TEST_F(CipherTest, KnownAnswers) {
  // Plain bytes are Pattern(n): (i*7+3) & 0xFF. Nonce 00..07.
  struct Case {
    const char16_t *password;
    int plainLength;
    const char *bodyHex;
  } cases[] = {
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 0, ""},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 1, "e1"},  // CFB-8
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 5, "e105c79376"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 15, "e105c79376d2b771de5a7326ad8b6b"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 16, "6bbeeb5947244e0f977a466db11c1d62"},  // CBC
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 32,
       "6bbeeb5947244e0f977a466db11c1d62d65e6340ce80e4b665debb9abec31fd7"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 48,
       "6bbeeb5947244e0f977a466db11c1d62d65e6340ce80e4b665debb9abec31fd7"
       "e43a50dee116bb92908b838c5eb07bee"},
      // Stealing: Y = E((Q | Z[m..15]) ^ Cprev), then Z[0..m-1].
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 17, "86e5b38bf73af6d4765f03d9a51a0b5c6b"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 31,
       "320a1edb5ccbacf6a7f8b5fc964a66376bbeeb5947244e0f977a466db11c1d"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 33,
       "6bbeeb5947244e0f977a466db11c1d62e703ef23c7bb67b8649771248f4a7c3ed6"},
      {u"Tq7mWcP3xNv8KbLr2ZhYd5GsF", 47,
       "6bbeeb5947244e0f977a466db11c1d62f5891a4e0ef0f66a9aa940b9acd54bdf"
       "d65e6340ce80e4b665debb9abec31f"},
      {u"Abcdefgh12345678", 32,
       "0bc2570da0e2615df5e8e8b8c2f32e2462d6a92579afc553a49a3dc853f39fde"},
  };
  const QByteArray nonce = QByteArray::fromHex("0001020304050607");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.plainLength);
    TCodec codec;
    codec.setPassword(QString::fromUtf16(c.password));
    const QByteArray plain = Pattern(c.plainLength);
    const QByteArray member = nonce + QByteArray::fromHex(c.bodyHex);

    WriteAll(path(QStringLiteral("member")), member);
    codec.DecryptFile(path(QStringLiteral("plain")), path(QStringLiteral("member")));
    EXPECT_EQ(ReadAll(path(QStringLiteral("plain"))).toHex(), plain.toHex());

    WriteAll(path(QStringLiteral("source")), plain);
    codec.EncryptFile(path(QStringLiteral("enc")), path(QStringLiteral("source")), nonce);
    EXPECT_EQ(ReadAll(path(QStringLiteral("enc"))).toHex(), member.toHex());
  }
}

TEST_F(CipherTest, RoundTripsEveryShortLengthAndReadChunk) {
  // Chunk sizes that split the nonce, blocks and the held block differently.
  for (int chunk : {1, 7, 16, 1024, 64 * 1024}) {
    codec_.setReadChunk(chunk);
    for (int n = 0; n <= 40; ++n) {
      SCOPED_TRACE(testing::Message() << "chunk " << chunk << " length " << n);
      const QByteArray plain = Pattern(n, chunk);
      WriteAll(path(QStringLiteral("p")), plain);
      codec_.EncryptFile(path(QStringLiteral("c")), path(QStringLiteral("p")));
      const QByteArray member = ReadAll(path(QStringLiteral("c")));
      ASSERT_EQ(member.size(), n + TCodec::kNonceSize);
      codec_.setPassword(kPackagePassword);
      codec_.DecryptFile(path(QStringLiteral("d")), path(QStringLiteral("c")));
      ASSERT_EQ(ReadAll(path(QStringLiteral("d"))), plain);
    }
  }
}

TEST_F(CipherTest, RoundTripsLargeMember) {
  std::mt19937 rng(12345);
  QByteArray plain(3 * 1024 * 1024 + 1000 * 16 + 5, Qt::Uninitialized);
  for (char &b : plain) b = static_cast<char>(rng());
  WriteAll(path(QStringLiteral("p")), plain);
  codec_.EncryptFile(path(QStringLiteral("c")), path(QStringLiteral("p")));
  EXPECT_EQ(QFileInfo(path(QStringLiteral("c"))).size(), plain.size() + TCodec::kNonceSize);
  for (int chunk : {1024, 64 * 1024, 1000 * 1000}) {
    codec_.setReadChunk(chunk);
    codec_.DecryptFile(path(QStringLiteral("d")), path(QStringLiteral("c")));
    ASSERT_TRUE(ReadAll(path(QStringLiteral("d"))) == plain) << "chunk " << chunk;
  }
}

TEST_F(CipherTest, NoncesDifferBetweenEncipherings) {
  WriteAll(path(QStringLiteral("p")), Pattern(20));
  codec_.EncryptFile(path(QStringLiteral("c1")), path(QStringLiteral("p")));
  codec_.EncryptFile(path(QStringLiteral("c2")), path(QStringLiteral("p")));
  EXPECT_NE(ReadAll(path(QStringLiteral("c1"))), ReadAll(path(QStringLiteral("c2"))));
}

TEST_F(CipherTest, ExistingLongerTargetIsTruncated) {
  WriteAll(path(QStringLiteral("p")), Pattern(17));
  codec_.EncryptFile(path(QStringLiteral("c")), path(QStringLiteral("p")));
  WriteAll(path(QStringLiteral("d")), QByteArray(5000, 'x'));
  codec_.DecryptFile(path(QStringLiteral("d")), path(QStringLiteral("c")));
  EXPECT_EQ(ReadAll(path(QStringLiteral("d"))), Pattern(17));
}

TEST_F(CipherTest, SourceNotLongerThanNonceGivesEmptyTarget) {
  for (int n : {0, 1, 5, 8}) {
    SCOPED_TRACE(n);
    WriteAll(path(QStringLiteral("c")), Pattern(n));
    WriteAll(path(QStringLiteral("d")), QByteArray("old content"));
    codec_.DecryptFile(path(QStringLiteral("d")), path(QStringLiteral("c")));
    EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("d"))));
    EXPECT_EQ(ReadAll(path(QStringLiteral("d"))), QByteArray());
  }
}

TEST_F(CipherTest, MissingSourceLeavesTargetCreatedAndEmpty) {
  WriteAll(path(QStringLiteral("d")), QByteArray("old content"));
  try {
    codec_.DecryptFile(path(QStringLiteral("d")), path(QStringLiteral("absent.bin")));
    FAIL() << "no error";
  } catch (const Exception &e) {
    EXPECT_TRUE(e.message().contains(path(QStringLiteral("absent.bin")))) << e.message().toStdString();
    EXPECT_TRUE(e.message().contains(QStringLiteral("No such file"))) << e.message().toStdString();
  }
  EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("d"))));
  EXPECT_EQ(ReadAll(path(QStringLiteral("d"))), QByteArray());
}

TEST_F(CipherTest, UnwritableTargetNamesTarget) {
  WriteAll(path(QStringLiteral("c")), Pattern(40));
  const QString target = path(QStringLiteral("no/such/folder/d"));
  for (bool encrypt : {false, true}) {
    try {
      if (encrypt)
        codec_.EncryptFile(target, path(QStringLiteral("c")));
      else
        codec_.DecryptFile(target, path(QStringLiteral("c")));
      FAIL() << "no error";
    } catch (const Exception &e) {
      EXPECT_TRUE(e.message().startsWith(QStringLiteral("Cannot create file \"") + target))
          << e.message().toStdString();
    }
  }
  EXPECT_EQ(ReadAll(path(QStringLiteral("c"))), Pattern(40));
}

TEST_F(CipherTest, SameFileAsSourceAndTargetIsRefusedIntact) {
  WriteAll(path(QStringLiteral("c")), Pattern(40));
  EXPECT_THROW(codec_.DecryptFile(path(QStringLiteral("c")), path(QStringLiteral("./c"))), Exception);
  EXPECT_THROW(codec_.EncryptFile(path(QStringLiteral("c")), path(QStringLiteral("c"))), Exception);
  EXPECT_EQ(ReadAll(path(QStringLiteral("c"))), Pattern(40));
}

TEST(CipherNoKey, RefusesToWork) {
  QTemporaryDir dir;
  TCodec codec;
  EXPECT_THROW(codec.DecryptFile(dir.filePath(QStringLiteral("d")), dir.filePath(QStringLiteral("c"))),
               Exception);
  EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("d"))));
}

}  // namespace
