#include "device/XmlDriverParams.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <memory>
#include <iterator>
#include <optional>

#include "common/error.h"
#include "common/registry.h"

int CurrentLDIndex = 0;

namespace {

const char kParamsFile[] = "Ostrel.xml";

QString DriverFolderUnder(const QString &base) {
  const QString dir = base + QStringLiteral("/Korvalis/Ostrel");
  QDir().mkpath(dir);  // a folder we may not make is read as missing, not an error
  return dir;
}

std::optional<int> &StoredStorageType() {
  static std::optional<int> value;
  return value;
}

struct XmlDocFree {
  void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};

bool NameIs(const xmlNode *n, const char *name) {
  return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, reinterpret_cast<const xmlChar *>(name));
}

// The element's own text; entity references are not expanded.
QString TextOf(const xmlNode *element) {
  QString text;
  for (const xmlNode *c = element->children; c; c = c->next)
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
      text += QString::fromUtf8(reinterpret_cast<const char *>(c->content));
  return text;
}

}  // namespace

QString CommonDriverFolder() { return DriverFolderUnder(CommonAppDataFolder()); }

QString UserDriverFolder() { return DriverFolderUnder(UserAppDataFolder()); }

QString DriverParamsFileName() {
  const QString common = CommonDriverFolder() + QLatin1Char('/') + QLatin1String(kParamsFile);
  if (QFileInfo::exists(common)) return common;
  return UserDriverFolder() + QLatin1Char('/') + QLatin1String(kParamsFile);
}

QString TXmlDriverParams::ParamsFileName() const { return DriverParamsFileName(); }

void TXmlDriverParams::SetDefaults() { FStorageType = 1; }

void TXmlDriverParams::Load() {
  SetDefaults();
  const QString name = ParamsFileName();
  if (!QFileInfo::exists(name)) throw Exception(name + QStringLiteral(" not found"));
  // A parameters file holds a few lines: anything that is not a plain file
  // or is far larger is not read (and counts as unreadable).
  const QFileInfo info(name);
  if (!info.isFile()) throw Exception(QStringLiteral("Файл %1 не является обычным файлом").arg(name));
  if (info.size() > kMaxParamsFileBytes)
    throw Exception(QStringLiteral("Файл %1 слишком велик: %2 байт").arg(name).arg(info.size()));
  QFile f(name);
  if (!f.open(QIODevice::ReadOnly)) throw Exception(QStringLiteral("Не удалось открыть %1: %2").arg(name, f.errorString()));
  const QByteArray data = f.read(kMaxParamsFileBytes + 1);
  if (data.size() > kMaxParamsFileBytes)
    throw Exception(QStringLiteral("Файл %1 слишком велик").arg(name));
  // The declaration names the encoding; nothing is fetched from the network
  // and no external entity or DTD is loaded.
  std::unique_ptr<xmlDoc, XmlDocFree> doc(
      xmlReadMemory(data.constData(), static_cast<int>(data.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) throw Exception(QStringLiteral("Файл %1 не является документом XML").arg(name));
  const xmlNode *root = xmlDocGetRootElement(doc.get());
  if (!root || !NameIs(root, "Root")) throw Exception(QStringLiteral("Node Root not found"));
  for (const xmlNode *c = root->children; c; c = c->next) {
    if (!NameIs(c, "StorageType")) continue;
    bool ok = false;
    const int v = TextOf(c).trimmed().toInt(&ok, 10);
    FStorageType = ok ? v : 1;
    return;
  }
  throw Exception(QStringLiteral("Node StorageType not found"));
}

int LoadStorageType() {
  TXmlDriverParams params;
  try {
    params.Load();
    return params.StorageType();
  } catch (const std::exception &) {
    return 1;
  }
}

int GetStorageType() {
  auto &stored = StoredStorageType();
  if (!stored) stored = LoadStorageType();
  return *stored;
}

void ResetStorageTypeForTests() { StoredStorageType().reset(); }

QString LDKeyName(int index) {
  return QStringLiteral("Software\\Korvalis\\Ostrel\\Logical Devices\\") + QString::number(index);
}

namespace {

const char kDevicesKey[] = "Software\\Korvalis\\Ostrel\\Logical Devices";

// The store opened once for a whole listing (TLDListing), with the devices
// it holds; null outside a listing.
struct Listing {
  std::unique_ptr<TRegistry> reg;
  QSet<QString> devices;
};
Listing *g_listing = nullptr;

// Read access only: a user who may not write the machine-wide store still
// sees its devices.
template <class T, class Fn>
T ReadLDValue(const QString &valueName, T missing, Fn read) {
  if (g_listing) {
    const QString device = QString::number(CurrentLDIndex);
    const QString name = device + QLatin1Char('/') + valueName;
    if (!g_listing->reg || !g_listing->devices.contains(device) || !g_listing->reg->ValueExists(name)) return missing;
    return read(*g_listing->reg, name);
  }
  TRegistry reg(GetStorageType() == 0 ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser);
  if (!reg.OpenKeyReadOnly(LDKeyName(CurrentLDIndex)) || !reg.ValueExists(valueName)) return missing;
  return read(reg, valueName);
}

}  // namespace

TLDListing::TLDListing() : FPrevious(g_listing) {
  auto *l = new Listing;
  l->reg = std::make_unique<TRegistry>(GetStorageType() == 0 ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser);
  if (l->reg->OpenKeyReadOnly(QLatin1String(kDevicesKey))) {
    const QStringList names = l->reg->GetKeyNames();
    l->devices = QSet<QString>(names.cbegin(), names.cend());
  } else {
    l->reg.reset();
  }
  FListing = l;
  g_listing = l;
}

TLDListing::~TLDListing() {
  g_listing = static_cast<Listing *>(FPrevious);
  delete static_cast<Listing *>(FListing);
}

QString ReadLDString(const QString &ValueName) {
  return ReadLDValue<QString>(ValueName, QString(),
                              [](TRegistry &r, const QString &name) { return r.ReadString(name); });
}

int ReadLDInteger(const QString &ValueName) {
  try {
    return ReadLDValue<int>(ValueName, -1, [](TRegistry &r, const QString &name) { return r.ReadInteger(name); });
  } catch (const RegistryError &) {
    // Which device: one bad value keeps the whole list from being shown.
    throw RegistryError(QStringLiteral("Логическое устройство %1 «%2»: Неверный тип данных параметра \"%3\"")
                            .arg(CurrentLDIndex + 1)
                            .arg(ReadLDName(), ValueName));
  }
}

QString ReadLDName() { return ReadLDString(QStringLiteral("Name")); }

int ReadLDConnectionType() { return ReadLDInteger(QStringLiteral("ConnectionType")); }

QString BaudRateText(int Index) {
  static const char *const texts[] = {"2400", "4800", "9600", "19200", "38400", "57600", "115200"};
  if (Index < 0 || Index >= static_cast<int>(std::size(texts))) return QStringLiteral("ошибка");
  return QString::fromLatin1(texts[Index]) + QStringLiteral(" бит/с");
}

QString LDComSettingsText() {
  return QStringLiteral("COM:") + QString::number(ReadLDInteger(QStringLiteral("ComNumber"))) + QLatin1Char(' ') +
         BaudRateText(ReadLDInteger(QStringLiteral("Baudrate")));
}

QString LDTcpSettingsText() {
  const QString host = ReadLDInteger(QStringLiteral("UseIPAddress")) == 1 ? ReadLDString(QStringLiteral("IPAddress"))
                                                                         : ReadLDString(QStringLiteral("ComputerName"));
  return host + QLatin1Char(':') + QString::number(ReadLDInteger(QStringLiteral("TCPPort")));
}
