#pragma once
// The driver's parameters file "Ostrel.xml" and its logical devices, as the
// driver component stores them: where they lie and how they read. This unit
// only reads; the driver component writes both.
#include <QString>

// <common application data>/Korvalis/Ostrel and the same under the user's
// folder; computing either tries to make its two levels (a level that cannot
// be made is no error).
QString CommonDriverFolder();
QString UserDriverFolder();
// The parameters file: the common one when it exists, otherwise the user's,
// whether or not that one exists.
QString DriverParamsFileName();

class TXmlDriverParams {
 public:
  TXmlDriverParams() = default;

  // Reads the parameters file. Raises an error when it is missing, not XML,
  // has no "Root" or no "StorageType"; the defaults are set first.
  void Load();
  void SetDefaults();

  int StorageType() const { return FStorageType; }
  void setStorageType(int v) { FStorageType = v; }

 private:
  QString ParamsFileName() const;
  int FStorageType = 1;
};

// The storage type from the parameters file; 1 when it cannot be read.
int LoadStorageType();
// The storage type, read once per process: 0 machine-wide, anything else per user.
int GetStorageType();
// Forgets the stored storage type, for tests that change the file.
void ResetStorageTypeForTests();

// The largest "Ostrel.xml" read; a larger one counts as unreadable.
constexpr qint64 kMaxParamsFileBytes = 1024 * 1024;

// While one lives, the readers below take their values from one reading of
// the store, made when it was created: a listing of many devices reads the
// store once, not once for every value.
class TLDListing {
 public:
  TLDListing();
  ~TLDListing();
  TLDListing(const TLDListing &) = delete;
  TLDListing &operator=(const TLDListing &) = delete;

 private:
  void *FPrevious;
  void *FListing;
};

// The logical device whose values the readers below use.
extern int CurrentLDIndex;

// "Software\Korvalis\Ostrel\Logical Devices\<CurrentLDIndex>".
QString LDKeyName(int index);

// Empty text or -1 when the key or the value is missing; a stored text that is
// not a decimal integer raises RegistryError from ReadLDInteger, naming the
// device and the value.
QString ReadLDString(const QString &ValueName);
int ReadLDInteger(const QString &ValueName);
QString ReadLDName();
int ReadLDConnectionType();
QString LDComSettingsText();
QString LDTcpSettingsText();
QString BaudRateText(int Index);
