#pragma once
// The register driver component, as the program sees it: class TOstrel, one
// instance of the installed component, with every method and property the
// program uses. Methods return 0 for success; a failing call to the component
// itself (an unknown member) raises OstrelError.
#include <QString>
#include <memory>
#include <stdexcept>

#include "common/datetime.h"
#include "common/error.h"

struct OstrelApi;

// The component could not be loaded or started, or a member call failed at
// the boundary. Its message is the loader's or the component's own.
class OstrelError : public Exception {
 public:
  using Exception::Exception;
};

// The register's system-administrator password, used for the cell writes
// after an update; the simulated register uses the same value.
inline constexpr int kSysAdminPassword = 30;

class TOstrel {
 public:
  // Loads the installed component (OSTREL_DRIVER, otherwise the simulator
  // component beside the program) and creates an instance; OstrelError when
  // that fails.
  explicit TOstrel(void *AOwner = nullptr);
  virtual ~TOstrel();
  TOstrel(const TOstrel &) = delete;
  TOstrel &operator=(const TOstrel &) = delete;

  // The component file a new instance would be made from.
  static QString ComponentPath();

  // Methods.
  int GetCountLD();
  int SetActiveLD();
  int ShowProperties();
  int GetECRStatus();
  int ReadLoaderVersion();
  int ReadSerialNumber();
  int GetTableStruct();
  int ReadTable();
  int WriteTable();
  int SetDFUMode();
  int UpdateFirmware();
  int ResetSettings();
  int SetDate();
  int ConfirmDate();
  int SetTime();

  // Properties (getter Name(), setter setName()).
  int ResultCode();
  QString ResultCodeDescription();
  int Password();
  void setPassword(int v);
  int LDCount();
  int LDNumber();
  void setLDNumber(int v);
  int ECRMode();
  QString ECRModeDescription();
  QString ECRSoftVersion();
  int ECRBuild();
  TDateTime ECRSoftDate();
  QString SerialNumber();
  QString LoaderVersion();
  int TableNumber();
  void setTableNumber(int v);
  int RowNumber();
  void setRowNumber(int v);
  int FieldNumber();
  void setFieldNumber(int v);
  QString TableName();
  QString FieldName();
  int FieldSize();
  bool FieldType();  // false integer, true text
  int MINValueOfField();
  int MAXValueOfField();
  int ValueOfFieldInteger();
  void setValueOfFieldInteger(int v);
  QString ValueOfFieldString();
  void setValueOfFieldString(const QString &v);
  int UpdateFirmwareMethod();
  void setUpdateFirmwareMethod(int v);
  QString FileName();
  void setFileName(const QString &v);
  int UpdateFirmwareStatus();
  QString UpdateFirmwareStatusMessage();
  TDateTime Date();
  void setDate(TDateTime v);
  TDateTime Time();
  void setTime(TDateTime v);

  // Generic access, for members added by later work.
  int Invoke(const char *method);
  int GetInt(const char *prop);
  void SetInt(const char *prop, int v);
  double GetDouble(const char *prop);
  void SetDouble(const char *prop, double v);
  QString GetStr(const char *prop);
  void SetStr(const char *prop, const QString &v);

 private:
  // A refused call (and each call that changes the register) goes to the log.
  void LogResult(const char *method, int r);
  struct Component;
  // The component loaded from path, loading it on first use.
  static std::shared_ptr<Component> LoadComponent(const QString &path);
  std::shared_ptr<Component> component_;  // the loaded library, shared by instances
  void *self_ = nullptr;
};
