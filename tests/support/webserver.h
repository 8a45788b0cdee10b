#pragma once
// A real web server for the transport tests: nginx on 127.0.0.1, started by
// the test with a private configuration and prefix in a temporary folder (no
// system service), one plain HTTP port and three TLS ports whose
// certificates come from a CA made at test time:
//   https      127.0.0.1 and localhost, signed by the CA
//   wrongHost  a certificate for "other.example" only
//   expired    127.0.0.1, valid for January 2020 only
// Files are served from www(); extra "location" blocks may be given for the
// plain and the TLS servers. Also: minisign key pairs made at test time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>

#include "support/loopback_socket.h"

namespace webtest {

// Runs a program to its end; its merged output in *out. -1 when it did not run.
inline int Run(const QString &program, const QStringList &args, QString *out = nullptr,
               const QString &dir = QString(), const QByteArray &input = QByteArray()) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  if (!dir.isEmpty()) p.setWorkingDirectory(dir);
  p.start(program, args);
  if (!p.waitForStarted(10000)) return -1;
  if (!input.isEmpty()) p.write(input);
  p.closeWriteChannel();
  p.waitForFinished(60000);
  const QString text = QString::fromUtf8(p.readAll());
  if (out) *out = text;
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline QString Tool(const QString &name) {
  QString path = QStandardPaths::findExecutable(name);
  if (path.isEmpty()) path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
  return path;
}

// A port nothing listens on right now (the kernel's choice).
inline int FreePort() {
  int port = 0;
  const int fd = loopback::Listen(port, 0);
  if (fd >= 0) ::close(fd);
  return port;
}

inline bool Accepts(int port) {
  const int fd = loopback::Connect(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

inline void WriteText(const QString &path, const QByteArray &text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  f.write(text);
}

class Nginx {
 public:
  // Call start() (an ASSERT inside) from the test or its SetUp.
  // In the location blocks "{HTTP}" and "{HTTPS}" stand for the ports.
  void start(QString httpLocations = QString(), QString httpsLocations = QString()) {
    ASSERT_TRUE(dir_.isValid());
    const QString nginx = Tool(QStringLiteral("nginx"));
    ASSERT_FALSE(nginx.isEmpty()) << "nginx is installed by scripts/deps.sh";
    MakeCertificates();
    const QString p = dir_.path();
    for (const char *d : {"www", "logs", "tmp"}) QDir(p).mkpath(QLatin1String(d));
    http = FreePort();
    https = FreePort();
    wrongHost = FreePort();
    expired = FreePort();
    for (QString *t : {&httpLocations, &httpsLocations}) {
      t->replace(QStringLiteral("{HTTPS}"), QString::number(https));
      t->replace(QStringLiteral("{HTTP}"), QString::number(http));
    }
    const auto tlsServer = [&](int port, const QString &cert, const QString &extra) {
      return QStringLiteral(
                 "  server { listen 127.0.0.1:%1 ssl; root %2/www;\n"
                 "    ssl_certificate %2/%3.crt; ssl_certificate_key %2/%3.key;\n%4  }\n")
          .arg(port)
          .arg(p, cert, extra);
    };
    QString conf = QStringLiteral(
                       "master_process off;\ndaemon off;\nworker_processes 1;\npid %1/nginx.pid;\n"
                       "error_log %1/logs/error.log;\nevents { worker_connections 64; }\nhttp {\n"
                       "  access_log %1/logs/access.log;\n"
                       "  client_body_temp_path %1/tmp/body; proxy_temp_path %1/tmp/proxy;\n"
                       "  fastcgi_temp_path %1/tmp/fcgi; uwsgi_temp_path %1/tmp/uwsgi; scgi_temp_path %1/tmp/scgi;\n"
                       "  default_type application/octet-stream;\n"
                       "  server { listen 127.0.0.1:%2; root %1/www;\n%3  }\n")
                       .arg(p)
                       .arg(http)
                       .arg(httpLocations);
    conf += tlsServer(https, QStringLiteral("good"), httpsLocations);
    conf += tlsServer(wrongHost, QStringLiteral("other"), QString());
    conf += tlsServer(expired, QStringLiteral("expired"), QString());
    conf += QStringLiteral("}\n");
    WriteText(p + QStringLiteral("/nginx.conf"), conf.toUtf8());
    proc_.setProcessChannelMode(QProcess::MergedChannels);
    proc_.start(nginx, {QStringLiteral("-p"), p, QStringLiteral("-c"), p + QStringLiteral("/nginx.conf"),
                        QStringLiteral("-e"), p + QStringLiteral("/logs/error.log")});
    ASSERT_TRUE(proc_.waitForStarted(10000));
    for (int i = 0; i < 200 && !(Accepts(http) && Accepts(expired)); ++i) {
      ASSERT_EQ(proc_.state(), QProcess::Running)
          << proc_.readAll().toStdString() << ReadLog("error.log").toStdString();
      QThread::msleep(25);
    }
    ASSERT_TRUE(Accepts(http) && Accepts(https) && Accepts(wrongHost) && Accepts(expired))
        << ReadLog("error.log").toStdString();
  }

  ~Nginx() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.terminate();
      if (!proc_.waitForFinished(5000)) proc_.kill();
      proc_.waitForFinished(5000);
    }
  }

  QString www() const { return dir_.path() + QStringLiteral("/www"); }
  QString caFile() const { return dir_.path() + QStringLiteral("/ca.crt"); }
  QString url(int port, const QString &path) const {
    const QString scheme = port == http ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path);
  }
  QByteArray ReadLog(const char *name) const {
    QFile f(dir_.path() + QStringLiteral("/logs/") + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  int http = 0, https = 0, wrongHost = 0, expired = 0;

 private:
  void MakeCertificates() {
    const QString openssl = Tool(QStringLiteral("openssl"));
    ASSERT_FALSE(openssl.isEmpty());
    const QString p = dir_.path();
    const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes")};
    QString out;
    ASSERT_EQ(Run(openssl,
                  QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                      QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                                  QStringLiteral("ca.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                                  QStringLiteral("-subj"), QStringLiteral("/CN=Tavelin test CA")},
                  &out, p),
              0)
        << out.toStdString();
    WriteText(p + QStringLiteral("/ca.cnf"),
              "[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\ndefault_md=sha256\n"
              "policy=p\ncopy_extensions=none\nunique_subject=no\n[p]\ncommonName=supplied\n"
              "[good]\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n[other]\nsubjectAltName=DNS:other.example\n");
    WriteText(p + QStringLiteral("/index.txt"), "");
    WriteText(p + QStringLiteral("/serial"), "01\n");
    const struct {
      const char *name, *ext, *start, *end;
    } certs[] = {{"good", "good", nullptr, nullptr},
                 {"other", "other", nullptr, nullptr},
                 {"expired", "good", "20200101000000Z", "20200201000000Z"}};
    for (const auto &c : certs) {
      const QString n = QLatin1String(c.name);
      ASSERT_EQ(Run(openssl,
                    QStringList{QStringLiteral("req")} + ec +
                        QStringList{QStringLiteral("-keyout"), n + QStringLiteral(".key"), QStringLiteral("-out"),
                                    n + QStringLiteral(".csr"), QStringLiteral("-subj"), QStringLiteral("/CN=") + n},
                    &out, p),
                0)
          << out.toStdString();
      QStringList args{QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"),
                       QStringLiteral("ca.cnf"), QStringLiteral("-cert"), QStringLiteral("ca.crt"),
                       QStringLiteral("-keyfile"), QStringLiteral("ca.key"), QStringLiteral("-in"),
                       n + QStringLiteral(".csr"), QStringLiteral("-out"), n + QStringLiteral(".crt"),
                       QStringLiteral("-extensions"), QLatin1String(c.ext)};
      if (c.start)
        args << QStringLiteral("-startdate") << QLatin1String(c.start) << QStringLiteral("-enddate")
             << QLatin1String(c.end);
      else
        args << QStringLiteral("-days") << QStringLiteral("2");
      ASSERT_EQ(Run(openssl, args, &out, p), 0) << out.toStdString();
    }
  }

  QTemporaryDir dir_;
  QProcess proc_;
};

// A minisign key pair made with `minisign -G -W` (no password) in folder;
// returns false when minisign failed.
struct MinisignKey {
  QString pub, sec;
};
// A public key's id as 16 upper-case hex digits, from the key itself: the
// comment line minisign writes drops the leading zeros (one key in sixteen).
inline QString MinisignKeyId(const QString &pub) {
  QFile f(pub);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  const QList<QByteArray> lines = f.readAll().split('\n');
  const QByteArray key = QByteArray::fromBase64(lines.value(1).trimmed());
  if (key.size() < 10) return QString();
  QByteArray id = key.mid(2, 8);
  std::reverse(id.begin(), id.end());  // stored little-endian
  return QString::fromLatin1(id.toHex().toUpper());
}

inline MinisignKey MakeMinisignKey(const QString &folder, const QString &name) {
  MinisignKey k{folder + QLatin1Char('/') + name + QStringLiteral(".pub"),
                folder + QLatin1Char('/') + name + QStringLiteral(".key")};
  QDir().mkpath(folder);
  QString out;
  const int rc = Run(Tool(QStringLiteral("minisign")),
                     {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-f"), QStringLiteral("-p"), k.pub,
                      QStringLiteral("-s"), k.sec},
                     &out);
  EXPECT_EQ(rc, 0) << out.toStdString();
  return k;
}

// minisign -S on file (legacy: -l), with a trusted comment; the signature
// goes to file + ".minisig" unless sig is given.
inline void MinisignSign(const MinisignKey &k, const QString &file, bool legacy, const QString &comment,
                         const QString &sig = QString()) {
  QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), k.sec, QStringLiteral("-m"), file,
                   QStringLiteral("-t"), comment};
  if (legacy) args << QStringLiteral("-l");
  if (!sig.isEmpty()) args << QStringLiteral("-x") << sig;
  QString out;
  EXPECT_EQ(Run(Tool(QStringLiteral("minisign")), args, &out), 0) << out.toStdString();
}

// Sets an environment variable for the scope of one case.
class EnvVar {
 public:
  EnvVar(const char *name, const QByteArray &value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
    old_ = qgetenv(name);
    if (value.isNull())
      qunsetenv(name);
    else
      qputenv(name, value);
  }
  ~EnvVar() {
    if (had_)
      qputenv(name_, old_);
    else
      qunsetenv(name_);
  }

 private:
  const char *name_;
  bool had_;
  QByteArray old_;
};

}  // namespace webtest
