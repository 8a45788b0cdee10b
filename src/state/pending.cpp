#include "state/pending.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstring>

#include "common/error.h"
#include "common/privatefile.h"
#include "state/history.h"

namespace pending {

namespace {

const char kRecord[] = "pending.json";
const char kImage[] = "image.bin";

const char *StageName(TStage s) {
  switch (s) {
    case TStage::Prepared: return "prepared";
    case TStage::Switched: return "switched";
    case TStage::SetUp: return "set-up";
  }
  return "prepared";
}

void WriteRecord(const TPending &p) {
  QJsonObject o;
  o.insert(QStringLiteral("serial"), p.serial);
  o.insert(QStringLiteral("model"), p.model);
  o.insert(QStringLiteral("device"), p.device.ToJson());
  o.insert(QStringLiteral("rule"), RuleToJson(p.rule));
  o.insert(QStringLiteral("sha256"), p.sha256);
  o.insert(QStringLiteral("stage"), QString::fromLatin1(StageName(p.stage)));
  const QString path = p.folder + QString::fromLatin1(kRecord);
  // Whole or not at all: a torn record would strand the register it is for.
  if (const int err = privatefile::Replace(path, QJsonDocument(o).toJson()); err != 0)
    throw Exception(QStringLiteral("Не удалось сохранить сведения о прошивке: %1: %2")
                        .arg(path, QString::fromLocal8Bit(std::strerror(err))));
}

std::optional<TPending> ReadRecord(const QString &folder) {
  QFile f(folder + QString::fromLatin1(kRecord));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
  if (!doc.isObject()) return std::nullopt;
  const QJsonObject o = doc.object();
  TPending p;
  p.serial = o.value(QStringLiteral("serial")).toString();
  p.model = o.value(QStringLiteral("model")).toString();
  p.device = TDeviceRef::FromJson(o.value(QStringLiteral("device")).toObject());
  p.rule = RuleFromJson(o.value(QStringLiteral("rule")).toObject());
  p.sha256 = o.value(QStringLiteral("sha256")).toString();
  const QString stage = o.value(QStringLiteral("stage")).toString();
  p.stage = stage == QLatin1String("switched") ? TStage::Switched
            : stage == QLatin1String("set-up") ? TStage::SetUp
                                                : TStage::Prepared;
  p.folder = folder;
  if (!SafeSerial(p.serial) || QDir(folder).dirName() != privatefile::FolderName(p.serial)) return std::nullopt;
  return p;
}

}  // namespace

QJsonObject TDeviceRef::ToJson() const {
  return {{QStringLiteral("number"), number},
          {QStringLiteral("name"), name},
          {QStringLiteral("port"), port},
          {QStringLiteral("connection"), connection}};
}

TDeviceRef TDeviceRef::FromJson(const QJsonObject &o) {
  TDeviceRef d{o.value(QStringLiteral("number")).toInt(), o.value(QStringLiteral("name")).toString(),
               o.value(QStringLiteral("port")).toInt(), o.value(QStringLiteral("connection")).toString()};
  // Records of earlier versions kept the connection's text as "port".
  if (o.value(QStringLiteral("port")).isString()) d.connection = o.value(QStringLiteral("port")).toString();
  return d;
}

QString TPending::image() const { return folder + QString::fromLatin1(kImage); }

QString PendingRoot() {
  const QString state = history::StateDir();
  return state.isEmpty() ? QString() : state + QStringLiteral("pending/");
}

bool SafeSerial(const QString &serial) { return !serial.isEmpty() && serial.size() <= 64; }

QString FileSha256(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  QCryptographicHash h(QCryptographicHash::Sha256);
  if (!h.addData(&f)) return QString();
  return QString::fromLatin1(h.result().toHex());
}

TPending Keep(const QString &serial, const QString &model, const TDeviceRef &device, const TFWRule &rule,
              const QString &imagePath) {
  if (!SafeSerial(serial)) throw Exception(QStringLiteral("Недопустимый заводской номер ККТ: ") + serial);
  if (history::StateDir().isEmpty() || !privatefile::MakeFolder(PendingRoot()))
    throw Exception(QStringLiteral("Не удалось создать папку для образа прошивки: ") + PendingRoot());
  TPending p;
  p.serial = serial;
  p.model = model;
  p.device = device;
  p.rule = rule;
  p.folder = PendingRoot() + privatefile::FolderName(serial) + QLatin1Char('/');
  if (!privatefile::MakeFolder(p.folder))
    throw Exception(QStringLiteral("Не удалось создать папку для образа прошивки: ") + p.folder);
  const QString kept = p.image();
  // On disk, whole, before the register's firmware is put at stake.
  QFile source(imagePath);
  if (!source.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Не удалось прочитать образ прошивки %1: %2").arg(imagePath, source.errorString()));
  if (const int err = privatefile::Replace(kept, source.readAll()); err != 0)
    throw Exception(QStringLiteral("Не удалось сохранить образ прошивки: %1: %2")
                        .arg(kept, QString::fromLocal8Bit(std::strerror(err))));
  p.sha256 = FileSha256(kept);
  if (p.sha256.isEmpty() || p.sha256 != FileSha256(imagePath))
    throw Exception(QStringLiteral("Не удалось сохранить образ прошивки: ") + kept);
  WriteRecord(p);
  return p;
}

void SetStage(TPending &p, TStage stage) {
  p.stage = stage;
  WriteRecord(p);
}

QList<TPending> All(QStringList *unreadable) {
  QList<TPending> out;
  if (PendingRoot().isEmpty()) return out;
  const QDir root(PendingRoot());
  for (const QFileInfo &fi : root.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time)) {
    if (fi.isSymLink()) continue;
    const QString record = fi.absoluteFilePath() + QLatin1Char('/') + QString::fromLatin1(kRecord);
    if (auto p = ReadRecord(fi.absoluteFilePath() + QLatin1Char('/')))
      out << *p;
    // A folder with no record yet is one another program is making now (the
    // record is written whole, last); one that is there and does not read is
    // damaged.
    else if (unreadable && QFileInfo::exists(record))
      *unreadable << record;
  }
  return out;
}

std::optional<TPending> FindForDevice(const TDeviceRef &device) {
  for (const TPending &p : All())
    if (p.device.number == device.number && p.device.name == device.name) return p;
  return std::nullopt;
}

std::optional<TPending> FindForSerial(const QString &serial) {
  if (!SafeSerial(serial)) return std::nullopt;
  return ReadRecord(PendingRoot() + privatefile::FolderName(serial) + QLatin1Char('/'));
}

void Remove(const TPending &p) {
  if (p.folder.isEmpty() || PendingRoot().isEmpty() || !p.folder.startsWith(PendingRoot())) return;
  // Never through a link: what it points to is not ours to remove.
  struct stat st {};
  QString folder = p.folder;
  while (folder.endsWith(QLatin1Char('/'))) folder.chop(1);
  if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  QDir(p.folder).removeRecursively();
}

bool ImageIntact(const TPending &p) {
  return !p.sha256.isEmpty() && FileSha256(p.image()) == p.sha256;
}

QJsonObject RuleToJson(const TFWRule &r) {
  QJsonArray cells;
  for (const TUpdateTable &c : r.updatetables)
    cells.append(QJsonObject{{QStringLiteral("table"), c.table},
                             {QStringLiteral("row"), c.row},
                             {QStringLiteral("field"), c.field},
                             {QStringLiteral("_type"), c._type},
                             {QStringLiteral("intvalue"), c.intvalue},
                             {QStringLiteral("strvalue"), c.strvalue}});
  return {{QStringLiteral("level"), r.level},         {QStringLiteral("filename"), r.filename},
          {QStringLiteral("savesetting"), r.savesetting}, {QStringLiteral("info"), r.info},
          {QStringLiteral("blver"), r.blver},         {QStringLiteral("fwver"), r.fwver},
          {QStringLiteral("fwbuild"), r.fwbuild},     {QStringLiteral("fwdate"), r.fwdate},
          {QStringLiteral("updatetables"), cells}};
}

TFWRule RuleFromJson(const QJsonObject &o) {
  TFWRule r;
  r.level = o.value(QStringLiteral("level")).toInt();
  r.filename = o.value(QStringLiteral("filename")).toString();
  r.savesetting = o.value(QStringLiteral("savesetting")).toBool();
  r.info = o.value(QStringLiteral("info")).toString();
  r.blver = o.value(QStringLiteral("blver")).toInt();
  r.fwver = o.value(QStringLiteral("fwver")).toString();
  r.fwbuild = o.value(QStringLiteral("fwbuild")).toInt();
  r.fwdate = o.value(QStringLiteral("fwdate")).toDouble();
  for (const QJsonValue &v : o.value(QStringLiteral("updatetables")).toArray()) {
    const QJsonObject c = v.toObject();
    TUpdateTable t;
    t.table = c.value(QStringLiteral("table")).toInt();
    t.row = c.value(QStringLiteral("row")).toInt();
    t.field = c.value(QStringLiteral("field")).toInt();
    t._type = c.value(QStringLiteral("_type")).toInt();
    t.intvalue = c.value(QStringLiteral("intvalue")).toInt();
    t.strvalue = c.value(QStringLiteral("strvalue")).toString();
    r.updatetables << t;
  }
  return r;
}

void RemoveUnrecorded(const QString &serial) {
  if (!SafeSerial(serial) || PendingRoot().isEmpty()) return;
  TPending p;
  p.folder = PendingRoot() + privatefile::FolderName(serial) + QLatin1Char('/');
  // The record is written before the register is switched: without one, the
  // register was never touched by that transfer.
  if (QFileInfo::exists(p.folder + QString::fromLatin1(kRecord))) return;
  Remove(p);
}

}  // namespace pending
