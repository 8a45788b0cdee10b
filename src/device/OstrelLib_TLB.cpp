#include "device/OstrelLib_TLB.h"

#include <QCoreApplication>
#include <QHash>
#include <QLibrary>
#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/applog.h"
#include "common/apppaths.h"
#include "device/ostrel_abi.h"

// One loaded component file. The library stays loaded for the rest of the
// process: instances made from it may outlive any one TOstrel.
struct TOstrel::Component {
  QLibrary library;
  const OstrelApi *api = nullptr;
};

namespace {

QString Utf8(const char *s) { return QString::fromUtf8(s); }

}  // namespace

// Loaded components by path; entries are only added.
std::shared_ptr<TOstrel::Component> TOstrel::LoadComponent(const QString &path) {
  static QMutex mutex;
  static QHash<QString, std::shared_ptr<Component>> loaded;
  QMutexLocker lock(&mutex);
  if (auto it = loaded.find(path); it != loaded.end()) return it.value();

  auto c = std::make_shared<Component>();
  c->library.setFileName(path);
  if (!c->library.load()) throw OstrelError(c->library.errorString());
  auto entry = reinterpret_cast<OstrelEntryFn>(c->library.resolve(OSTREL_ENTRY_NAME));
  if (!entry) throw OstrelError(c->library.errorString());
  const OstrelApi *api = entry();
  if (!api) throw OstrelError(QStringLiteral("Компонент %1 не вернул интерфейс").arg(path));
  if (api->abi_version != OSTREL_ABI_VERSION)
    throw OstrelError(QStringLiteral("Компонент %1: версия интерфейса %2, требуется %3")
                          .arg(path)
                          .arg(api->abi_version)
                          .arg(OSTREL_ABI_VERSION));
  if (!api->create || !api->destroy || !api->invoke || !api->get_int || !api->set_int ||
      !api->get_double || !api->set_double || !api->get_str || !api->set_str)
    throw OstrelError(QStringLiteral("Компонент %1: интерфейс неполон").arg(path));
  c->api = api;
  loaded.insert(path, c);
  return c;
}

QString TOstrel::ComponentPath() {
  const QByteArray env = qgetenv("OSTREL_DRIVER");
  if (!env.isEmpty()) return QString::fromLocal8Bit(env);
  return apppaths::ProgramFile(QStringLiteral("libostrel-sim.so"));
}

TOstrel::TOstrel(void * /*AOwner*/) {
  component_ = LoadComponent(ComponentPath());
  char err[1024] = {};
  self_ = component_->api->create(err, static_cast<int>(sizeof err));
  if (!self_) {
    err[sizeof err - 1] = '\0';
    QString msg = Utf8(err);
    if (msg.isEmpty()) msg = QStringLiteral("Компонент драйвера не запустился");
    throw OstrelError(msg);
  }
}

TOstrel::~TOstrel() {
  if (self_) component_->api->destroy(self_);
}

namespace {

[[noreturn]] void Unknown(const char *name) {
  throw OstrelError(QStringLiteral("Компонент драйвера не знает члена \"%1\"").arg(Utf8(name)));
}

}  // namespace

int TOstrel::Invoke(const char *method) {
  const int r = component_->api->invoke(self_, method);
  if (r == OSTREL_E_UNKNOWN_MEMBER) Unknown(method);
  LogResult(method, r);
  return r;
}

void TOstrel::LogResult(const char *method, int r) {
  // Every refusal with its code; of the successes only the calls that change
  // the register's state (reads would fill the log cell by cell).
  static const char *const kChanges[] = {"SetActiveLD", "SetDFUMode", "UpdateFirmware", "ResetSettings",
                                         "SetDate",     "ConfirmDate", "SetTime"};
  if (r == 0) {
    for (const char *m : kChanges)
      if (std::strcmp(m, method) == 0) applog::Info(QStringLiteral("Драйвер: %1: 0").arg(Utf8(method)));
    return;
  }
  // The table list ends with code 93: the normal end of a walk, not an error.
  if (r == 93 && std::strcmp(method, "GetTableStruct") == 0) {
    applog::Debug(QStringLiteral("Драйвер: GetTableStruct: код 93 (таблица %1): таблиц больше нет").arg(TableNumber()));
    return;
  }
  QString what = QStringLiteral("Драйвер: %1: код %2").arg(Utf8(method)).arg(r);
  // The cell a table call was about (never its value).
  if (std::strcmp(method, "ReadTable") == 0 || std::strcmp(method, "WriteTable") == 0 ||
      std::strcmp(method, "GetTableStruct") == 0)
    what += QStringLiteral(" (таблица %1, ряд %2, поле %3)").arg(TableNumber()).arg(RowNumber()).arg(FieldNumber());
  int len = 0;
  char buf[512];
  if (component_->api->get_str(self_, "ResultCodeDescription", buf, sizeof buf, &len) == 0 && len > 0)
    what += QStringLiteral(", ") + QString::fromUtf8(buf, std::min<int>(len, sizeof buf - 1));
  applog::Warn(what);
}

int TOstrel::GetInt(const char *prop) {
  int v = 0;
  if (component_->api->get_int(self_, prop, &v) != 0) Unknown(prop);
  return v;
}

void TOstrel::SetInt(const char *prop, int v) {
  if (component_->api->set_int(self_, prop, v) != 0) Unknown(prop);
}

double TOstrel::GetDouble(const char *prop) {
  double v = 0;
  if (component_->api->get_double(self_, prop, &v) != 0) Unknown(prop);
  return v;
}

void TOstrel::SetDouble(const char *prop, double v) {
  if (component_->api->set_double(self_, prop, v) != 0) Unknown(prop);
}

QString TOstrel::GetStr(const char *prop) {
  std::vector<char> buf(256);
  for (;;) {
    int len = 0;
    if (component_->api->get_str(self_, prop, buf.data(), static_cast<int>(buf.size()), &len) != 0)
      Unknown(prop);
    if (len < 0) return QString();
    if (static_cast<size_t>(len) < buf.size())
      return QString::fromUtf8(buf.data(), len);
    buf.assign(static_cast<size_t>(len) + 1, '\0');
  }
}

void TOstrel::SetStr(const char *prop, const QString &v) {
  if (component_->api->set_str(self_, prop, v.toUtf8().constData()) != 0) Unknown(prop);
}

int TOstrel::GetCountLD() { return Invoke("GetCountLD"); }
int TOstrel::SetActiveLD() { return Invoke("SetActiveLD"); }
int TOstrel::ShowProperties() { return Invoke("ShowProperties"); }
int TOstrel::GetECRStatus() { return Invoke("GetECRStatus"); }
int TOstrel::ReadLoaderVersion() { return Invoke("ReadLoaderVersion"); }
int TOstrel::ReadSerialNumber() { return Invoke("ReadSerialNumber"); }
int TOstrel::GetTableStruct() { return Invoke("GetTableStruct"); }
int TOstrel::ReadTable() { return Invoke("ReadTable"); }
int TOstrel::WriteTable() { return Invoke("WriteTable"); }
int TOstrel::SetDFUMode() { return Invoke("SetDFUMode"); }
int TOstrel::UpdateFirmware() { return Invoke("UpdateFirmware"); }
int TOstrel::ResetSettings() { return Invoke("ResetSettings"); }
int TOstrel::SetDate() { return Invoke("SetDate"); }
int TOstrel::ConfirmDate() { return Invoke("ConfirmDate"); }
int TOstrel::SetTime() { return Invoke("SetTime"); }

int TOstrel::ResultCode() { return GetInt("ResultCode"); }
QString TOstrel::ResultCodeDescription() { return GetStr("ResultCodeDescription"); }
int TOstrel::Password() { return GetInt("Password"); }
void TOstrel::setPassword(int v) { SetInt("Password", v); }
int TOstrel::LDCount() { return GetInt("LDCount"); }
int TOstrel::LDNumber() { return GetInt("LDNumber"); }
void TOstrel::setLDNumber(int v) { SetInt("LDNumber", v); }
int TOstrel::ECRMode() { return GetInt("ECRMode"); }
QString TOstrel::ECRModeDescription() { return GetStr("ECRModeDescription"); }
QString TOstrel::ECRSoftVersion() { return GetStr("ECRSoftVersion"); }
int TOstrel::ECRBuild() { return GetInt("ECRBuild"); }
TDateTime TOstrel::ECRSoftDate() { return GetDouble("ECRSoftDate"); }
QString TOstrel::SerialNumber() { return GetStr("SerialNumber"); }
QString TOstrel::LoaderVersion() { return GetStr("LoaderVersion"); }
int TOstrel::TableNumber() { return GetInt("TableNumber"); }
void TOstrel::setTableNumber(int v) { SetInt("TableNumber", v); }
int TOstrel::RowNumber() { return GetInt("RowNumber"); }
void TOstrel::setRowNumber(int v) { SetInt("RowNumber", v); }
int TOstrel::FieldNumber() { return GetInt("FieldNumber"); }
void TOstrel::setFieldNumber(int v) { SetInt("FieldNumber", v); }
QString TOstrel::TableName() { return GetStr("TableName"); }
QString TOstrel::FieldName() { return GetStr("FieldName"); }
int TOstrel::FieldSize() { return GetInt("FieldSize"); }
bool TOstrel::FieldType() { return GetInt("FieldType") != 0; }
int TOstrel::MINValueOfField() { return GetInt("MINValueOfField"); }
int TOstrel::MAXValueOfField() { return GetInt("MAXValueOfField"); }
int TOstrel::ValueOfFieldInteger() { return GetInt("ValueOfFieldInteger"); }
void TOstrel::setValueOfFieldInteger(int v) { SetInt("ValueOfFieldInteger", v); }
QString TOstrel::ValueOfFieldString() { return GetStr("ValueOfFieldString"); }
void TOstrel::setValueOfFieldString(const QString &v) { SetStr("ValueOfFieldString", v); }
int TOstrel::UpdateFirmwareMethod() { return GetInt("UpdateFirmwareMethod"); }
void TOstrel::setUpdateFirmwareMethod(int v) { SetInt("UpdateFirmwareMethod", v); }
QString TOstrel::FileName() { return GetStr("FileName"); }
void TOstrel::setFileName(const QString &v) { SetStr("FileName", v); }
int TOstrel::UpdateFirmwareStatus() { return GetInt("UpdateFirmwareStatus"); }
QString TOstrel::UpdateFirmwareStatusMessage() { return GetStr("UpdateFirmwareStatusMessage"); }
TDateTime TOstrel::Date() { return GetDouble("Date"); }
void TOstrel::setDate(TDateTime v) { SetDouble("Date", v); }
TDateTime TOstrel::Time() { return GetDouble("Time"); }
void TOstrel::setTime(TDateTime v) { SetDouble("Time", v); }
