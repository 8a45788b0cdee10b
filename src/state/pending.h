#pragma once
// A DFU transfer under way, kept outside the working folder (which goes when
// the program ends): $XDG_STATE_HOME/Korvalis/Tavelin/pending/<serial>/ holds
// the image about to be sent and what it is for. A register left in its
// boot-loader, or half set up, is finished from it on the next connect.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "rules/fwrules.h"

namespace pending {

// The logical device a register was reached through.
struct TDeviceRef {
  int number = 0;
  QString name;
  int port = 0;        // the serial port's number; 0 when not a local serial port
  QString connection;  // the connection as the driver's settings give it, "COM:2 115200 бит/с"
  QJsonObject ToJson() const;
  static TDeviceRef FromJson(const QJsonObject &o);
};

// How far the transfer got before it was cut.
enum class TStage {
  Prepared,  // the image is kept; the register is not switched yet
  Switched,  // the register was told to enter DFU mode: its firmware is at stake
  SetUp,     // the transfer is over and this program set the register up (its tables reset)
};

struct TPending {
  QString serial;
  QString model;
  TDeviceRef device;
  TFWRule rule;
  QString sha256;  // of the image
  TStage stage = TStage::Prepared;
  QString folder;  // with a trailing separator
  QString image() const;  // the kept image's path
};

QString PendingRoot();  // with a trailing separator
// A serial number the register may report: not empty, at most 64
// characters. Its folder is privatefile::FolderName of it.
bool SafeSerial(const QString &serial);

// SHA-256 of a file as lower-case hex; empty when it cannot be read.
QString FileSha256(const QString &path);

// Copies the image and writes the record (files 0600, folders 0700). Throws
// Exception with a message when that is not possible: without it an
// interrupted transfer could not be finished.
TPending Keep(const QString &serial, const QString &model, const TDeviceRef &device, const TFWRule &rule,
              const QString &imagePath);
void SetStage(TPending &p, TStage stage);
// Every kept transfer, the newest first. unreadable, when given, gets the
// record file of each folder whose record is cut or damaged.
QList<TPending> All(QStringList *unreadable = nullptr);
// The pending transfer of a logical device, if any (the newest when several).
std::optional<TPending> FindForDevice(const TDeviceRef &device);
std::optional<TPending> FindForSerial(const QString &serial);
void Remove(const TPending &p);
// Removes the folder of that serial when it holds no record: a program killed
// while keeping an image leaves one, and its register was never switched.
void RemoveUnrecorded(const QString &serial);
// The kept image is still the one that was kept.
bool ImageIntact(const TPending &p);

QJsonObject RuleToJson(const TFWRule &rule);
TFWRule RuleFromJson(const QJsonObject &o);

}  // namespace pending
